// Growth points, run writes and removal, and the promise that a growing
// operation which meets an allocation failure leaves the array untouched.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "containers/alloc.h"
#include "containers/darray.h"

namespace {

struct ArrayFree {
    void operator()(DArray *arr) const { DArray_free(arr); }
};
using ArrayPtr = std::unique_ptr<DArray, ArrayFree>;
using Op = std::function<int(DArray *)>;

ArrayPtr bytes(const std::string &text, uint32_t flags = 0, int32_t initSize = 1) {
    ArrayPtr arr(DArray_create(initSize, 1, 2, flags));
    DArray_appendRun(text.data(), static_cast<int32_t>(text.size()), arr.get());
    return arr;
}

std::string text(const DArray *arr, int32_t n = -1) {
    return std::string(static_cast<const char *>(DArray_data(arr)),
                       static_cast<size_t>(n < 0 ? DArray_count(arr) : n));
}

// Every field, the block address included, and the stored items.
std::string snapshot(const DArray *arr) {
    return std::string(reinterpret_cast<const char *>(arr), sizeof *arr) +
           text(arr, arr->numItems * arr->itemSize);
}

TEST(DArray, AppendsGrowByTheFactorWhenFullAndRunsByItsSmallestSufficientPower) {
    ArrayPtr arr(DArray_create(1, 4, 2, 0));
    std::vector<int32_t> capacities;
    for (int32_t i = 0; i < 9; ++i) {
        ASSERT_EQ(DArray_append(&i, arr.get()), 0);
        capacities.push_back(DArray_capacity(arr.get()));
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{1, 2, 4, 4, 8, 8, 8, 8, 16}));
    int32_t item = -1;
    EXPECT_EQ(*static_cast<int32_t *>(DArray_get(8, &item, arr.get())), 8);
    // initSize, factor, existing, run, capacity
    const int32_t runs[][5] = {{1, 2, 0, 5, 8}, {1, 2, 0, 1, 1},  {3, 2, 2, 5, 12},
                               {4, 2, 4, 1, 8}, {2, 3, 1, 6, 18}, {8, 2, 3, 5, 8}};
    const std::string pool(64, 'x');
    for (const auto &r : runs) {
        ArrayPtr run(DArray_create(r[0], 1, r[1], 0));
        ASSERT_EQ(DArray_appendRun(pool.data(), r[2], run.get()) +
                      DArray_appendRun(pool.data(), r[3], run.get()),
                  0);
        EXPECT_EQ(DArray_capacity(run.get()), r[4]) << r[0] << "+" << r[2] << "+" << r[3];
    }
}

TEST(DArray, WritesAndRemovalsActOrRefuseByPosition) {
    const struct {
        Op op;
        int result;
        const char *after;
    } cases[] = {
        {[](DArray *a) { return DArray_insertRun("XY", 2, 2, a); }, 0, "abXYcde"},
        {[](DArray *a) { return DArray_insertRun("XY", 2, 5, a); }, 0, "abcdeXY"},
        {[](DArray *a) { return DArray_insertRun("XY", 2, 6, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_insertRun("XY", 2, -1, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_insertRun("XY", -2, 0, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_insertRun(nullptr, 2, 0, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_overwriteRun("XYZ", 3, 4, a); }, 0, "abcdXYZ"},
        {[](DArray *a) { return DArray_overwriteRun("XY", 2, 0, a); }, 0, "XYcde"},
        {[](DArray *a) { return DArray_overwriteRun("XY", 2, 6, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_writeRun("XY", 2, 1, a, 0); }, 0, "aXYbcde"},
        {[](DArray *a) { return DArray_writeRun("XY", 2, 1, a, 7); }, 0, "aXYde"},
        {[](DArray *a) { return DArray_appendRun(DArray_data(a), 5, a); }, 0, "abcdeabcde"},
        {[](DArray *a) { return DArray_insertRun(DArray_data(a), 3, 1, a); }, 0, "aabcbcde"},
        {[](DArray *a) { return DArray_insert("X", 0, a); }, 0, "Xabcde"},
        {[](DArray *a) { return DArray_insert("X", 5, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_insert("X", -1, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_insertSized("XY", 2, 4, a); }, 0, "abcdXe"},
        {[](DArray *a) { return DArray_removeRun(3, 4, nullptr, a); }, 0, "abc"},
        {[](DArray *a) { return DArray_removeRun(0, 6, nullptr, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_removeRun(6, 0, nullptr, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_removeRun(-1, 1, nullptr, a); }, 1, "abcde"},
        {[](DArray *a) { return DArray_remove(0, nullptr, a); }, 0, "bcde"},
        {[](DArray *a) { return DArray_remove(5, nullptr, a); }, 1, "abcde"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ArrayPtr arr = bytes("abcde");
        EXPECT_EQ(cases[i].op(arr.get()), cases[i].result) << "case " << i;
        EXPECT_EQ(text(arr.get()), cases[i].after) << "case " << i;
    }
    char out[4] = {};
    ArrayPtr arr = bytes("abcde");
    ASSERT_EQ(DArray_removeRun(3, 4, out, arr.get()) + DArray_remove(0, out + 2, arr.get()), 0);
    EXPECT_STREQ(out, "dea");
    ArrayPtr empty = bytes("");
    EXPECT_EQ(DArray_remove(0, out, empty.get()) + DArray_insert("X", 0, empty.get()), 2);
}

// Sized writes copy at most one item and keep the rest of the slot; cstr
// terminates without counting, growing a full array.
TEST(DArray, SizedWritesAndCstrStayWithinTheirItems) {
    ArrayPtr arr(DArray_create(2, 4, 2, 0));
    ASSERT_EQ(DArray_append("wxyz", arr.get()) + DArray_removeRun(0, 1, nullptr, arr.get()), 0);
    ASSERT_EQ(DArray_appendSized("AB", 2, arr.get()) + DArray_appendSized("123456", 6, arr.get()),
              0);
    char out[5] = "....";
    DArray_getSized(1, out, 2, arr.get());
    EXPECT_STREQ(out, "12..");
    EXPECT_EQ(text(arr.get(), 8), "AByz1234");
    DArray_setSized("PQRSTU", 6, 0, arr.get());
    DArray_setSized("too long", 8, 1, arr.get());
    EXPECT_EQ(text(arr.get(), 8), "PQRSTU34");
    EXPECT_EQ(DArray_cstr(arr.get()), nullptr) << "items are not bytes";
    ArrayPtr full = bytes("abcd");
    EXPECT_STREQ(DArray_cstr(full.get()), "abcd");
    EXPECT_EQ(DArray_count(full.get()) * 100 + DArray_capacity(full.get()), 408);
}

TEST(DArray, ShrinkingRemovalDividesCapacityButNotBelowTheInitialSize) {
    ArrayPtr arr = bytes("abcdefgh", DARRAY_SHRINK);
    ASSERT_EQ(DArray_removeRun(3, 5, nullptr, arr.get()), 0);
    ASSERT_EQ(DArray_capacity(arr.get()), 8) << "removeRun never shrinks";
    std::vector<int32_t> capacities;
    while (DArray_remove(0, nullptr, arr.get()) == 0)
        capacities.push_back(DArray_capacity(arr.get()));
    ArrayPtr floor = bytes("abcde", DARRAY_SHRINK, 4);
    while (DArray_remove(0, nullptr, floor.get()) == 0)
        capacities.push_back(DArray_capacity(floor.get()));
    EXPECT_EQ(capacities, (std::vector<int32_t>{4, 2, 1, 8, 8, 4, 4, 4}));
}

TEST(DArray, NullArraysImpossibleShapesAndOverflowingSizesAreRefused) {
    EXPECT_EQ(DArray_data(nullptr), nullptr);
    EXPECT_EQ(DArray_cstr(nullptr), nullptr);
    EXPECT_EQ(DArray_count(nullptr) + DArray_capacity(nullptr) + DArray_initSize(nullptr) +
                  DArray_itemSize(nullptr),
              0);
    EXPECT_EQ(DArray_appendSized("x", 1, nullptr) + DArray_appendRun("x", 1, nullptr) +
                  DArray_removeRun(0, 0, nullptr, nullptr),
              3);
    DArray_clear(nullptr);
    const int32_t shapes[][3] = {{0, 1, 2}, {-1, 1, 2}, {1, 0, 2}, {1, 1, 1}, {65536, 65536, 2}};
    for (const auto &s : shapes)
        EXPECT_EQ(DArray_create(s[0], s[1], s[2], 0), nullptr) << s[0] << "x" << s[1];
    // Counts as if the array were huge: growing would need 2^32 bytes, which
    // must be refused before any reallocation.
    ArrayPtr big(DArray_create(1, 1024, 2, 0));
    const DArray real = *big;
    big->currSize = big->numItems = 1 << 21;
    EXPECT_EQ(DArray_append("x", big.get()) + DArray_appendRun("x", 1, big.get()), 2);
    EXPECT_EQ(big->currSize, 1 << 21);
    *big = real;
}

// Counts the allocations of a run, then fails each in turn: the operation
// that meets the failure reports it and leaves the array exactly as it was.
TEST(DArray, EveryGrowingOperationSurvivesEachAllocationFailure) {
    const std::vector<Op> steps = {
        [](DArray *a) { return DArray_append("a", a); },
        [](DArray *a) { return DArray_appendSized("bc", 2, a); },
        [](DArray *a) { return DArray_insert("c", 0, a); },
        [](DArray *a) { return DArray_insertSized("d", 1, 1, a); },
        [](DArray *a) { return DArray_appendRun("efghi", 5, a); },
        [](DArray *a) { return DArray_insertRun("jklmnopqr", 9, 2, a); },
        [](DArray *a) { return DArray_overwriteRun("0123456789abcdefghijklmnopq", 27, 10, a); },
        [](DArray *a) { return DArray_cstr(a) == nullptr ? 1 : 0; },
        [](DArray *a) { return DArray_writeRun(DArray_data(a), 4, 0, a, 0); },
        [](DArray *a) { return DArray_append("z", a); },
    };
    auto run = [&steps]() -> std::string {
        ArrayPtr arr(DArray_create(1, 1, 2, 0));
        for (size_t i = 0; arr != nullptr && i < steps.size(); ++i) {
            const std::string before = snapshot(arr.get());
            if (steps[i](arr.get()) != 0) {
                EXPECT_TRUE(snapshot(arr.get()) == before) << "step " << i;
                return "failed";
            }
        }
        return arr == nullptr ? "failed" : text(arr.get());
    };
    const uint64_t start = qmxAllocCount();
    const std::string complete = run();
    const uint64_t count = qmxAllocCount() - start;
    ASSERT_GE(count, steps.size() / 2);
    for (uint64_t n = 0; n <= count; ++n) {
        qmxAllocFailAfter(static_cast<int64_t>(n));
        const std::string result = run();
        qmxAllocFailAfter(-1);
        EXPECT_EQ(result, n < count ? "failed" : complete) << "failing allocation " << n;
    }
}

} // namespace
