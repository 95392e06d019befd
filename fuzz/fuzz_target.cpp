// One libFuzzer entry point per harness; QMX_FUZZ_TARGET names the harness.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/harness.h"

namespace {

qmxfuzz::Harness chosen = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (const qmxfuzz::Target &target : qmxfuzz::kTargets)
        if (std::strcmp(target.name, QMX_FUZZ_TARGET) == 0) chosen = target.run;
    if (chosen == nullptr) {
        std::fprintf(stderr, "no harness named %s\n", QMX_FUZZ_TARGET);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string failure = chosen(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "invariant broken in %s: %s\n", QMX_FUZZ_TARGET, failure.c_str());
        std::abort();
    }
    return 0;
}
