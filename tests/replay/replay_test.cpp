// qmx-replay over real captures under three policies, and over hostile
// captures; what it writes must dissect cleanly in tshark.
#include <gtest/gtest.h>

#ifndef QMX_REPLAY_WITHOUT_TOOL

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string output;
};

Outcome sh(const std::string &command) {
    Outcome r;
    FILE *p = popen(("(" + command + ") 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        r.output.append(buf, n);
    const int status = p != nullptr ? pclose(p) : -1;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string cat(const fs::path &p) { return sh("cat " + p.string()).output; }

class Replay : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("qmx-replay-" + std::to_string(getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "allow.toml") << "[policy]\ndefault = \"allow\"\n";
        std::ofstream(dir / "deny.toml")
            << "[[policy.rules]]\naction = \"im_*\"\ndecision = \"deny\"\n";
        std::ofstream(dir / "replace.toml")
            << "[[replace]]\npattern = \"(?i)hi|a\"\nreplacement = \"X\"\n";
    }
    void TearDown() override { fs::remove_all(dir); }
    Outcome replay(const std::string &policy, const std::string &args) {
        return sh(std::string(QMX_REPLAY_PATH) + " --config " + (dir / policy).string() +
                  " --summary-json " + (dir / "s.json").string() + " " + args);
    }
    fs::path dir;
};

TEST_F(Replay, CapturesGiveTheExpectedCountsUnderEachPolicy) {
    const fs::path captures = QMX_CAPTURES_DIR;
    if (!fs::exists(captures)) GTEST_SKIP() << "no " << captures;
    ASSERT_EQ(sh("tshark -v").code, 0) << "tshark is needed (scripts/test.sh installs it)";
    const std::string oscar = "oscar-ntop_nDPI-tests-Oscar.pcap";
    const std::string msn = "msnms-markofu_pcaps-PracticalPacketAnalysis-msnms.pcap";
    const std::string ymsg = "ymsg-zeek-btest_Traces-smtp.pcap";
    const std::string oscarEvents =
        R"("oscar":{"streams":1,"relays":3,"units":58,"events":{"login":1,"text":2,"file":0,"datacast":0},)";
    const std::string msnEvents =
        R"("msn":{"streams":1,"relays":1,"units":25,"events":{"login":1,"text":7,"file":0,"datacast":0},)";
    const std::string ymsgEvents =
        R"("ymsg":{"streams":1,"relays":1,"units":1,"events":{"login":0,"text":0,"file":0,"datacast":0},)";
    struct Row {
        std::string capture, policy, protocol, expect, dissector;
    } rows[] = {
        {oscar, "allow.toml", oscarEvents,
         R"("allowed":3,"denied":0,"replaced":0},"bytes_in":5450,"bytes_out":5450)", "aim"},
        {oscar, "deny.toml", oscarEvents,
         R"("allowed":1,"denied":2,"replaced":0},"bytes_in":5450,"bytes_out":5148)", "aim"},
        {oscar, "replace.toml", oscarEvents,
         R"("allowed":3,"denied":0,"replaced":1},"bytes_in":5450,"bytes_out":5449)", "aim"},
        {msn, "allow.toml", msnEvents,
         R"("allowed":9,"denied":0,"replaced":0},"bytes_in":3023,"bytes_out":3023)", "msnms"},
        {msn, "deny.toml", msnEvents,
         R"("allowed":1,"denied":8,"replaced":0},"bytes_in":3023,"bytes_out":1762)", "msnms"},
        {msn, "replace.toml", msnEvents,
         R"("allowed":9,"denied":0,"replaced":6},"bytes_in":3023,"bytes_out":3021)", "msnms"},
        {ymsg, "allow.toml", ymsgEvents,
         R"("allowed":0,"denied":0,"replaced":0},"bytes_in":41,"bytes_out":41)", "ymsg"},
        {ymsg, "deny.toml", ymsgEvents,
         R"("allowed":0,"denied":0,"replaced":0},"bytes_in":41,"bytes_out":41)", "ymsg"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.capture + " " + r.policy);
        const fs::path out = dir / "out.pcap";
        const fs::path audit = dir / (r.capture + r.policy + ".jsonl");
        const Outcome run =
            replay(r.policy, "--audit " + audit.string() + " --write-pcap " + out.string() + " " +
                                 (captures / r.capture).string());
        EXPECT_EQ(run.code, 0) << run.output;
        const std::string summary = cat(dir / "s.json");
        EXPECT_NE(summary.find(r.protocol + R"("decisions":{)" + r.expect), std::string::npos)
            << summary;
        // The ICQ capture's hole, once per direction, in summary and audit.
        const bool holes = r.capture == oscar;
        EXPECT_EQ(summary.find(R"("gaps":{"count":2,"bytes":71091,)") != std::string::npos, holes);
        EXPECT_EQ(sh("grep -c '\"record\":\"gap\"' " + audit.string()).output,
                  holes ? "2\n" : "0\n");
        // What would have been forwarded dissects whole, with valid checksums.
        const std::string tshark = "exec 2>/dev/null; tshark -r " + out.string() +
                                   " -d tcp.port==443,aim -o tcp.check_checksum:TRUE "
                                   "-o ip.check_checksum:TRUE -Y ";
        EXPECT_EQ(sh(tshark + "'_ws.malformed || tcp.checksum.status == 0 || "
                              "ip.checksum.status == 0'")
                      .output,
                  "");
        EXPECT_NE(sh(tshark + r.dissector).output, "");
    }
}

TEST_F(Replay, HostileCapturesEndWithAClearErrorOrABoundedRun) {
    const std::string c = (dir / "c.pcap").string();
    const std::string patch = "| dd of=" + c + " bs=1 conv=notrunc status=none seek=";
    struct Row {
        std::string capgen; // qmx-capgen tiny arguments
        std::string mutate; // a shell command that spoils the capture
        int code;
        std::string expect; // in the messages or the summary
    } rows[] = {
        {"--count 10", "truncate -s 500 " + c, 2, "unreadable at byte offset 478: truncated"},
        {"--count 10", R"(printf '\377\377\377\177' )" + patch + "32", 2,
         "unreadable at byte offset 24: invalid captured length 2147483647"},
        {"--count 10", R"(printf '\377\377\377\377' )" + patch + "16", 0, R"("streams":10,)"},
        {"--count 100000", "true", 0, R"("streams":100000,)"},
        {"--count 100000 --open", "true", 3, R"("refused_streams":99488})"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.capgen + "; " + r.mutate);
        ASSERT_EQ(sh(std::string(QMX_CAPGEN_PATH) + " tiny " + c + " " + r.capgen).code, 0);
        ASSERT_EQ(sh(r.mutate).code, 0);
        const Outcome run = replay("allow.toml", c);
        EXPECT_EQ(run.code, r.code) << run.output;
        EXPECT_NE((run.output + cat(dir / "s.json")).find(r.expect), std::string::npos)
            << run.output;
    }
}

} // namespace

#else

TEST(Replay, NeedsTheTools) { GTEST_SKIP() << "built without qmx-replay"; }

#endif
