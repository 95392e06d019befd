// qmx-proxy as a child process on loopback, driven by the simulators of
// tools/imsim: each scenario runs one proxy and checks several things on it.
#include <gtest/gtest.h>

#if defined(QMX_E2E_WITHOUT_PROXY)
TEST(ProxyEndToEnd, NeedsTheHostTools) { GTEST_SKIP() << "needs the POSIX host tools"; }
#else

#include "proxy_process.h"

#include "imsim/msn.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <fstream>
#include <map>

namespace {

using namespace imsim;

// Denies logins of mallory*, messages to or from eve*; replaces "darn".
const std::string kPolicy = R"(
[audit]
path = "@AUDIT@"
log_text = true
[policy]
default = "allow"
[[policy.rules]]
action = "login"
local = "mallory*"
decision = "deny"
[[policy.rules]]
action = "im_*"
remote = "eve*"
decision = "deny"
[[replace]]
pattern = "\\bdarn\\b"
replacement = "[bleep]"
)";

struct Upstream {
    uint16_t port;
    const char *protocol;
};

// One SOCKS5 listener mapping every upstream's port, then one forward per upstream.
std::string configFor(const std::vector<Upstream> &upstreams) {
    std::string text = kPolicy + "[[socks5]]\nlisten = \"127.0.0.1:0\"\n[socks5.ports]\n";
    for (const Upstream &u : upstreams)
        text += std::to_string(u.port) + " = \"" + u.protocol + "\"\n";
    for (const Upstream &u : upstreams) text += e2e::forwardTo(u.port, u.protocol);
    return text;
}

bool audited(const std::vector<std::string> &lines, std::initializer_list<std::string> fields) {
    for (const std::string &line : lines) {
        bool all = true;
        for (const std::string &f : fields) all = all && line.find(f) != std::string::npos;
        if (all) return true;
    }
    return false;
}

const std::string kCookie8("\x01\x02\x03\x04\x05\x06\x07\x08", 8);

TEST(Proxy, EachProtocolIsRelayedRewrittenRefusedAndAudited) {
    Listener ymsg, msn, oscar;
    e2e::ProxyProcess proxy(
        configFor({{ymsg.port(), "ymsg"}, {msn.port(), "msn"}, {oscar.port(), "oscar"}}));
    {
        Socket client = socks5Open(proxy.socksPort(), "127.0.0.1", ymsg.port());
        Socket server = ymsg.accept();
        client.write(ymsgLogin("alice"));
        EXPECT_EQ(ymsgRead(server).field("1"), "alice");
        client.write(ymsgMessage("alice", "bob", "this darn weather"));
        EXPECT_EQ(ymsgRead(server).raw, ymsgMessage("alice", "bob", "this [bleep] weather"));
        // A refused YMSG packet is dropped: the next to arrive is the sentinel.
        client.write(ymsgMessage("alice", "eve", "psst") + ymsgMessage("alice", "bob", "sentinel"));
        EXPECT_EQ(ymsgRead(server).field("14"), "sentinel");
        server.write(ymsgMessage("bob", "alice", "darn right"));
        EXPECT_EQ(ymsgRead(client).field("14"), "[bleep] right");
    }
    {
        Socket client = connectLoopback(proxy.forwardPort(1));
        Socket server = msn.accept();
        client.write(msnLogin(1, "mallory@example.com"));
        EXPECT_EQ(msnRead(server).raw, "USR user not allowed\r\n");
        client.write(msnLogin(2, "alice@example.com") + msnTextFromClient(3, "this darn weather"));
        EXPECT_EQ(msnRead(server).line, "USR 2 TWN I alice@example.com");
        EXPECT_EQ(msnRead(server).raw, msnTextFromClient(3, "this [bleep] weather"));
    }
    {
        Socket client = connectLoopback(proxy.forwardPort(2));
        Socket server = oscar.accept();
        const std::string self = oscarSelfInfo(1, "alice");
        server.write(self);
        EXPECT_EQ(flapRead(client).raw, self);
        client.write(oscarMessageOut(2, kCookie8, "bob", "this darn weather"));
        EXPECT_EQ(flapRead(server).raw,
                  oscarMessageOut(2, kCookie8, "bob", "this [bleep] weather"));
        // A refused OSCAR message still reaches the server, cut after the name.
        client.write(oscarMessageOut(3, kCookie8, "eve", "psst"));
        const Flap cut = flapRead(server);
        EXPECT_EQ(cut.sequence, 3);
        EXPECT_EQ(cut.payload.size(), 21u + 3u);
    }
    const auto audit = proxy.auditLines();
    for (const char *p : {"ymsg", "msn", "oscar"}) {
        SCOPED_TRACE(p);
        const std::string proto = std::string("\"protocol\":\"") + p + "\"";
        EXPECT_TRUE(audited(audit, {proto, "\"event\":\"text\"", "\"replaced\":true",
                                    "\"text\":\"this darn weather\"",
                                    "\"replacement\":\"this [bleep] weather\""}));
        EXPECT_TRUE(audited(audit, {proto, "\"decision\":\"deny\"", "\"rule\":"}));
    }
    EXPECT_TRUE(audited(audit, {"\"action\":\"im_in\"", "\"direction\":\"server_to_client\""}));
}

uint16_t closedPort() {
    Listener l;
    return l.port();
}

TEST(Proxy, FaultsOfPeersAndClientsEndOnlyTheirOwnRelays) {
    Listener upstream;
    const uint16_t dead = closedPort();
    e2e::ProxyProcess proxy(configFor({{upstream.port(), "ymsg"}, {dead, "ymsg"}}));

    Socket refused = connectLoopback(proxy.forwardPort(1));
    EXPECT_TRUE(refused.waitForEnd());
    EXPECT_TRUE(proxy.waitForLog("cannot connect to upstream 127.0.0.1:" + std::to_string(dead)));
    Socket viaSocks;
    EXPECT_EQ(socks5Connect(viaSocks, proxy.socksPort(), "127.0.0.1", dead), 5);
    Socket unmapped;
    EXPECT_EQ(socks5Connect(unmapped, proxy.socksPort(), "127.0.0.1", closedPort()), 2);
    Socket socks4 = connectLoopback(proxy.socksPort());
    socks4.write(std::string("\x04\x01\x13\x8a\x7f\x00\x00\x01", 8));
    EXPECT_TRUE(socks4.waitForEnd());
    EXPECT_TRUE(proxy.waitForLog("not a SOCKS5 greeting"));

    // Half-close and out-of-band bytes on one relay.
    Socket client = connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    client.write(ymsgMessage("alice", "bob", "last words"));
    EXPECT_EQ(ymsgRead(server).field("14"), "last words");
    ASSERT_EQ(send(client.fd(), "!", 1, MSG_OOB), 1);
    pollfd p{server.fd(), POLLPRI, 0};
    ASSERT_EQ(poll(&p, 1, e2e::kHangGuardMs), 1);
    char urgent = 0;
    EXPECT_EQ(recv(server.fd(), &urgent, 1, MSG_OOB), 1);
    EXPECT_EQ(urgent, '!');
    client.shutdownWrite();
    EXPECT_TRUE(server.waitForEnd());
    server.write(ymsgMessage("bob", "alice", "goodbye"));
    EXPECT_EQ(ymsgRead(client).field("14"), "goodbye");

    // An upstream reset mid-packet ends the client without a partial packet.
    Socket client2 = connectLoopback(proxy.forwardPort());
    Socket server2 = upstream.accept();
    client2.write(ymsgLogin("carol"));
    EXPECT_EQ(ymsgRead(server2).field("1"), "carol");
    const std::string packet = ymsgMessage("bob", "carol", "this one is cut short");
    server2.write(packet.substr(0, packet.size() - 5));
    server2.reset();
    std::string received;
    EXPECT_TRUE(client2.waitForEnd(e2e::kHangGuardMs, &received));
    EXPECT_EQ(received, "");
    EXPECT_TRUE(proxy.waitForLog("Incomplete/malformed message")) << proxy.log();
    server.close();
    EXPECT_TRUE(client.waitForEnd());
}

// Many relays at once, each carrying its own messages in order, all still
// open when SIGTERM arrives.
TEST(Proxy, ManyConcurrentRelaysKeepTheirOrderAndSigtermDeletesThemAll) {
    constexpr int kRelays = 100, kMessages = 5;
    Listener upstream;
    e2e::ProxyProcess proxy(configFor({{upstream.port(), "ymsg"}}));
    std::vector<Socket> clients;
    for (int i = 0; i < kRelays; ++i) {
        clients.push_back(connectLoopback(proxy.forwardPort()));
        clients.back().write(ymsgLogin("user" + std::to_string(i)));
    }
    std::map<std::string, Socket> servers;
    for (int i = 0; i < kRelays; ++i) {
        Socket s = upstream.accept();
        servers[ymsgRead(s).field("1")] = std::move(s);
    }
    ASSERT_EQ(servers.size(), size_t{kRelays});
    for (int i = 0; i < kRelays; ++i) {
        const std::string user = "user" + std::to_string(i);
        for (int m = 0; m < kMessages; ++m) {
            clients[i].write(ymsgMessage(user, "bob", "m" + std::to_string(m)));
            servers[user].write(ymsgMessage("bob", user, "r" + std::to_string(m)));
        }
    }
    for (int i = 0; i < kRelays; ++i) {
        const std::string user = "user" + std::to_string(i);
        for (int m = 0; m < kMessages; ++m) {
            ASSERT_EQ(ymsgRead(servers[user]).field("14"), "m" + std::to_string(m)) << user;
            ASSERT_EQ(ymsgRead(clients[i]).field("14"), "r" + std::to_string(m)) << user;
        }
    }
    EXPECT_EQ(proxy.stop(SIGTERM), 0);
    EXPECT_NE(proxy.output().find("instances deleted       100\n"), std::string::npos)
        << proxy.output();
    for (Socket &c : clients) EXPECT_TRUE(c.waitForEnd());
}

TEST(Proxy, BadConfigurationExitsWithCode2NamingTheKey) {
    char dir[] = "/tmp/qmx-e2e-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/bad.toml";
    // A back-reference needs a backtracking engine: refused when loaded.
    std::ofstream(path) << "[[replace]]\npattern = \"(d)\\\\1\"\nreplacement = \"x\"\n";
    for (const char *flag : {"--check-config", "--config"}) {
        const e2e::RunResult r = e2e::runProxy({flag, path});
        EXPECT_EQ(r.exitCode, 2) << flag;
        EXPECT_NE(r.err.find("replace[0].pattern: bad regular expression"), std::string::npos)
            << r.err;
    }
    for (const char *example : {"/policy.toml", "/qmx-proxy.toml"}) {
        const e2e::RunResult r =
            e2e::runProxy({"--check-config", QMX_EXAMPLES_DIR + std::string(example)});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    std::remove(path.c_str());
    rmdir(dir);
}

} // namespace

#endif
