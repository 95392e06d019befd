// What the YMSG filter shows the host and what it lets through: one packet
// per row, relayed whole and at small read sizes, which must not matter.
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

std::string pol(const std::string &local, int action, const char *remote = "bob") {
    return "policy '" + local + "' " + std::to_string(action) + " " +
           (remote ? "'" + std::string(remote) + "'" : "NULL") + "\n";
}

class YmsgFilter : public YmsgTest {};

TEST_F(YmsgFilter, EachPacketRaisesItsEventAsksThePolicyAndIsForwardedOrDropped) {
    const Bytes hello = ymsgMessage("alice", "bob", "hello");
    const Bytes fileOut = ymsgFileTransfer("alice", "bob", "a.zip");
    const Bytes other = YmsgPacket().service(1).field("1", "alice").field("14", "x").build();
    const Bytes longName(100, 'n'), cut = longName.substr(0, 63);
    const size_t overhead =
        YmsgPacket().field("1", "alice").field("5", "bob").field("14", "").body().size();
    const Bytes fits(65535 - overhead, 'x'), tooLong(65536 - overhead, 'x');
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
    const std::string helloOut = ev(1, 1, "alice", "bob", "hello") + pol("alice", 1);
    // Event answers: 1 or 0, or 1 with a replacement.
    using Answer = std::pair<int, const Bytes *>;
    const Answer allow{1, nullptr}, refuse{0, nullptr};
    const Bytes hey = "hey", there = "hello there", empty, second = "2nd", x = "x", exe = "b.exe";
    auto R = [](const Bytes &b) { return Answer{1, &b}; };
    const struct {
        const char *name;
        QMX_Socket side;
        Bytes packet;
        std::pair<int, const Bytes *> event;
        int32_t policy;
        Bytes forwarded;
        std::string calls;
    } rows[] = {
        {"message out", kClient, hello, allow, 1, hello, helloOut},
        {"message in", kServer, ymsgMessage("bob", "alice", "hi"), allow, 1,
         ymsgMessage("bob", "alice", "hi"), ev(1, 0, "bob", "alice", "hi") + pol("alice", 2)},
        {"login out", kClient, ymsgLogin("alice"), allow, 0, "",
         ev(0, 1, "alice", "") + pol("alice", 0, nullptr)},
        {"login in is not put to the policy", kServer, ymsgLogin("alice"), allow, 0,
         ymsgLogin("alice"), ev(0, 0, "alice", "")},
        {"buzz out", kClient, ymsgMessage("alice", "bob", "<ding>"), allow, 1,
         ymsgMessage("alice", "bob", "<ding>"),
         ev(3, 1, "alice", "bob", "<ding>") + pol("alice", 5)},
        {"buzz in, refused", kServer, ymsgMessage("bob", "alice", "<ding>"), allow, 0, "",
         ev(3, 0, "bob", "alice", "<ding>") + pol("alice", 6)},
        {"empty text is a buzz", kClient, ymsgMessage("alice", "bob", ""), allow, 1,
         ymsgMessage("alice", "bob", ""), ev(3, 1, "alice", "bob", "") + pol("alice", 5)},
        {"a prefix of <ding> is a buzz", kClient, ymsgMessage("alice", "bob", "<din"), allow, 1,
         ymsgMessage("alice", "bob", "<din"), ev(3, 1, "alice", "bob", "<din") + pol("alice", 5)},
        {"no text is a buzz", kClient,
         YmsgPacket().service(6).field("1", "alice").field("5", "bob").build(), allow, 1,
         YmsgPacket().service(6).field("1", "alice").field("5", "bob").build(),
         ev(3, 1, "alice", "bob") + pol("alice", 5)},
        {"<ding> with more is text", kClient, ymsgMessage("alice", "bob", "<ding>!"), allow, 1,
         ymsgMessage("alice", "bob", "<ding>!"),
         ev(1, 1, "alice", "bob", "<ding>!") + pol("alice", 1)},
        {"<ding> then a NUL is a buzz", kClient, ymsgMessage("alice", "bob", bytes("<ding>\0zz")),
         allow, 1, ymsgMessage("alice", "bob", bytes("<ding>\0zz")),
         ev(3, 1, "alice", "bob", bytes("<ding>\0zz")) + pol("alice", 5)},
        {"a NUL inside <ding> is text", kClient, ymsgMessage("alice", "bob", bytes("<di\0")), allow,
         1, ymsgMessage("alice", "bob", bytes("<di\0")),
         ev(1, 1, "alice", "bob", bytes("<di\0")) + pol("alice", 1)},
        {"<DING> is text", kClient, ymsgMessage("alice", "bob", "<DING>"), allow, 1,
         ymsgMessage("alice", "bob", "<DING>"),
         ev(1, 1, "alice", "bob", "<DING>") + pol("alice", 1)},
        {"datacast out", kClient, ymsgDatacast("alice", "bob"), allow, 1,
         ymsgDatacast("alice", "bob"), ev(3, 1, "alice", "bob") + pol("alice", 5)},
        {"datacast in, refused by the event", kServer, ymsgDatacast("bob", "alice"), refuse, 1, "",
         ev(3, 0, "bob", "alice")},
        {"file out", kClient, fileOut, allow, 1, fileOut,
         ev(2, 1, "alice", "bob", "a.zip") + pol("alice", 3)},
        {"file in named by key 14", kServer,
         YmsgPacket()
             .service(220)
             .field("4", "bob")
             .field("5", "alice")
             .field("14", "c.txt")
             .build(),
         allow, 0, "", ev(2, 0, "bob", "alice", "c.txt") + pol("alice", 4)},
        {"file without a name", kServer,
         YmsgPacket().service(220).field("4", "bob").field("5", "alice").build(), refuse, 0,
         YmsgPacket().service(220).field("4", "bob").field("5", "alice").build(), ""},
        {"peer-to-peer is dropped unasked", kClient, ymsgPeerToPeer("alice", "bob"), allow, 1, "",
         ""},
        {"other services pass unasked", kServer, other, refuse, 0, other, ""},
        {"names cut at 63 bytes", kServer, ymsgMessage(longName, longName + "x", "hello"), allow, 1,
         ymsgMessage(longName, longName + "x", "hello"),
         ev(1, 0, cut, cut, "hello") + pol(cut, 2, cut.c_str())},
        {"refused by the event, policy unasked", kClient, hello, refuse, 1, "",
         ev(1, 1, "alice", "bob", "hello")},
        {"shorter replacement", kClient, hello, R(hey), 1, ymsgMessage("alice", "bob", "hey"),
         helloOut},
        {"longer replacement from the server", kServer, ymsgMessage("bob", "alice", "hello"),
         R(there), 1, ymsgMessage("bob", "alice", "hello there"),
         ev(1, 0, "bob", "alice", "hello") + pol("alice", 2)},
        {"empty replacement", kClient, hello, R(empty), 1, ymsgMessage("alice", "bob", ""),
         helloOut},
        {"replacement of the later text field", kServer, twoTexts("second"), R(second), 1,
         twoTexts("2nd"), ev(1, 0, "bob", "alice", "second") + pol("alice", 2)},
        {"replacement to a length of 65535", kClient, hello, R(fits), 1,
         ymsgMessage("alice", "bob", fits), helloOut},
        {"replacement past 65535 is ignored", kClient, hello, R(tooLong), 1, hello, helloOut},
        {"replacement of a refused message", kClient, hello, R(hey), 0, "", helloOut},
        {"a buzz keeps its text", kClient, ymsgMessage("alice", "bob", "<ding>"), R(x), 1,
         ymsgMessage("alice", "bob", "<ding>"),
         ev(3, 1, "alice", "bob", "<ding>") + pol("alice", 5)},
        {"a file keeps its name", kClient, fileOut, R(exe), 1, fileOut,
         ev(2, 1, "alice", "bob", "a.zip") + pol("alice", 3)},
    };
    for (const auto &r : rows) {
        for (size_t readLimit : {0, 1, 7}) {
            SCOPED_TRACE(std::string(r.name) + " at read limit " + std::to_string(readLimit));
            fresh();
            host().setDefaultEventAnswer({r.event.first, r.event.second
                                                             ? std::optional<Bytes>(*r.event.second)
                                                             : std::nullopt});
            host().setDefaultPolicyAnswer(r.policy);
            host().pushRecv(r.side, r.packet);
            host().setReadLimit(r.side, readLimit);
            EXPECT_EQ(run(), 0);
            EXPECT_EQ(host().sent(peerOf(r.side)), r.forwarded);
            EXPECT_EQ(host().sent(r.side), "");
            EXPECT_EQ(calls(), r.calls);
        }
    }
}

TEST_F(YmsgFilter, RewriteThatCannotBeAllocatedForwardsThePacketUnchanged) {
    const Bytes hello = ymsgMessage("alice", "bob", "hello");
    host().setEventHook([](uint32_t, FilterEvent *event) {
        QMX_setReplacementText(0, event, "hey", 3);
        qmxAllocFailAfter(0);
        return 1;
    });
    host().pushRecv(kClient, hello);
    run();
    qmxAllocFailAfter(-1);
    EXPECT_EQ(host().sent(kServer), hello);
}

TEST_F(YmsgFilter, WithoutPolicySlotEventDecidesReplacementIsIgnoredAndPeerToPeerIsDropped) {
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_POLICY, nullptr);
    const Bytes hello = ymsgMessage("alice", "bob", "hello"), p2p = ymsgPeerToPeer("alice", "bob");
    host().pushEventAnswer(id, {1, Bytes("hey")});
    host().pushEventAnswer(id, {0, std::nullopt});
    host().pushRecv(kClient, hello + hello + p2p);
    run();
    EXPECT_EQ(host().sent(kServer), hello);
    EXPECT_EQ(host().events().size(), 2u);
}

} // namespace
