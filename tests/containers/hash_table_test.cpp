// The signed one-at-a-time hash, the file format and the results at the
// edges. Growth, lookups, removals, the iteration order and inserts that meet
// allocation failures are checked against a model by the containers fuzz
// target, whose seeds run as hardening tests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>

#include "containers/alloc.h"
#include "containers/hash_table.h"

namespace {

using TablePtr = std::unique_ptr<HashTable, void (*)(HashTable *)>;
using Bytes = std::string;

TablePtr make(int32_t size, uint32_t keySize, uint32_t valueSize, uint32_t type) {
    return TablePtr(HashTable_create(size, keySize, valueSize, type), HashTable_destroy);
}
int insert(const std::string &key, const std::string &value, HashTable *table) {
    return HashTable_insert(key.data(), static_cast<int32_t>(key.size()), value.data(), table);
}
// Each test runs in a process of its own and uses its own file name.
std::string tempPath(const char *tag) { return testing::TempDir() + "qmx-" + tag + ".ht"; }
Bytes le32(std::initializer_list<uint32_t> values, Bytes out = {}) {
    for (uint32_t value : values)
        for (int i = 0; i < 32; i += 8) out.push_back(static_cast<char>(value >> i));
    return out;
}

TEST(HashTable, HashBytesTakesBytesAsSignedWithArithmeticShifts) {
    EXPECT_EQ(hashBytes("abc", 3), 0xED131F5Bu);
    EXPECT_EQ(hashBytes("\x01\x00\x00\x00", 4), 0xBE3DBEE6u);
    EXPECT_EQ(hashBytes("\xff", 1), 0x124A2494u);
    EXPECT_EQ(hashBytes("abc", 0) + hashBytes("abc", -1) + hashBytes(nullptr, 3), 0u);
}

TEST(HashTable, TheComparisonDecidesWhatMatchesAndBadArgumentsGetTheFailureCodes) {
    TablePtr one = make(1, 2, 2, 0);
    ASSERT_EQ(insert("ab", "v1", one.get()), HT_OK);
    HashTable_setCompare([](const void *, const void *, size_t) { return 0; }, one.get());
    EXPECT_EQ(insert("xy", "v2", one.get()), HT_REPLACED);
    HashTable_setCompare(nullptr, one.get());
    EXPECT_EQ(insert("xy", "v3", one.get()), HT_OK);
    std::string value = "??";
    EXPECT_EQ(HashTable_find("ab", 2, &value[0], one.get()), HT_OK);
    EXPECT_EQ(value, "v2");
    EXPECT_EQ(HashTable_find("ab", 2, nullptr, one.get()), HT_OK) << "NULL only tests presence";
    HashTable_setMaxLoad(std::nanf(""), one.get());
    HashTable_setMaxLoad(-1.0f, one.get());
    EXPECT_EQ(one->maxLoad, 0.75f);
    uint32_t k = 1, v = 2;
    HashTable *none = nullptr;
    EXPECT_EQ(HashTable_insert(&k, 4, &v, none) + HashTable_put(&k, &v, none) +
                  HashTable_find(&k, 4, &v, none) + HashTable_get(&k, &v, none) +
                  HashTable_remove(&k, 4, none) + HashTable_delete(&k, none) +
                  HashTable_save(tempPath("none").c_str(), none) +
                  HashTable_insert(nullptr, 2, &v, one.get()) +
                  HashTable_insert(&k, -1, &v, one.get()) +
                  HashTable_insert(&k, 2, nullptr, one.get()),
              10 * HT_NOT_FOUND);
    EXPECT_EQ(HashTable_next(&k, &v, none), HT_END);
    EXPECT_EQ(HashTable_count(none) + (HashTable_load(nullptr) != nullptr), 0);
    EXPECT_EQ(HashTable_create((1 << 30) + 1, 4, 4, 1), nullptr) << "more chains than fit";
    HashTable_setTableType(1, none);
    HashTable_setMaxLoad(1.0f, none);
    HashTable_setCompare(nullptr, none);
}

// The file a one-pair table saves, loaded back as written and forged.
TEST(HashTable, SaveWritesLittleEndianPaddedRecordsAndLoadRefusesForgedFilesWithinBoundedMemory) {
    auto file = [](std::initializer_list<uint32_t> header, uint32_t keyLength, size_t cut = 0) {
        Bytes bytes = le32(header);
        bytes.append("ab\0\0XY", 6);
        bytes = le32({hashBytes("ab", 2), keyLength}, bytes);
        bytes.resize(bytes.size() - cut);
        return bytes;
    };
    auto read = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    const std::string path = tempPath("format");
    TablePtr table = make(2, 4, 2, 0), longKey = make(1, 4, 2, 0);
    ASSERT_EQ(insert("ab", "XY", table.get()) + insert("abcde", "XY", longKey.get()), HT_OK);
    for (int round = 0; round < 2; ++round) { // saved, loaded and saved again
        ASSERT_EQ(HashTable_save(path.c_str(), table.get()), HT_OK);
        EXPECT_EQ(read(path), file({2, 4, 2, 1}, 2));
        table.reset(HashTable_load(path.c_str()));
        ASSERT_NE(table, nullptr);
    }
    // A load that meets an allocation failure gives nothing back.
    const uint64_t start = qmxAllocCount();
    ASSERT_NE(TablePtr(HashTable_load(path.c_str()), HashTable_destroy), nullptr);
    for (int64_t n = 0, count = int64_t(qmxAllocCount() - start); n < count; ++n) {
        qmxAllocFailAfter(n);
        EXPECT_EQ(TablePtr(HashTable_load(path.c_str()), HashTable_destroy), nullptr) << n;
        qmxAllocFailAfter(-1);
    }
    std::remove(path.c_str());
    EXPECT_EQ(HashTable_save(path.c_str(), longKey.get()), HT_NOT_FOUND)
        << "a key over the key size";
    EXPECT_TRUE(read(path).empty()) << "no file is written for a table that cannot be saved";
    EXPECT_EQ(HashTable_save("/nonexistent-dir/x.ht", make(1, 4, 4, 0).get()), HT_NOT_FOUND);

    Bytes huge = le32({1, 1u << 28, 4, 1});
    huge.resize(10016, 'k');
    const struct {
        const char *name;
        Bytes bytes;
        bool loads;
    } cases[] = {
        {"a good file", file({2, 4, 2, 1}, 2), true},
        {"a header cut short", Bytes(15, '\1'), false},
        {"the pair cut short", file({2, 4, 2, 1}, 2, 1), false},
        {"more pairs announced than present", file({2, 4, 2, 2}, 2), false},
        {"a key length beyond the key size", file({2, 4, 2, 1}, 5), false},
        {"a negative key length", file({2, 4, 2, 1}, 0xffffffffu), false},
        {"zero chains", le32({0, 4, 4, 0}), false},
        {"a chain count that is no power of two", le32({3, 4, 4, 0}), false},
        {"2^30 chains and no pairs", le32({1u << 30, 4, 4, 0}), false},
        {"2^31 pairs", le32({1, 4, 4, 0x80000000u}), false},
        {"a billion pairs", le32({1, 4, 4, 1000000000u}), false},
        {"a 4 GiB key size", le32({1, 0xfffffff0u, 4, 1}), false},
        {"a 256 MiB key size over 10 kB", huge, false},
    };
    // The 2^16 chains any header may ask for cost some 130000 allocations;
    // a loader that trusts the header goes on and is stopped by the cap.
    const int64_t cap = 300000;
    for (const auto &c : cases) {
        std::ofstream(path, std::ios::binary)
            .write(c.bytes.data(), std::streamsize(c.bytes.size()));
        const uint64_t start = qmxAllocCount();
        qmxAllocFailAfter(cap);
        TablePtr loaded(HashTable_load(path.c_str()), HashTable_destroy);
        qmxAllocFailAfter(-1);
        EXPECT_EQ(loaded != nullptr, c.loads) << c.name;
        EXPECT_LT(qmxAllocCount() - start, static_cast<uint64_t>(cap)) << c.name;
    }
    std::remove(path.c_str());
    EXPECT_EQ(HashTable_load(path.c_str()), nullptr);
}

} // namespace
