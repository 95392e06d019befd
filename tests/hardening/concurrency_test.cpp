// Relays on several threads at once, meant to run under ThreadSanitizer:
// every protocol's relays side by side (the first of them racing to fill
// the callback caches), and OSCAR instances sharing pendingLogins and
// signedOn while they log in, claim cookies and sign off.
#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "msn/relay.h"
#include "oscar/relay.h"
#include "support/msn_builders.h"
#include "support/oscar_builders.h"
#include "support/scripted_host.h"
#include "support/ymsg_builders.h"
#include "ymsg/relay.h"

using namespace qmxtest;

namespace {

ScriptedHost &host() { return ScriptedHost::get(); }

// Starts every job on a thread of its own, releases them together once all
// are running, and waits for all of them.
void runTogether(const std::vector<std::function<void()>> &jobs) {
    std::atomic<size_t> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const auto &job : jobs) {
        threads.emplace_back([&, job] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            job();
        });
    }
    while (ready.load() < jobs.size()) std::this_thread::yield();
    go = true;
    for (std::thread &t : threads) t.join();
}

struct Connection {
    uint32_t protocol;
    QMX_Socket client, server;
    Bytes fromClient, fromServer;
    uint32_t id = 0;
};

Connection conversation(uint32_t protocol, int n) {
    const std::string user = "user" + std::to_string(n);
    const std::string text = "hello from " + user;
    const QMX_Socket base = 1000 + 10 * static_cast<QMX_Socket>(n);
    switch (protocol) {
    case QMX_PROTO_YMSG:
        return {protocol, base, base + 1, ymsgLogin(user) + ymsgMessage(user, "bob", text),
                ymsgMessage("bob", user, "hi " + user) + ymsgDatacast("bob", user)};
    case QMX_PROTO_OSCAR:
        return {protocol, base, base + 1,
                oscarClientReadyFrame(1) +
                    oscarOutgoingIcbm(2, 0x0102030405060708ull + n, 1, "bob",
                                      oscarMessageDataTlv(text, kCharsetAscii, 0)),
                oscarSelfInfoFrame(1, user) +
                    oscarIncomingIcbm(2, 7, 1, "bob", 0, 0, "",
                                      oscarMessageDataTlv("hi", kCharsetAscii, 0))};
    default:
        return {protocol, base, base + 1,
                msnLine({"USR", "1", "TWN", "I", user + "@example.com"}) +
                    msnTextMsg({"2", "N"}, text),
                msnLine({"JOI", "bob@example.com", "Bob"}) +
                    msnTextMsg({"bob@example.com", "Bob"}, "hi " + user)};
    }
}

class Concurrent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QMX_init(), 0u);
        host().reset();
        host().install();
    }
    void TearDown() override { QMX_shutdown(); }

    static uint32_t connect(uint32_t protocol, QMX_Socket client, QMX_Socket server) {
        host().addConnection(client, server);
        return QMX_newInstance(protocol, client, server, 0);
    }
    static std::function<void()> relayJob(uint32_t id) {
        return [id] { QMX_processInstance(id); };
    }
};

using ConcurrentRelays = Concurrent;
using ConcurrentOscarLogins = Concurrent;

// Nothing is refused or replaced, so each relay must hand on exactly its own
// streams, read a few bytes at a time to make the relays interleave.
TEST_F(ConcurrentRelays, RelaysOfAllProtocolsRunningAtOnceForwardOnlyTheirOwnStreams) {
    std::vector<Connection> connections;
    int n = 0;
    for (uint32_t protocol : {QMX_PROTO_YMSG, QMX_PROTO_OSCAR, QMX_PROTO_MSN})
        for (int k = 0; k < 3; ++k) connections.push_back(conversation(protocol, n++));
    std::vector<std::function<void()>> jobs;
    for (Connection &c : connections) {
        c.id = connect(c.protocol, c.client, c.server);
        ASSERT_NE(c.id, 0u);
        host().pushRecv(c.client, c.fromClient);
        host().pushRecv(c.server, c.fromServer);
        host().pushEof(c.client);
        host().pushEof(c.server);
        host().setReadLimit(c.client, 7);
        host().setReadLimit(c.server, 5);
        jobs.push_back(relayJob(c.id));
    }
    runTogether(jobs);
    for (const Connection &c : connections) {
        SCOPED_TRACE("protocol " + std::to_string(c.protocol) + " socket " +
                     std::to_string(c.client));
        EXPECT_EQ(host().sent(c.server), c.fromClient);
        EXPECT_EQ(host().sent(c.client), c.fromServer);
        EXPECT_TRUE(host().scriptUsedUp(c.client));
    }

    // The caches were filled by relays that started together: each must
    // hold what the table holds, never a torn or missing slot.
    for (uint32_t slot = 0; slot <= QMX_CB_RECV; ++slot) {
        EXPECT_EQ(ymsgCachedCallback(slot), QMX_getProtoCallback(QMX_PROTO_YMSG, slot))
            << "slot " << slot;
        EXPECT_EQ(oscarCachedCallback(slot), QMX_getProtoCallback(QMX_PROTO_OSCAR, slot))
            << "slot " << slot;
    }
    EXPECT_EQ(reinterpret_cast<QMX_Callback>(msnLogSlot()),
              QMX_getProtoCallback(QMX_PROTO_MSN, QMX_CB_LOG));

    runTogether({[&] { EXPECT_EQ(QMX_deleteInstance(connections[0].id), 0u); },
                 [&] { EXPECT_EQ(QMX_deleteInstance(connections[3].id), 0u); },
                 [&] { EXPECT_EQ(QMX_deleteInstance(connections[6].id), 0u); }});
}

// Login replies on some instances, cookie sign-ons claiming them on others,
// sign-ons by self-info and file requests that look both names up, and
// sign-offs, all at once: every claim finds its own ticket exactly once.
TEST_F(ConcurrentOscarLogins, LoginsClaimsAndSignOffsSharingTheProcessWideStateStayConsistent) {
    constexpr int kUsers = 4;
    auto name = [](int i) { return "user" + std::to_string(i); };
    auto ticket = [](int i) { return Bytes(300, static_cast<char>('A' + i)); };
    const uint64_t cookie = 0x1122334455667788ull;

    std::vector<uint32_t> logins, services, peers;
    std::vector<std::function<void()>> jobs;
    for (int i = 0; i < kUsers; ++i) {
        const QMX_Socket base = 2000 + 100 * static_cast<QMX_Socket>(i);
        logins.push_back(connect(QMX_PROTO_OSCAR, base, base + 1));
        host().pushRecv(base + 1, oscarSignoffFrame(1, oscarTlv(0x0001, name(i)) +
                                                           oscarTlv(0x0006, ticket(i))));
        peers.push_back(connect(QMX_PROTO_OSCAR, base + 10, base + 11));
        host().pushRecv(base + 11, oscarSelfInfoFrame(1, "peer" + std::to_string(i)));
        jobs.push_back(relayJob(logins.back()));
        jobs.push_back(relayJob(peers.back()));
    }
    runTogether(jobs);

    jobs.clear();
    for (int i = 0; i < kUsers; ++i) {
        const QMX_Socket base = 2050 + 100 * static_cast<QMX_Socket>(i);
        services.push_back(connect(QMX_PROTO_OSCAR, base, base + 1));
        const Bytes request = oscarOutgoingIcbm(
            2, cookie, 2, "peer" + std::to_string((i + 1) % kUsers),
            oscarRendezvousTlv(0, cookie, oscarCapSendFile(), oscarSendFileTlv(0, 1, 10, "a.txt")));
        host().pushRecv(base, oscarSignonFrame(1, oscarTlv(0x0006, ticket(i))) + request);
        host().setReadLimit(base, 11);
        jobs.push_back(relayJob(services.back()));
    }
    // Half of the peers sign off while the file requests look them up.
    for (int i = 0; i < kUsers; i += 2) {
        const uint32_t peer = peers[i];
        jobs.push_back([peer] { EXPECT_EQ(QMX_deleteInstance(peer), 0u); });
    }
    runTogether(jobs);

    for (int i = 0; i < kUsers; ++i) {
        auto *session = static_cast<OscarSession *>(QMX_getInstanceProtoData(services[i]));
        ASSERT_NE(session, nullptr);
        EXPECT_STREQ(session->clientName, name(i).c_str());
    }
    QmxLockGuard guard(oscarLock());
    EXPECT_EQ(DArray_count(pendingLogins), 0);
    for (int i = 0; i < kUsers; ++i) {
        const std::string user = name(i), peer = "peer" + std::to_string(i);
        EXPECT_EQ(
            HashTable_find(user.c_str(), static_cast<int32_t>(user.size()), nullptr, signedOn),
            HT_OK);
        EXPECT_EQ(
            HashTable_find(peer.c_str(), static_cast<int32_t>(peer.size()), nullptr, signedOn),
            i % 2 == 0 ? HT_NOT_FOUND : HT_OK);
    }
}

} // namespace
