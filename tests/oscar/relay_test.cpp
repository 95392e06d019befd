#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "containers/alloc.h"
#include "oscar_relay_fixture.h"

namespace qmxtest {
namespace {

constexpr QMX_Socket kClient = 101;
constexpr QMX_Socket kServer = 202;

using OscarRelay = OscarRelayTest;

// The first six bytes and what one more receive brings (at most 2042 bytes)
// go to the hook and, unless it answers with bit value 2, to the other side.
TEST_F(OscarRelay, StreamThatIsNotFlapIsPassedOnOnceAndStopsTheInstance) {
    Bytes request = "GET / HTTP/1.0\r\n";
    while (request.size() < 3000) request += "X-Padding: yes\r\n";
    const Bytes passed = request.substr(0, 2048);
    const Bytes keepAlive = oscarFlap(5, 1, "");
    for (int32_t hookAnswer : {0, 2}) {
        for (bool afterAFrame : {false, true}) {
            SCOPED_TRACE(testing::Message() << "hook " << hookAnswer << " late " << afterAFrame);
            host().reset();
            const uint32_t id = connect(kClient, kServer);
            feed(kClient, {afterAFrame ? keepAlive : Bytes(), request});
            host().pushRawAnswer(id, hookAnswer);
            EXPECT_EQ(QMX_processInstance(id), 1);
            ASSERT_EQ(host().raws().size(), 1u);
            EXPECT_EQ(host().raws()[0].data, passed);
            EXPECT_EQ(host().raws()[0].from, kClient);
            EXPECT_EQ(host().raws()[0].to, kServer);
            EXPECT_EQ(host().sent(kServer),
                      (afterAFrame ? keepAlive : Bytes()) + (hookAnswer == 2 ? Bytes() : passed));
            EXPECT_TRUE(host().events().empty());
            QMX_deleteInstance(id);
        }
    }
}

TEST_F(OscarRelay, RelayEndsAtThe101stEmptyWait) {
    const uint32_t id = connect(kClient, kServer);
    host().pushWaits(kClient, 0, 150);
    EXPECT_EQ(QMX_processInstance(id), 0);
    const std::vector<WaitCall> waits = host().waitCalls();
    ASSERT_EQ(waits.size(), 101u);
    for (const WaitCall &w : waits)
        EXPECT_EQ(
            std::vector<int64_t>({static_cast<int64_t>(w.readA), static_cast<int64_t>(w.readB),
                                  static_cast<int64_t>(w.exceptA), static_cast<int64_t>(w.exceptB),
                                  w.seconds, w.microseconds}),
            std::vector<int64_t>({kClient, kServer, kClient, kServer, 3, 0}));
}

TEST_F(OscarRelay, OutOfBandBytesAreCopiedIn1024BytePiecesAndNeverFiltered) {
    const uint32_t id = connect(kClient, kServer);
    Bytes urgent;
    for (int i = 0; i < 3000; ++i) urgent += static_cast<char>('*' + i % 3);
    host().pushOob(kClient, urgent);
    host().pushOob(kServer, "!");
    QMX_processInstance(id);
    std::vector<size_t> pieces;
    for (const SendCall &c : host().sendCalls())
        if (c.socket == kServer && c.flags == 1) pieces.push_back(c.offered.size());
    EXPECT_EQ(pieces, (std::vector<size_t>{1024, 1024, 952}));
    EXPECT_EQ(host().sentOob(kServer), urgent);
    EXPECT_EQ(host().sentOob(kClient), "!");
    EXPECT_TRUE(host().sent(kServer).empty());
    EXPECT_TRUE(host().events().empty());
}

TEST_F(OscarRelay, SideThatEndsMidFrameForwardsNothingOfThatFrame) {
    const Bytes whole = oscarClientReadyFrame(1);
    const struct {
        const char *what;
        Bytes sent;
        bool malformed;
    } cases[] = {
        {"inside the header", whole.substr(0, 4), false},
        {"inside the body", whole.substr(0, whole.size() - 1), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        host().reset();
        const uint32_t id = connect(kClient, kServer);
        feed(kClient, {oscarFlap(5, 0, ""), c.sent});
        feed(kServer, {oscarFlap(5, 7, "")});
        QMX_processInstance(id);
        EXPECT_EQ(host().sent(kServer), oscarFlap(5, 0, ""));
        EXPECT_EQ(host().sent(kClient), oscarFlap(5, 7, ""));
        EXPECT_EQ(hasLog(QMX_LOG_ERROR, "Incomplete/malformed message"), c.malformed);
        EXPECT_TRUE(hasLog(QMX_LOG_CONNECTION, "Client connection closed"));
        QMX_deleteInstance(id);
    }
}

TEST_F(OscarRelay, FailingSendDropsTheRestOfThatFrameOnly) {
    const uint32_t id = connect(kClient, kServer);
    const Bytes first = oscarClientReadyFrame(1);
    const Bytes second = oscarFlap(5, 2, "");
    feed(kClient, {first, second});
    host().setSendLimit(kServer, 4);
    host().pushSendResult(kServer, 4);
    host().pushSendResult(kServer, -1);
    QMX_processInstance(id);
    EXPECT_EQ(host().sent(kServer), first.substr(0, 4) + second);
}

TEST_F(OscarRelay, FrameBufferThatCannotBeAllocatedClosesThatSide) {
    const uint32_t id = connect(kClient, kServer);
    feed(kClient, {oscarClientReadyFrame(1)});
    qmxAllocFailAfter(0);
    QMX_processInstance(id);
    qmxAllocFailAfter(-1);
    EXPECT_TRUE(host().sent(kServer).empty());
    EXPECT_TRUE(hasLog(QMX_LOG_ERROR, "Out of memory for a frame of 24 bytes"));
    EXPECT_TRUE(hasLog(QMX_LOG_CONNECTION, "Client connection closed"));
}

// Whichever allocation fails, each frame either goes out whole (rewritten
// or as it came) or, from a frame whose buffer could not be had, not at all.
TEST_F(OscarRelay, AllocationFailureAnywhereNeverCorruptsAForwardedFrame) {
    const Bytes fileRequest = oscarOutgoingIcbm(
        2, 0x55, 2, "bob",
        oscarRendezvousTlv(0, 0x55, oscarCapSendFile(), oscarSendFileTlv(0, 1, 5, "f.bin")));
    const std::vector<std::vector<Bytes>> choices = {
        {oscarOutgoingIcbm(1, 0x44, 1, "bob", oscarMessageDataTlv("hi", kCharsetAscii, 0)),
         oscarOutgoingIcbm(1, 0x44, 1, "bob", oscarMessageDataTlv("[gone]", kCharsetAscii, 0))},
        {fileRequest},
        {fileRequest},
        {oscarClientReadyFrame(3)},
    };
    bool sawEverything = false;
    for (int64_t n = 0; n < 40; ++n) {
        SCOPED_TRACE(n);
        host().reset();
        const uint32_t id = connect(kClient, kServer);
        std::vector<Bytes> frames;
        for (const auto &c : choices) frames.push_back(c[0]);
        feed(kClient, frames);
        host().setEventHook([](uint32_t, FilterEvent *event) -> int32_t {
            if (event->type == QMX_EVENT_TEXT) QMX_setReplacementText(0, event, "[gone]", 6);
            return 1;
        });
        qmxAllocFailAfter(n);
        QMX_processInstance(id);
        qmxAllocFailAfter(-1);

        Bytes rest = host().sent(kServer);
        size_t whole = 0;
        for (const auto &c : choices) {
            bool matched = false;
            for (const Bytes &form : c) {
                if (rest.compare(0, form.size(), form) == 0) {
                    rest.erase(0, form.size());
                    matched = true;
                    break;
                }
            }
            if (!matched) break;
            ++whole;
        }
        EXPECT_TRUE(rest.empty()) << "bytes that are no whole frame were forwarded";
        sawEverything = sawEverything || (whole == choices.size() &&
                                          host().sent(kServer).find("[gone]") != Bytes::npos);
        QMX_deleteInstance(id);
    }
    EXPECT_TRUE(sawEverything);
}

// Several relays on their own threads share the pending logins and the
// signed-on names; each pair of instances ties its own login together.
TEST_F(OscarRelay, ConcurrentRelaysShareLoginTicketsSafely) {
    constexpr int kPairs = 4;
    struct Pair {
        uint32_t login, service;
        std::string name;
    };
    std::vector<Pair> pairs;
    for (int i = 0; i < kPairs; ++i) {
        const QMX_Socket base = 1000 + 10 * i;
        Pair p{connect(base + 1, base + 2), connect(base + 3, base + 4),
               "user" + std::to_string(i)};
        const Bytes cookie(256, static_cast<char>('A' + i));
        feed(base + 2, {oscarSignoffFrame(1, oscarTlv(0x0001, p.name) + oscarTlv(0x0006, cookie))});
        host().pushEof(base + 1);
        const Bytes fileRequest = oscarOutgoingIcbm(
            3, 0x77, 2, "peer",
            oscarRendezvousTlv(0, 0x77, oscarCapSendFile(), oscarSendFileTlv(0, 1, 5, "f")));
        feed(base + 3,
             {oscarSignonFrame(1, oscarTlv(0x0006, cookie)),
              oscarOutgoingIcbm(2, 0x99, 1, "peer", oscarMessageDataTlv("hello", kCharsetAscii, 0)),
              fileRequest});
        host().pushEof(base + 4);
        pairs.push_back(p);
    }
    std::vector<std::thread> threads;
    for (const Pair &p : pairs) {
        threads.emplace_back([p] {
            QMX_processInstance(p.login);
            QMX_processInstance(p.service);
        });
    }
    for (std::thread &t : threads) t.join();
    for (const Pair &p : pairs) {
        EXPECT_STREQ(session(p.service)->clientName, p.name.c_str());
        EXPECT_STREQ(session(p.login)->clientName, "");
    }
    // Each service connection's user is signed on, so its file request is
    // put to the policy in that user's name.
    int messagePolicies = 0;
    int filePolicies = 0;
    for (const PolicyCall &call : host().policies()) {
        messagePolicies += call.action == QMX_ACTION_IM_OUT;
        filePolicies += call.action == QMX_ACTION_FILE_SEND;
        for (const Pair &p : pairs) {
            if (call.id == p.service) {
                EXPECT_EQ(call.local.value_or(""), p.name);
            }
        }
    }
    EXPECT_EQ(messagePolicies, kPairs);
    EXPECT_EQ(filePolicies, kPairs);
}

} // namespace
} // namespace qmxtest
