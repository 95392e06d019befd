// Growth points and the results at the edges. Every operation against a
// model, at every index and with allocations failing, is the containers
// fuzz target's job; its seeds run as hardening tests.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "containers/darray.h"

namespace {

using ArrayPtr = std::unique_ptr<DArray, void (*)(DArray *)>;
ArrayPtr make(int32_t init, int32_t itemSize, int32_t factor = 2) {
    return ArrayPtr(DArray_create(init, itemSize, factor, 0), DArray_free);
}

TEST(DArray, AppendsGrowByTheFactorWhenFullAndRunsByItsSmallestSufficientPower) {
    ArrayPtr arr = make(1, 4);
    std::vector<int32_t> capacities;
    for (int32_t i = 0; i < 9; ++i) {
        ASSERT_EQ(DArray_append(&i, arr.get()), 0);
        capacities.push_back(DArray_capacity(arr.get()));
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{1, 2, 4, 4, 8, 8, 8, 8, 16}));
    // initSize, factor, existing, run, capacity
    const int32_t runs[][5] = {{1, 2, 0, 5, 8}, {1, 2, 0, 1, 1},  {3, 2, 2, 5, 12},
                               {4, 2, 4, 1, 8}, {2, 3, 1, 6, 18}, {8, 2, 3, 5, 8}};
    const std::string pool(64, 'x');
    for (const auto &r : runs) {
        ArrayPtr run = make(r[0], 1, r[1]);
        ASSERT_EQ(DArray_appendRun(pool.data(), r[2], run.get()), 0);
        ASSERT_EQ(DArray_appendRun(pool.data(), r[3], run.get()), 0);
        EXPECT_EQ(DArray_capacity(run.get()), r[4]) << r[0] << "+" << r[2] << "+" << r[3];
    }
}

// Sized writes copy at most one item and keep the rest of the slot.
TEST(DArray, SizedWritesStayWithinTheirItemsAndImpossibleRequestsAreRefused) {
    ArrayPtr arr = make(2, 4);
    DArray_append("wxyz", arr.get());
    DArray_removeRun(0, 1, nullptr, arr.get());
    DArray_appendSized("AB", 2, arr.get());
    DArray_appendSized("123456", 6, arr.get());
    ASSERT_EQ(DArray_insertSized("PQRSTU", 6, 1, arr.get()), 0);
    EXPECT_EQ(std::string(static_cast<const char *>(DArray_data(arr.get())), 12), "AByzPQRS1234");
    EXPECT_EQ(DArray_insertSized("x", 1, 3, arr.get()) + DArray_appendSized("x", -1, arr.get()) +
                  DArray_insertRun("xy", -2, 0, arr.get()) +
                  DArray_insertRun(nullptr, 2, 0, arr.get()) + DArray_append("x", nullptr) +
                  DArray_appendSized("x", 1, nullptr) + DArray_appendRun("x", 1, nullptr) +
                  DArray_removeRun(0, 0, nullptr, nullptr),
              8);
    EXPECT_TRUE(DArray_data(nullptr) == nullptr && DArray_cstr(nullptr) == nullptr);
    EXPECT_EQ(DArray_count(nullptr) + DArray_capacity(nullptr) + DArray_initSize(nullptr) +
                  DArray_itemSize(nullptr),
              0);
    const int32_t shapes[][3] = {{0, 1, 2}, {-1, 1, 2}, {1, 0, 2}, {1, 1, 1}, {65536, 65536, 2}};
    for (const auto &s : shapes)
        EXPECT_EQ(DArray_create(s[0], s[1], s[2], 0), nullptr) << s[0] << "x" << s[1];
    // Counts as if the array were huge: growing would need 2^32 bytes, which
    // must be refused before any reallocation.
    ArrayPtr big = make(1, 1024);
    const DArray real = *big;
    big->currSize = big->numItems = 1 << 21;
    EXPECT_EQ(DArray_append("x", big.get()) + DArray_appendRun("x", 1, big.get()), 2);
    EXPECT_EQ(big->currSize, 1 << 21);
    *big = real;
}

} // namespace
