// MSN instances against the scripted host, one row per scripted connection.
// An MSN relay frames a read only when it starts like a command, so its
// output depends on how the reads fall, and every row says how they do.
#include "core/default_handlers.h"
#include "msn/relay.h"
#include "support/msn_builders.h"
#include "support/relay_fixture.h"

namespace qmxtest {
namespace {

using MsnRelay = RelayTest<QMX_PROTO_MSN>;

// A MSG of one content type.
Bytes msg(const std::string &tokens, const std::string &type, const Bytes &body) {
    return msnCommand("MSG " + tokens, "Content-Type: " + type + "\r\n\r\n" + body);
}

TEST_F(MsnRelay, CommandsAreForwardedOnceCompleteAndMalformedOnesAreDropped) {
    const std::string zomg = "log 3 zOMG!\n";
    const Bytes pag = msnCommand("PAG 1", Bytes(120, 'x')), ubn = msnCommand("UBN 1 b@x 1", "<d/>");
    Bytes lines; // crossing the framer's 512-byte pieces
    for (int i = 0; lines.size() < 1300; ++i)
        lines += "PNG " + std::to_string(i) + " " + std::string(size_t(i % 40), 'p') + "\r\n";
    const Exchange rows[] = {
        {"a line in two reads, the second not like a command",
         reads("VER 1\r\nCVR 2 0x0409\r\nINF", " 3\r\n"), "", "", kSame, "", ""},
        {"a lone LF is no line end", reads("CHG 1 NLN\n", "XFR 2\r\n"), "", "", kSame, "", ""},
        {"lines without a payload", "PNG\r\n\r\nSYN 1 9\r\nPAG 1 word\r\nADL  \r\n", "", "", kSame,
         "", ""},
        {"a payload in two reads", reads(pag.substr(0, 60), pag.substr(60)), "", "", kSame, "", ""},
        {"QRY has a payload after three tokens only",
         reads("QRY 1\r\n", "abcde", "QRY 1 id 5\r\n", "abcde"), "", "", kSame, "",
         "raw 'abcde'\n"},
        {"UUN and UBN with header lines are removed",
         msnCommand("UUN 1 b@x 1", "Key: v\r\n") + ubn + msnCommand("UBN 1 b@x 1", "K: v"), "", "",
         ubn, "", ""},
        {"lines crossing the pieces", lines, "", "", kSame, "", ""},
        {"a MSG without blank line, of length 0 or 2^31",
         msnCommand("MSG 1 N", "Content-Type: a\r\nhi") +
             "MSG 2 N 0\r\nMSG 3 N 2147483648\r\nPNG\r\n",
         "", "", "PNG\r\n", "", zomg + zomg + zomg},
        {"a NUL in a line, in one read or two",
         reads(bytes("FOO a\0b\r\nPNG\r\n"), bytes("FOO a\0b"), "\r\nQNG\r\n"), "", "",
         "PNG\r\nQNG\r\n", "", zomg + zomg},
        {"a line that never ends", reads("SYN " + Bytes(66000, 'a'), kEnd), "", "", "", "",
         zomg + "half 202/1\n"},
        {"a payload over the command limit", reads("ADL 1 262144\r\n", "xy", "PNG\r\n"), "", "",
         "xyPNG\r\n", "", "raw 'xy'\n" + zomg},
    };
    for (const Exchange &row : rows) expect(row);
}

TEST_F(MsnRelay, TheOutputOfOneReadGoesOutInOneSendInCommandOrder) {
    for (const char *read : {"PNG\r\nQRY 1 id 3\r\nab", "cPNG\r\nADL 2 4\r\n<m/", ">\r\n"})
        host().pushRecv(kClient, read);
    run();
    std::vector<Bytes> sends;
    for (const SendCall &c : host().sendCalls()) sends.push_back(c.offered);
    EXPECT_EQ(sends,
              (std::vector<Bytes>{"PNG\r\n", "QRY 1 id 3\r\nabcPNG\r\n", "ADL 2 4\r\n<m/>\r\n"}));
}

TEST_F(MsnRelay, MsgPayloadsAreAskedAboutByContentTypeAndRewrittenWithTheirLength) {
    const Bytes text = msg("1 N", "text/plain; charset=UTF-8", "hello");
    const std::string hello = "ev 1 c '' '' 'hello'\n", asked = "pol '' 1 ''\n";
    const Bytes invite = "text/x-msmsgsinvite", command = "Invitation-Command: ";
    const Bytes p2p = "application/x-msnmsgrp2p", p2pIn = "ev 2 s '' '' -\n";
    const Exchange rows[] = {
        {"text, also with runs of spaces in its line",
         text + msnCommand("MSG  1  N", "Content-Type: text/plain\r\n\r\nhi"), "", "",
         text + msg("1 N", "text/plain", "hi"), "", hello + "ev 1 c '' '' 'hi'\n" + asked + asked},
        {"an INVITE is a file, an ACCEPT is not",
         msg("1 N", invite, command + "INVITE\r\n\r\n") + msg("2 N", invite, command + "ACCEPT"),
         "", "", kSame, "", "ev 2 c '' '' -\npol '' 3 ''\n"},
        {"a P2P 200 OK, between binary bytes or at the end",
         msg("2 D", p2p, bytes("\0\x01\xff 200 OK\0")) + msg("3 D", p2p, "200 OK") +
             msg("4 D", p2p, "200 O"),
         "", "", kSame, "", p2pIn + p2pIn + "pol '' 4 ''\npol '' 4 ''\n"},
        {"a datacast; header names are exact, with ': ' after them, and the last one wins",
         msg("3 N", "text/x-msnmsgr-datacast", "ID: 1\r\n\r\n") +
             msnCommand("MSG 1 N", "content-type: text/plain\r\n\r\n") +
             msnCommand("MSG 2 N", "Content-Type:text/plain\r\n\r\n") +
             msnCommand("MSG 3 N", "Content-Type: text/plain\r\nContent-Type: x\r\n\r\n") +
             msnCommand("MSG 4 N", "\r\n\r\nno header at all"),
         "", "", kSame, "", "ev 3 c '' '' -\npol '' 5 ''\n"},
        {"a replacement, with the new length; an empty one changes nothing", text + text, "",
         "e=" + Bytes(60, 'r') + " e=",
         msg("1 N", "text/plain; charset=UTF-8", Bytes(60, 'r')) + text, "",
         hello + hello + asked + asked},
        {"a refused text is removed, replacement or not", text + "PNG\r\n", "", "e=other p0",
         "PNG\r\n", "", hello + asked},
        {"a zero byte in a text; a text over 65535 bytes, its length cut to 16 bits",
         msg("1 N", "text/plain", bytes("a\0b")) + msg("1 N", "text/plain", Bytes(70000, 'b')), "",
         "", kSame, "",
         bytes("ev 1 c '' '' 'a\0b'\n") + "ev 1 c '' '' '" + Bytes(70000 % 65536, 'b') + "'\n" +
             asked + asked},
    };
    for (const Exchange &row : rows) expect(row);
}

TEST_F(MsnRelay, LoginsNameTheAddressThatLogsInAndThePolicyDecides) {
    const std::pair<Bytes, std::string> logins[] = {
        {"USR 1 TWN I a@x", "a@x"},   {"USR 1 SSO I a@x", "a@x"},
        {"USR 1 TWN S t=ticket", ""}, {"USR 1 TWN I", ""},
        {"USR 2 SHA A abc", ""},      {"USR 1 TWN I 12:a@x", "a@x"},
        {"USR 1 TWN I 12:34", "34"},  {"USR 1 TWN I a@x;{f52973b6}", "a@x"},
        {"USR 1 TWN I ;;::", ""},     {"ANS 1 a@x t 1", "a@x"},
        {"<USR 3 c@x C", "c@x"},      {"<USR 2 OK a@x 1 0", ""},
        {"<ANS 1 a@x t 1", ""}};
    for (const auto &[line, a] : logins) {
        const bool server = line[0] == '<'; // the server's
        const Bytes sent = line.substr(server) + "\r\n";
        const std::string calls = a.empty() ? ""
                                            : "ev 0 " + std::string(server ? "s " : "c ") + a +
                                                  " - -\npol " + a + " 0 -\n";
        expect({line.c_str(), server ? "" : sent, server ? sent : "", "", kSame, kSame, calls});
    }
    const Bytes usr = "USR 1 TWN I a@x\r\n", login = "ev 0 c a@x - -\n",
                hi = msnTextMsg({"3", "N"}, "hi");
    const Bytes hey = msnTextMsg({"b@x", "B"}, "hey"),
                roster = "IRO 1 1 2 a@x A\r\nIRO 1 2 2 b@x B\r\n";
    const Bytes accept = msg("2 D", "application/x-msnmsgrp2p", "MSNSLP/1.0 200 OK\r\n");
    const Exchange rows[] = {
        {"logins refused by the event or the policy", usr + usr + "PNG\r\n", "", "e0 p0",
         "USR user not allowed\r\nUSR user not allowed\r\nPNG\r\n", "",
         login + login + "pol a@x 0 -\n"},
        {"the first allowed login names the user", reads(usr, "USR 2 TWN I m@x\r\n", hi), "", "",
         kSame, "",
         login + "ev 0 c m@x - -\nev 1 c a@x '' 'hi'\npol a@x 0 -\npol m@x 0 -\npol a@x 1 ''\n"},
        {"calls, unless to the user or from the server",
         reads(usr, "CAL 2 a@x\r\n", "CAL 3 b@x\r\n", "CAL 7 e@x\r\n"), "CAL 4 RINGING 1\r\n",
         "p1 p1 p0", usr + "CAL 2 a@x\r\nCAL 3 b@x\r\nCAL 7 BLOCKED_CONTACT\r\n", kSame,
         login + "pol a@x 0 -\npol a@x 1 b@x\npol a@x 1 e@x\n"},
        {"the peer is the first roster or join entry but the user", "ANS 1 a@x t 9\r\n",
         reads(roster, "JOI c@x C\r\n", hey), "", kSame, kSame,
         login + "ev 1 s b@x a@x 'hey'\npol a@x 0 -\npol a@x 2 b@x\n"},
        {"presence from the server", "NLN NLN b@x B\r\n", "NLN NLN b@x B\r\nILN 5 BSY c@x C\r\n",
         "p0", kSame, "ILN 5 BSY c@x C\r\n", "pol '' 2 b@x\npol '' 2 c@x\n"},
        {"an acceptance by the client is a file coming in", reads(usr, accept), "JOI b@x B\r\n", "",
         kSame, kSame, login + "ev 2 s b@x a@x -\npol a@x 0 -\npol a@x 4 b@x\n"},
    };
    for (const Exchange &row : rows) expect(row);
}

TEST_F(MsnRelay, ReadsSidesAndSendsFollowTheRelayRules) {
    const Exchange rows[] = {
        {"others go to the hook", reads("VER", "ver 1\r\n", "VER1 2\r\n", "V R 1\r\n"), "VER-1\r\n",
         "", kSame, kSame,
         "raw 'VER'\nraw 'VER-1\r\n'\nraw 'ver 1\r\n'\nraw 'VER1 2\r\n'\nraw 'V R 1\r\n'\n"},
        {"the hook holds back client bytes only", "to server", "to client", "r2 r2", "", kSame,
         "raw 'to server'\nraw 'to client'\n"},
        {"an ended side half-closes the other", reads("PNG\r\n", kEnd),
         reads("QNG 50\r\n", "QNG 49\r\n", "QNG 48\r\n", kEnd), "", kSame, kSame,
         "half 202/1\nhalf 101/1\n", "101/202*2 0/202*2"},
        {"an hour of empty waits ends the relay", reads("PNG\r\n", "never read\r\n"), "",
         "w0*1200 w1*1 w0*1201", "PNG\r\n", "", "", "101/202*2402"},
        {"so does a failed read", reads("PNG\r\n", "more\r\n"), kFail, "", "PNG\r\n", "", "",
         "101/202*1"},
        {"short sends are repeated", "VER 1 MSNP8\r\n", "", "S3", kSame, "", ""},
        {"a failed send drops only its buffer", reads("CVR 2 x\r\n", "PNG\r\n"), "", "s0",
         "PNG\r\n", "", ""},
        {"out-of-band bytes cross unframed", kOob + "!", kOob + "?", "", "", "",
         "oob 202 '!'\noob 101 '?'\n"},
    };
    for (const Exchange &row : rows) expect(row);
}

TEST_F(MsnRelay, HistoriesAreLoggedPerDifferingDirectionClientFirst) {
    auto histories = [] {
        std::vector<std::string> texts;
        for (const LogLine &l : host().logs())
            texts.push_back(std::to_string(l.level) + " " + l.text);
        return texts;
    };
    host().pushPolicyAnswer(id, 0);
    host().pushPolicyAnswer(id, 0);
    host().pushRecv(kServer, "NLN NLN b@x Bob\r\n");
    host().pushRecv(kClient, "USR 1 TWN I a@x\r\n");
    host().pushOob(kClient, "!"); // not in the histories
    run();
    EXPECT_EQ(histories(), (std::vector<std::string>{
                               "3 RECV HISTORY (0)/size 17 :\nUSR 1 TWN I a@x\r\n",
                               "3 REPLY HISTORY (0)/size 22 :\nUSR user not allowed\r\n",
                               "3 RECV HISTORY (1)/size 17 :\nNLN NLN b@x Bob\r\n",
                               "3 REPLY HISTORY (1)/size 0 :\n",
                           }));
    // Bytes that changed but not their count differ just as much.
    fresh();
    host().pushEventAnswer(id, {1, Bytes("HI")});
    host().pushRecv(kServer, msg("b@x B", "text/plain", "hi"));
    run();
    EXPECT_EQ(histories(), (std::vector<std::string>{
                               "3 RECV HISTORY (1)/size 44 :\n" + msg("b@x B", "text/plain", "hi"),
                               "3 REPLY HISTORY (1)/size 44 :\n" + msg("b@x B", "text/plain", "HI"),
                           }));
}

QMX_Socket rawFrom = 0, rawTo = 0;
int32_t recordSides(uint32_t, uintptr_t from, uintptr_t to, const uint8_t *, intptr_t) {
    rawFrom = reinterpret_cast<const RelaySide *>(from)->socket;
    rawTo = reinterpret_cast<const RelaySide *>(to)->socket;
    return 0;
}

TEST_F(MsnRelay, TheHookSeesTheRelaySidesWithTheirSocketsFirst) {
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_RAW_DATA, cb(recordSides)), 0u);
    expect({"raw", "", "x", "", "", kSame, ""});
    EXPECT_EQ(std::make_pair(rawFrom, rawTo), std::make_pair(kServer, kClient));
}

int32_t refuseEverything(uint32_t, const char *, uint32_t, const char *) { return 0; }

TEST_F(MsnRelay, PolicyAndEventSlotsAreReadAfreshForEveryCommand) {
    const Bytes nln = "NLN NLN b@x Bob 0\r\n", hi = msnTextMsg({"b@x", "Bob"}, "hi");
    expect({"before", "", nln, "", "", kSame, "pol '' 2 b@x\n"});
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_POLICY, cb(refuseEverything)), 0u);
    expect({"refusing", "", reads(nln, hi), "", "", "", "ev 1 s '' '' 'hi'\n"});
    // Empty slots allow, as the defaults do.
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_EVENT, nullptr), 0u);
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_POLICY, nullptr), 0u);
    expect({"empty", "", reads(nln, hi), "", "", kSame, ""});
}

void *noInstanceData(uint32_t, QMX_Socket, QMX_Socket, uintptr_t) { return nullptr; }

TEST_F(MsnRelay, AnInstanceWithoutAServerSocketOrDataStillEndsCleanly) {
    // Without a server socket the relay reads and sends nothing.
    const uint32_t noServer = QMX_newInstance(QMX_PROTO_MSN, kClient, 0, 0);
    host().pushRecv(kClient, "PNG\r\n");
    EXPECT_EQ(QMX_processInstance(noServer), 1);
    EXPECT_TRUE(host().sendCalls().empty());
    ASSERT_EQ(QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_PROTO_NEW, cb(noInstanceData)), 0u);
    expect({"no instance data", "PNG\r\n", "", "", "", "", "", "none"});
}

TEST(MsnInstance, EveryAllocationFailureOfTheConstructorGivesNullWithoutLeaks) {
    int succeededAt = -1;
    for (int n = 0; n < 20 && succeededAt < 0; ++n) {
        qmxAllocFailAfter(n);
        auto *data = static_cast<MsnInstanceData *>(msnNewInstance(1, 3, 4, 0));
        qmxAllocFailAfter(-1);
        if (data == nullptr) continue;
        succeededAt = n;
        EXPECT_EQ(data->serverSocket, 4u);
        for (const MsnDirection &d : data->directions)
            for (DArray *a : {d.line, d.rest, d.pending}) DArray_free(a);
        DArray_free(data->ownAddress);
        DArray_free(data->peerAddress);
        qmxFree(data);
    }
    EXPECT_EQ(succeededAt, 17) << "the record and eight byte strings of two allocations each";
}

} // namespace
} // namespace qmxtest
