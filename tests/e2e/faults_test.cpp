// How qmx-proxy behaves when peers, clients or its configuration misbehave,
// when it is stopped under load, and with many relays at once.
#include <gtest/gtest.h>

#ifndef QMX_E2E_WITHOUT_PROXY

#include "e2e_support.h"

#include "imsim/msn.h"
#include "imsim/ymsg.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <fstream>
#include <map>

namespace {

using namespace imsim;

uint16_t closedPort() {
    Listener l;
    return l.port(); // closed again when l goes
}

TEST(UpstreamFaults, RefusedUpstreamClosesTheClientAndLogsWhy) {
    const uint16_t dead = closedPort();
    e2e::ProxyProcess proxy(e2e::configFor({{dead, "ymsg"}}));

    Socket viaForward = connectLoopback(proxy.forwardPort());
    EXPECT_TRUE(viaForward.waitForEnd());
    EXPECT_TRUE(proxy.waitForLog("cannot connect to upstream 127.0.0.1:" + std::to_string(dead)));
    EXPECT_TRUE(proxy.waitForLog("Connection refused"));

    Socket viaSocks;
    EXPECT_EQ(socks5Connect(viaSocks, proxy.socksPort(), "127.0.0.1", dead),
              5); // connection refused
    EXPECT_TRUE(viaSocks.waitForEnd());
}

TEST(UpstreamFaults, UpstreamResetMidFrameEndsTheClientWithoutAPartialFrame) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    Socket client = connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    client.write(ymsgLogin("alice")); // the relay is running once this is through
    EXPECT_EQ(ymsgRead(server).field("1"), "alice");
    const std::string packet = ymsgMessage("bob", "alice", "this one is cut short");
    server.write(packet.substr(0, packet.size() - 5));
    server.reset();
    std::string received;
    EXPECT_TRUE(client.waitForEnd(e2e::kHangGuardMs, &received));
    EXPECT_EQ(received, "");
    EXPECT_TRUE(proxy.waitForLog("Incomplete/malformed message")) << proxy.log();
    client.close();
    EXPECT_TRUE(proxy.waitForLog("relay ended")) << proxy.log();
}

TEST(ClientFaults, HalfClosedClientStillReceivesTheServersAnswer) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    Socket client = connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    client.write(ymsgMessage("alice", "bob", "last words"));
    client.shutdownWrite();
    EXPECT_EQ(ymsgRead(server).field("14"), "last words");
    std::string rest;
    EXPECT_TRUE(server.waitForEnd(e2e::kHangGuardMs, &rest)); // the half-close reached the server
    EXPECT_EQ(rest, "");
    server.write(ymsgMessage("bob", "alice", "goodbye"));
    EXPECT_EQ(ymsgRead(client).field("14"), "goodbye");
    server.close();
    EXPECT_TRUE(client.waitForEnd());
}

TEST(ClientFaults, OutOfBandByteCrossesTheRelayOutOfBand) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    Socket client = connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    client.write(ymsgLogin("alice"));
    EXPECT_EQ(ymsgRead(server).field("1"), "alice");
    ASSERT_EQ(send(client.fd(), "!", 1, MSG_OOB), 1);
    pollfd p{server.fd(), POLLPRI, 0};
    ASSERT_EQ(poll(&p, 1, e2e::kHangGuardMs), 1);
    char urgent = 0;
    EXPECT_EQ(recv(server.fd(), &urgent, 1, MSG_OOB), 1);
    EXPECT_EQ(urgent, '!');
}

TEST(ClientFaults, BadSocks5GreetingIsClosedAndLogged) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    Socket client = connectLoopback(proxy.socksPort());
    client.write(std::string("\x04\x01\x13\x8a\x7f\x00\x00\x01", 8)); // a SOCKS4 request
    EXPECT_TRUE(client.waitForEnd());
    EXPECT_TRUE(proxy.waitForLog("not a SOCKS5 greeting"));
}

TEST(ClientFaults, Socks5DestinationOutsideThePortMapIsRefused) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    Socket client;
    EXPECT_EQ(socks5Connect(client, proxy.socksPort(), "127.0.0.1", closedPort()),
              2); // not allowed
    EXPECT_TRUE(proxy.waitForLog("is not allowed"));
}

TEST(ClientFaults, Socks5WithCredentialsAcceptsOnlyTheRightPassword) {
    Listener upstream;
    const std::string config =
        e2e::policyText() +
        "\n[[socks5]]\nlisten = \"127.0.0.1:0\"\nusername = \"gw\"\npassword = \"s3cret\"\n"
        "[socks5.ports]\n" +
        std::to_string(upstream.port()) + " = \"ymsg\"\n";
    e2e::ProxyProcess proxy(config);
    Socket wrong;
    EXPECT_EQ(socks5Connect(wrong, proxy.socksPort(), "127.0.0.1", upstream.port(), "gw", "guess"),
              0xFE);
    EXPECT_EQ(socks5Connect(wrong, proxy.socksPort(), "127.0.0.1", upstream.port()), 0xFF);
    Socket client = socks5Open(proxy.socksPort(), "127.0.0.1", upstream.port(), "gw", "s3cret");
    Socket server = upstream.accept();
    client.write(ymsgLogin("alice"));
    EXPECT_EQ(ymsgRead(server).field("1"), "alice");
}

TEST(ClientFaults, UnmappedSocks5PortRelaysRawWhenConfigured) {
    Listener upstream;
    const std::string config = e2e::policyText() +
                               "\n[[socks5]]\nlisten = \"127.0.0.1:0\"\nother_ports = "
                               "\"raw\"\n[socks5.ports]\n5050 = \"ymsg\"\n";
    e2e::ProxyProcess proxy(config);
    Socket client = socks5Open(proxy.socksPort(), "127.0.0.1", upstream.port());
    Socket server = upstream.accept();
    const std::string anything("GET / HTTP/1.0\r\n\r\n\x00\xff", 20);
    client.write(anything);
    EXPECT_EQ(server.readExact(anything.size()), anything);
    client.shutdownWrite();
    EXPECT_TRUE(server.waitForEnd());
    server.write("HTTP/1.0 200 OK\r\n\r\nbody");
    server.close();
    std::string answer;
    EXPECT_TRUE(client.waitForEnd(e2e::kHangGuardMs, &answer));
    EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\n\r\nbody");
    EXPECT_TRUE(proxy.auditLines().empty());
}

TEST(ClientFaults, MsnPayloadBeyondTheHeldByteLimitEndsTheRelay) {
    Listener upstream;
    e2e::ProxyProcess proxy(
        e2e::configFor({{upstream.port(), "msn"}}, "\n[limits]\nmax_held_bytes = 4096\n"));
    Socket client = connectLoopback(proxy.forwardPort());
    Socket server = upstream.accept();
    // The filter holds a MSG until its whole payload is in; this one never is.
    client.write("MSG 1 N 60000\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n");
    try {
        client.write(std::string(20000, 'A'));
    } catch (const Error &) {
        // the proxy may close while we are still sending
    }
    EXPECT_TRUE(proxy.waitForLog("ending relay")) << proxy.log();
    EXPECT_TRUE(proxy.waitForLog("(limit 4096)"));
    std::string forwarded;
    EXPECT_TRUE(server.waitForEnd(e2e::kHangGuardMs, &forwarded));
    EXPECT_EQ(forwarded, "");
    EXPECT_TRUE(client.waitForEnd());
}

TEST(ConfigErrors, BadRegexOrUnknownKeyExitsWithCode2NamingTheKey) {
    struct Bad {
        const char *text;
        const char *message;
    };
    const Bad cases[] = {
        {"[[replace]]\npattern = \"(unclosed\"\nreplacement = \"x\"\n",
         "replace[0].pattern: bad regular expression"},
        {"[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:5050\"\nprotocol = "
         "\"ymsg\"\nupstreem = 1\n",
         "forward[0].upstreem: unknown key"},
        {"[policy]\ndefault = \"maybe\"\n", "policy.default: must be \"allow\" or \"deny\""},
        {"[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:5050\"\nprotocol = "
         "\"icq\"\n",
         "forward[0].protocol: unknown protocol"},
    };
    char dir[] = "/tmp/qmx-e2e-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/bad.toml";
    for (const Bad &c : cases) {
        std::ofstream(path) << c.text;
        for (const char *flag : {"--check-config", "--config"}) {
            const e2e::RunResult r = e2e::runProxy({flag, path});
            EXPECT_EQ(r.exitCode, 2) << flag << " " << c.text;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
    }
    const e2e::RunResult good = e2e::runProxy({"--check-config", QMX_EXAMPLES_DIR "/policy.toml"});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    const e2e::RunResult example =
        e2e::runProxy({"--check-config", QMX_EXAMPLES_DIR "/qmx-proxy.toml"});
    EXPECT_EQ(example.exitCode, 0) << example.err;
    std::remove(path.c_str());
    rmdir(dir);
}

// Opens n YMSG relays through the forward and proves each one works.
std::vector<std::pair<Socket, Socket>> openRelays(e2e::ProxyProcess &proxy, Listener &upstream,
                                                  int n) {
    std::vector<Socket> clients;
    for (int i = 0; i < n; ++i) {
        clients.push_back(connectLoopback(proxy.forwardPort()));
        clients.back().write(ymsgLogin("user" + std::to_string(i)));
    }
    std::map<std::string, Socket> servers;
    for (int i = 0; i < n; ++i) {
        Socket s = upstream.accept();
        const std::string user = ymsgRead(s).field("1");
        servers[user] = std::move(s);
    }
    std::vector<std::pair<Socket, Socket>> pairs;
    for (int i = 0; i < n; ++i) {
        auto it = servers.find("user" + std::to_string(i));
        EXPECT_NE(it, servers.end());
        if (it != servers.end()) pairs.emplace_back(std::move(clients[i]), std::move(it->second));
    }
    return pairs;
}

TEST(ProxyLifecycle, SigtermWithFiftyLiveConnectionsDeletesEveryInstanceAndExitsZero) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    auto relays = openRelays(proxy, upstream, 50);
    ASSERT_EQ(relays.size(), 50u);
    EXPECT_EQ(proxy.stop(SIGTERM), 0);
    EXPECT_NE(proxy.output().find("filtered relays         50\n"), std::string::npos)
        << proxy.output();
    EXPECT_NE(proxy.output().find("instances deleted       50\n"), std::string::npos)
        << proxy.output();
    for (auto &[client, server] : relays) {
        EXPECT_TRUE(client.waitForEnd());
        EXPECT_TRUE(server.waitForEnd());
    }
}

TEST(ProxyLoad, TwoHundredConcurrentConnectionsRelayEveryMessageInOrder) {
    Listener upstream;
    e2e::ProxyProcess proxy(e2e::configFor({{upstream.port(), "ymsg"}}));
    auto relays = openRelays(proxy, upstream, 200);
    ASSERT_EQ(relays.size(), 200u);
    constexpr int kMessages = 10;
    for (size_t i = 0; i < relays.size(); ++i) {
        for (int m = 0; m < kMessages; ++m) {
            relays[i].first.write(
                ymsgMessage("user" + std::to_string(i), "bob", "m" + std::to_string(m)));
            relays[i].second.write(
                ymsgMessage("bob", "user" + std::to_string(i), "r" + std::to_string(m)));
        }
    }
    for (size_t i = 0; i < relays.size(); ++i) {
        for (int m = 0; m < kMessages; ++m) {
            const YmsgPacket up = ymsgRead(relays[i].second);
            ASSERT_EQ(up.field("14"), "m" + std::to_string(m)) << "connection " << i;
            ASSERT_EQ(up.field("1"), "user" + std::to_string(i));
            ASSERT_EQ(ymsgRead(relays[i].first).field("14"), "r" + std::to_string(m))
                << "connection " << i;
        }
    }
    relays.clear();
    EXPECT_EQ(proxy.stop(SIGINT), 0);
    EXPECT_NE(proxy.output().find("instances deleted       200\n"), std::string::npos)
        << proxy.output();
}

} // namespace

#endif
