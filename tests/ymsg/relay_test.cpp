// YMSG instances against the scripted host: one row per scripted connection,
// each played with whole reads and again with reads of every size up to a
// header and a byte, which must not change a thing.
#include "support/relay_fixture.h"
#include "support/ymsg_builders.h"
#include "ymsg/packet.h"

namespace qmxtest {
namespace {

using YmsgRelay = RelayTest<QMX_PROTO_YMSG>;
constexpr size_t kAnyRead = kYmsgHeaderSize + 1;

// alice, the client's user, writes to bob; bob writes back.
Bytes out(const Bytes &text) { return ymsg(6, "1^alice^5^bob^14^" + text + "^"); }
Bytes in(const Bytes &text) { return ymsg(6, "1^bob^5^alice^14^" + text + "^"); }
std::string said(int type, const Bytes &text, int action, bool fromClient = true) {
    return "ev " + std::to_string(type) + (fromClient ? " c alice bob '" : " s bob alice '") +
           text + "'\npol alice " + std::to_string(action) + " bob\n";
}

TEST_F(YmsgRelay, MessagesAreAskedAboutAsTextOrAsABuzz) {
    // A buzz is "<ding>" compared over the text's own length, up to a zero byte.
    const std::pair<Bytes, int> texts[] = {
        {"hello", 1},        {"<ding>", 3},           {"", 3},
        {"<din", 3},         {"<ding>!", 1},          {"<DING>", 1},
        {bytes("<di\0"), 1}, {bytes("<ding>\0zz"), 3}};
    for (const auto &[text, type] : texts) {
        expect({"out", out(text), "", "", kSame, "", said(type, text, type == 1 ? 1 : 5)},
               kAnyRead);
        expect({"in", "", in(text), "", "", kSame, said(type, text, type == 1 ? 2 : 6, false)},
               kAnyRead);
    }
}

TEST_F(YmsgRelay, EachPacketIsShownToTheHostAndForwardedOrDroppedWhole) {
    const Bytes hello = out("hello"), login = ymsg(87, "1^alice^"),
                noText = ymsg(6, "1^alice^5^bob^");
    const Bytes file = ymsg(220, "4^alice^5^bob^27^a.zip^"), other = ymsg(1, "1^alice^14^x^");
    const Bytes dc = ymsg(208, "1^alice^5^bob^49^PLUGIN^"), dcIn = ymsg(208, "1^bob^5^alice^");
    const Bytes fileIn = ymsg(220, "4^bob^5^alice^"), two = "1^bob^14^1st^5^alice^14^";
    const std::string n(100, 'n'), cut(63, 'n'), helloOut = said(1, "hello", 1);
    const Bytes fits(65535 - out("").size() + kYmsgHeaderSize, 'x');
    const Bytes longNames = ymsg(6, "1^" + n + "^5^" + n + "x^14^hi^");
    const Exchange rows[] = {
        {"login", login, "", "p0", "", "", "ev 0 c alice '' -\npol alice 0 -\n"},
        {"login from the server, not put to the policy", "", login, "p0", "", kSame,
         "ev 0 s alice '' -\n"},
        {"no text is a buzz", noText, "", "", kSame, "", "ev 3 c alice bob -\npol alice 5 bob\n"},
        {"datacast", dc, "", "", kSame, "", "ev 3 c alice bob -\npol alice 5 bob\n"},
        {"datacast refused by the event", "", dcIn, "e0", "", "", "ev 3 s bob alice -\n"},
        {"file", file, "", "", kSame, "", said(2, "a.zip", 3)},
        {"file named by key 14", "", ymsg(220, "4^bob^5^alice^14^c^"), "p0", "", "",
         said(2, "c", 4, false)},
        {"file without a name, unasked", "", fileIn, "e0 p0", "", kSame, ""},
        {"peer-to-peer set-up, dropped unasked", ymsg(79, "4^alice^5^bob^13^1^"), "", "", "", "",
         ""},
        {"other services pass unasked", "", other, "e0 p0", "", kSame, ""},
        {"names cut at 63 bytes", "", longNames, "", "", kSame,
         "ev 1 s " + cut + " " + cut + " 'hi'\npol " + cut + " 2 " + cut + "\n"},
        {"shorter replacement", hello, "", "e=hey", out("hey"), "", helloOut},
        {"longer replacement", "", in("hello"), "e=hello!!", "", in("hello!!"),
         said(1, "hello", 2, false)},
        {"empty replacement", hello, "", "e=", out(""), "", helloOut},
        {"replacement of the later text", "", ymsg(6, two + "2nd^97^1^"), "e=2", "",
         ymsg(6, two + "2^97^1^"), said(1, "2nd", 2, false)},
        {"replacement to a length of 65535", hello, "", "e=" + fits, out(fits), "", helloOut},
        {"replacement past 65535, ignored", hello, "", "e=" + fits + "x", kSame, "", helloOut},
        {"no memory for the rewrite", hello, "", "e=hey a3", kSame, "", helloOut},
        {"a buzz keeps its text", out("<ding>"), "", "e=x", kSame, "", said(3, "<ding>", 5)},
        {"a file keeps its name", file, "", "e=b.exe", kSame, "", said(2, "a.zip", 3)},
    };
    for (const Exchange &row : rows) expect(row, kAnyRead);
}

TEST_F(YmsgRelay, SidesEndCleanlyAndAForeignStreamPassesOnlyItsFirst20Bytes) {
    const Bytes login = ymsg(87, "1^alice^"), hi = in("hi"), other = ymsg(1, "1^alice^");
    const Bytes http = "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n", head = http.substr(0, 20);
    const std::string broken = "log 2 Incomplete/malformed message\n";
    const std::string client = "log 1 Client connection closed\n";
    const std::string server = "log 1 Server connection closed\n";
    const Exchange rows[] = {
        {"a conversation", reads(login, out("hello"), kEnd), reads(hi, kEnd), "e1 e1 e=hey",
         login + out("hey"), hi,
         "ev 0 c alice '' -\nev 1 s bob alice 'hi'\nev 1 c alice bob 'hello'\npol alice 0 -\n"
         "pol alice 2 bob\npol alice 1 bob\n" +
             server + client,
         "101/202*2 101/0*1 0/0*1"},
        {"partial header", reads(out("hello").substr(0, 11), kEnd), hi, "", "", kSame,
         said(1, "hi", 2, false) + client, "101/202*1 0/202*1"},
        {"short body", reads(ymsg(6, Bytes(60, 'b'), 100), kEnd), "", "", "", "", broken + client},
        {"failed receive in a body", "", reads(hi.substr(0, 25), kFail), "", "", "",
         broken + server, "101/202*1 101/0*1"},
        {"failed receive first", kFail, "", "", "", "", client},
        {"no memory for a packet", other, "", "a0", "", "", client},
        {"foreign client, hook 0", http, other, "r0", head, kSame, "raw 101>202 '" + head + "'\n",
         "101/202*1"},
        {"foreign server, hook 3", "", http, "r3", "", "", "raw 202>101 '" + head + "'\n"},
        {"idle for 300 s", "", "", "w0*150", "", "", "", "101/202*101"},
        {"traffic restarts the count", other, "", "w0*100 w1*1 w0*100 w-1*1", kSame, "", "",
         "101/202*202"},
        {"a failed send drops the rest of its packet", reads(login, other), "", "S7 s5 s0",
         login.substr(0, 5) + other, "", "ev 0 c alice '' -\npol alice 0 -\n"},
    };
    for (const Exchange &row : rows) expect(row, kAnyRead);
    // Out-of-band bytes cross unparsed, in pieces of at most 1024.
    const Bytes urgent = out(Bytes(1500, 'u'));
    expect({"out of band", kOob + urgent, kOob + "!", "", "", "",
            "oob 202 '" + urgent.substr(0, 1024) + "'\noob 101 '!'\noob 202 '" +
                urgent.substr(1024) + "'\n"});
}

TEST_F(YmsgRelay, WithoutAPolicySlotTheEventDecidesAndReplacementsAreIgnored) {
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_POLICY, nullptr);
    const Bytes hello = out("hello"), p2p = ymsg(79, "4^alice^5^bob^");
    expect({"no policy", hello + hello + p2p, "", "e=hey e0", hello, "",
            "ev 1 c alice bob 'hello'\nev 1 c alice bob 'hello'\n"});
}

TEST_F(YmsgRelay, AnInstanceWithoutProtocolDataReturnsAtOnce) {
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_PROTO_NEW, nullptr);
    expect({"no data", out("hello"), "", "", "", "", "", "none"});
}

int laterLogs = 0;
void laterLog(uint32_t, uint32_t, const char *, ...) { ++laterLogs; }

TEST_F(YmsgRelay, CallbacksAreCachedAtTheFirstRelay) {
    const QMX_Callback raw = QMX_getProtoCallback(QMX_PROTO_YMSG, QMX_CB_RAW_DATA);
    const Bytes x(20, 'x');
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_RAW_DATA, nullptr);
    expect({"no raw-data slot", x, "", "", kSame, "", ""});
    // A slot that was set is kept; one that was empty is fetched again.
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_LOG, cb(laterLog));
    QMX_setProtoCallback(QMX_PROTO_YMSG, QMX_CB_RAW_DATA, raw);
    expect({"slots set later", x, kEnd, "r2", "", "",
            "raw 101>202 '" + x + "'\nlog 1 Server connection closed\n"});
    EXPECT_EQ(laterLogs, 0);
}

} // namespace
} // namespace qmxtest
