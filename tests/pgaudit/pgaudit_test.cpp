// qmx-proxy's audit records in a PostgreSQL cluster of the test's own, with
// YMSG traffic from the simulators and the queries of docs/audit.md.
#include <gtest/gtest.h>

#if !defined(QMX_PROXY_PATH)
TEST(PgAudit, NeedsTheHostTools) { GTEST_SKIP() << "needs the POSIX host tools"; }
#else

#include "imsim/ymsg.h"

#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

namespace {

using namespace imsim;
using Clock = std::chrono::steady_clock;

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
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (!condition() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return condition();
}

// A query of docs/audit.md, from its "-- name" line to its ";", as a subquery.
std::string docQuery(const std::string &name) {
    return "(" + sh("sed -n '/^-- " + name + "$/,/;/p' " QMX_DOCS_DIR "/audit.md | tr -d ';'") +
           ") q";
}

class PgAudit : public ::testing::Test {
protected:
    void SetUp() override {
        prctl(PR_SET_CHILD_SUBREAPER, 1); // the proxies, started by a shell, end here
        char folder[] = "/tmp/qmx-pgaudit.XXXXXX";
        dir_ = mkdtemp(folder);
        // initdb refuses to run as root: the cluster then belongs to nobody.
        if (geteuid() == 0) as_ = "runuser -u nobody -- ";
        ASSERT_TRUE(as_.empty() || chown(dir_.c_str(), getpwnam("nobody")->pw_uid, 0) == 0);
        ASSERT_EQ(pg("initdb -D " + dir_ + "/data -U qmx --auth=trust -N"), 0);
        ASSERT_EQ(db("start"), 0);
    }
    void TearDown() override {
        for (const auto &[name, pid] : proxies_) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        db("stop");
        sh("rm -rf " + dir_);
    }
    int pg(const std::string &command) {
        return std::system((as_ + "$(pg_config --bindir)/" + command + " >/dev/null").c_str());
    }
    int db(const char *how) { // pg_ctl takes what it needs of the options for either
        return pg("pg_ctl -D " + dir_ + "/data -l " + dir_ + "/db.log -m immediate -w -o \"-k " +
                  dir_ + " -c listen_addresses= -c fsync=off\" " + how);
    }
    std::string psql(const std::string &sql, const std::string &vars = "") {
        return sh("psql -X -At -h " + dir_ + " -U qmx -d postgres " + vars + " 2>&1 <<'EOF'\n" +
                  sql + "\nEOF");
    }
    // Every record of the file log is in the database once: none lost, none
    // twice, and no gap in the sequence of any run of the proxy.
    void expectWhole(const std::string &proxy) {
        const std::string lines = sh("wc -l < " + dir_ + "/" + proxy + ".jsonl"),
                          where = " FROM qmx_audit WHERE proxy = '" + proxy + "'";
        EXPECT_TRUE(eventually([&] { return psql("SELECT count(*)" + where) == lines; }));
        EXPECT_EQ(psql("SELECT sum(n) FROM (SELECT max(split_part(record_id, ':', 3)::int) AS n" +
                       where + " GROUP BY split_part(record_id, ':', 2)) AS runs"),
                  lines);
    }
    // Creates the table if need be, then starts a proxy in front of upstream;
    // returns its forward's port.
    uint16_t startProxy(const std::string &name, uint16_t upstream) {
        const std::string log = dir_ + "/" + name + ".log", config = dir_ + "/" + name + ".toml";
        std::ofstream(config)
            << "[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:" << upstream
            << "\"\nprotocol = \"ymsg\"\n[[policy.rules]]\naction = \"file_send\"\n"
            << "decision = \"deny\"\n[audit]\npath = \"" << dir_ << "/" << name
            << ".jsonl\"\nlog_text = true\nproxy = \"" << name << "\"\n[audit.postgresql]\n"
            << "conninfo = \"host=" << dir_ << " user=qmx dbname=postgres\"\nbatch = 50\n"
            << "spool = \"" << dir_ << "/" << name << ".spool\"\n";
        EXPECT_EQ(sh(QMX_PROXY_PATH " --init-db -c " + config), "audit table qmx_audit is ready\n");
        proxies_[name] = std::stoi(sh(": >" + log + "; " QMX_PROXY_PATH " -c " + config +
                                      " >/dev/null 2>>" + log + " & echo $!"));
        EXPECT_TRUE(eventually([&] { return sh("grep -c ready: " + log) == "1\n"; }));
        return static_cast<uint16_t>(
            std::stoi(sh("sed -n 's/.*listening: forward 127.0.0.1://p' " + log)));
    }
    std::string dir_, as_;
    std::map<std::string, pid_t> proxies_;
};

// Connection i of user prefix+i: a login, a message with characters to quote,
// refused file offers, and a last message that shows they were handled.
void converse(uint16_t port, Listener &server, const std::string &prefix, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        const std::string user = prefix + std::to_string(i);
        Socket client = connectLoopback(port);
        Socket upstream = server.accept();
        client.write(ymsgLogin(user) + ymsgMessage(user, "bob", "hi \"" + user + "\\"));
        for (int k = i == 0 ? 3 : 1; k > 0; --k) client.write(ymsgFileOffer(user, "bob", "f.zip"));
        client.write(ymsgMessage(user, "bob", "bye"));
        for (int k = 0; k < 2; ++k) ymsgRead(upstream);
        ASSERT_EQ(ymsgRead(upstream).field("14"), "bye");
    }
}

TEST_F(PgAudit, TwoProxiesOfFiftyConnectionsEachStoreEveryRecordForTheDocumentedQueries) {
    Listener serverA, serverB;
    const uint16_t a = startProxy("pa", serverA.port()), b = startProxy("pb", serverB.port());
    std::thread other([&] { EXPECT_NO_THROW(converse(b, serverB, "pb", 0, 50)); });
    converse(a, serverA, "pa", 0, 50);
    other.join();
    for (const char *proxy : {"pa", "pb"}) expectWhole(proxy);
    EXPECT_EQ(psql("SELECT proxy, record, count(*), count(DISTINCT instance), count(text), "
                   "bool_and(client = '127.0.0.1' AND client_port > 0) FROM qmx_audit GROUP BY "
                   "1, 2 ORDER BY 1, 2"),
              "pa|decision|202|50|0|t\npa|event|202|50|152|t\n"
              "pb|decision|202|50|0|t\npb|event|202|50|152|t\n");
    // From pb7's first message up to its last, which the range leaves out.
    EXPECT_EQ(psql("SELECT min(time) AS since, max(time) AS until FROM qmx_audit WHERE \"from\" = "
                   "'pb7' AND event = 'text' \\gset\nSELECT proxy, client, \"to\", text FROM " +
                       docQuery("messages of one user"),
                   "-v user=pb7"),
              "pb|127.0.0.1|bob|hi \"pb7\\\n");
    const std::string range = "-v since=-infinity -v until=infinity";
    EXPECT_EQ(psql("SELECT rule, action, sum(refusals) FROM " +
                       docQuery("refusals by rule per day") + " GROUP BY 1, 2",
                   range),
              "0|file_send|104\n");
    EXPECT_EQ(
        psql("SELECT * FROM " + docQuery("top senders of refused file offers") + " LIMIT 4", range),
        "pa0|3\npb0|3\npa1|1\npa10|1\n");
}

TEST_F(PgAudit, NeitherAStoppedDatabaseNorAKilledProxyLosesOrDuplicatesRecords) {
    Listener server;
    const uint16_t port = startProxy("pa", server.port());
    int next = 0;
    while (psql("SELECT count(*) FROM qmx_audit") == "0\n") converse(port, server, "u", next++, 1);
    ASSERT_EQ(db("stop"), 0);
    // The outage lasts 5 s of traffic.
    for (const auto back = Clock::now() + std::chrono::seconds(5); Clock::now() < back;)
        converse(port, server, "u", next++, 1);
    EXPECT_EQ(sh("grep -c 'records go to the spool' " + dir_ + "/pa.log"), "1\n");
    ASSERT_EQ(db("start"), 0);
    converse(port, server, "u", next, 20);
    expectWhole("pa");
    // Then killed while its spool holds what the database has not got.
    std::string stored = sh("wc -l < " + dir_ + "/pa.jsonl"), spool = dir_ + "/pa.spool";
    ASSERT_EQ(db("stop"), 0);
    converse(port, server, "u", next + 20, 20);
    ASSERT_TRUE(eventually([&] {
        return sh("echo $(($(wc -l < " + spool + ") + " + stored + "))") ==
               sh("wc -l < " + dir_ + "/pa.jsonl");
    }));
    stored.pop_back();
    kill(proxies_["pa"], SIGKILL);
    waitpid(proxies_["pa"], nullptr, 0);
    ASSERT_EQ(db("start"), 0);
    // As if a batch had been committed just before the kill: already stored.
    EXPECT_EQ(
        psql("INSERT INTO qmx_audit SELECT * FROM json_populate_record(NULL::qmx_audit, :'r')",
             "-v 'r=" + sh("head -n 1 " + spool) + "'"),
        "INSERT 0 1\n");
    startProxy("pa", server.port());
    expectWhole("pa");
    EXPECT_TRUE(eventually([&] { return sh("wc -l < " + spool) == "0\n"; }));
}

TEST_F(PgAudit, UnfitConnectionStringsFailTheConfigurationCheck) {
    const std::pair<const char *, const char *> cases[] = {
        {"host=/tmp password=secret", "must not hold a password"},
        {"postgresql://qmx:secret@db/audit", "must not hold a password"},
        {"hots=/tmp", R"(not a libpq connection string: invalid connection option "hots")"},
    };
    for (const auto &[conninfo, why] : cases) {
        std::ofstream(dir_ + "/bad.toml")
            << "[audit.postgresql]\nconninfo = \"" << conninfo << "\"\nspool = \"s\"\n";
        const std::string out =
            sh(std::string(QMX_PROXY_PATH) + " --check-config " + dir_ + "/bad.toml 2>&1; echo $?");
        EXPECT_TRUE(out.find(std::string("audit.postgresql.conninfo: ") + why) !=
                        std::string::npos &&
                    out.substr(out.size() - 2) == "2\n")
            << out;
    }
}

} // namespace

#endif
