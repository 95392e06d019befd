// Replacement rules run over text that a stranger chooses. A pattern whose
// groups nest or overlap makes glibc's POSIX engine take time quadratic in
// the text; RE2 stays linear. One hostile 32 KiB message, both engines:
//   build/bench/bench/qmx_regex_bench
#include <benchmark/benchmark.h>
#include <re2/re2.h>
#include <regex.h>

#include <string>

namespace {

const char *const kPattern = "(x+x+)+y";
const std::string kHostile(32 * 1024, 'x'); // no 'y': every start position fails late

void posixEngine(benchmark::State &state) {
    regex_t re;
    if (regcomp(&re, kPattern, REG_EXTENDED) != 0) {
        state.SkipWithError("regcomp failed");
        return;
    }
    regmatch_t m[10];
    for (auto _ : state) benchmark::DoNotOptimize(regexec(&re, kHostile.c_str(), 10, m, 0));
    regfree(&re);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHostile.size()));
}

void re2Engine(benchmark::State &state) {
    const RE2 re(kPattern);
    re2::StringPiece groups[2];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            re.Match(kHostile, 0, kHostile.size(), RE2::UNANCHORED, groups, 2));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHostile.size()));
}

} // namespace

BENCHMARK(posixEngine)
    ->Name("hostile_32KiB/posix_regexec")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(re2Engine)->Name("hostile_32KiB/re2")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
