// The YMSG relay loop against the scripted host: whole packets both ways at
// every read size, closed and cut-short sides, foreign streams, idleness and
// out-of-band bytes.
#include <gtest/gtest.h>

#include "containers/alloc.h"

#include "ymsg/ymsg_fixture.h"

using namespace qmxtest;

namespace {

struct Outcome {
    Bytes toServer, toClient;
    std::string calls;
    size_t waits;
};

class YmsgRelay : public YmsgTest {
protected:
    Outcome outcome() const {
        return {host().sent(kServer), host().sent(kClient), calls(), host().waitCalls().size()};
    }
    static std::string side(QMX_Socket s) { return s == kClient ? "Client" : "Server"; }
};

} // namespace

TEST_F(YmsgRelay, ConversationIsRelayedIdenticallyAtEveryReadSize) {
    const Bytes hello = ymsgMessage("alice", "bob", "hello");
    const std::vector<Bytes> fromClient = {
        ymsgLogin("alice"), hello, ymsgPeerToPeer("alice", "bob"),
        ymsgFileTransfer("alice", "bob", "a.zip"), YmsgPacket().service(76).build()};
    const std::vector<Bytes> fromServer = {
        ymsgMessage("bob", "alice", "hi there"), ymsgMessage("bob", "alice", "<ding>"),
        ymsgDatacast("bob", "alice"), YmsgPacket().service(1).field("1", "alice").build()};
    const Bytes expectedToServer =
        fromClient[0] + ymsgMessage("alice", "bob", "hey") + fromClient[3] + fromClient[4];
    Bytes expectedToClient;
    size_t longest = 0;
    for (const Bytes &p : fromServer) expectedToClient += p;
    for (const auto *list : {&fromClient, &fromServer}) {
        for (const Bytes &p : *list) longest = std::max(longest, p.size());
    }

    auto play = [&](size_t readLimit) {
        fresh();
        host().setEventHook([](uint32_t, FilterEvent *e) {
            if (e->textLength == 5 && Bytes(e->text, 5) == "hello")
                QMX_setReplacementText(0, e, "hey", 3);
            return 1;
        });
        for (const Bytes &p : fromClient) host().pushRecv(kClient, p);
        for (const Bytes &p : fromServer) host().pushRecv(kServer, p);
        host().pushEof(kClient);
        host().pushEof(kServer);
        host().setReadLimit(kClient, readLimit);
        host().setReadLimit(kServer, readLimit);
        EXPECT_EQ(run(), 0);
        EXPECT_TRUE(host().scriptUsedUp(kClient));
        return outcome();
    };
    const Outcome whole = play(0);
    EXPECT_EQ(whole.toServer, expectedToServer);
    EXPECT_EQ(whole.toClient, expectedToClient);
    EXPECT_EQ(host().events().size(), 6u);
    EXPECT_EQ(host().policies().size(), 6u);
    // The server runs out of packets one pass before the client.
    const std::string closing = "log 1 Server connection closed\nlog 1 Client connection closed\n";
    EXPECT_EQ(whole.calls.substr(whole.calls.size() - closing.size()), closing);
    for (size_t k = 1; k <= longest; ++k) {
        SCOPED_TRACE("read limit " + std::to_string(k));
        const Outcome chunked = play(k);
        EXPECT_EQ(chunked.toServer, whole.toServer);
        EXPECT_EQ(chunked.toClient, whole.toClient);
        EXPECT_EQ(chunked.calls, whole.calls);
        EXPECT_EQ(chunked.waits, whole.waits);
    }
}

TEST_F(YmsgRelay, SideThatEndsOrFailsMidPacketIsClosedAndNothingOfItIsForwarded) {
    const Bytes packet = ymsgMessage("alice", "bob", "hello");
    const Bytes shortBody =
        YmsgPacket().service(6).lengthField(100).rawBody(Bytes(60, 'b')).build();
    for (QMX_Socket s : {kClient, kServer}) {
        const std::string closed = "log 1 " + side(s) + " connection closed\n";
        const struct {
            const char *name;
            Bytes bytes;
            bool error;
            std::string calls;
        } cases[] = {
            {"partial header", packet.substr(0, 11), false, closed},
            {"short body", shortBody, false, "log 2 Incomplete/malformed message\n" + closed},
            {"receive failure", packet.substr(0, 25), true,
             "log 2 Incomplete/malformed message\n" + closed},
            {"failure before anything", "", true, closed},
        };
        for (const auto &c : cases) {
            for (size_t k : {0, 1, 2, 3, 7}) {
                SCOPED_TRACE(side(s) + " " + c.name + " at read limit " + std::to_string(k));
                fresh();
                if (!c.bytes.empty()) host().pushRecv(s, c.bytes);
                c.error ? host().pushRecvError(s) : host().pushEof(s);
                host().setReadLimit(s, k);
                EXPECT_EQ(run(), 0);
                EXPECT_EQ(host().sent(kClient) + host().sent(kServer), "");
                EXPECT_EQ(calls(), c.calls);
                // The closed side is no longer watched, in either place.
                const auto waits = host().waitCalls();
                ASSERT_EQ(waits.size(), 2u);
                EXPECT_EQ(s == kClient ? waits[1].readA + waits[1].exceptA
                                       : waits[1].readB + waits[1].exceptB,
                          0u);
                EXPECT_EQ(waits[1].readA + waits[1].readB, peerOf(s));
            }
        }
    }
}

TEST_F(YmsgRelay, ForeignStreamPassesItsFirst20BytesOnceAndEndsTheRelay) {
    const Bytes http = "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n";
    const struct {
        QMX_Socket from;
        int32_t hook;
        bool forwarded;
    } cases[] = {{kClient, 0, true}, {kServer, 1, true}, {kClient, 2, false}, {kServer, 3, false}};
    for (const auto &c : cases) {
        for (size_t k : {0, 1, 3}) {
            SCOPED_TRACE(side(c.from) + " hook " + std::to_string(c.hook));
            fresh();
            host().pushRecv(c.from, http);
            host().pushRecv(peerOf(c.from), ymsgLogin("alice"));
            host().pushRawAnswer(id, c.hook);
            host().setReadLimit(c.from, k);
            EXPECT_EQ(run(), 0);
            const auto raws = host().raws();
            ASSERT_EQ(raws.size(), 1u);
            EXPECT_EQ(raws[0].id, id);
            EXPECT_EQ(raws[0].from, c.from);
            EXPECT_EQ(raws[0].to, peerOf(c.from));
            EXPECT_EQ(raws[0].data, http.substr(0, 20));
            EXPECT_EQ(host().sent(peerOf(c.from)), c.forwarded ? http.substr(0, 20) : "");
            // The pass that saw the foreign bytes still serves the other side.
            EXPECT_EQ(host().sent(c.from), ymsgLogin("alice"));
            EXPECT_EQ(host().waitCalls().size(), 1u);
            EXPECT_FALSE(host().scriptUsedUp(kClient));
        }
    }
}

TEST_F(YmsgRelay, RelayEndsAtThe101stConsecutiveEmptyWait) {
    host().pushWaits(kClient, 0, 150);
    EXPECT_EQ(run(), 0);
    const auto waits = host().waitCalls();
    ASSERT_EQ(waits.size(), 101u);
    for (const WaitCall &w : waits) {
        EXPECT_EQ(std::vector<QMX_Socket>({w.readA, w.readB, w.exceptA, w.exceptB}),
                  std::vector<QMX_Socket>({kClient, kServer, kClient, kServer}));
        EXPECT_EQ(w.seconds, 3);
        EXPECT_EQ(w.microseconds, 0);
    }

    // Traffic in between starts the count again.
    fresh();
    const Bytes packet = ymsgLogin("alice");
    host().pushWaits(kClient, 0, 100);
    host().pushWait(kClient, 1);
    host().pushWaits(kClient, 0, 100);
    host().pushWait(kClient, -1);
    host().pushRecv(kClient, packet);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host().waitCalls().size(), 202u);
    EXPECT_EQ(host().sent(kServer), packet);
}

TEST_F(YmsgRelay, OutOfBandBytesAreCopiedAcrossInPiecesWithFlags1) {
    const Bytes urgent = ymsgMessage("alice", "bob", Bytes(1500, 'u'));
    host().pushOob(kClient, urgent);
    host().pushOob(kServer, "!");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host().sentOob(kServer), urgent);
    EXPECT_EQ(host().sentOob(kClient), "!");
    EXPECT_EQ(host().sent(kServer) + host().sent(kClient), "");
    EXPECT_TRUE(host().events().empty());
    for (const SendCall &s : host().sendCalls()) {
        EXPECT_EQ(s.flags, 1u);
        EXPECT_LE(s.offered.size(), 1024u);
    }
}

TEST_F(YmsgRelay, FailedSendDropsTheRestOfThatPacketOnly) {
    const Bytes first = ymsgLogin("alice");
    const Bytes second = ymsgMessage("alice", "bob", "still here");
    host().pushRecv(kClient, first);
    host().pushRecv(kClient, second);
    host().setSendLimit(kServer, 7);
    host().pushSendResult(kServer, 5);
    host().pushSendResult(kServer, 0);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host().sent(kServer), first.substr(0, 5) + second);
    EXPECT_TRUE(host().logs().empty());
}

TEST_F(YmsgRelay, PacketThatCannotBeBufferedClosesItsSide) {
    host().pushRecv(kClient, ymsgLogin("alice"));
    qmxAllocFailAfter(0);
    EXPECT_EQ(run(), 0);
    qmxAllocFailAfter(-1);
    EXPECT_EQ(host().sent(kServer), "");
    EXPECT_EQ(calls(), "log 1 Client connection closed\n");
}

TEST_F(YmsgRelay, InstanceWithoutProtocolDataReturnsAtOnce) {
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_PROTO_NEW, nullptr);
    fresh();
    host().pushRecv(kClient, ymsgLogin("alice"));
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(host().waitCalls().empty());
}

namespace {
int laterLogs = 0;
void laterLog(uint32_t, uint32_t, const char *, ...) { ++laterLogs; }
} // namespace

TEST_F(YmsgRelay, CallbacksAreCachedAtTheFirstRelay) {
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_RAW_DATA, nullptr);
    host().pushRecv(kClient, Bytes(20, 'x'));
    run();
    EXPECT_EQ(host().sent(kServer), Bytes(20, 'x'));

    // A slot that was set is kept; one that was empty is fetched again.
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_LOG, cb(laterLog));
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_RAW_DATA, cb(ScriptedHost::slotRawData));
    fresh();
    host().pushRecv(kClient, Bytes(20, 'x'));
    host().pushEof(kServer);
    host().pushRawAnswer(id, 2);
    run();
    EXPECT_EQ(laterLogs, 0);
    EXPECT_EQ(calls(), "log 1 Server connection closed\n");
    EXPECT_EQ(host().raws().size(), 1u);
    EXPECT_EQ(host().sent(kServer), "");
}
