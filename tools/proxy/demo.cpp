// `qmx-proxy demo`: a short conversation on each network, played by
// simulated clients and servers through an in-process proxy. Every step
// waits for the bytes it expects on a socket, so the demo is deterministic.
#include "demo.h"

#include "config.h"
#include "net.h"
#include "proxy.h"

#include "imsim/msn.h"
#include "imsim/oscar.h"
#include "imsim/ymsg.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace qmxproxy {

extern const char *const kDemoPolicy;

namespace {

using namespace imsim;

const std::string kOscarCookie8("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
const std::string kFileCookie8("\x11\x12\x13\x14\x15\x16\x17\x18", 8);

class Screen {
public:
    Screen() : colour_(isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr) {}

    void title(const std::string &text) {
        std::printf("\n%s== %s ==%s\n", on("1;36"), text.c_str(), off());
    }
    void note(const std::string &text) { std::printf("   %s%s%s\n", on("2"), text.c_str(), off()); }
    void allowed(const std::string &what, const std::string &outcome) {
        line("32", "ALLOWED ", what, outcome);
    }
    void replaced(const std::string &what, const std::string &outcome) {
        line("33", "REPLACED", what, outcome);
    }
    void refused(const std::string &what, const std::string &outcome) {
        line("31", "REFUSED ", what, outcome);
    }
    void failed(const std::string &what, const std::string &why) {
        ++failures_;
        line("1;31", "UNEXPECTED", what, why);
    }
    int failures() const { return failures_; }

private:
    const char *on(const char *code) const {
        if (!colour_) return "";
        static thread_local char buf[16];
        std::snprintf(buf, sizeof buf, "\033[%sm", code);
        return buf;
    }
    const char *off() const { return colour_ ? "\033[0m" : ""; }
    void line(const char *code, const char *tag, const std::string &what,
              const std::string &outcome) {
        std::printf(" %s%s%s %s\n", on(code), tag, off(), what.c_str());
        std::printf("          %s-> %s%s\n", on("2"), outcome.c_str(), off());
        std::fflush(stdout);
    }

    bool colour_;
    int failures_ = 0;
};

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The audit line of a decision, found by the fields it must carry.
bool auditHas(const std::string &path, std::initializer_list<std::string> fields) {
    std::istringstream lines(readFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        bool all = true;
        for (const std::string &f : fields) all = all && line.find(f) != std::string::npos;
        if (all) return true;
    }
    return false;
}

void playYmsg(Screen &screen, uint16_t socksPort, Listener &server) {
    screen.title("YMSG (Yahoo Messenger), client -> SOCKS5 -> qmx-proxy -> server");
    Socket client = socks5Open(socksPort, "127.0.0.1", server.port());
    Socket upstream = server.accept();

    client.write(ymsgLogin("alice"));
    YmsgPacket p = ymsgRead(upstream);
    if (p.service == kYmsgAuth && p.field("1") == "alice") {
        screen.allowed("alice logs in", "the server received the login");
    } else {
        screen.failed("alice logs in", "the server received service " + std::to_string(p.service));
    }

    const std::string hello = ymsgMessage("alice", "bob", "hello bob, lunch today?");
    client.write(hello);
    p = ymsgRead(upstream);
    if (p.raw == hello) {
        screen.allowed("alice -> bob " + quoted("hello bob, lunch today?"),
                       "delivered byte for byte");
    } else {
        screen.failed("alice -> bob", "the server received " + quoted(p.field("14")));
    }

    client.write(ymsgMessage("alice", "bob", "this darn weather"));
    p = ymsgRead(upstream);
    if (p.field("14") == "this [bleep] weather" && p.length + kYmsgHeaderSize == p.raw.size()) {
        screen.replaced("alice -> bob " + quoted("this darn weather"),
                        "delivered as " + quoted(p.field("14")) + ", header length " +
                            std::to_string(p.length) + " matches the new body");
    } else {
        screen.failed("alice -> bob (replacement)", "the server received " + quoted(p.field("14")));
    }

    // A refused YMSG packet vanishes; the next message shows what got through.
    client.write(ymsgMessage("alice", "bob", "<ding>"));
    client.write(ymsgFileOffer("alice", "bob", "holiday-photos.zip"));
    client.write(ymsgMessage("alice", "bob", "are you there?"));
    p = ymsgRead(upstream);
    if (p.service == kYmsgMessage && p.field("14") == "are you there?") {
        screen.refused("alice buzzes bob (<ding>)", "dropped: datacasts are denied (datacast_out)");
        screen.refused("alice offers bob holiday-photos.zip",
                       "dropped: file transfers are denied (file_send)");
        screen.note("the server's next packet was alice's \"are you there?\"");
    } else {
        screen.failed("buzz and file offer", "the server received service " +
                                                 std::to_string(p.service) + " " +
                                                 quoted(p.field("14")));
    }

    upstream.write(ymsgMessage("bob", "alice", "yes, 12:30"));
    p = ymsgRead(client);
    if (p.field("14") == "yes, 12:30") {
        screen.allowed("bob -> alice " + quoted("yes, 12:30"), "delivered to alice");
    } else {
        screen.failed("bob -> alice", "alice received " + quoted(p.field("14")));
    }
}

void playMsn(Screen &screen, uint16_t socksPort, Listener &server) {
    screen.title("MSN Messenger, client -> SOCKS5 -> qmx-proxy -> server");
    {
        Socket client = socks5Open(socksPort, "127.0.0.1", server.port());
        Socket upstream = server.accept();
        client.write(msnLogin(1, "mallory@example.com"));
        MsnCommand c = msnRead(upstream);
        if (c.line == "USR user not allowed") {
            upstream.write("911 1\r\n");
            MsnCommand answer = msnRead(client);
            screen.refused("mallory@example.com logs in", "the server received " + quoted(c.line) +
                                                              " and answered " +
                                                              quoted(answer.line));
        } else {
            screen.failed("mallory@example.com logs in", "the server received " + quoted(c.line));
        }
    }

    Socket client = socks5Open(socksPort, "127.0.0.1", server.port());
    Socket upstream = server.accept();
    client.write(msnLogin(1, "alice@example.com"));
    MsnCommand c = msnRead(upstream);
    if (c.line == "USR 1 TWN I alice@example.com") {
        screen.allowed("alice@example.com logs in", "the server received the login");
    } else {
        screen.failed("alice@example.com logs in", "the server received " + quoted(c.line));
    }
    upstream.write(msnJoin("bob@example.com"));
    msnRead(client);

    client.write(msnTextFromClient(2, "darn, the build is green"));
    c = msnRead(upstream);
    const std::string declared = c.tokens.empty() ? "" : c.tokens.back();
    if (c.body() == "[bleep], the build is green" && declared == std::to_string(c.payload.size())) {
        screen.replaced("alice -> bob " + quoted("darn, the build is green"),
                        "delivered as " + quoted(c.body()) + ", MSG length " + declared +
                            " matches");
    } else {
        screen.failed("alice -> bob (replacement)", "the server received " + quoted(c.body()));
    }

    upstream.write(msnTextFromServer("bob@example.com", "nice, ship it"));
    c = msnRead(client);
    if (c.body() == "nice, ship it") {
        screen.allowed("bob -> alice " + quoted("nice, ship it"), "delivered to alice");
    } else {
        screen.failed("bob -> alice", "alice received " + quoted(c.body()));
    }
}

void playOscar(Screen &screen, uint16_t socksPort, Listener &login, Listener &bos,
               const std::string &auditPath) {
    screen.title("OSCAR (AIM/ICQ), login server hand-off through SOCKS5");
    const std::string cookie(kOscarCookieSize, '\x5A');
    const std::string hash(16, '\x42');
    std::string bosAddress;
    {
        Socket client = socks5Open(socksPort, "127.0.0.1", login.port());
        Socket upstream = login.accept();
        upstream.write(flap(1, 1, u32(1)));
        flapRead(client);
        client.write(oscarLoginRequest(1, "alice", hash));
        Flap request = flapRead(upstream);
        if (oscarPasswordHash(request) == hash) {
            screen.allowed("alice logs in at the login server", "the password hash arrived intact");
        } else {
            screen.failed("alice logs in", "the password hash was changed");
        }
        upstream.write(
            oscarLoginReply(2, "alice", "127.0.0.1:" + std::to_string(bos.port()), cookie));
        OscarLoginReply reply = oscarDecodeLoginReply(flapRead(client));
        bosAddress = reply.bos;
        screen.note("the login server sends alice to the service server " + bosAddress +
                    " with a " + std::to_string(reply.cookie.size()) + "-byte cookie");
    }

    Socket client = socks5Open(socksPort, "127.0.0.1", bos.port());
    Socket upstream = bos.accept();
    client.write(oscarCookieSignon(1, cookie));
    flapRead(upstream);
    screen.note("alice signs on at the service server with the cookie alone (no screen name)");

    const std::string message = oscarMessageOut(2, kOscarCookie8, "bob", "lunch at noon?");
    client.write(message);
    Flap f = flapRead(upstream);
    const bool learned = auditHas(auditPath, {R"("protocol":"oscar")", R"("action":"im_out")",
                                              R"("from":"alice")", R"("to":"bob")"});
    if (f.raw == message && learned) {
        screen.allowed("alice -> bob " + quoted("lunch at noon?"),
                       "delivered byte for byte; the audit names the sender \"alice\", learned "
                       "from the cookie");
    } else {
        screen.failed("alice -> bob on the service server",
                      learned ? "the frame was changed"
                              : "the audit does not name alice as the sender");
    }

    upstream.write(oscarMessageIn(3, kOscarCookie8, "bob", "sure, the usual place"));
    OscarIcbm in = oscarDecodeIcbm(flapRead(client));
    if (in.text == "sure, the usual place") {
        screen.allowed("bob -> alice " + quoted(in.text), "delivered to alice");
    } else {
        screen.failed("bob -> alice", "alice received " + quoted(in.text));
    }

    client.write(oscarFileOffer(4, kFileCookie8, "bob", "budget.xls"));
    f = flapRead(upstream);
    OscarIcbm offer = oscarDecodeIcbm(f);
    if (offer.peer == "bob" && f.payload.size() == 21 + offer.peer.size()) {
        screen.refused(
            "alice offers bob budget.xls",
            "cut to its " + std::to_string(f.payload.size()) +
                "-byte ICBM header (file_send denied); FLAP sequence numbers stay unbroken");
    } else {
        screen.failed("alice offers bob budget.xls",
                      "the server received " + std::to_string(f.payload.size()) + " payload bytes");
    }
}

} // namespace

int runDemo(const std::string &policyPath) {
    std::string error;
    auto config = policyPath.empty() ? loadConfigText(kDemoPolicy, "examples/policy.toml", &error)
                                     : loadConfigFile(policyPath, &error);
    if (!config) {
        std::fprintf(stderr, "qmx-proxy demo: configuration error: %s\n", error.c_str());
        return 2;
    }
    char auditTemplate[] = "/tmp/qmx-demo-audit-XXXXXX";
    const int auditFd = mkstemp(auditTemplate);
    if (auditFd < 0) {
        std::fprintf(stderr, "qmx-proxy demo: cannot create a temporary audit file\n");
        return 1;
    }
    ::close(auditFd);
    const std::string auditPath = auditTemplate;

    Screen screen;
    int status = 0;
    try {
        Listener ymsgServer;
        Listener msnServer;
        Listener oscarLogin;
        Listener oscarBos;
        Socks5Listener socks;
        socks.listen = Endpoint{"127.0.0.1", 0};
        socks.ports = {{ymsgServer.port(), PortUse::Ymsg},
                       {msnServer.port(), PortUse::Msn},
                       {oscarLogin.port(), PortUse::Oscar},
                       {oscarBos.port(), PortUse::Oscar}};
        config->socks5 = {socks};
        config->forwards.clear();
        config->auditPath = auditPath;
        const size_t rules = config->rules.size();
        const size_t replacements = config->replacements.size();

        Proxy proxy(std::move(*config));
        if (!proxy.start(&error)) {
            std::fprintf(stderr, "qmx-proxy demo: cannot start the proxy: %s\n", error.c_str());
            std::remove(auditPath.c_str());
            return 1;
        }
        std::thread runner([&] { proxy.run(); });
        std::printf("qmx-proxy demo: simulated IM clients and servers talk through qmx-proxy\n"
                    "  SOCKS5 on 127.0.0.1:%u; policy %s (%zu rules, %zu text replacement(s))\n",
                    proxy.socksPort(0),
                    policyPath.empty() ? "examples/policy.toml" : policyPath.c_str(), rules,
                    replacements);
        try {
            playYmsg(screen, proxy.socksPort(0), ymsgServer);
            playMsn(screen, proxy.socksPort(0), msnServer);
            playOscar(screen, proxy.socksPort(0), oscarLogin, oscarBos, auditPath);
        } catch (const std::exception &e) {
            screen.failed("the conversation stopped", e.what());
        }
        stopSignalRaise();
        runner.join();

        const std::string audit = readFile(auditPath);
        size_t lines = 0;
        for (char ch : audit) lines += ch == '\n';
        std::printf(
            "\nThe audit log got %zu JSON lines (one per event and per policy decision), e.g.\n",
            lines);
        std::istringstream in(audit);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find(R"("decision":"deny")") != std::string::npos) {
                std::printf("  %s\n", line.c_str());
                break;
            }
        }
        std::printf("\n%s", proxy.summary().c_str());
    } catch (const std::exception &e) {
        screen.failed("the demo could not run", e.what());
    }
    std::remove(auditPath.c_str());
    if (screen.failures() > 0) {
        std::printf("\n%d step(s) did not go as expected.\n", screen.failures());
        status = 1;
    } else {
        std::printf("\nEvery step went as the policy says.\n");
    }
    return status;
}

} // namespace qmxproxy
