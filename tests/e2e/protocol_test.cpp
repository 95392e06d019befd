// Each protocol through qmx-proxy, reached by SOCKS5 and by a fixed forward:
// what passes, what is rewritten, what is refused, and what the audit says.
#include <gtest/gtest.h>

#ifdef QMX_E2E_WITHOUT_PROXY

TEST(ProxyEndToEnd, NeedsTheHostTools) {
#ifdef _WIN32
    GTEST_SKIP()
        << "the proxy and its simulators are POSIX programs (fork, poll, sockets): Linux only";
#else
    GTEST_SKIP() << "built without QMX_BUILD_TOOLS";
#endif
}

#else

#include "e2e_support.h"

#include "imsim/msn.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

namespace {

using namespace imsim;
using e2e::hasLine;

const std::string kCookie8("\x01\x02\x03\x04\x05\x06\x07\x08", 8);

void playYmsg(Socket &client, Socket &server) {
    client.write(ymsgLogin("alice"));
    EXPECT_EQ(ymsgRead(server).field("1"), "alice");

    const std::string hello = ymsgMessage("alice", "bob", "hello bob");
    client.write(hello);
    EXPECT_EQ(ymsgRead(server).raw, hello);

    client.write(ymsgMessage("alice", "bob", "this darn weather"));
    const YmsgPacket replaced = ymsgRead(server);
    EXPECT_EQ(replaced.field("14"), "this [bleep] weather");
    EXPECT_EQ(replaced.length + kYmsgHeaderSize, replaced.raw.size());
    EXPECT_EQ(replaced.raw, ymsgMessage("alice", "bob", "this [bleep] weather"));

    // A refused YMSG packet is dropped: the next one to arrive is the sentinel.
    client.write(ymsgMessage("alice", "eve", "psst"));
    client.write(ymsgMessage("alice", "bob", "sentinel"));
    EXPECT_EQ(ymsgRead(server).field("14"), "sentinel");

    const std::string reply = ymsgMessage("bob", "alice", "darn right");
    server.write(reply);
    EXPECT_EQ(ymsgRead(client).field("14"), "[bleep] right");
}

void playMsn(Socket &client, Socket &server) {
    client.write(msnLogin(1, "mallory@example.com"));
    EXPECT_EQ(msnRead(server).raw, "USR user not allowed\r\n");
    client.write(msnLogin(2, "alice@example.com"));
    EXPECT_EQ(msnRead(server).line, "USR 2 TWN I alice@example.com");
    server.write(msnJoin("bob@example.com"));
    EXPECT_EQ(msnRead(client).raw, msnJoin("bob@example.com"));

    const std::string hello = msnTextFromClient(3, "hello bob");
    client.write(hello);
    EXPECT_EQ(msnRead(server).raw, hello);

    client.write(msnTextFromClient(4, "this darn weather"));
    const MsnCommand replaced = msnRead(server);
    EXPECT_EQ(replaced.body(), "this [bleep] weather");
    EXPECT_EQ(replaced.tokens.back(), std::to_string(replaced.payload.size()));
    EXPECT_EQ(replaced.raw, msnTextFromClient(4, "this [bleep] weather"));

    server.write(msnTextFromServer("bob@example.com", "darn right"));
    EXPECT_EQ(msnRead(client).body(), "[bleep] right");
}

void playOscar(Socket &client, Socket &server) {
    // The user's own information tells the filter who signed on here.
    const std::string self = oscarSelfInfo(1, "alice");
    server.write(self);
    EXPECT_EQ(flapRead(client).raw, self);

    const std::string hello = oscarMessageOut(1, kCookie8, "bob", "hello bob");
    client.write(hello);
    EXPECT_EQ(flapRead(server).raw, hello);

    client.write(oscarMessageOut(2, kCookie8, "bob", "this darn weather"));
    const Flap f = flapRead(server);
    const OscarIcbm replaced = oscarDecodeIcbm(f);
    EXPECT_EQ(replaced.text, "this [bleep] weather");
    EXPECT_EQ(replaced.fragmentLength, replaced.text.size() + 4);
    // The message TLV holds the 5-byte features fragment and the text fragment.
    EXPECT_EQ(replaced.messageTlvLength, 5 + 4 + replaced.fragmentLength);
    EXPECT_EQ(f.raw, oscarMessageOut(2, kCookie8, "bob", "this [bleep] weather"));

    // A refused OSCAR message still reaches the server, cut after the name.
    client.write(oscarMessageOut(3, kCookie8, "eve", "psst"));
    const Flap cut = flapRead(server);
    EXPECT_EQ(cut.sequence, 3);
    EXPECT_EQ(cut.payload.size(), 21u + 3u);
    EXPECT_FALSE(oscarDecodeIcbm(cut).hasText);

    server.write(oscarMessageIn(2, kCookie8, "bob", "darn right"));
    EXPECT_EQ(oscarDecodeIcbm(flapRead(client)).text, "[bleep] right");
}

struct Case {
    const char *name;
    const char *protocol;
    bool socks;
    void (*play)(Socket &, Socket &);
    const char *refusal; // the audit fields of the refused action
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class ProtocolThroughProxy : public testing::TestWithParam<Case> {};

TEST_P(ProtocolThroughProxy, AllowsReplacesRefusesAndAuditsEachAction) {
    const Case &c = GetParam();
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), c.protocol}}));
    Socket client = c.socks ? socks5Open(proxy.socksPort(), "127.0.0.1", upstream.port())
                            : connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    c.play(client, server);

    const auto audit = proxy.auditLines();
    const std::string proto = std::string("\"protocol\":\"") + c.protocol + "\"";
    EXPECT_TRUE(hasLine(audit, {proto, "\"record\":\"event\"", "\"event\":\"text\"",
                                "\"direction\":\"client_to_server\"", "\"replaced\":true",
                                "\"text\":\"this darn weather\"",
                                "\"replacement\":\"this [bleep] weather\""}));
    EXPECT_TRUE(hasLine(audit, {proto, "\"record\":\"decision\"", "\"action\":\"im_out\"", "bob",
                                "\"decision\":\"allow\"", "\"replaced\":true"}));
    EXPECT_TRUE(hasLine(audit, {proto, "\"record\":\"decision\"", "\"action\":\"im_in\"",
                                "\"direction\":\"server_to_client\"", "\"decision\":\"allow\""}));
    EXPECT_TRUE(hasLine(audit, {proto, "\"record\":\"decision\"", c.refusal,
                                "\"decision\":\"deny\"", "\"rule\":"}));
    for (const std::string &line : audit) {
        EXPECT_NE(line.find("\"client\":\"127.0.0.1:"), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllProtocols, ProtocolThroughProxy,
    testing::Values(Case{"YmsgSocks5", "ymsg", true, playYmsg, "\"to\":\"eve\""},
                    Case{"YmsgForward", "ymsg", false, playYmsg, "\"to\":\"eve\""},
                    Case{"MsnSocks5", "msn", true, playMsn, "\"from\":\"mallory@example.com\""},
                    Case{"MsnForward", "msn", false, playMsn, "\"from\":\"mallory@example.com\""},
                    Case{"OscarSocks5", "oscar", true, playOscar, "\"to\":\"eve\""},
                    Case{"OscarForward", "oscar", false, playOscar, "\"to\":\"eve\""}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(OscarHandOff, ServiceConnectionLearnsTheScreenNameFromTheLoginCookie) {
    Listener login, bos;
    e2e::ProxyProcess proxy(e2e::configFor({{login.port(), "oscar"}, {bos.port(), "oscar"}}));
    const std::string cookie(kOscarCookieSize, '\x77');
    {
        Socket client = socks5Open(proxy.socksPort(), "127.0.0.1", login.port());
        Socket server = login.accept();
        client.write(oscarLoginRequest(1, "alice", std::string(16, 'h')));
        EXPECT_EQ(oscarPasswordHash(flapRead(server)), std::string(16, 'h'));
        server.write(
            oscarLoginReply(1, "alice", "127.0.0.1:" + std::to_string(bos.port()), cookie));
        EXPECT_EQ(oscarDecodeLoginReply(flapRead(client)).cookie, cookie);
    }
    Socket client = socks5Open(proxy.socksPort(), "127.0.0.1", bos.port());
    Socket server = bos.accept();
    client.write(oscarCookieSignon(1, cookie));
    flapRead(server);
    // Only the cookie ties this connection to alice, and the file policy is
    // asked only for users known to be signed on: the offer is cut.
    client.write(oscarFileOffer(2, kCookie8, "bob", "plans.pdf"));
    const Flap offer = flapRead(server);
    EXPECT_EQ(offer.payload.size(), 21u + 3u);
    client.write(oscarMessageOut(3, kCookie8, "bob", "hi"));
    flapRead(server);

    const auto audit = proxy.auditLines();
    EXPECT_TRUE(hasLine(
        audit, {"\"action\":\"file_send\"", "\"from\":\"alice\"", "\"decision\":\"deny\""}));
    EXPECT_TRUE(hasLine(audit, {"\"action\":\"im_out\"", "\"from\":\"alice\"", "\"to\":\"bob\"",
                                "\"decision\":\"allow\""}));
}

} // namespace

#endif
