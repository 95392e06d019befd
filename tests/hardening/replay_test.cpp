// Every seed and every input that ever broke a fuzz target, run again
// through the fuzzer's own harness: a crash, a sanitizer report or a broken
// invariant fails the target's test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include "harness/harness.h"

namespace qmxfuzz {
// Test names and failure output show the target by name.
void PrintTo(const Target &target, std::ostream *out) { *out << target.name; }
} // namespace qmxfuzz

namespace {

class Replay : public ::testing::TestWithParam<qmxfuzz::Target> {};

TEST_P(Replay, EverySeedAndRegressionInputKeepsTheInvariants) {
    const qmxfuzz::Target target = GetParam();
    int seeds = 0;
    for (const std::string folder : {"corpus", "regression"}) {
        std::error_code none; // a target without regression inputs
        for (const auto &file : std::filesystem::directory_iterator(
                 std::filesystem::path(QMX_FUZZ_DIR) / folder / target.name, none)) {
            std::ifstream in(file.path(), std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(target.run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), "")
                << file.path();
            seeds += folder == "corpus";
        }
    }
    EXPECT_GT(seeds, 0) << "no seed corpus";
}

INSTANTIATE_TEST_SUITE_P(Targets, Replay, ::testing::ValuesIn(qmxfuzz::kTargets),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
