#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "containers/alloc.h"
#include "oscar_fixture.h"

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
            // The one wait for the rest of the foreign bytes watches that side only.
            const WaitCall w = host().waitCalls().back();
            EXPECT_EQ(std::vector<int64_t>({int64_t(w.readA), int64_t(w.readB), int64_t(w.exceptA),
                                            w.seconds, w.microseconds}),
                      std::vector<int64_t>({kClient, kClient, 0, 3, 0}));
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
    EXPECT_TRUE(host().events().empty()) << "a client-ready frame is no datacast";
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

} // namespace
} // namespace qmxtest
