// qmx-replay over real captures under three policies, and over hostile
// captures; what it writes must dissect cleanly in tshark.
#include <gtest/gtest.h>

#ifndef QMX_REPLAY_WITHOUT_TOOL

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

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
        const Outcome run =
            replay(r.policy, "--audit " + (dir / "a.jsonl").string() + " --write-pcap " +
                                 out.string() + " " + (captures / r.capture).string());
        EXPECT_EQ(run.code, 0) << run.output;
        const std::string summary = slurp(dir / "s.json");
        EXPECT_NE(summary.find(r.protocol + R"("decisions":{)" + r.expect), std::string::npos)
            << summary;
        // The hole of the ICQ capture, once per direction, in the summary
        // and in the audit log.
        const bool holes = r.capture == oscar;
        EXPECT_EQ(summary.find(R"("gaps":{"count":2,"bytes":71091,)") != std::string::npos, holes);
        const std::string audit = slurp(dir / "a.jsonl");
        EXPECT_EQ(count(audit, R"("record":"gap")"), holes ? 2U : 0U);
        fs::remove(dir / "a.jsonl");
        // What would have been forwarded dissects as the protocol, whole,
        // with valid checksums.
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
    struct Row {
        const char *what;
        std::string capgen; // qmx-capgen tiny arguments
        long patchAt;       // a little-endian 32-bit value written at this offset (-1: none)
        uint32_t value;
        long cutTo; // the file is cut to this many bytes (-1: not cut)
        int code;
        std::string expect;
    } rows[] = {
        {"truncated", "--count 10", -1, 0, 500, 2, "unreadable at byte offset 478: truncated"},
        {"absurd record length", "--count 10", 32, 0x7FFFFFFF, -1, 2,
         "unreadable at byte offset 24"},
        {"absurd snaplen", "--count 10", 16, 0xFFFFFFFF, -1, 0, R"("streams":10,)"},
        {"100,000 tiny streams", "--count 100000", -1, 0, -1, 0, R"("streams":100000,)"},
        {"100,000 open at once", "--count 100000 --open", -1, 0, -1, 3,
         R"("refused_streams":99488})"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const fs::path file = dir / "c.pcap";
        ASSERT_EQ(sh(std::string(QMX_CAPGEN_PATH) + " tiny " + file.string() + " " + r.capgen).code,
                  0);
        if (r.patchAt >= 0) {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(r.patchAt);
            const char le[4] = {char(r.value), char(r.value >> 8), char(r.value >> 16),
                                char(r.value >> 24)};
            f.write(le, 4);
        }
        if (r.cutTo >= 0) fs::resize_file(file, static_cast<uintmax_t>(r.cutTo));
        const Outcome run = replay("allow.toml", file.string());
        EXPECT_EQ(run.code, r.code) << run.output;
        EXPECT_NE((run.output + slurp(dir / "s.json")).find(r.expect), std::string::npos)
            << run.output;
    }
}

} // namespace

#else

TEST(Replay, NeedsTheTools) { GTEST_SKIP() << "built without qmx-replay"; }

#endif
