// Relays on several threads at once, meant to run under ThreadSanitizer:
// every protocol's relays side by side (the first of them racing to fill the
// callback caches), and OSCAR instances sharing the pending logins and the
// signed-on names while they log in, claim cookies and sign off.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "msn/relay.h"
#include "oscar/relay.h"
#include "support/msn_builders.h"
#include "support/oscar_builders.h"
#include "support/relay_fixture.h"
#include "support/ymsg_builders.h"
#include "ymsg/relay.h"

using namespace qmxtest;

namespace {

// Releases every job at once, once all of their threads are running.
void runTogether(const std::vector<std::function<void()>> &jobs) {
    std::atomic<size_t> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const auto &job : jobs)
        threads.emplace_back([&, job] {
            ++ready;
            while (!go) std::this_thread::yield();
            job();
        });
    while (ready < jobs.size()) std::this_thread::yield();
    go = true;
    for (std::thread &t : threads) t.join();
}

class Concurrent : public HostTest {};

// Nothing is refused or replaced, so each relay must hand on exactly its own
// streams, read a few bytes at a time to make the relays interleave.
TEST_F(Concurrent, RelaysOfAllProtocolsRunningAtOnceForwardOnlyTheirOwnStreams) {
    // Client and server streams of connection n, with names of its own.
    auto streams = [](QMX_Socket n) -> std::pair<Bytes, Bytes> {
        const std::string user = "user" + std::to_string(n);
        if (n % 3 == QMX_PROTO_YMSG)
            return {ymsgLogin(user) + ymsgMessage(user, "bob", "hello"),
                    ymsgMessage("bob", user, "hi") + ymsgDatacast("bob", user)};
        if (n % 3 == QMX_PROTO_OSCAR)
            return {oscarOutgoingIcbm(2, 7, 1, "bob", oscarMessageDataTlv(user, kCharsetAscii, 0)),
                    oscarSelfInfoFrame(1, user)};
        return {msnLine({"USR", "1", "TWN", "I", user + "@x"}) + msnTextMsg({"2", "N"}, "hello"),
                msnLine({"JOI", "bob@x", "Bob"}) + msnTextMsg({"bob@x", "Bob"}, user)};
    };
    std::vector<uint32_t> ids;
    std::vector<std::function<void()>> jobs;
    for (QMX_Socket n = 0; n < 9; ++n) {
        const QMX_Socket c = 1000 + 10 * n;
        ids.push_back(connect(n % 3, c, c + 1));
        ASSERT_NE(ids.back(), 0u);
        host().pushRecv(c, streams(n).first);
        host().pushRecv(c + 1, streams(n).second);
        host().setReadLimit(c, 7);
        host().setReadLimit(c + 1, 5);
        jobs.push_back([id = ids.back()] { QMX_processInstance(id); });
    }
    runTogether(jobs);
    for (QMX_Socket n = 0; n < 9; ++n) {
        EXPECT_EQ(host().sent(1000 + 10 * n + 1), streams(n).first) << n;
        EXPECT_EQ(host().sent(1000 + 10 * n), streams(n).second) << n;
    }
    // Caches filled by relays that started together hold what the tables hold.
    for (uint32_t slot = 0; slot <= QMX_CB_RECV; ++slot) {
        EXPECT_EQ(ymsgCachedCallback(slot), QMX_getProtoCallback(QMX_PROTO_YMSG, slot)) << slot;
        EXPECT_EQ(oscarCachedCallback(slot), QMX_getProtoCallback(QMX_PROTO_OSCAR, slot)) << slot;
    }
    EXPECT_EQ(cb(msnLogSlot()), QMX_getProtoCallback(QMX_PROTO_MSN, QMX_CB_LOG));
    runTogether({[&] { EXPECT_EQ(QMX_deleteInstance(ids[0]), 0u); },
                 [&] { EXPECT_EQ(QMX_deleteInstance(ids[4]), 0u); },
                 [&] { EXPECT_EQ(QMX_deleteInstance(ids[8]), 0u); }});
}

// Login replies on some instances, cookie sign-ons claiming them on others,
// file requests that look both names up, and sign-offs, all at once: every
// claim finds its own ticket exactly once.
TEST_F(Concurrent, OscarLoginsClaimsAndSignOffsKeepTheSharedStateConsistent) {
    constexpr int kUsers = 4;
    auto user = [](int i) { return "user" + std::to_string(i); };
    auto peer = [](int i) { return "peer" + std::to_string(i); };
    auto ticket = [](int i) { return Bytes(300, static_cast<char>('A' + i)); };
    std::vector<uint32_t> services, peers;
    std::vector<std::function<void()>> jobs;
    for (int i = 0; i < kUsers; ++i) {
        const QMX_Socket base = 2000 + 100 * static_cast<QMX_Socket>(i);
        const uint32_t login = connect(QMX_PROTO_OSCAR, base, base + 1);
        host().pushRecv(base + 1,
                        oscarSignoffFrame(1, oscarTlv(1, user(i)) + oscarTlv(6, ticket(i))));
        peers.push_back(connect(QMX_PROTO_OSCAR, base + 10, base + 11));
        host().pushRecv(base + 11, oscarSelfInfoFrame(1, peer(i)));
        jobs.push_back([login] { QMX_processInstance(login); });
        jobs.push_back([id = peers.back()] { QMX_processInstance(id); });
    }
    runTogether(jobs);
    jobs.clear();
    for (int i = 0; i < kUsers; ++i) {
        const QMX_Socket base = 2050 + 100 * static_cast<QMX_Socket>(i);
        services.push_back(connect(QMX_PROTO_OSCAR, base, base + 1));
        const Bytes request = oscarOutgoingIcbm(
            2, 9, 2, peer((i + 1) % kUsers),
            oscarRendezvousTlv(0, 9, oscarCapSendFile(), oscarSendFileTlv(0, 1, 10, "a.txt")));
        host().pushRecv(base, oscarSignonFrame(1, oscarTlv(6, ticket(i))) + request);
        host().setReadLimit(base, 11);
        jobs.push_back([id = services.back()] { QMX_processInstance(id); });
    }
    // Half of the peers sign off while the file requests look them up.
    for (int i = 0; i < kUsers; i += 2)
        jobs.push_back([id = peers[i]] { EXPECT_EQ(QMX_deleteInstance(id), 0u); });
    runTogether(jobs);

    QmxLockGuard guard(oscarLock());
    EXPECT_EQ(DArray_count(pendingLogins), 0);
    for (int i = 0; i < kUsers; ++i) {
        auto *session = static_cast<OscarSession *>(QMX_getInstanceProtoData(services[i]));
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(session->clientName, user(i));
        EXPECT_EQ(HashTable_find(user(i).c_str(), int32_t(user(i).size()), nullptr, signedOn),
                  HT_OK);
        EXPECT_EQ(HashTable_find(peer(i).c_str(), int32_t(peer(i).size()), nullptr, signedOn),
                  i % 2 == 0 ? HT_NOT_FOUND : HT_OK);
    }
}

} // namespace
