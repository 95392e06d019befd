#include "containers/alloc.h"

#include <atomic>
#include <cstdlib>

namespace {

// -1 while no failure is armed; otherwise how many more allocations may
// succeed. Relaxed ordering is enough: the budget is a counter, not a guard
// for other data, and tests arm it from the thread they then run.
std::atomic<int64_t> gFailBudget{-1};

// Counted per thread so that the seam's idle path is a single atomic load;
// a test counts and fails allocations on the thread that makes them.
thread_local uint64_t tAllocCount = 0;

bool qmxAllocShouldFail() {
    ++tAllocCount;
    int64_t budget = gFailBudget.load(std::memory_order_relaxed);
    while (budget > 0) {
        if (gFailBudget.compare_exchange_weak(budget, budget - 1, std::memory_order_relaxed))
            return false;
    }
    return budget == 0;
}

// malloc(0) and realloc(p, 0) may hand back NULL (or free p), which callers
// would take for exhaustion; an empty request still gets a unique block.
size_t qmxAllocSize(size_t size) { return size == 0 ? 1 : size; }

} // namespace

void *qmxMalloc(size_t size) {
    if (qmxAllocShouldFail()) return nullptr;
    return std::malloc(qmxAllocSize(size));
}

void *qmxRealloc(void *block, size_t size) {
    if (qmxAllocShouldFail()) return nullptr;
    return std::realloc(block, qmxAllocSize(size));
}

void qmxFree(void *block) { std::free(block); }

void qmxAllocFailAfter(int64_t n) { gFailBudget.store(n < 0 ? -1 : n, std::memory_order_relaxed); }

uint64_t qmxAllocCount() { return tAllocCount; }
