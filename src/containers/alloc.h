// Every heap allocation of the containers and the registry goes through this
// seam, so that a test can make the nth allocation fail and check that the
// caller reports it and leaves its state untouched.
#pragma once

#include <cstddef>
#include <cstdint>

void *qmxMalloc(size_t size);
void *qmxRealloc(void *block, size_t size);
void qmxFree(void *block);

// Test hooks. qmxAllocFailAfter(n): the next n allocations succeed and every
// later one fails, until qmxAllocFailAfter(-1) restores normal behaviour.
// qmxAllocCount() counts the allocations the calling thread has attempted so
// far (successful or not); the failure budget is shared by all threads.
void qmxAllocFailAfter(int64_t n);
uint64_t qmxAllocCount();
