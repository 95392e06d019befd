// What the YMSG filter shows the host and what it lets through, one packet
// per relay, through the exported API.
#include <gtest/gtest.h>

#include "containers/alloc.h"

#include "ymsg/ymsg_fixture.h"

using namespace qmxtest;

namespace {

std::string ev(int type, int fromClient, const std::string &from, const std::string &to,
               const std::optional<Bytes> &text = std::nullopt) {
    return "event type=" + std::to_string(type) + " fromClient=" + std::to_string(fromClient) +
           " from='" + from + "' to='" + to +
           "' wide=0 text=" + (text ? "'" + *text + "'" : "NULL") +
           " len=" + std::to_string(text ? text->size() : 0) + "\n";
}

std::string pol(const std::string &local, int action, const char *remote) {
    return "policy '" + local + "' " + std::to_string(action) + " " +
           (remote ? "'" + std::string(remote) + "'" : "NULL") + "\n";
}

class YmsgFilter : public YmsgTest {
protected:
    // Relays one packet from `side` and returns what reached the other side.
    Bytes relay(QMX_Socket side, const Bytes &packet) {
        host().pushRecv(side, packet);
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(host().sent(side), "");
        return host().sent(peerOf(side));
    }
};

} // namespace

TEST_F(YmsgFilter, EachServiceRaisesItsEventAndAsksThePolicyWithTheLocalUserFirst) {
    const Bytes message = ymsgMessage("alice", "bob", "hello");
    const Bytes reply = ymsgMessage("bob", "alice", "hi");
    const Bytes buzz = ymsgMessage("bob", "alice", "<ding>");
    const Bytes fileOut = ymsgFileTransfer("alice", "bob", "a.zip");
    const Bytes fileIn = ymsgFileTransfer("bob", "alice", "b.zip");
    const Bytes fileByText = YmsgPacket()
                                 .service(220)
                                 .field("4", "bob")
                                 .field("5", "alice")
                                 .field("14", "c.txt")
                                 .build();
    const Bytes fileNoName =
        YmsgPacket().service(220).field("4", "bob").field("5", "alice").build();
    const Bytes other = YmsgPacket().service(1).field("1", "alice").field("14", "x").build();
    const std::string longName(100, 'n'), cut = longName.substr(0, 63);
    struct Case {
        const char *name;
        QMX_Socket side;
        Bytes packet;
        std::string calls;
        bool forwarded;
    };
    const Case cases[] = {
        {"message out", kClient, message,
         ev(1, 1, "alice", "bob", "hello") + pol("alice", 1, "bob"), true},
        {"message in", kServer, reply, ev(1, 0, "bob", "alice", "hi") + pol("alice", 2, "bob"),
         true},
        {"login out", kClient, ymsgLogin("alice"), ev(0, 1, "alice", "") + pol("alice", 0, nullptr),
         true},
        {"login in", kServer, ymsgLogin("alice"), ev(0, 0, "alice", ""), true},
        {"buzz out", kClient, ymsgMessage("alice", "bob", "<ding>"),
         ev(3, 1, "alice", "bob", "<ding>") + pol("alice", 5, "bob"), true},
        {"buzz in", kServer, buzz, ev(3, 0, "bob", "alice", "<ding>") + pol("alice", 6, "bob"),
         true},
        {"datacast out", kClient, ymsgDatacast("alice", "bob"),
         ev(3, 1, "alice", "bob") + pol("alice", 5, "bob"), true},
        {"datacast in", kServer, ymsgDatacast("bob", "alice"),
         ev(3, 0, "bob", "alice") + pol("alice", 6, "bob"), true},
        {"file out", kClient, fileOut, ev(2, 1, "alice", "bob", "a.zip") + pol("alice", 3, "bob"),
         true},
        {"file in", kServer, fileIn, ev(2, 0, "bob", "alice", "b.zip") + pol("alice", 4, "bob"),
         true},
        {"file named by key 14", kServer, fileByText,
         ev(2, 0, "bob", "alice", "c.txt") + pol("alice", 4, "bob"), true},
        {"file without a name", kServer, fileNoName, "", true},
        {"peer-to-peer out", kClient, ymsgPeerToPeer("alice", "bob"), "", false},
        {"peer-to-peer in", kServer, ymsgPeerToPeer("bob", "alice"), "", false},
        {"other service out", kClient, other, "", true},
        {"other service in", kServer, other, "", true},
        {"names cut at 63 bytes", kServer, ymsgMessage(longName, longName + "x", "hello"),
         ev(1, 0, cut, cut, "hello") + pol(cut, 2, cut.c_str()), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        EXPECT_EQ(relay(c.side, c.packet), c.forwarded ? c.packet : "");
        EXPECT_EQ(calls(), c.calls);
    }
}

TEST_F(YmsgFilter, BuzzIsTextComparedWithDingOverItsOwnLength) {
    const struct {
        Bytes packet;
        uint32_t type;
    } cases[] = {
        {ymsgMessage("a", "b", "<ding>"), QMX_EVENT_DATACAST},
        {ymsgMessage("a", "b", ""), QMX_EVENT_DATACAST},
        {ymsgMessage("a", "b", "<din"), QMX_EVENT_DATACAST},
        {ymsgMessage("a", "b", bytes("<ding>\0zz")), QMX_EVENT_DATACAST},
        {YmsgPacket().service(6).field("1", "a").field("5", "b").build(), QMX_EVENT_DATACAST},
        {ymsgMessage("a", "b", "<ding>!"), QMX_EVENT_TEXT},
        {ymsgMessage("a", "b", "<DING>"), QMX_EVENT_TEXT},
        {ymsgMessage("a", "b", bytes("<di\0")), QMX_EVENT_TEXT},
    };
    for (const auto &c : cases) {
        fresh();
        relay(kClient, c.packet);
        ASSERT_EQ(host().events().size(), 1u);
        EXPECT_EQ(host().events()[0].type, c.type) << c.packet.substr(20);
        ASSERT_EQ(host().policies().size(), 1u);
        EXPECT_EQ(host().policies()[0].action,
                  c.type == QMX_EVENT_TEXT ? QMX_ACTION_IM_OUT : QMX_ACTION_DATACAST_OUT);
    }
}

TEST_F(YmsgFilter, RefusalByEventOrPolicyDropsThePacketSilently) {
    const struct {
        QMX_Socket side;
        Bytes packet;
        bool policyAsked;
    } cases[] = {
        {kClient, ymsgMessage("alice", "bob", "hello"), true},
        {kServer, ymsgMessage("bob", "alice", "<ding>"), true},
        {kClient, ymsgLogin("alice"), true},
        {kServer, ymsgLogin("alice"), false},
        {kServer, ymsgDatacast("bob", "alice"), true},
        {kClient, ymsgFileTransfer("alice", "bob", "a.zip"), true},
    };
    for (const auto &c : cases) {
        fresh();
        host().setDefaultEventAnswer({0, std::nullopt});
        EXPECT_EQ(relay(c.side, c.packet), "");
        EXPECT_EQ(host().events().size(), 1u);
        EXPECT_TRUE(host().policies().empty());

        fresh();
        host().setDefaultPolicyAnswer(0);
        EXPECT_EQ(relay(c.side, c.packet), c.policyAsked ? "" : c.packet);
        EXPECT_EQ(host().policies().size(), c.policyAsked ? 1u : 0u);
        EXPECT_TRUE(host().logs().empty());
    }
}

TEST_F(YmsgFilter, ReplacementTextRewritesOnlyTheMessageValueAndFixesTheLength) {
    const Bytes hello = ymsgMessage("alice", "bob", "hello");
    const size_t overhead =
        YmsgPacket().field("1", "alice").field("5", "bob").field("14", "").body().size();
    const Bytes fits(65535 - overhead, 'x');
    const Bytes tooLong(65536 - overhead, 'x');
    auto twoTexts = [](const Bytes &second) {
        return YmsgPacket()
            .service(6)
            .field("1", "bob")
            .field("14", "first")
            .field("5", "alice")
            .field("14", second)
            .field("97", "1")
            .build();
    };
    struct Case {
        const char *name;
        QMX_Socket side;
        Bytes packet;
        Bytes replacement;
        Bytes expected;
    };
    const Case cases[] = {
        {"shorter, from the client", kClient, hello, "hey", ymsgMessage("alice", "bob", "hey")},
        {"longer, from the server", kServer, ymsgMessage("bob", "alice", "hello"), "hello there",
         ymsgMessage("bob", "alice", "hello there")},
        {"empty", kClient, hello, "", ymsgMessage("alice", "bob", "")},
        {"later of two text fields", kServer, twoTexts("second"), "2nd", twoTexts("2nd")},
        {"length exactly 65535", kClient, hello, fits, ymsgMessage("alice", "bob", fits)},
        {"length past 65535 refused", kClient, hello, tooLong, hello},
        {"buzz keeps its text", kClient, ymsgMessage("alice", "bob", "<ding>"), "x",
         ymsgMessage("alice", "bob", "<ding>")},
        {"file keeps its name", kClient, ymsgFileTransfer("alice", "bob", "a.zip"), "b.exe",
         ymsgFileTransfer("alice", "bob", "a.zip")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        host().setDefaultEventAnswer({1, c.replacement});
        EXPECT_EQ(relay(c.side, c.packet), c.expected);
        // The policy is asked about the names of the packet as received.
        ASSERT_EQ(host().policies().size(), 1u);
        EXPECT_EQ(host().policies()[0].local, "alice");
        EXPECT_EQ(host().policies()[0].remote, "bob");
    }
    fresh();
    host().setDefaultEventAnswer({1, Bytes("hey")});
    host().setDefaultPolicyAnswer(0);
    EXPECT_EQ(relay(kClient, hello), "");
}

TEST_F(YmsgFilter, RewriteThatCannotBeAllocatedForwardsThePacketUnchanged) {
    const Bytes hello = ymsgMessage("alice", "bob", "hello");
    host().setEventHook([](uint32_t, FilterEvent *event) {
        QMX_setReplacementText(0, event, "hey", 3);
        qmxAllocFailAfter(0);
        return 1;
    });
    Bytes forwarded = relay(kClient, hello);
    qmxAllocFailAfter(-1);
    EXPECT_EQ(forwarded, hello);
    EXPECT_EQ(calls(), ev(1, 1, "alice", "bob", "hello") + pol("alice", 1, "bob"));
}

TEST_F(YmsgFilter, WithoutPolicySlotEventDecidesReplacementIsIgnoredAndPeerToPeerIsDropped) {
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_POLICY, nullptr);
    const Bytes hello = ymsgMessage("alice", "bob", "hello");
    host().setDefaultEventAnswer({1, Bytes("hey")});
    EXPECT_EQ(relay(kClient, hello), hello);
    fresh();
    host().setDefaultEventAnswer({0, std::nullopt});
    EXPECT_EQ(relay(kClient, hello), "");
    fresh();
    EXPECT_EQ(relay(kClient, ymsgPeerToPeer("alice", "bob")), "");
    EXPECT_TRUE(host().policies().empty());
}
