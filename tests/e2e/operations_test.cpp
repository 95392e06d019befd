// What an operator relies on: SIGHUP under live traffic (no connection drops,
// each stream's decisions switch once and stay switched, an invalid file
// changes nothing) and the metrics a scraper reads.
#include <gtest/gtest.h>

#ifndef QMX_E2E_WITHOUT_PROXY

#include "proxy_process.h"

#include "imsim/msn.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace {

using namespace imsim;

const std::string kCookie8("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
// Forward i of the configuration leads to upstream i.
enum Kind : uint32_t { kYmsg, kMsn, kOscar };

std::string config(uint16_t ymsg, uint16_t msn, uint16_t oscar, const std::string &rules) {
    std::string text = "[audit]\npath = \"@AUDIT@\"\n";
    const std::pair<uint16_t, const char *> ups[] = {
        {ymsg, "ymsg"}, {msn, "msn"}, {oscar, "oscar"}};
    for (const auto &[port, protocol] : ups) text += e2e::forwardTo(port, protocol);
    return text + rules;
}

const std::string kNewRules = R"(
[[policy.rules]]
action = "im_out"
remote = "eve*"
decision = "deny"
[[replace]]
pattern = "darn"
replacement = "[bleep]"
)";

struct Stream {
    uint32_t protocol;
    Socket client;
    Socket server;
    int switchedAt = -1;
};

// Sends one message on the stream and returns the text the server got.
std::string exchange(Stream &s, int round) {
    const std::string text = "darn " + std::to_string(round);
    switch (s.protocol) {
    case kYmsg:
        s.client.write(ymsgMessage("alice", "bob", text));
        return ymsgRead(s.server).field("14");
    case kMsn: s.client.write(msnTextFromClient(round + 2, text)); return msnRead(s.server).body();
    default: {
        const auto out = [&](const std::string &t) {
            return oscarMessageOut(static_cast<uint16_t>(round + 2), kCookie8, "bob", t);
        };
        s.client.write(out(text));
        const std::string got = flapRead(s.server).raw;
        const std::string bleeped = "[bleep] " + std::to_string(round);
        return got == out(text) ? text : got == out(bleeped) ? bleeped : "?";
    }
    }
}

TEST(ProxyReload, SwitchesRulesUnderLiveTrafficWithoutDroppingConnections) {
    constexpr int kStreams = 20, kRounds = 40;
    Listener ups[3];
    const auto cfg = [&](const std::string &rules) {
        return config(ups[0].port(), ups[1].port(), ups[2].port(), rules);
    };
    e2e::ProxyProcess proxy(cfg(""));
    std::vector<Stream> streams;
    for (int i = 0; i < kStreams; ++i) {
        const uint32_t protocol = static_cast<uint32_t>(i % 3);
        Socket client = connectLoopback(proxy.forwardPort(protocol));
        Socket server = ups[protocol].accept();
        if (protocol == kYmsg) client.write(ymsgLogin("alice"));
        if (protocol == kYmsg) ymsgRead(server);
        if (protocol == kMsn) client.write(msnLogin(1, "alice@example.com"));
        if (protocol == kMsn) msnRead(server);
        if (protocol == kOscar) server.write(oscarSelfInfo(1, "alice"));
        if (protocol == kOscar) flapRead(client);
        streams.push_back({protocol, std::move(client), std::move(server)});
    }
    for (int round = 0; round < kRounds; ++round) {
        // The hangup lands somewhere among the streams' messages, not between rounds.
        if (round == kRounds / 4) proxy.reload(cfg(kNewRules));
        if (round == kRounds / 2) {
            ASSERT_TRUE(proxy.waitForLog("in force"));
        }
        for (Stream &s : streams) {
            const std::string got = exchange(s, round);
            const bool replaced = got == "[bleep] " + std::to_string(round);
            ASSERT_TRUE(replaced || got == "darn " + std::to_string(round)) << got;
            if (replaced && s.switchedAt < 0) s.switchedAt = round;
            ASSERT_EQ(replaced, s.switchedAt >= 0 && round >= s.switchedAt)
                << "stream of protocol " << s.protocol << " switched back at round " << round;
        }
    }
    for (const Stream &s : streams) {
        EXPECT_GE(s.switchedAt, kRounds / 4);
        EXPECT_LE(s.switchedAt, kRounds / 2);
    }

    // A file that does not load leaves the rules in force and every stream open.
    proxy.reload(cfg(kNewRules + "[[replace]]\npattern = \"(\"\nreplacement = \"x\"\n"));
    ASSERT_TRUE(proxy.waitForLog("reload failed"));
    EXPECT_NE(proxy.log().find("replace[1].pattern"), std::string::npos);
    for (Stream &s : streams) EXPECT_EQ(exchange(s, kRounds), "[bleep] " + std::to_string(kRounds));

    // The reloaded file's deny rule is in force too: a refused YMSG message is dropped.
    streams[0].client.write(ymsgMessage("alice", "eve", "psst") +
                            ymsgMessage("alice", "bob", "sentinel"));
    EXPECT_EQ(ymsgRead(streams[0].server).field("14"), "sentinel");
    EXPECT_EQ(proxy.stop(SIGTERM), 0);
    EXPECT_NE(proxy.output().find("reloads (failed)        1 (1)"), std::string::npos)
        << proxy.output();
}

std::string run(const std::string &command) {
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        if (pclose(p) != 0) out += "\n(exit status non-zero)";
    }
    return out;
}

TEST(ProxyMetrics, CountWhatTheTrafficDidAndPassPromtool) {
    Listener ups[3];
    e2e::ProxyProcess proxy(
        config(ups[0].port(), ups[1].port(), ups[2].port(),
               "[metrics]\nlisten = \"127.0.0.1:0\"\n[policy]\nstrict = true\n" + kNewRules));
    const std::string log = proxy.log();
    const auto at = log.find("listening: metrics 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string base = "http://127.0.0.1:" + std::to_string(std::stoi(log.substr(at + 29)));
    {
        Socket client = connectLoopback(proxy.forwardPort(kYmsg));
        Socket server = ups[kYmsg].accept();
        client.write(ymsgLogin("alice") + ymsgMessage("alice", "eve", "psst") +
                     ymsgMessage("alice", "bob", "darn"));
        ymsgRead(server);
        EXPECT_EQ(ymsgRead(server).field("14"), "[bleep]");
    }
    {
        // Strict: bytes that are not YMSG end the relay without reaching the server.
        Socket client = connectLoopback(proxy.forwardPort(kYmsg));
        Socket server = ups[kYmsg].accept();
        client.write("GET / HTTP/1.0\r\nHost: example.com\r\n\r\n");
        std::string leaked;
        EXPECT_TRUE(server.waitForEnd(e2e::kHangGuardMs, &leaked));
        EXPECT_EQ(leaked, "");
    }
    EXPECT_EQ(run("curl -s " + base + "/healthz"), "ok\n");
    const std::string metrics = run("curl -s " + base + "/metrics");
    for (const char *sample : {
             "qmx_proxy_relays_total{protocol=\"ymsg\"} 2\n",
             "qmx_proxy_decisions_total{protocol=\"ymsg\",action=\"im_out\",decision=\"deny\"} 1\n",
             "qmx_proxy_decisions_total{protocol=\"ymsg\",action=\"im_out\",decision=\"allow\"} "
             "1\n",
             "qmx_proxy_replacements_total{protocol=\"ymsg\"} 1\n",
             "qmx_proxy_connections_accepted_total 2\n",
             "qmx_proxy_unparsed_dropped_bytes_total 20\n",
             "qmx_build_info{version=\"",
         }) {
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << "\n" << metrics;
    }
    EXPECT_EQ(run("curl -s " + base + "/metrics | promtool check metrics 2>&1"), "");
}

// A name server that takes the question and never answers: the lookup ends
// with the connect timeout, and the client hears "host unreachable".
TEST(ProxyLookups, AnUnansweredLookupEndsWithHostUnreachable) {
    const int stub = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(stub, reinterpret_cast<sockaddr *>(&addr), len), 0);
    getsockname(stub, reinterpret_cast<sockaddr *>(&addr), &len);
    e2e::ProxyProcess proxy(
        "[limits]\nconnect_timeout = 1\n[dns]\nservers = [\"127.0.0.1:" +
        std::to_string(ntohs(addr.sin_port)) +
        "\"]\n[[socks5]]\nlisten = \"127.0.0.1:0\"\n[socks5.ports]\n5050 = \"ymsg\"\n");
    Socket client = connectLoopback(proxy.socksPort());
    EXPECT_EQ(socks5Connect(client, proxy.socksPort(), "scs.msg.yahoo.com", 5050), 4);
    EXPECT_TRUE(proxy.waitForLog("did not end within the connect timeout"));
    close(stub);
}

} // namespace

#endif
