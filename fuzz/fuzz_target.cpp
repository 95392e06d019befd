// One libFuzzer entry point per harness; QMX_FUZZ_TARGET names the harness.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const qmxfuzz::Harness chosen = [] {
        for (const qmxfuzz::Target &target : qmxfuzz::kTargets)
            if (std::strcmp(target.name, QMX_FUZZ_TARGET) == 0) return target.run;
        std::abort();
    }();
    const std::string failure = chosen(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "invariant broken in %s: %s\n", QMX_FUZZ_TARGET, failure.c_str());
        std::abort();
    }
    return 0;
}
