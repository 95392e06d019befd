#include "msn_fixture.h"

#include "msn/payload.h"
#include "msn/text.h"

namespace qmxtest {
namespace {

class MsnPayload : public MsnTest {};

struct MsgCase {
    const char *name;
    Bytes sent; // from the client, in one read
    std::string questions;
    Bytes changedTo = ""; // what reaches the server when it is not what was sent
};

Bytes msgWith(const std::string &contentTypeLine, const Bytes &body = "hi") {
    return MsnMsg().header("MIME-Version", "1.0").rawHeaderLine(contentTypeLine).body(body).build();
}

TEST_F(MsnPayload, MsgPayloadsAreClassifiedByTheirContentType) {
    const Bytes text = msnTextMsg({"1", "N"}, "hello");
    const Bytes plain =
        MsnMsg().header("Content-Type", "text/plain; charset=UTF-8").body("hi").payload();
    const std::string length = std::to_string(plain.size());
    const MsgCase cases[] = {
        {"text with a charset", text,
         "event type=1 fromClient=1 from='' to='' len=5\npolicy '' 1 ''\n"},
        {"runs of spaces in a text MSG line become single spaces",
         "MSG  1  N " + length + "\r\n" + plain,
         "event type=1 fromClient=1 from='' to='' len=2\npolicy '' 1 ''\n",
         "MSG 1 N " + length + "\r\n" + plain},
        {"an INVITE is a file", msnInvitationMsg({"1", "N"}, "INVITE"),
         "event type=2 fromClient=1 from='' to='' len=0\npolicy '' 3 ''\n"},
        {"an ACCEPT is not", msnInvitationMsg({"1", "N"}, "ACCEPT"), ""},
        {"a CANCEL is not", msnInvitationMsg({"1", "N"}, "CANCEL"), ""},
        {"200 OK between binary bytes",
         msnP2pMsg({"2", "D"}, Bytes("\0\x01\xff"
                                     "200 OK\0\0",
                                     11)),
         "event type=2 fromClient=0 from='' to='' len=0\npolicy '' 4 ''\n"},
        {"200 OK at the very end of the body", msnP2pMsg({"2", "D"}, Bytes(2, '\0') + "200 OK"),
         "event type=2 fromClient=0 from='' to='' len=0\npolicy '' 4 ''\n"},
        {"a P2P body without 200 OK", msnP2pMsg({"2", "D"}, "200 O"), ""},
        {"a datacast", msnDatacastMsg({"3", "N"}, "1"),
         "event type=3 fromClient=1 from='' to='' len=0\npolicy '' 5 ''\n"},
        {"a lower-case header name is not found", msgWith("content-type: text/plain"), ""},
        {"no space after the colon is no header", msgWith("Content-Type:text/plain"), ""},
        {"the last Content-Type wins",
         msgWith("Content-Type: text/plain\r\nContent-Type: text/x-msmsgscontrol"), ""},
        {"a typing notification", msgWith("Content-Type: text/x-msmsgscontrol\r\nTypingUser: a@b"),
         ""},
    };
    for (const MsgCase &c : cases) {
        SCOPED_TRACE(c.name);
        fromClient({c.sent});
        run();
        EXPECT_EQ(questions(), c.questions);
        EXPECT_EQ(host().sent(kServer), c.changedTo.empty() ? c.sent : c.changedTo);
        EXPECT_EQ(malformedLogs(), 0);
        fresh();
    }
}

TEST_F(MsnPayload, AReplacementChangesTheBodyAndTheRecomputedLength) {
    const std::string contentType = "Content-Type: text/plain; charset=UTF-8";
    const std::string padding = "X-Pad: " + std::string(100 - contentType.size() - 2 - 7, 'p');
    MsnMsg message =
        MsnMsg().rawHeaderLine(contentType).rawHeaderLine(padding).body("twenty bytes of text");
    ASSERT_EQ(message.headerBlock().size(), 100u);
    ASSERT_EQ(message.payload().size(), 124u);
    host().pushEventAnswer(id, EventAnswer{1, Bytes("12345")});
    host().pushEventAnswer(id, EventAnswer{1, Bytes("")}); // an empty replacement changes nothing
    fromClient({message.build(), message.build()});
    run();
    ASSERT_EQ(host().events().size(), 2u);
    EXPECT_EQ(host().events()[0].text, Bytes("twenty bytes of text"));
    EXPECT_EQ(host().events()[1].hadReplacement, false);
    EXPECT_EQ(host().sent(kServer),
              "MSG 1 N 109\r\n" + message.headerBlock() + "\r\n\r\n12345" + message.build());
}

TEST_F(MsnPayload, ARefusedTextIsRemovedEvenWithAReplacementAttached) {
    host().pushEventAnswer(id, EventAnswer{1, Bytes("other")});
    host().pushPolicyAnswer(id, 0);
    fromClient({msnTextMsg({"1", "N"}, "hello") + "PNG\r\n"});
    run();
    EXPECT_EQ(host().sent(kServer), "PNG\r\n");
}

TEST_F(MsnPayload, HostilePayloadsAreReportedSafelyAndForwardedWhole) {
    MsnMsg manyHeaders = MsnMsg().header("Content-Type", "text/plain").body(Bytes("a\0b", 3));
    for (int i = 0; i < 10000; ++i) manyHeaders.header("X-H" + std::to_string(i), "v");
    const Bytes longText = msnTextMsg({"1", "N"}, Bytes(70000, 'b'));
    std::vector<Bytes> reads;
    for (const Bytes &whole : {manyHeaders.build(), longText}) {
        for (size_t at = 0; at < whole.size(); at += 3000) reads.push_back(whole.substr(at, 3000));
    }
    fromClient(reads);
    run();
    const auto events = host().events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, Bytes("a\0b", 3));
    EXPECT_EQ(events[1].textLength, 70000u % 65536u);
    EXPECT_EQ(host().sent(kServer), manyHeaders.build() + longText);
}

TEST(MsnHeaderLines, LastRepeatWinsAndAZeroByteEndsTheBlock) {
    DArray *block = msnNewByteString();
    const Bytes lines = Bytes("A: 1\r\nB:2\r\n\r\nA: 3\r\n: empty name\r\n") +
                        std::string(200, 'n') + ": long\r\n" + Bytes("C: x\0D: y", 9);
    DArray_appendRun(lines.data(), static_cast<int32_t>(lines.size()), block);
    HashTable *headers = parseHeaderLines(block);
    EXPECT_STREQ(msnHeaderValue(headers, "A"), "3");
    EXPECT_EQ(msnHeaderValue(headers, "B"), nullptr);
    EXPECT_STREQ(msnHeaderValue(headers, ""), "empty name");
    EXPECT_EQ(msnHeaderValue(headers, std::string(200, 'n').c_str()), nullptr);
    EXPECT_EQ(msnHeaderValue(headers, "C"), nullptr)
        << "the line holding the zero byte has no CR LF before it";
    EXPECT_EQ(HashTable_count(headers), 2);
    freeHeaderTable(headers);
    EXPECT_EQ(parseHeaderLines(nullptr), nullptr);
    DArray_free(block);
}

} // namespace
} // namespace qmxtest
