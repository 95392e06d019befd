#include "msn_fixture.h"

#include "containers/alloc.h"
#include "core/default_handlers.h"

namespace qmxtest {
namespace {

class MsnRelay : public MsnTest {};

TEST_F(MsnRelay, OnlyReadsThatStartLikeACommandGoToTheFramer) {
    struct Case {
        Bytes read;
        bool framed;
    } cases[] = {
        {"VER 1 MSNP8\r\n", true}, {"OUT\r\n", true},    {"VER", false},       {"ver 1\r\n", false},
        {"VER1 MSNP8\r\n", false}, {"VER-1\r\n", false}, {"V R 1\r\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.read);
        fromClient({c.read});
        fromServer({c.read});
        run();
        EXPECT_EQ(host().raws().size(), c.framed ? 0u : 2u);
        EXPECT_EQ(host().sent(kServer), c.read);
        EXPECT_EQ(host().sent(kClient), c.read);
        fresh();
    }
}

TEST_F(MsnRelay, TheHookCanKeepOnlyClientBytesFromBeingForwarded) {
    host().pushRawAnswer(id, 2);
    host().pushRawAnswer(id, 2);
    fromClient({"hello server"});
    fromServer({"hello client"});
    run();
    EXPECT_EQ(host().sent(kServer), "");
    EXPECT_EQ(host().sent(kClient), "hello client");
    EXPECT_EQ(logTexts(), (std::vector<std::string>{"RECV HISTORY (0)/size 12 :\nhello server",
                                                    "REPLY HISTORY (0)/size 0 :\n"}))
        << "only the client direction differs";
}

QMX_Socket rawFromSocket = 0;
QMX_Socket rawToSocket = 0;
int32_t recordSides(uint32_t, uintptr_t from, uintptr_t to, const uint8_t *, intptr_t) {
    rawFromSocket = reinterpret_cast<const RelaySide *>(from)->socket;
    rawToSocket = reinterpret_cast<const RelaySide *>(to)->socket;
    return 0;
}

TEST_F(MsnRelay, TheHookSeesTheRelaySidesWithTheirSocketsFirst) {
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_RAW_DATA, cb(recordSides)), 0u);
    fromServer({"x"});
    run();
    EXPECT_EQ(rawFromSocket, kServer);
    EXPECT_EQ(rawToSocket, kClient);
}

TEST_F(MsnRelay, ANonCommandReadIsFramedWhileACommandIsPending) {
    fromClient({"ADL 1 9\r\n<ml", "></ml>"});
    run();
    EXPECT_TRUE(host().raws().empty());
    EXPECT_EQ(sendsTo(kServer), std::vector<Bytes>{"ADL 1 9\r\n<ml></ml>"});
}

// Half-closes for sending (1), passed on to the scripted host.
std::vector<std::pair<QMX_Socket, int32_t>> halfCloseCalls;
int32_t recordHalfClose(QMX_Socket s, int32_t how) {
    halfCloseCalls.emplace_back(s, how);
    return ScriptedHost::slotHalfClose(s, how);
}

TEST_F(MsnRelay, AClosedClientHalfClosesTheServerWhileServerDataFlows) {
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_HALF_CLOSE, cb(recordHalfClose)), 0u);
    fromClient({"PNG\r\n"});
    host().pushEof(kClient);
    fromServer({"QNG 50\r\n", "QNG 49\r\n", "QNG 48\r\n"});
    host().pushEof(kServer);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(halfCloseCalls,
              (std::vector<std::pair<QMX_Socket, int32_t>>{{kServer, 1}, {kClient, 1}}));
    EXPECT_EQ(host().sent(kClient), "QNG 50\r\nQNG 49\r\nQNG 48\r\n");
    ASSERT_GE(host().waitCalls().size(), 3u);
    const WaitCall last = host().waitCalls().back();
    EXPECT_EQ(std::vector<QMX_Socket>(
                  {last.readA, last.exceptA, last.readB, static_cast<QMX_Socket>(last.seconds)}),
              std::vector<QMX_Socket>({0, 0, kServer, 3}));
    EXPECT_TRUE(host().scriptUsedUp(kClient));
}

// An hour of empty waits (1200 of 3 s, traffic resetting the count) or a
// failed read end the relay with 1.
TEST_F(MsnRelay, TheRelayEndsAfterMoreThanAnHourOfEmptyWaitsOrWhenAReadFails) {
    host().pushWaits(kClient, 0, 1200);
    host().pushWait(kClient, 1);
    host().pushWaits(kClient, 0, 1201);
    fromClient({"PNG\r\n", "never read\r\n"});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(host().waitCalls().size(), 2402u);
    EXPECT_EQ(host().recvCalls(kClient), 1);

    fresh();
    host().pushRecvError(kServer);
    fromClient({"PNG\r\n", "more\r\n"});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(host().sent(kServer), "PNG\r\n") << "the pass that failed still handled the client";
    EXPECT_EQ(host().recvCalls(kClient), 1);
}

TEST_F(MsnRelay, ShortSendsAreRepeatedAndAFailedSendDropsOnlyThatBuffer) {
    host().setSendLimit(kServer, 3);
    fromClient({"VER 1 MSNP8\r\n"});
    run();
    EXPECT_EQ(host().sent(kServer), "VER 1 MSNP8\r\n");
    host().pushSendResult(kServer, 0);
    fromClient({"CVR 2 x\r\n", "PNG\r\n"});
    run();
    EXPECT_EQ(host().sent(kServer), "VER 1 MSNP8\r\nPNG\r\n");
}

TEST_F(MsnRelay, OutOfBandBytesCrossUnframedInOneSend) {
    host().pushOob(kClient, "!");
    host().pushOob(kServer, "?");
    run();
    EXPECT_EQ(host().sentOob(kServer), "!");
    EXPECT_EQ(host().sentOob(kClient), "?");
    EXPECT_TRUE(host().logs().empty()) << "out-of-band bytes are not in the histories";
}

TEST_F(MsnRelay, HistoriesAreLoggedPerDifferingDirectionClientFirst) {
    host().pushPolicyAnswer(id, 0);
    host().pushPolicyAnswer(id, 0);
    fromServer({msnLine({"NLN", "NLN", "bob@x", "Bob"})});
    fromClient({msnLine({"USR", "1", "TWN", "I", "a@x"})});
    run();
    EXPECT_EQ(logTexts(), (std::vector<std::string>{
                              "RECV HISTORY (0)/size 17 :\nUSR 1 TWN I a@x\r\n",
                              "REPLY HISTORY (0)/size 22 :\nUSR user not allowed\r\n",
                              "RECV HISTORY (1)/size 19 :\nNLN NLN bob@x Bob\r\n",
                              "REPLY HISTORY (1)/size 0 :\n",
                          }));
}

void *noInstanceData(uint32_t, QMX_Socket, QMX_Socket, uintptr_t) { return nullptr; }

// Without a server socket the relay reads and sends nothing; without instance
// data it returns at once.
TEST_F(MsnRelay, AnInstanceWithoutAServerSocketOrDataStillEndsCleanly) {
    const uint32_t noServer = QMX_newInstance(QMX_PROTO_MSN, kClient, 0, 0);
    fromClient({"PNG\r\n", "QNG\r\n"});
    EXPECT_EQ(QMX_processInstance(noServer), 1);
    EXPECT_EQ(host().recvCalls(kClient), 2);
    EXPECT_TRUE(host().sendCalls().empty());

    fresh();
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_PROTO_NEW, cb(noInstanceData)), 0u);
    const uint32_t empty = QMX_newInstance(QMX_PROTO_MSN, kClient, kServer, 0);
    fromClient({"PNG\r\n"});
    EXPECT_EQ(QMX_processInstance(empty), 1);
    EXPECT_TRUE(host().waitCalls().empty());
}

TEST(MsnInstance, EveryAllocationFailureOfTheConstructorGivesNullWithoutLeaks) {
    int succeededAt = -1;
    for (int n = 0; n < 20 && succeededAt < 0; ++n) {
        qmxAllocFailAfter(n);
        void *data = msnNewInstance(1, 3, 4, 0);
        qmxAllocFailAfter(-1);
        if (data != nullptr) {
            succeededAt = n;
            auto *instance = static_cast<MsnInstanceData *>(data);
            EXPECT_EQ(instance->serverSocket, 4u);
            for (DArray *a : {instance->directions[0].line, instance->directions[0].rest,
                              instance->directions[0].pending, instance->directions[1].line,
                              instance->directions[1].rest, instance->directions[1].pending,
                              instance->ownAddress, instance->peerAddress}) {
                DArray_free(a);
            }
            qmxFree(data);
        }
    }
    EXPECT_EQ(succeededAt, 17) << "the record and eight byte strings of two allocations each";
}

} // namespace
} // namespace qmxtest
