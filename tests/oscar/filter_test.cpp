#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oscar_fixture.h"

namespace qmxtest {
namespace {

constexpr QMX_Socket kClient = 301;
constexpr QMX_Socket kServer = 302;
constexpr uint64_t kIcbmCookie = 0x0011223344556677ull;

Bytes textTlv(const Bytes &text) { return oscarMessageDataTlv(text, kCharsetAscii, 0); }

Bytes sendFileTlv(uint64_t cookie) {
    return oscarRendezvousTlv(0, cookie, oscarCapSendFile(), oscarSendFileTlv(0, 1, 10, "a.txt"));
}

Bytes icqText(const Bytes &text) {
    return oscarRendezvousTlv(
        0, kIcbmCookie, oscarCapIcqServerRelay(),
        oscarIcqExtendedTlv(oscarPluginNull(), 1, 0, 0, 1, text, oscarLe32(0) + oscarLe32(0)));
}

Bytes tzer() {
    Bytes plugin = oscarPluginFile();
    plugin[3] = 'T';
    return oscarRendezvousTlv(
        0, kIcbmCookie, oscarCapIcqServerRelay(),
        oscarIcqExtendedTlv(oscarPluginNull(), 0x1A, 0, 0, 1, "",
                            oscarIcqPluginData(plugin, 0x29, "Send Tzer", "", "")));
}

using OscarFilter = OscarRelayTest;

TEST_F(OscarFilter, RefusedLoginReachesTheServerWithOnlyItsPasswordSpoiled) {
    const Bytes channel1 = oscarSignonFrame(
        0x1234, oscarTlv(0x0001, "alice") + oscarTlv(0x0002, "pw") + oscarTlv(0x0003, "aim"));
    const Bytes channel2 = oscarSnacFrame(
        0x4321, 0x0017, 0x0002, oscarTlv(0x0001, "alice") + oscarTlv(0x0025, Bytes(16, '\x0F')));
    const struct {
        Bytes frame;
        size_t spoiledAt;
    } cases[] = {{channel1, 6 + 4 + 9 + 4}, {channel2, 6 + 10 + 9 + 4}};
    for (const auto &c : cases) {
        Bytes expected = c.frame;
        expected[c.spoiledAt] = static_cast<char>(~static_cast<uint8_t>(expected[c.spoiledAt]));
        EXPECT_EQ(relayOnce(kClient, {c.frame}, 0), expected);
        EXPECT_EQ(blockedLogs(), std::vector<std::string>{"Blocked LOGIN from client alice"});
        ASSERT_EQ(host().events().size(), 1u);
        const EventCall e = host().events()[0];
        EXPECT_EQ(std::to_string(e.type) + " " + e.from.value_or("") + " " +
                      std::to_string(e.textLength),
                  "0 alice 0");
        EXPECT_EQ(decisions().back(), "policy alice 0 <null>");
    }
}

// A refused message keeps its FLAP sequence and is cut to its ICBM header:
// L + 21 payload bytes going out, L + 25 with a user-info count of 0 coming in.
TEST_F(OscarFilter, RefusedMessagesAndDatacastsAreCutToTheirIcbmHeader) {
    const Bytes userInfo = oscarTlv(0x0001, oscarU16(0x0010)) + oscarTlv(0x0006, oscarU32(0));
    const struct {
        const char *what;
        QMX_Socket from;
        Bytes frame;
        Bytes expected;
        uint32_t action;
        const char *log;
    } cases[] = {
        {"outgoing message", kClient,
         oscarOutgoingIcbm(0x0505, kIcbmCookie, 1, "bob", textTlv("hi")),
         oscarOutgoingIcbm(0x0505, kIcbmCookie, 1, "bob", ""), QMX_ACTION_IM_OUT,
         "Blocked outgoing IM/DATACAST from client  to user bob"},
        {"incoming message", kServer,
         oscarIncomingIcbm(0x0606, kIcbmCookie, 1, "carol", 7, 2, userInfo, textTlv("hey")),
         oscarIncomingIcbm(0x0606, kIcbmCookie, 1, "carol", 7, 0, "", ""), QMX_ACTION_IM_IN,
         "Blocked incoming IM/DATACAST from user carol to client "},
        {"incoming ICQ message", kServer,
         oscarIncomingIcbm(0x0707, kIcbmCookie, 2, "1234567", 0, 0, "", icqText("yo")),
         oscarIncomingIcbm(0x0707, kIcbmCookie, 2, "1234567", 0, 0, "", ""), QMX_ACTION_IM_IN,
         "Blocked incoming IM/DATACAST from user 1234567 to client "},
        {"outgoing datacast", kClient, oscarOutgoingIcbm(0x0808, kIcbmCookie, 2, "777", tzer()),
         oscarOutgoingIcbm(0x0808, kIcbmCookie, 2, "777", ""), QMX_ACTION_DATACAST_OUT,
         "Blocked outgoing IM/DATACAST from client  to user 777"},
        {"incoming datacast", kServer,
         oscarIncomingIcbm(0x0909, kIcbmCookie, 2, "777", 0, 1, userInfo.substr(0, 6), tzer()),
         oscarIncomingIcbm(0x0909, kIcbmCookie, 2, "777", 0, 0, "", ""), QMX_ACTION_DATACAST_IN,
         "Blocked incoming IM/DATACAST from user 777 to client "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(relayOnce(c.from, {c.frame}, 0), c.expected);
        EXPECT_EQ(blockedLogs(), std::vector<std::string>{c.log});
        ASSERT_EQ(host().policies().size(), 1u);
        EXPECT_EQ(host().policies()[0].action, c.action);
        EXPECT_EQ(host().policies()[0].local, "");
    }
}

TEST_F(OscarFilter, EventVerdictOfZeroRefusesAMessageWithoutAskingThePolicy) {
    EXPECT_EQ(relayOnce(kClient, {oscarOutgoingIcbm(1, kIcbmCookie, 1, "bob", textTlv("hi"))}, 1,
                        EventAnswer{0, std::nullopt}),
              oscarOutgoingIcbm(1, kIcbmCookie, 1, "bob", ""));
    EXPECT_TRUE(host().policies().empty());
}

TEST_F(OscarFilter, MessageEventsDescribeDirectionNamesTextAndCharset) {
    const uint32_t id = connect(kClient, kServer);
    // The server's frames first, so that the name is known for the client's.
    host().pushWaits(kServer, 2, 2);
    feed(kServer, {oscarSelfInfoFrame(1, "alice"),
                   oscarIncomingIcbm(2, kIcbmCookie, 1, "bob", 0, 0, "",
                                     oscarMessageDataTlv(Bytes("\0h\0i", 4), kCharsetUnicode, 0))});
    feed(kClient, {oscarOutgoingIcbm(3, kIcbmCookie, 1, "carol", textTlv("yes"))}, false);
    QMX_processInstance(id);
    EXPECT_EQ(decisions(),
              (std::vector<std::string>{
                  "event 1 fromClient 0 from bob to alice wide 1 text " + Bytes("\0h\0i", 4) + "/4",
                  "event 1 fromClient 1 from alice to carol wide 0 text yes/3",
                  "policy alice 0 <null>",
                  "policy alice 2 bob",
                  "policy alice 1 carol",
              }));
}

TEST_F(OscarFilter, ReplacementTextIsSplicedWithEveryEnclosingLengthMoved) {
    const Bytes trailer = oscarTlv(0x0003, "");
    const struct {
        const char *what;
        Bytes frame;
        Bytes replacement;
        Bytes expected;
    } cases[] = {
        {"channel 1, three bytes longer",
         oscarOutgoingIcbm(5, kIcbmCookie, 1, "bob", textTlv("hello") + trailer), "hello!!!",
         oscarOutgoingIcbm(5, kIcbmCookie, 1, "bob", textTlv("hello!!!") + trailer)},
        {"channel 1, emptied", oscarOutgoingIcbm(5, kIcbmCookie, 1, "bob", textTlv("hello")), "",
         oscarOutgoingIcbm(5, kIcbmCookie, 1, "bob", textTlv(""))},
        {"ICQ extended message", oscarOutgoingIcbm(6, kIcbmCookie, 2, "12345", icqText("abc")),
         "abcdefgh", oscarOutgoingIcbm(6, kIcbmCookie, 2, "12345", icqText("abcdefgh"))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(relayOnce(kClient, {c.frame}, 1, EventAnswer{1, c.replacement}), c.expected);
    }
}

TEST_F(OscarFilter, ReplacementIsIgnoredWhereItCannotApply) {
    const struct {
        const char *what;
        Bytes frame;
        Bytes replacement;
    } cases[] = {
        {"datacast", oscarOutgoingIcbm(1, kIcbmCookie, 2, "777", tzer()), "x"},
        {"file request", oscarOutgoingIcbm(1, kIcbmCookie, 2, "bob", sendFileTlv(1)), "x"},
        {"login", oscarSignonFrame(1, oscarTlv(0x0001, "a") + oscarTlv(0x0002, "b")), "x"},
        {"text past 65535 bytes", oscarOutgoingIcbm(1, kIcbmCookie, 1, "bob", textTlv("hi")),
         Bytes(65536, 'y')},
        {"FLAP length past 65535",
         oscarOutgoingIcbm(1, kIcbmCookie, 1, "bob", textTlv("hi") + oscarPaddingTlv(9, 1000)),
         Bytes(65000, 'y')},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(relayOnce(kClient, {c.frame}, 1, EventAnswer{1, c.replacement}), c.frame)
            << c.what;
    }
}

TEST_F(OscarFilter, RefusedSelfInfoIsHeldBackAndClosesTheServerSide) {
    const uint32_t id = connect(kClient, kServer);
    feed(kServer, {oscarSelfInfoFrame(1, "mallory"), oscarFlap(5, 2, "")}, false);
    feed(kClient, {oscarFlap(5, 9, "")});
    host().setDefaultPolicyAnswer(0);
    QMX_processInstance(id);
    EXPECT_TRUE(host().sent(kClient).empty());
    EXPECT_EQ(host().sent(kServer), oscarFlap(5, 9, ""));
    EXPECT_EQ(blockedLogs(), std::vector<std::string>{"Blocked LOGIN from client mallory"});
    EXPECT_TRUE(hasLog(QMX_LOG_CONNECTION, "Server connection closed"));
    EXPECT_TRUE(host().events().empty());
    EXPECT_STREQ(session(id)->clientName, "");
}

// The login server's reply on one instance and the cookie sign-on on another
// name the second connection; file requests between two signed-on users are
// then put to the policy for both of them.
TEST_F(OscarFilter, CookieSignonOnAnotherInstanceLearnsTheNameAndFileRequestsAskBothSides) {
    const Bytes cookie(300, '\x42');
    const uint32_t login = connect(kClient, kServer);
    feed(kServer, {oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, cookie))});
    QMX_processInstance(login);
    EXPECT_EQ(decisions().at(0).rfind("event 0 fromClient 0 from alice to <null>", 0), 0u);

    const uint32_t bob = connect(kClient + 10, kServer + 10);
    feed(kServer + 10, {oscarSelfInfoFrame(1, "bob")});
    QMX_processInstance(bob);

    const uint32_t service = connect(kClient + 20, kServer + 20);
    const Bytes request = oscarOutgoingIcbm(3, kIcbmCookie, 2, "bob", sendFileTlv(kIcbmCookie));
    feed(kClient + 20, {oscarSignonFrame(1, oscarTlv(0x0006, cookie)), request, request, request});
    host().pushPolicyAnswer(service, 1);
    host().pushPolicyAnswer(service, 1);
    host().pushPolicyAnswer(service, 1);
    host().pushPolicyAnswer(service, 0);
    QMX_processInstance(service);

    EXPECT_STREQ(session(service)->clientName, "alice");
    std::vector<std::string> asked;
    for (const PolicyCall &p : host().policies())
        if (p.id == service)
            asked.push_back(p.local.value_or("") + " " + std::to_string(p.action) + " " +
                            p.remote.value_or(""));
    // First request: both sides asked and approved. Second: the approved
    // cookie passes unasked. Third: asked again, and the receiver refuses.
    EXPECT_EQ(asked, (std::vector<std::string>{"alice 3 bob", "bob 4 alice", "alice 3 bob",
                                               "bob 4 alice"}));
    const Bytes truncated = oscarOutgoingIcbm(3, kIcbmCookie, 2, "bob", "");
    EXPECT_EQ(host().sent(kServer + 20),
              oscarSignonFrame(1, oscarTlv(0x0006, cookie)) + request + request + truncated);
    EXPECT_EQ(blockedLogs(),
              std::vector<std::string>{"Blocked file send from client alice to user bob"});

    // The claimed ticket is gone: a second sign-on with it learns nothing.
    const uint32_t again = connect(kClient + 30, kServer + 30);
    feed(kClient + 30, {oscarSignonFrame(1, oscarTlv(0x0006, cookie))});
    QMX_processInstance(again);
    EXPECT_STREQ(session(again)->clientName, "");
}

TEST_F(OscarFilter, CookieSignonClaimsNothingFromTheServerSideOrOnANamedConnection) {
    const Bytes cookie(280, '\x07');
    const Bytes reply = oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, cookie));
    const Bytes signon = oscarSignonFrame(1, oscarTlv(0x0006, cookie));

    const uint32_t login = connect(kClient, kServer);
    feed(kServer, {reply});
    QMX_processInstance(login);

    const uint32_t wrongSide = connect(kClient + 10, kServer + 10);
    feed(kServer + 10, {signon});
    QMX_processInstance(wrongSide);
    EXPECT_STREQ(session(wrongSide)->clientName, "");

    const uint32_t named = connect(kClient + 20, kServer + 20);
    host().pushWait(kServer + 20, 2);
    feed(kServer + 20, {oscarSelfInfoFrame(1, "zed")}, false);
    feed(kClient + 20, {signon});
    QMX_processInstance(named);
    EXPECT_STREQ(session(named)->clientName, "zed");

    // The ticket is still there for the right connection.
    const uint32_t service = connect(kClient + 30, kServer + 30);
    feed(kClient + 30, {signon});
    QMX_processInstance(service);
    EXPECT_STREQ(session(service)->clientName, "alice");
}

// A file request is put to the policy only when both users are signed on
// here; deleting an instance signs its user off.
TEST_F(OscarFilter, FileRequestBetweenUsersNotSignedOnPassesWithoutThePolicy) {
    const uint32_t bob = connect(kClient, kServer);
    feed(kServer, {oscarSelfInfoFrame(1, "bob")});
    QMX_processInstance(bob);
    EXPECT_EQ(QMX_deleteInstance(bob), 0u);

    const uint32_t id = connect(kClient + 10, kServer + 10);
    const Bytes outgoing = oscarOutgoingIcbm(2, kIcbmCookie, 2, "bob", sendFileTlv(kIcbmCookie));
    const Bytes incoming =
        oscarIncomingIcbm(1, kIcbmCookie, 2, "stranger", 0, 0, "", sendFileTlv(kIcbmCookie));
    feed(kClient + 10, {outgoing});
    feed(kServer + 10, {incoming});
    host().setDefaultPolicyAnswer(0);
    QMX_processInstance(id);
    EXPECT_EQ(host().sent(kServer + 10), outgoing);
    EXPECT_EQ(host().sent(kClient + 10), incoming);
    for (const PolicyCall &p : host().policies()) EXPECT_NE(p.id, id);
    std::vector<std::string> files;
    for (const EventCall &e : host().events())
        files.push_back(std::to_string(e.type) + " " + e.text.value_or("<null>"));
    EXPECT_EQ(files, (std::vector<std::string>{"2 a.txt", "2 a.txt"}));
}

TEST_F(OscarFilter, DecisionsAndOutputDoNotDependOnTheReadChunkSize) {
    const Bytes cookie(260, '\x61');
    std::vector<std::string> firstDecisions;
    Bytes firstToServer;
    Bytes firstToClient;
    for (size_t limit : {0, 1, 2, 3, 4, 6, 9, 17, 100}) {
        SCOPED_TRACE(limit);
        QMX_shutdown();
        ASSERT_EQ(QMX_init(), 0u);
        host().reset();
        host().install();
        const uint32_t login = connect(kClient, kServer);
        feed(kServer, {oscarSignoffFrame(1, oscarTlv(0x0001, "alice") + oscarTlv(0x0006, cookie))});
        host().setReadLimit(kServer, limit);
        QMX_processInstance(login);

        const uint32_t id = connect(kClient + 1, kServer + 1);
        feed(kClient + 1, {oscarSignonFrame(1, oscarTlv(0x0006, cookie)),
                           oscarOutgoingIcbm(2, 1, 1, "bob", textTlv("swap me")),
                           oscarOutgoingIcbm(3, 2, 1, "eve", textTlv("refused")),
                           oscarOutgoingIcbm(4, 3, 2, "bob", sendFileTlv(3))});
        feed(kServer + 1, {oscarIncomingIcbm(5, 4, 2, "bob", 0, 0, "", icqText("icq hello")),
                           oscarIncomingIcbm(6, 5, 2, "777", 0, 0, "", tzer())});
        host().setReadLimit(kClient + 1, limit);
        host().setReadLimit(kServer + 1, limit);
        host().setEventHook([](uint32_t, FilterEvent *event) -> int32_t {
            if (event->type == QMX_EVENT_TEXT) QMX_setReplacementText(0, event, "[filtered]", 10);
            return 1;
        });
        host().setDefaultPolicyAnswer(1);
        host().pushPolicyAnswer(id, 1);
        host().pushPolicyAnswer(id, 0);
        QMX_processInstance(id);
        if (firstDecisions.empty()) {
            firstDecisions = decisions();
            firstToServer = host().sent(kServer + 1);
            firstToClient = host().sent(kClient + 1);
        }
        EXPECT_EQ(decisions(), firstDecisions);
        EXPECT_EQ(host().sent(kServer + 1), firstToServer);
        EXPECT_EQ(host().sent(kClient + 1), firstToClient);
    }
    EXPECT_NE(firstToServer.find("[filtered]"), Bytes::npos);
    EXPECT_NE(firstToClient.find("[filtered]"), Bytes::npos);
    EXPECT_EQ(firstToServer.find("swap me"), Bytes::npos);
}

} // namespace
} // namespace qmxtest
