// qmx-proxy's audit records in a real PostgreSQL: a cluster of the test's
// own on a Unix socket, proxies as child processes, YMSG traffic from the
// simulators, and the queries of docs/audit.md.
#include <gtest/gtest.h>

#if !defined(QMX_PROXY_PATH)
TEST(PgAudit, NeedsTheHostTools) { GTEST_SKIP() << "needs the POSIX host tools"; }
#else

#include "imsim/ymsg.h"

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

namespace {

using namespace imsim;
using Clock = std::chrono::steady_clock;

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t lineCount(const std::string &path) {
    const std::string s = slurp(path);
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

std::string sh(const std::string &command) {
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

// Polls a condition; the limit only guards against a hang.
bool eventually(const std::function<bool()> &condition) {
    for (const auto end = Clock::now() + std::chrono::seconds(60); Clock::now() < end;) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A query of docs/audit.md: from its "-- name" line to the end of its block.
std::string docQuery(const std::string &name) {
    const std::string doc = slurp(QMX_DOCS_DIR "/audit.md");
    const size_t at = doc.find("-- " + name + "\n");
    return at == std::string::npos ? "" : doc.substr(at, doc.find("```", at) - at);
}

// Each line of psql's output without its first column.
std::vector<std::string> tails(const std::string &out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find('|') + 1));
    return lines;
}

class PgAudit : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/qmx-pgaudit.XXXXXX";
        dir_ = mkdtemp(folder);
        // initdb refuses to run as root: the cluster then belongs to nobody.
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir_.c_str(), getpwnam("nobody")->pw_uid, 0), 0);
            as_ = "runuser -u nobody -- ";
        }
        ASSERT_EQ(pg("initdb -D " + dir_ + "/data -U qmx --auth=trust -N >/dev/null"), 0);
        ASSERT_EQ(startDb(), 0);
        writeConfig("pa");
        for (int i = 0; i < 2; ++i) // twice: the second finds everything there
            ASSERT_EQ(sh(std::string(QMX_PROXY_PATH) + " --init-db -c " + dir_ + "/pa.toml"),
                      "audit table qmx_audit is ready\n");
    }
    void TearDown() override {
        for (const auto &[name, pid] : proxies_) stopProxy(name, SIGKILL);
        pg("pg_ctl -D " + dir_ + "/data -m immediate stop >/dev/null");
        sh("rm -rf " + dir_);
    }
    int pg(const std::string &command) {
        return std::system((as_ + QMX_PG_BINDIR "/" + command).c_str());
    }
    int startDb() {
        return pg("pg_ctl -D " + dir_ + "/data -l " + dir_ + "/db.log -w -o \"-k " + dir_ +
                  " -c listen_addresses= -c fsync=off\" start >/dev/null");
    }
    int stopDb() { return pg("pg_ctl -D " + dir_ + "/data -m immediate stop >/dev/null"); }
    std::string psql(const std::string &sql, const std::string &vars = "") {
        std::ofstream(dir_ + "/q.sql") << sql;
        return sh("psql -X -At -h " + dir_ + " -U qmx -d postgres " + vars + " -f " + dir_ +
                  "/q.sql 2>&1");
    }
    std::string count(const std::string &proxy) {
        return psql("SELECT count(*) FROM qmx_audit WHERE proxy = '" + proxy + "'");
    }
    // Every record the file log holds is in the database once: none lost,
    // none twice, and no gap in any run's sequence.
    void expectWhole(const std::string &proxy) {
        const std::string lines = std::to_string(lineCount(dir_ + "/" + proxy + ".jsonl"));
        EXPECT_TRUE(eventually([&] { return count(proxy) == lines + "\n"; })) << count(proxy);
        EXPECT_EQ(psql("SELECT sum(n) FROM (SELECT max(split_part(record_id, ':', 3)::int) AS n "
                       "FROM qmx_audit WHERE proxy = '" +
                       proxy +
                       "' GROUP BY "
                       "split_part(record_id, ':', 2)) AS boots"),
                  lines + "\n");
    }
    void writeConfig(const std::string &name, uint16_t upstream = 1) {
        std::ofstream(dir_ + "/" + name + ".toml")
            << "[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:" << upstream
            << "\"\nprotocol = \"ymsg\"\n[[policy.rules]]\naction = \"file_send\"\n"
            << "decision = \"deny\"\n[audit]\npath = \"" << dir_ << "/" << name
            << ".jsonl\"\nlog_text = true\nproxy = \"" << name << "\"\n[audit.postgresql]\n"
            << "conninfo = \"host=" << dir_ << " user=qmx dbname=postgres\"\nbatch = 50\n"
            << "spool = \"" << dir_ << "/" << name << ".spool\"\n";
    }
    // Starts a proxy in front of upstream; returns its forward's port.
    uint16_t startProxy(const std::string &name, uint16_t upstream) {
        writeConfig(name, upstream);
        const std::string log = dir_ + "/" + name + ".log", config = dir_ + "/" + name + ".toml";
        std::ofstream(log, std::ios::trunc).flush();
        const pid_t pid = fork();
        if (pid == 0) {
            if (freopen(log.c_str(), "a", stderr) != nullptr)
                execl(QMX_PROXY_PATH, "qmx-proxy", "-c", config.c_str(), nullptr);
            _exit(127);
        }
        proxies_[name] = pid;
        EXPECT_TRUE(eventually([&] { return slurp(log).find("ready:") != std::string::npos; }));
        const std::string text = slurp(log), mark = "listening: forward 127.0.0.1:";
        return static_cast<uint16_t>(std::stoi(text.substr(text.find(mark) + mark.size())));
    }
    void stopProxy(const std::string &name, int signal) {
        kill(proxies_[name], signal);
        waitpid(proxies_[name], nullptr, 0);
    }
    std::string dir_, as_;
    std::map<std::string, pid_t> proxies_;
};

// Connection i of user prefix+i: a login, a message with the characters that
// need quoting, file offers that the policy refuses, and a last message whose
// arrival shows they were handled.
void converse(uint16_t port, Listener &server, const std::string &prefix, int from, int to) {
    for (int i = from; i < to; ++i) {
        const std::string user = prefix + std::to_string(i);
        Socket client = connectLoopback(port);
        Socket upstream = server.accept();
        client.write(ymsgLogin(user) +
                     ymsgMessage(user, "bob", "hello \"" + std::to_string(i) + "\\"));
        for (int k = i == 0 ? 3 : 1; k > 0; --k) client.write(ymsgFileOffer(user, "bob", "f.zip"));
        client.write(ymsgMessage(user, "bob", "bye"));
        ymsgRead(upstream);
        ymsgRead(upstream);
        ASSERT_EQ(ymsgRead(upstream).field("14"), "bye");
    }
}

TEST_F(PgAudit, TwoProxiesOfFiftyConnectionsEachStoreEveryRecordForTheDocumentedQueries) {
    Listener serverA, serverB;
    const uint16_t a = startProxy("pa", serverA.port()), b = startProxy("pb", serverB.port());
    std::thread other([&] { converse(b, serverB, "pb", 0, 50); });
    converse(a, serverA, "pa", 0, 50);
    other.join();
    expectWhole("pa");
    expectWhole("pb");
    EXPECT_EQ(psql("SELECT proxy, record, count(*), count(DISTINCT instance), count(text), "
                   "bool_and(client = '127.0.0.1' AND client_port > 0) FROM qmx_audit GROUP BY "
                   "1, 2 ORDER BY 1, 2"),
              "pa|decision|202|50|0|t\npa|event|202|50|152|t\n"
              "pb|decision|202|50|0|t\npb|event|202|50|152|t\n");
    // From pb7's first message up to its last: the range ends before it.
    std::string times = psql("SELECT min(time) || '|' || max(time) FROM qmx_audit WHERE "
                             "\"from\" = 'pb7' AND event = 'text'");
    times.pop_back();
    EXPECT_EQ(tails(psql(docQuery("one user's messages"),
                         "-v user=pb7 -v 'since=" + times.substr(0, times.find('|')) +
                             "' -v 'until=" + times.substr(times.find('|') + 1) + "'")),
              std::vector<std::string>{"pb|127.0.0.1|bob|hello \"7\\"});
    const std::string range = "-v since=-infinity -v until=infinity";
    int refused = 0; // per day: a run may cross midnight
    for (const std::string &t : tails(psql(docQuery("refusals by rule per day"), range))) {
        EXPECT_EQ(t.substr(0, 12), "0|file_send|");
        refused += std::stoi(t.substr(12));
    }
    EXPECT_EQ(refused, 104);
    EXPECT_EQ(psql(docQuery("top senders of refused file offers"), range).substr(0, 25),
              "pa0|3\npb0|3\npa1|1\npa10|1\n");
}

TEST_F(PgAudit, DatabaseStoppedUnderTrafficAndBackLosesAndDuplicatesNothing) {
    Listener server;
    const uint16_t port = startProxy("pa", server.port());
    int next = 0;
    for (; count("pa") == "0\n"; ++next) converse(port, server, "u", next, next + 1);
    ASSERT_EQ(stopDb(), 0);
    // The outage lasts 5 s of traffic.
    for (const auto back = Clock::now() + std::chrono::seconds(5); Clock::now() < back; ++next)
        converse(port, server, "u", next, next + 1);
    EXPECT_NE(slurp(dir_ + "/pa.log").find("records go to the spool"), std::string::npos);
    ASSERT_EQ(startDb(), 0);
    converse(port, server, "u", next, next + 20);
    expectWhole("pa");
}

TEST_F(PgAudit, KilledProxyReplaysItsSpoolWhenStartedAgain) {
    ASSERT_EQ(stopDb(), 0);
    Listener server;
    converse(startProxy("pa", server.port()), server, "u", 0, 20);
    const std::string spool = dir_ + "/pa.spool";
    ASSERT_TRUE(eventually([&] { return lineCount(spool) == lineCount(dir_ + "/pa.jsonl"); }));
    stopProxy("pa", SIGKILL);
    ASSERT_EQ(startDb(), 0);
    // As if a batch had been committed just before the kill: already stored.
    std::string first = slurp(spool).substr(0, slurp(spool).find('\n'));
    EXPECT_EQ(
        psql("INSERT INTO qmx_audit SELECT * FROM json_populate_record(NULL::qmx_audit, :'r')",
             "-v 'r=" + first + "'"),
        "INSERT 0 1\n");
    startProxy("pa", server.port());
    expectWhole("pa");
    EXPECT_TRUE(eventually([&] { return lineCount(spool) == 0; }));
}

TEST_F(PgAudit, UnfitConnectionStringsFailTheConfigurationCheck) {
    const std::pair<const char *, const char *> cases[] = {
        {"host=/tmp password=secret", "must not hold a password"},
        {"postgresql://qmx:secret@db/audit", "must not hold a password"},
        {"hots=/tmp", R"(invalid connection option "hots")"},
        {"host='/tmp", "unterminated quoted string"}};
    for (const auto &[conninfo, why] : cases) {
        std::ofstream(dir_ + "/bad.toml")
            << "[audit.postgresql]\nconninfo = \"" << conninfo << "\"\nspool = \"s\"\n";
        const std::string out =
            sh(std::string(QMX_PROXY_PATH) + " --check-config " + dir_ + "/bad.toml 2>&1; echo $?");
        EXPECT_NE(out.find("audit.postgresql.conninfo: "), std::string::npos) << out;
        EXPECT_NE(out.find(why), std::string::npos) << conninfo << ": " << out;
        EXPECT_EQ(out.substr(out.size() - 2), "2\n") << out;
    }
}

} // namespace

#endif
