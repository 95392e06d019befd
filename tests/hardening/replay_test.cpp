// Every seed and every input that ever broke a fuzz target, run again
// through the same harness the fuzzer uses: a crash, a sanitizer report or
// a broken invariant fails the target's test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace fs = std::filesystem;

namespace qmxfuzz {
// Test names and failure output show the target by name.
void PrintTo(const Target &target, std::ostream *out) { *out << target.name; }
} // namespace qmxfuzz

namespace {

std::vector<fs::path> inputsOf(const std::string &folder, const std::string &target) {
    std::vector<fs::path> files;
    const fs::path dir = fs::path(QMX_FUZZ_DIR) / folder / target;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(dir, error))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

class Replay : public ::testing::TestWithParam<qmxfuzz::Target> {};

TEST_P(Replay, EverySeedAndRegressionInputKeepsTheInvariants) {
    const qmxfuzz::Target target = GetParam();
    const std::vector<fs::path> seeds = inputsOf("corpus", target.name);
    ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << target.name;
    std::vector<fs::path> inputs = seeds;
    const std::vector<fs::path> regressions = inputsOf("regression", target.name);
    inputs.insert(inputs.end(), regressions.begin(), regressions.end());
    for (const fs::path &file : inputs) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        EXPECT_EQ(target.run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), "")
            << file.string();
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, Replay, ::testing::ValuesIn(qmxfuzz::kTargets),
                         [](const ::testing::TestParamInfo<qmxfuzz::Target> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
