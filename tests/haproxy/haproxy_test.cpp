// Three qmx-proxy behind HAProxy (balance source, PROXY v2, health checks),
// as deploy/haproxy/run-local.sh starts them: real client addresses in the
// audit, an OSCAR login and its service connection on one proxy, an even
// spread, and a drain that loses no connection.
#include <gtest/gtest.h>

#ifndef QMX_HAPROXY_WITHOUT_PROXY
#include "imsim/net.h"
#include "imsim/oscar.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

using namespace imsim;

namespace {

std::string slurp(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

// inotify wakes the check; the timeout only ends a hang.
bool waitForText(const std::string &path, const std::string &text) {
    const int fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(fd, path.c_str(), IN_MODIFY);
    bool found = false;
    char events[4096];
    pollfd p{fd, POLLIN, 0};
    while (!(found = slurp(path).find(text) != std::string::npos) && poll(&p, 1, 30000) == 1 &&
           read(fd, events, sizeof events) > 0) {
    }
    close(fd);
    return found;
}

// A client socket's own address and port, as the proxies log and audit it.
std::string addressOf(const Socket &s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(s.fd(), reinterpret_cast<sockaddr *>(&sa), &len);
    char host[INET_ADDRSTRLEN];
    return std::string(inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host)) + ":" +
           std::to_string(ntohs(sa.sin_port));
}

std::string source(size_t i) {
    return "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200);
}

// Everything run-local.sh started, stopped at the end whatever happened.
struct Deployment {
    std::string dir;
    uint16_t base = static_cast<uint16_t>(20000 + getpid() % 12000); // below ephemeral ports
    FILE *script = nullptr;
    std::map<std::string, pid_t> pid;
    ~Deployment() {
        for (const auto &p : pid) kill(p.second, SIGTERM);
        if (script != nullptr) pclose(script);
        if (!::testing::Test::HasFailure()) std::filesystem::remove_all(dir);
    }
    // Which proxy logged a relay for this client address and port.
    std::string proxyOf(const Socket &s) {
        const std::string client = addressOf(s) + "]";
        for (const char *name : {"qmx1", "qmx2", "qmx3"}) {
            if (slurp(dir + "/" + name + ".log").find(client) != std::string::npos) return name;
        }
        return "";
    }
    Socket open(const std::string &from, uint16_t port) {
        Socket s = connectLoopback(base, from);
        EXPECT_EQ(socks5Connect(s, base, "127.0.0.1", port), 0) << from;
        return s;
    }
};

// Echoes every connection until its end, for as long as the process lives.
void echoServer(Listener *echo) {
    std::thread([echo] {
        try {
            for (;;) {
                std::thread([c = echo->accept(-1)]() mutable {
                    try {
                        for (std::string b; !(b = c.readSome(-1)).empty();) c.write(b);
                    } catch (const Error &) {
                    }
                }).detach();
            }
        } catch (const Error &) {
        }
    }).detach();
}

TEST(Balanced, KeepsUsersTogetherSpreadsAndDrains) {
    Listener login, bos;
    static Listener echoListener; // its threads outlive the test body
    Listener *echo = &echoListener;
    echoServer(echo);
    Deployment d;
    char tmpl[] = "/tmp/qmx-haproxy-test.XXXXXX";
    d.dir = mkdtemp(tmpl);
    std::ofstream(d.dir + "/extra.toml") << "[socks5.ports]\n"
                                         << login.port() << " = \"oscar\"\n"
                                         << bos.port() << " = \"oscar\"\n"
                                         << echo->port() << " = \"raw\"\n";
    const std::string cmd = std::string(QMX_RUN_LOCAL) + " -n 3 --check-ms 100 --port " +
                            std::to_string(d.base) + " --dir " + d.dir + " --proxy " +
                            QMX_PROXY_PATH + " --extra " + d.dir + "/extra.toml 2>/dev/null";
    d.script = popen(cmd.c_str(), "r");
    char line[512];
    ASSERT_TRUE(fgets(line, sizeof line, d.script) && std::string(line).rfind("ready", 0) == 0);
    std::ifstream pids(d.dir + "/pids");
    for (std::pair<std::string, pid_t> p; pids >> p.first >> p.second;) d.pid.insert(p);

    {
        // An OSCAR login, the service connection that follows it, and a
        // sign-on with a cookie no proxy has seen.
        const std::string cookie(kOscarCookieSize, 'c');
        Socket client = d.open("127.0.0.7", login.port());
        Socket auth = login.accept();
        client.write(oscarLoginRequest(1, "alice", std::string(16, 'h')));
        flapRead(auth);
        auth.write(oscarLoginReply(1, "alice", "127.0.0.1:1", cookie));
        flapRead(client);
        Socket service = d.open("127.0.0.7", bos.port());
        Socket server = bos.accept();
        service.write(oscarCookieSignon(1, cookie));
        flapRead(server);
        service.write(oscarMessageOut(2, "12345678", "bob", "hi"));
        EXPECT_EQ(oscarDecodeIcbm(flapRead(server)).text, "hi");
        Socket stranger = d.open("127.0.0.9", bos.port());
        Socket strangerServer = bos.accept();
        stranger.write(oscarCookieSignon(1, std::string(kOscarCookieSize, 'x')));
        flapRead(strangerServer);

        const std::string owner = d.proxyOf(service);
        ASSERT_FALSE(owner.empty());
        EXPECT_EQ(d.proxyOf(client), owner);
        const std::string audit = d.dir + "/audit-" + owner.substr(3) + ".jsonl";
        EXPECT_TRUE(waitForText(audit, R"("proxy":")" + owner));
        EXPECT_TRUE(waitForText(
            audit,
            R"("client":")" + addressOf(service) +
                R"(","event":"text","direction":"client_to_server","from":"alice","to":"bob")"));
        EXPECT_TRUE(waitForText(d.dir + "/audit-" + d.proxyOf(stranger).substr(3) + ".jsonl",
                                R"("from":"","to":null,"cookie":"unknown")"));
    }

    // 300 clients from distinct addresses spread evenly, and stay open.
    std::vector<Socket> clients;
    std::map<std::string, std::vector<size_t>> byProxy;
    for (size_t i = 0; i < 300; ++i) {
        clients.push_back(d.open(source(i), echo->port()));
        clients.back().write("x");
        ASSERT_EQ(clients.back().readExact(1), "x");
        byProxy[d.proxyOf(clients.back())].push_back(i);
    }
    for (const char *name : {"qmx1", "qmx2", "qmx3"}) {
        EXPECT_NEAR(byProxy[name].size(), 100, 30) << name;
    }

    // SIGTERM to one proxy: once HAProxy has seen its /healthz fail, the
    // same addresses reach the others, while its own relays go on whole.
    kill(d.pid["qmx2"], SIGTERM);
    ASSERT_TRUE(waitForText(d.dir + "/haproxy.log", "qmx_socks5/qmx2 is DOWN"));
    const std::string block(64 * 1024, 'b');
    for (size_t i : byProxy["qmx2"]) {
        Socket again = d.open(source(i), echo->port());
        again.write("y");
        EXPECT_EQ(again.readExact(1), "y");
        EXPECT_NE(d.proxyOf(again), "qmx2");
        clients[i].write(block);
        EXPECT_EQ(clients[i].readExact(block.size()), block);
        clients[i].close();
    }
    // Every relay of the stopped proxy ended by itself, none by the timeout.
    EXPECT_TRUE(waitForText(d.dir + "/qmx2.log", "qmx-proxy summary:"));
    EXPECT_EQ(slurp(d.dir + "/qmx2.log").find("stopping: ending"), std::string::npos);
}

} // namespace

#else
TEST(Balanced, NeedsTheProxy) { GTEST_SKIP() << "built without the tools"; }
#endif
