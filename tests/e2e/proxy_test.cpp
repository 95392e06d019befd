// qmx-proxy as a child process on loopback, driven by the simulators of
// tools/imsim: each scenario runs one proxy and checks several things on it.
#include <gtest/gtest.h>

#if defined(QMX_E2E_WITHOUT_PROXY)
TEST(ProxyEndToEnd, NeedsTheHostTools) { GTEST_SKIP() << "needs the POSIX host tools"; }
#else

#include "audit.h"
#include "config.h"
#include "net.h"
#include "policy.h"
#include "proxy_header.h"

#include "imsim/msn.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

#include <qmx/qmx.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace {

using namespace imsim;

constexpr int kHangGuardMs = 60000;
constexpr auto npos = std::string::npos;

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string sh(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p != nullptr) pclose(p);
    return out;
}

// qmx-proxy on a configuration, in a directory of its own that is also its
// working directory (so the audit path may be relative); its stdout goes to
// "out" there, its log to "log", which is watched instead of polled.
class Proxy {
public:
    explicit Proxy(const std::string &configText, const char *logLevel = "info") {
        char tmpl[] = "/tmp/qmx-e2e-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
        std::ofstream(dir_ + "/proxy.toml") << configText;
        inotify_ = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(inotify_, tmpl, IN_MODIFY);
        pid_ = fork();
        if (pid_ == 0) { // only what is safe between fork and exec
            if (chdir(tmpl) == 0) {
                dup2(open("out", O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
                dup2(open("log", O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
                execl(QMX_PROXY_PATH, "qmx-proxy", "--config", "proxy.toml", "--log-level",
                      logLevel, nullptr);
            }
            _exit(127);
        }
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        if (!waitForLog("ready:")) {
            stop(SIGKILL);
            const std::string failure = "qmx-proxy did not start:\n" + log();
            std::filesystem::remove_all(dir_);
            throw std::runtime_error(failure);
        }
    }
    ~Proxy() {
        stop(SIGKILL);
        close(inotify_);
        close(pidfd_);
        std::filesystem::remove_all(dir_);
    }

    std::string file(const std::string &name) const { return readFile(dir_ + "/" + name); }
    std::string log() const { return file("log"); }
    // The port of the i-th listener of a kind (socks5, forward, metrics).
    uint16_t port(const std::string &kind, size_t i = 0) const {
        std::istringstream lines(log());
        for (std::string line; std::getline(lines, line);) {
            if (line.find(" listening: " + kind + " ") != npos && i-- == 0)
                return static_cast<uint16_t>(std::stoul(line.substr(line.rfind(':') + 1)));
        }
        throw std::runtime_error("no " + kind + " listener in\n" + log());
    }
    long rssKib() const {
        const std::string status = readFile("/proc/" + std::to_string(pid_) + "/status");
        return std::stol(status.substr(status.find("VmRSS:") + 6));
    }
    // Waits (as a hang guard only) until the log holds text.
    bool waitForLog(const std::string &text) {
        for (char events[4096];;) {
            if (log().find(text) != npos) return true;
            pollfd p[2] = {{inotify_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
            if (poll(p, 2, kHangGuardMs) <= 0 || p[1].revents != 0 ||
                read(inotify_, events, sizeof events) <= 0)
                return log().find(text) != npos;
        }
    }
    void reload(const std::string &configText) {
        std::ofstream(dir_ + "/proxy.toml") << configText;
        kill(pid_, SIGHUP);
    }
    // Sends a signal and returns the exit status.
    int stop(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
            pollfd p{pidfd_, POLLIN, 0};
            if (poll(&p, 1, kHangGuardMs) == 0) kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = 0, inotify_ = -1, pidfd_ = -1;
};

// The upstreams of a test: forward i leads to upstream i, and the one SOCKS5
// listener maps every upstream's port.
std::string config(const std::vector<std::pair<uint16_t, const char *>> &ups,
                   const std::string &more) {
    std::string socks, forwards;
    for (const auto &[port, protocol] : ups) {
        socks += std::to_string(port) + " = \"" + protocol + "\"\n";
        forwards += "[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:" +
                    std::to_string(port) + "\"\nprotocol = \"" + protocol + "\"\n";
    }
    // Stops end open relays at once; a drain is the balancer test's matter.
    std::string text = more;
    const size_t limits = text.find("[limits]\n");
    text.insert(limits == npos ? text.size() : limits + 9,
                limits == npos ? "[limits]\ndrain_timeout = 0\n" : "drain_timeout = 0\n");
    return text + "[[socks5]]\nlisten = \"127.0.0.1:0\"\n[socks5.ports]\n" + socks + forwards;
}

// After a reload: denies logins of mallory*, messages to or from eve*, and
// what does not parse; masks cards, swear words, adds an emoji and faces a
// run that would make a backtracking engine crawl.
const std::string kRules = R"toml(
replace = [
  { pattern = '\bdarn\b', replacement = "[bleep]", ignore_case = true },
  { pattern = '\b(\d{4})(?:[ -]?\d{4}){2}[ -]?(\d{4})\b', replacement = "$1-****-****-$2" },
  { pattern = "smile", replacement = "\U0001F600" },
  { pattern = "(x|y)+z", replacement = "<$1>" },
]
[audit]
path = "audit.jsonl"
log_text = true
[policy]
strict = true
rules = [{ action = "login", local = "mallory*", decision = "deny" },
         { action = "im_*", remote = "eve*", decision = "deny" }]
)toml";

enum Kind { kYmsg, kMsn, kOscar };
const char *const kNames[] = {"ymsg", "msn", "oscar"};
const std::string kCookie8("\x01\x02\x03\x04\x05\x06\x07\x08", 8);

// A client's text message; an OSCAR one says its charset (2: UCS-2BE).
std::string textFrame(int protocol, bool wide, int seq, const std::string &text) {
    if (protocol == kYmsg) return ymsgMessage("alice", "bob", text);
    if (protocol == kMsn) return msnTextFromClient(seq, text);
    const std::string fragments = u8(5) + u8(1) + u16(1) + u8(1) + u8(1) + u8(1) +
                                  u16(static_cast<uint16_t>(text.size() + 4)) + u16(wide ? 2 : 0) +
                                  u16(0) + text;
    return flap(2, static_cast<uint16_t>(seq),
                snac(4, 6, 3, kCookie8 + u16(1) + u8(3) + "bob" + tlv(2, fragments)));
}

std::string readFrame(int protocol, Socket &s) {
    return protocol == kYmsg  ? ymsgRead(s).raw
           : protocol == kMsn ? msnRead(s).raw
                              : flapRead(s).raw;
}

struct Stream {
    int protocol;
    Socket client, server{};
    int switchedAt[2] = {-1, -1}; // client to server, server to client
};

// One text each way: the client's and the server's.
void sendTexts(Stream &s, int round) {
    const std::string t = "darn " + std::to_string(round);
    const auto seq = static_cast<uint16_t>(round + 2);
    if (s.protocol == kYmsg) s.client.write(ymsgMessage("alice", "bob", t));
    if (s.protocol == kYmsg) s.server.write(ymsgMessage("bob", "alice", t));
    if (s.protocol == kMsn) s.client.write(msnTextFromClient(seq, t));
    if (s.protocol == kMsn) s.server.write(msnTextFromServer("bob@example.com", t));
    if (s.protocol == kOscar) s.client.write(oscarMessageOut(seq, kCookie8, "bob", t));
    if (s.protocol == kOscar) s.server.write(oscarMessageIn(seq, kCookie8, "bob", t));
}

std::string receiveText(int protocol, Socket &s) {
    return protocol == kYmsg  ? ymsgRead(s).field("14")
           : protocol == kMsn ? msnRead(s).body()
                              : oscarDecodeIcbm(flapRead(s)).text;
}

std::string utf16(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) out += std::string{static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
    return out;
}

std::string json(const std::string &s) {
    std::string out;
    qmxproxy::appendJsonString(out, s);
    return out;
}

// Many clients of each protocol, one through SOCKS5: SIGHUP under their
// traffic switches each direction of each stream once, for good, without a
// drop, and an invalid file changes nothing; the rules then in force rewrite,
// refuse, audit and count; SIGTERM ends the process with every relay open.
TEST(Proxy, ManyClientsAreRelayedReloadedRewrittenRefusedAuditedAndCounted) {
    constexpr int kStreams = 99, kRounds = 24;
    Listener ups[3];
    const auto cfg = [&](const std::string &more) {
        return config({{ups[0].port(), "ymsg"}, {ups[1].port(), "msn"}, {ups[2].port(), "oscar"}},
                      more + "[metrics]\nlisten = \"127.0.0.1:0\"\n");
    };
    Proxy proxy(cfg(""));
    std::deque<Stream> streams;
    for (int i = 0; i < kStreams; ++i) {
        Stream &s = streams.emplace_back(
            Stream{i % 3, i == 0 ? socks5Open(proxy.port("socks5"), "127.0.0.1", ups[0].port())
                                 : connectLoopback(proxy.port("forward", i % 3))});
        s.server = ups[s.protocol].accept();
        const std::string login = s.protocol == kYmsg  ? ymsgLogin("alice")
                                  : s.protocol == kMsn ? msnLogin(1, "alice@example.com")
                                                       : oscarSelfInfo(1, "alice");
        (s.protocol == kOscar ? s.server : s.client).write(login);
        EXPECT_EQ(readFrame(s.protocol, s.protocol == kOscar ? s.client : s.server), login);
    }
    int replaced[3] = {};
    for (int round = 0; round < kRounds; ++round) {
        // The hangup lands somewhere among the streams' messages, not between rounds.
        if (round == kRounds / 4) proxy.reload(cfg(kRules));
        if (round == kRounds / 2) {
            ASSERT_TRUE(proxy.waitForLog("in force"));
            // A file that does not load changes nothing.
            proxy.reload(cfg(kRules + "[limits]\nmsn_relay_bytes = 5\n"));
            ASSERT_TRUE(proxy.waitForLog("reload failed"));
            EXPECT_NE(proxy.log().find("limits.msn_relay_bytes"), npos);
        }
        for (Stream &s : streams) sendTexts(s, round);
        for (Stream &s : streams) {
            for (int d = 0; d < 2; ++d) {
                const std::string got = receiveText(s.protocol, d == 0 ? s.server : s.client);
                const bool bleeped = got == "[bleep] " + std::to_string(round);
                ASSERT_TRUE(bleeped || got == "darn " + std::to_string(round)) << got;
                if (bleeped && s.switchedAt[d] < 0) s.switchedAt[d] = round;
                ASSERT_EQ(bleeped, s.switchedAt[d] >= 0)
                    << kNames[s.protocol] << " switched back at round " << round;
                replaced[s.protocol] += bleeped;
            }
        }
    }
    for (const Stream &s : streams) {
        for (const int at : s.switchedAt) EXPECT_TRUE(at >= kRounds / 4 && at <= kRounds / 2) << at;
    }

    // The rules see what the recipient reads (the audit log shows it in
    // UTF-8), in every charset and through markup, and the new text goes
    // back in the message's own encoding with every enclosing length fixed.
    const struct {
        const char *what;
        int protocol;
        bool wide;
        std::string wire, out; // out empty: no rule applies
        std::string seen = {}; // empty: as on the wire
    } rows[] = {
        {"UCS-2BE keeps an emoji", kOscar, true, utf16(u"pay 4111 1111 1111 1234 \U0001F600 darn"),
         utf16(u"pay 4111-****-****-1234 \U0001F600 [bleep]"),
         "pay 4111 1111 1111 1234 \xF0\x9F\x98\x80 darn"},
        {"UCS-2BE gets an emoji", kOscar, true, utf16(u"smile"), utf16(u"\U0001F600"), "smile"},
        {"Latin-1", kOscar, false, "caf\xE9 DARN", "caf\xE9 [bleep]", "caf\xC3\xA9 DARN"},
        {"ASCII cannot carry an emoji", kOscar, false, "a smile", "a *"},
        {"word split by tags", kOscar, false, "<HTML><BODY>da<B>rn</B></BODY></HTML>",
         "<HTML><BODY>[bleep]<B></B></BODY></HTML>"},
        {"tag inside the word", kOscar, false, "<b>da</b>rn", "<b>[bleep]</b>"},
        {"entity-encoded word", kOscar, false, "d&#97;rn &amp; more", "[bleep] &amp; more"},
        {"replacement escaped", kOscar, false, "<b>xz</b>", "<b>&lt;x&gt;</b>"},
        {"a lone '<' is text", kOscar, false, "1 <2 darn", "1 <2 [bleep]"},
        {"colour escape", kYmsg, false, "\x1b[31mda\x1b[0mrn! xz", "\x1b[31m[bleep]\x1b[0m! <x>"},
        {"Latin-1 fallback", kYmsg, false, "\xE9t\xE9 darn", "\xE9t\xE9 [bleep]",
         "\xC3\xA9t\xC3\xA9 darn"},
        {"no rule applies", kYmsg, false, "hello", ""},
        {"hostile run", kYmsg, false, std::string(60000, 'x') + "z", "<x>"},
        {"no markup", kMsn, false, "caf\xC3\xA9 <i>darn</i>", "caf\xC3\xA9 <i>[bleep]</i>"},
        {"word boundaries", kMsn, false, "darn,darn xdarn darnit", "[bleep],[bleep] xdarn darnit"},
        {"NUL is text", kMsn, false, std::string("a\0darn", 6), std::string("a\0[bleep]", 9)},
    };
    int seq = 100;
    for (const auto &r : rows) {
        streams[r.protocol].client.write(textFrame(r.protocol, r.wide, ++seq, r.wire));
        EXPECT_EQ(readFrame(r.protocol, streams[r.protocol].server),
                  textFrame(r.protocol, r.wide, seq, r.out.empty() ? r.wire : r.out))
            << r.what;
        replaced[r.protocol] += !r.out.empty();
        EXPECT_NE(proxy.file("audit.jsonl")
                      .find((r.out.empty() ? "\"replaced\":false,\"text\":"
                                           : "\"replaced\":true,\"text\":") +
                            json(r.seen.empty() ? r.wire : r.seen)),
                  npos)
            << r.what;
    }

    // Refused: a YMSG packet is dropped (the next one comes through), an
    // OSCAR message still reaches the server, cut after the name, and an MSN
    // login is answered in its place.
    streams[kYmsg].client.write(ymsgMessage("alice", "eve", "psst") +
                                ymsgMessage("alice", "bob", "ok"));
    EXPECT_EQ(ymsgRead(streams[kYmsg].server).field("14"), "ok");
    streams[kOscar].client.write(oscarMessageOut(99, kCookie8, "eve", "psst"));
    const Flap cut = flapRead(streams[kOscar].server);
    EXPECT_EQ(cut.sequence, 99);
    EXPECT_EQ(cut.payload.size(), 21U + 3U);
    streams[kMsn].client.write(msnLogin(2, "mallory@example.com"));
    EXPECT_EQ(msnRead(streams[kMsn].server).raw, "USR user not allowed\r\n");
    {
        // Strict: bytes that are not YMSG end the relay without reaching the server.
        Socket client = connectLoopback(proxy.port("forward", kYmsg));
        Socket server = ups[kYmsg].accept();
        client.write("GET / HTTP/1.0\r\nHost: example.com\r\n\r\n");
        std::string leaked;
        EXPECT_TRUE(server.waitForEnd(kHangGuardMs, &leaked));
        EXPECT_EQ(leaked, "");
    }

    const std::string audit = proxy.file("audit.jsonl");
    for (const char *record :
         {"\"replacement\":\"caf\xC3\xA9 [bleep]\"",
          "\"action\":\"login\",\"decision\":\"deny\",\"rule\":0",
          "\"action\":\"im_out\",\"decision\":\"deny\",\"rule\":1",
          "\"server_to_client\",\"from\":\"bob\",\"to\":\"alice\",\"action\":\"im_in\""}) {
        EXPECT_NE(audit.find(record), npos) << record;
    }

    const std::string base = "curl -s http://127.0.0.1:" + std::to_string(proxy.port("metrics"));
    EXPECT_EQ(sh(base + "/healthz"), "ok\n");
    const std::string metrics = sh(base + "/metrics");
    std::vector<std::string> samples = {
        "qmx_proxy_relays_total{protocol=\"ymsg\"} " + std::to_string(kStreams / 3 + 1) + "\n",
        "qmx_proxy_connections_accepted_total " + std::to_string(kStreams + 1) + "\n",
        "qmx_proxy_decisions_total{protocol=\"ymsg\",action=\"im_out\",decision=\"deny\"} 1\n",
        // Every round's, the table's four and the one after the refused.
        "qmx_proxy_decisions_total{protocol=\"ymsg\",action=\"im_out\",decision=\"allow\"} " +
            std::to_string(kStreams / 3 * kRounds + 4 + 1) + "\n",
        "qmx_proxy_decisions_total{protocol=\"oscar\",action=\"im_out\",decision=\"deny\"} 1\n",
        "qmx_proxy_decisions_total{protocol=\"msn\",action=\"login\",decision=\"deny\"} 1\n",
        "qmx_proxy_mask_fallbacks_total 1\n", "qmx_proxy_unparsed_dropped_bytes_total 20\n",
        "qmx_build_info{version=\""};
    for (int p = 0; p < 3; ++p) {
        samples.push_back("qmx_proxy_replacements_total{protocol=\"" + std::string(kNames[p]) +
                          "\"} " + std::to_string(replaced[p]) + "\n");
    }
    for (const std::string &sample : samples)
        EXPECT_NE(metrics.find(sample), npos) << sample << "\n" << metrics;
    EXPECT_EQ(sh(base + "/metrics | promtool check metrics 2>&1"), "");

    EXPECT_EQ(proxy.stop(SIGTERM), 0);
    const std::string summary = proxy.file("out");
    EXPECT_NE(summary.find("instances deleted       100\n"), npos) << summary;
    EXPECT_NE(summary.find("reloads (failed)        1 (1)"), npos) << summary;
    for (Stream &s : streams) EXPECT_TRUE(s.client.waitForEnd());
}

TEST(Proxy, FaultsOfPeersAndClientsEndOnlyTheirOwnRelays) {
    // A name server that takes the question and never answers.
    const int stub = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(stub, reinterpret_cast<sockaddr *>(&addr), len), 0);
    getsockname(stub, reinterpret_cast<sockaddr *>(&addr), &len);
    Listener upstream;
    const uint16_t dead = Listener().port(); // closed again at once
    Proxy proxy(config({{upstream.port(), "ymsg"}, {dead, "ymsg"}, {5050, "ymsg"}},
                       "[limits]\nconnect_timeout = 1\n[dns]\nservers = [\"127.0.0.1:" +
                           std::to_string(ntohs(addr.sin_port)) + "\"]\n"));

    Socket refused = connectLoopback(proxy.port("forward", 1));
    EXPECT_TRUE(refused.waitForEnd());
    EXPECT_TRUE(proxy.waitForLog("cannot connect to upstream 127.0.0.1:" + std::to_string(dead)));
    Socket viaSocks, unmapped, unanswered;
    EXPECT_EQ(socks5Connect(viaSocks, proxy.port("socks5"), "127.0.0.1", dead), 5);
    EXPECT_EQ(socks5Connect(unmapped, proxy.port("socks5"), "127.0.0.1", Listener().port()), 2);
    Socket socks4 = connectLoopback(proxy.port("socks5"));
    socks4.write(std::string("\x04\x01\x13\x8a\x7f\x00\x00\x01", 8));
    EXPECT_TRUE(socks4.waitForEnd());
    EXPECT_TRUE(proxy.waitForLog("not a SOCKS5 greeting"));
    // The lookup ends with the connect timeout: "host unreachable".
    EXPECT_EQ(socks5Connect(unanswered, proxy.port("socks5"), "scs.msg.yahoo.com", 5050), 4);
    EXPECT_TRUE(proxy.waitForLog("did not end within the connect timeout"));
    close(stub);

    // Half-close and out-of-band bytes on one relay.
    Socket client = connectLoopback(proxy.port("forward"));
    Socket server = upstream.accept();
    client.write(ymsgMessage("alice", "bob", "last words"));
    EXPECT_EQ(ymsgRead(server).field("14"), "last words");
    ASSERT_EQ(send(client.fd(), "!", 1, MSG_OOB), 1);
    pollfd p{server.fd(), POLLPRI, 0};
    ASSERT_EQ(poll(&p, 1, kHangGuardMs), 1);
    char urgent = 0;
    EXPECT_EQ(recv(server.fd(), &urgent, 1, MSG_OOB), 1);
    EXPECT_EQ(urgent, '!');
    client.shutdownWrite();
    EXPECT_TRUE(server.waitForEnd());
    server.write(ymsgMessage("bob", "alice", "goodbye"));
    EXPECT_EQ(ymsgRead(client).field("14"), "goodbye");

    // An upstream reset mid-packet ends the client without a partial packet.
    Socket client2 = connectLoopback(proxy.port("forward"));
    Socket server2 = upstream.accept();
    client2.write(ymsgLogin("carol"));
    EXPECT_EQ(ymsgRead(server2).field("1"), "carol");
    const std::string packet = ymsgMessage("bob", "carol", "this one is cut short");
    server2.write(packet.substr(0, packet.size() - 5));
    server2.reset();
    std::string received;
    EXPECT_TRUE(client2.waitForEnd(kHangGuardMs, &received));
    EXPECT_EQ(received, "");
    EXPECT_TRUE(proxy.waitForLog("Incomplete/malformed message")) << proxy.log();
    server.close();
    EXPECT_TRUE(client.waitForEnd());
}

// MSG commands of several sizes and PNGs, sent each way in chunks that cut
// commands anywhere: every whole command comes out unchanged while the relay
// restarts every msn_relay_bytes, and the proxy's memory stays bounded. At
// debug level, since only then does the relay keep its histories.
TEST(Proxy, MsnRelayRestartsEveryRelayBytesPassEveryByteAndBoundItsMemory) {
    constexpr size_t kLimit = size_t{256} << 10;
    static const size_t kBodies[] = {60, 1500, 7000, 200, 30000, 3};
    static const size_t kChunks[] = {65536 - 7, 40000, 3001, 17, 52000};
    std::string stream;
    std::vector<size_t> ends = {0}; // where each command ends
    for (int n = 0; stream.size() < (size_t{32} << 20); ++n) {
        const std::string body(kBodies[n % 6], static_cast<char>('a' + n % 26));
        stream += n % 7 == 6 ? std::string("PNG\r\n") : msnTextFromClient(n, body);
        ends.push_back(stream.size());
    }
    Listener upstream;
    Proxy proxy(config({{upstream.port(), "msn"}},
                       "[limits]\nmsn_relay_bytes = " + std::to_string(kLimit) + "\n"),
                "debug");
    Socket client = connectLoopback(proxy.port("forward"));
    Socket server = upstream.accept();
    struct {
        Socket *from, *to;
        size_t written, read;
    } ways[] = {{&client, &server, 0, 0}, {&server, &client, 0, 0}};
    long rssAt16 = -1;
    for (size_t i = 0; ways[0].read < stream.size() || ways[1].read < stream.size(); ++i) {
        for (auto &w : ways) {
            const size_t chunk =
                std::min(kChunks[(i + 2 * (&w - ways)) % 5], stream.size() - w.written);
            w.from->write(std::string_view(stream).substr(w.written, chunk));
            w.written += chunk;
            const size_t whole = *--std::upper_bound(ends.begin(), ends.end(), w.written);
            ASSERT_EQ(w.to->readExact(whole - w.read), stream.substr(w.read, whole - w.read));
            w.read = whole;
        }
        if (rssAt16 < 0 && ways[0].read + ways[1].read >= (size_t{16} << 20))
            rssAt16 = proxy.rssKib();
    }
    const long rssAt64 = proxy.rssKib();
    std::printf("[ rss ] after 16 MiB %ld KiB, after 64 MiB %ld KiB\n", rssAt16, rssAt64);
    ASSERT_EQ(proxy.stop(SIGTERM), 0);
    const std::string summary = proxy.file("out");
    const size_t at = summary.find("msn relay restarts");
    ASSERT_NE(at, npos) << summary;
    EXPECT_GE(std::stoul(summary.substr(at + 18)), stream.size() / kLimit);
#if !defined(__SANITIZE_ADDRESS__) // its quarantine keeps freed memory resident
    // Without the restarts the histories alone would add 48 MiB here.
    EXPECT_LT(rssAt64, rssAt16 + 8192);
#endif
}

TEST(ProxyConfig, ABadFileExitsWithCode2NamingTheKeyAndTheExamplesPass) {
    const std::string path =
        testing::TempDir() + "qmx-e2e-bad-" + std::to_string(getpid()) + ".toml";
    // A back-reference needs a backtracking engine: refused when loaded.
    std::ofstream(path) << "[[replace]]\npattern = \"(d)\\\\1\"\nreplacement = \"x\"\n";
    for (const char *flag : {" --check-config ", " --config "}) {
        const std::string err =
            sh(QMX_PROXY_PATH + std::string(flag) + path + " 2>&1; echo exit $?");
        EXPECT_NE(err.find("replace[0].pattern: bad regular expression"), npos) << err;
        EXPECT_NE(err.find("\nexit 2\n"), npos) << err;
    }
    std::remove(path.c_str());
    for (const char *example : {"/policy.toml", "/qmx-proxy.toml"}) {
        EXPECT_EQ(sh(QMX_PROXY_PATH + std::string(" --check-config ") + QMX_EXAMPLES_DIR + example +
                     " >/dev/null; echo exit $?"),
                  "exit 0\n");
    }
}

// What a balancer says about its client: read exactly, refused when it lies.
TEST(ProxyConfig, ProxyHeadersNameTheClientOrAreRefused) {
    using qmxproxy::ProxyParse;
    const std::string v2 = std::string("\r\n\r\n\0\r\nQUIT\n", 12);
    const std::string tcp4 =
        std::string("\x11\x00\x0c\xc0\x00\x02\x01\xc6\x33\x64\x02\x9c\x40\x04\x38", 15);
    const std::tuple<std::string, ProxyParse, size_t, const char *> rows[] = {
        {"PROXY TCP4 192.0.2.1 198.51.100.2 40000 1080\r\nXY", ProxyParse::Done, 46,
         "192.0.2.1:40000"},
        {"PROXY TCP6 2001:db8::1 2001:db8::2 0 1\r\n", ProxyParse::Done, 40, "[2001:db8::1]:0"},
        {"PROXY UNKNOWN ignored\r\n", ProxyParse::Done, 23, ""},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 1 2", ProxyParse::NeedMore, 0, ""},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 040000 1\r\n", ProxyParse::Invalid, 0, ""},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 65536 1\r\n", ProxyParse::Invalid, 0, ""},
        {"PROXY TCP4 192.0.2.1  198.51.100.2 1 2\r\n", ProxyParse::Invalid, 0, ""},
        {"PROXY TCP4 2001:db8::1 198.51.100.2 1 2\r\n", ProxyParse::Invalid, 0, ""},
        {"PROXY TCP4 192.0.2.1 198.51.100.2 1 2 3\r\n", ProxyParse::Invalid, 0, ""},
        {"PROXY " + std::string(101, '1'), ProxyParse::Invalid, 0, ""},
        {"GET / HTTP/1.1\r\n", ProxyParse::Invalid, 0, ""},
        {v2 + "\x21" + tcp4 + "AB", ProxyParse::Done, 28, "192.0.2.1:40000"},
        {v2 + "\x20" + tcp4, ProxyParse::Done, 28, ""}, // LOCAL: the balancer itself
        {v2 + "\x21\x12" + tcp4.substr(1), ProxyParse::Invalid, 0, ""}, // UDP
        {v2 + "\x11" + tcp4, ProxyParse::Invalid, 0, ""},               // version 1
        {v2 + std::string("\x21\x11\x00\x08", 4) + tcp4.substr(3, 8), ProxyParse::Invalid, 0, ""},
        {v2 + std::string("\x21\x11\x04\x01", 4), ProxyParse::Invalid, 0, ""}, // 1025 bytes
        {v2 + "\x21" + tcp4.substr(0, 9), ProxyParse::NeedMore, 0, ""},
    };
    for (const auto &[bytes, result, used, client] : rows) {
        qmxproxy::ProxyHeader h;
        size_t usedOut = 0, need = 0;
        const char *why = "";
        EXPECT_EQ(qmxproxy::parseProxyHeader(reinterpret_cast<const uint8_t *>(bytes.data()),
                                             bytes.size(), &h, &usedOut, &need, &why),
                  result)
            << bytes;
        if (result != ProxyParse::Done) continue;
        EXPECT_EQ(usedOut, used) << bytes;
        EXPECT_EQ(h.hasAddress ? h.client : "", client) << bytes;
    }
    // Trusted ranges, IPv4-mapped peers included.
    const std::tuple<const char *, const char *, bool> ranges[] = {
        {"10.0.0.0/8", "10.2.3.4", true},        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.0.0/23", "192.168.1.5", true}, {"192.168.0.0/23", "192.168.2.1", false},
        {"10.0.0.0/8", "::ffff:10.1.1.1", true}, {"::1/128", "::1", true},
        {"127.0.0.1", "127.0.0.2", false},       {"0.0.0.0/0", "203.0.113.9", true},
    };
    for (const auto &[range, peer, inside] : ranges) {
        qmxproxy::Cidr c;
        ASSERT_TRUE(qmxproxy::parseCidr(range, &c)) << range;
        sockaddr_storage ss{};
        auto *in4 = reinterpret_cast<sockaddr_in *>(&ss);
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        ss.ss_family = inet_pton(AF_INET, peer, &in4->sin_addr) == 1 ? AF_INET : AF_INET6;
        if (ss.ss_family == AF_INET6) inet_pton(AF_INET6, peer, &in6->sin6_addr);
        EXPECT_EQ(qmxproxy::cidrContains({c}, reinterpret_cast<sockaddr *>(&ss)), inside)
            << range << " " << peer;
    }
    qmxproxy::Cidr c;
    for (const char *bad : {"10.0.0.0/33", "10.0.0.0/", "host/8", "::1/129", "10.0.0.0/-1"})
        EXPECT_FALSE(qmxproxy::parseCidr(bad, &c)) << bad;
}

TEST(ProxyConfig, FirstMatchingPolicyRuleDecidesAndNamesMatchWithoutCase) {
    std::string error;
    const auto c = qmxproxy::loadConfigText(R"toml(
[policy]
default = "deny"
rules = [{ protocol = "msn", action = "im_*", remote = "*@blocked.example", decision = "deny" },
         { action = "im_*", decision = "allow" },
         { action = "login", local = "Alice", decision = "allow" }]
)toml",
                                            "test.toml", &error);
    ASSERT_TRUE(c.has_value()) << error;
    const std::tuple<uint32_t, uint32_t, const char *, const char *, bool, int> rows[] = {
        {QMX_PROTO_MSN, QMX_ACTION_IM_OUT, "a@x", "BOB@Blocked.Example", false, 0},
        {QMX_PROTO_YMSG, QMX_ACTION_IM_OUT, "a", "bob@blocked.example", true, 1},
        {QMX_PROTO_MSN, QMX_ACTION_IM_IN, "a@x", "carol@x", true, 1},
        {QMX_PROTO_OSCAR, QMX_ACTION_LOGIN, "alice", nullptr, true, 2},
        {QMX_PROTO_OSCAR, QMX_ACTION_LOGIN, "alicia", nullptr, false, -1},
        {QMX_PROTO_OSCAR, QMX_ACTION_FILE_SEND, "alice", "bob", false, -1},
    };
    for (const auto &[protocol, action, local, remote, allow, rule] : rows) {
        const qmxproxy::Verdict v = qmxproxy::decide(*c, protocol, action, local, remote);
        EXPECT_EQ(std::make_pair(v.allow, v.rule), std::make_pair(allow, rule))
            << qmxproxy::actionName(action) << " " << local;
    }
}

TEST(ProxyConfig, AuditJsonStringsStayValidWhateverTheBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"quote \" and \\ backslash", "\"quote \\\" and \\\\ backslash\""},
        {"line\r\nbreak\t\x01", "\"line\\r\\nbreak\\t\\u0001\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""}, // valid UTF-8 passes through
        {"caf\xE9", "\"caf\xC3\xA9\""},     // Latin-1 byte becomes U+00E9
        {"\xC3", "\"\xC3\x83\""},           // truncated sequence
        {std::string("nul\0!", 5), "\"nul\\u0000!\""},
    };
    for (const auto &[in, out] : cases) EXPECT_EQ(json(in), out);
}

} // namespace

#endif
