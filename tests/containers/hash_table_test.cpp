// The signed one-at-a-time hash, growth at 3/4 load, iteration order, the
// file format, and behaviour when allocations fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "containers/alloc.h"
#include "containers/hash_table.h"

namespace {

struct TableDestroy {
    void operator()(HashTable *table) const { HashTable_destroy(table); }
};
using TablePtr = std::unique_ptr<HashTable, TableDestroy>;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Bytes = std::vector<uint8_t>;

uint32_t chainCount(const HashTable *table) { return table->hashMask + 1; }
std::string key4(uint32_t i) { return std::string(reinterpret_cast<const char *>(&i), 4); }

int insert(const std::string &key, const std::string &value, HashTable *table) {
    return HashTable_insert(key.data(), static_cast<int32_t>(key.size()), value.data(), table);
}

std::string lookup(const std::string &key, const HashTable *table) {
    std::string value(table->valueSize, '?');
    return HashTable_find(key.data(), static_cast<int32_t>(key.size()), &value[0], table) == HT_OK
               ? value
               : "<none>";
}

// The order iteration must give, derived from the pairs and their hashes:
// chains in index order, each in insertion order.
Pairs expectedOrder(Pairs pairs, const HashTable *table) {
    auto chain = [table](const std::string &key) {
        return hashBytes(key.data(), static_cast<int32_t>(key.size())) & table->hashMask;
    };
    std::stable_sort(pairs.begin(), pairs.end(),
                     [&](const auto &a, const auto &b) { return chain(a.first) < chain(b.first); });
    return pairs;
}

// Walks the table from the cursor; for tables whose keys all have keySize bytes.
Pairs walk(HashTable *table) {
    Pairs out;
    std::string key(table->keySize, 0), value(table->valueSize, 0);
    while (HashTable_next(&key[0], &value[0], table) == HT_OK) out.emplace_back(key, value);
    return out;
}

// Each chain's entries in order; with pointers, everything a failed insert
// must leave alone.
std::string contents(const HashTable *table, bool pointers) {
    std::string out =
        pointers ? std::string(reinterpret_cast<const char *>(table), sizeof *table) +
                       std::string(reinterpret_cast<const char *>(table->chains), sizeof(DArray))
                 : std::string();
    for (int32_t k = 0; k < DArray_count(table->chains); ++k) {
        const DArray *chain = static_cast<DArray *const *>(DArray_data(table->chains))[k];
        const auto *entries = static_cast<const HashEntry *>(DArray_data(chain));
        out += pointers ? std::string(reinterpret_cast<const char *>(chain), sizeof *chain) : "|";
        for (int32_t j = 0; j < DArray_count(chain); ++j) {
            out += std::to_string(entries[j].hash) + "/" + std::to_string(entries[j].keyLength) +
                   "/" +
                   (pointers ? std::to_string(reinterpret_cast<uintptr_t>(entries[j].block)) : "") +
                   std::string(reinterpret_cast<const char *>(entries[j].block),
                               entries[j].keyLength + table->valueSize);
        }
    }
    return out;
}

// Each test runs in a process of its own and uses its own file name.
std::string tempPath(const char *tag) {
    return testing::TempDir() + "qmx-containers-" + tag + ".ht";
}

Bytes readFile(const std::string &path) {
    Bytes bytes;
    if (FILE *file = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
    }
    return bytes;
}

Bytes le32(std::initializer_list<uint32_t> values, Bytes out = {}) {
    for (uint32_t value : values) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return out;
}

TEST(HashTable, HashBytesTakesBytesAsSignedWithArithmeticShifts) {
    EXPECT_EQ(hashBytes("abc", 3), 0xED131F5Bu);
    EXPECT_EQ(hashBytes("\x01\x00\x00\x00", 4), 0xBE3DBEE6u);
    EXPECT_EQ(hashBytes("\xff", 1), 0x124A2494u);
    EXPECT_EQ(hashBytes("abc", 0) + hashBytes("abc", -1), 0u);
}

// Growing tables double at their load limit (3/4 unless set; a limit of 0 is
// ignored); fixed ones never do. Iteration goes chain by chain, each in
// insertion order, starts at a new table's start and stays at the end until
// rewound.
TEST(HashTable, TablesGrowAtTheirLoadLimitAndIterateChainByChain) {
    const struct {
        int32_t size;
        uint32_t type, setType;
        float maxLoad;
        std::vector<uint32_t> chains; // after each insert
    } cases[] = {
        {1, 1, 1, 0, {2, 4, 8, 8, 8, 16}},
        {4, 1, 1, 0, {4, 4, 8, 8, 8, 16}},
        {0, 0, 0, 0, std::vector<uint32_t>(40, 1)},
        {4, 0, 0, 0, std::vector<uint32_t>(40, 4)},
        {3, 0, 0, 0, {4}},
        {33, 1, 1, 0, {64}},
        {-7, 1, 1, 0, {2}},
        {32, 0, 0, 0, {32}},
        {1, 0, 3, 2, {1, 2, 2, 4, 4, 4, 4, 8}},
    };
    for (const auto &c : cases) {
        TablePtr table(HashTable_create(c.size, 4, 4, c.type));
        HashTable_setTableType(c.setType, table.get());
        HashTable_setMaxLoad(c.maxLoad, table.get());
        HashTable_setMaxLoad(0.0f, table.get());
        Pairs inserted;
        std::vector<uint32_t> chains;
        for (uint32_t i = 0; i < c.chains.size(); ++i) {
            inserted.emplace_back(key4(i * 2654435761u), key4(i));
            ASSERT_EQ(HashTable_put(inserted.back().first.data(), inserted.back().second.data(),
                                    table.get()),
                      HT_OK);
            chains.push_back(chainCount(table.get()));
        }
        EXPECT_EQ(chains, c.chains) << c.size << "/" << c.setType;
        EXPECT_EQ(DArray_count(table->chains), static_cast<int32_t>(chains.back()));
        EXPECT_EQ(HashTable_count(table.get()), static_cast<int32_t>(inserted.size()));
        const Pairs order = expectedOrder(inserted, table.get());
        EXPECT_EQ(walk(table.get()), order) << c.size << "/" << c.setType;
        uint32_t key, value;
        EXPECT_EQ(HashTable_next(&key, &value, table.get()), HT_END);
        HashTable_rewind(table.get());
        EXPECT_EQ(walk(table.get()), order);
    }
    HashTable_setTableType(1, nullptr);
    HashTable_setMaxLoad(1.0f, nullptr);
}

TEST(HashTable, KeysAreTheirBytesAtTheirLengthAndReplacingKeepsTheCount) {
    const std::string ab0("ab\0", 3);
    TablePtr table(HashTable_create(1, 8, 2, 1));
    EXPECT_EQ(insert("ab", "v1", table.get()) + insert(ab0, "v2", table.get()), HT_OK);
    EXPECT_EQ(insert("ab", "v3", table.get()), HT_REPLACED);
    EXPECT_EQ(HashTable_count(table.get()), 2);
    EXPECT_EQ(lookup("ab", table.get()) + lookup(ab0, table.get()) + lookup("a", table.get()),
              "v3v2<none>");
    EXPECT_EQ(HashTable_find("ab", 2, nullptr, table.get()), HT_OK)
        << "a NULL out pointer only tests presence";
    EXPECT_EQ(HashTable_remove("zz", 2, table.get()), HT_NOT_FOUND);
    EXPECT_EQ(HashTable_remove("ab", 2, table.get()), HT_OK);
    EXPECT_EQ(HashTable_remove("ab", 2, table.get()), HT_NOT_FOUND);
    EXPECT_EQ(HashTable_count(table.get()), 1);
    EXPECT_EQ(lookup(ab0, table.get()), "v2");
    EXPECT_EQ(HashTable_remove("", 0, TablePtr(HashTable_create(4, 4, 4, 0)).get()), HT_NOT_FOUND);

    TablePtr one(HashTable_create(1, 2, 2, 0));
    ASSERT_EQ(insert("ab", "v1", one.get()), HT_OK);
    HashTable_setCompare([](const void *, const void *, size_t) { return 0; }, one.get());
    EXPECT_EQ(insert("xy", "v2", one.get()), HT_REPLACED) << "the comparison decides what matches";
    HashTable_setCompare(nullptr, one.get());
    EXPECT_EQ(insert("xy", "v3", one.get()), HT_OK);
    EXPECT_EQ(lookup("ab", one.get()) + lookup("xy", one.get()), "v2v3");
}

TEST(HashTable, NullTablesAndKeysGetTheFailureCodes) {
    uint32_t key = 1, value = 2;
    TablePtr table(HashTable_create(1, 4, 4, 1));
    EXPECT_EQ(HashTable_insert(&key, 4, &value, nullptr) + HashTable_put(&key, &value, nullptr) +
                  HashTable_find(&key, 4, &value, nullptr) + HashTable_get(&key, &value, nullptr) +
                  HashTable_remove(&key, 4, nullptr) + HashTable_delete(&key, nullptr) +
                  HashTable_save(tempPath("null").c_str(), nullptr) +
                  HashTable_insert(nullptr, 4, &value, table.get()) +
                  HashTable_insert(&key, -1, &value, table.get()) +
                  HashTable_insert(&key, 4, nullptr, table.get()),
              10 * HT_NOT_FOUND);
    EXPECT_EQ(HashTable_next(&key, &value, nullptr) + HashTable_next(&key, &value, table.get()),
              2 * HT_END);
    EXPECT_EQ(HashTable_count(nullptr), 0);
    HashTable_printStats(nullptr);
}

// The file a one-pair table saves, loaded back as written and forged.
TEST(HashTable,
     SaveWritesLittleEndianPaddedRecordsAndLoadRefusesShortOrForgedFilesWithinBoundedMemory) {
    auto file = [](std::initializer_list<uint32_t> header, uint32_t keyLength, size_t cut = 0) {
        Bytes bytes = le32(header);
        bytes.insert(bytes.end(), {'a', 'b', 0, 0, 'X', 'Y'});
        bytes = le32({hashBytes("ab", 2), keyLength}, bytes);
        bytes.resize(bytes.size() - cut);
        return bytes;
    };
    const std::string path = tempPath("format");
    TablePtr table(HashTable_create(2, 4, 2, 0));
    ASSERT_EQ(insert("ab", "XY", table.get()), HT_OK);
    ASSERT_EQ(HashTable_save(path.c_str(), table.get()), HT_OK);
    EXPECT_EQ(readFile(path), file({2, 4, 2, 1}, 2));
    ASSERT_EQ(insert("abcde", "XY", table.get()), HT_OK);
    std::remove(path.c_str());
    EXPECT_EQ(HashTable_save(path.c_str(), table.get()), HT_NOT_FOUND)
        << "a key longer than the key size";
    EXPECT_TRUE(readFile(path).empty()) << "no file is written for a table that cannot be saved";
    EXPECT_EQ(HashTable_save("/nonexistent-dir/x.ht", TablePtr(HashTable_create(1, 4, 4, 0)).get()),
              HT_NOT_FOUND);

    struct Case {
        const char *name;
        Bytes bytes;
        bool loads;
    } cases[] = {
        {"a good file", file({2, 4, 2, 1}, 2), true},
        {"a header cut short", Bytes(15, 1), false},
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
        {"a 256 MiB key size over 10 kB",
         [] {
             Bytes b = le32({1, 1u << 28, 4, 1});
             b.resize(10016, 'k');
             return b;
         }(),
         false},
    };
    // The 2^16 chains any header may ask for cost some 130000 allocations;
    // a loader that trusts the header goes on and is stopped by the cap.
    const int64_t allocationCap = 300000;
    for (const Case &c : cases) {
        FILE *out = std::fopen(path.c_str(), "wb");
        ASSERT_EQ(std::fwrite(c.bytes.data(), 1, c.bytes.size(), out), c.bytes.size());
        std::fclose(out);
        const uint64_t start = qmxAllocCount();
        qmxAllocFailAfter(allocationCap);
        TablePtr loaded(HashTable_load(path.c_str()));
        qmxAllocFailAfter(-1);
        EXPECT_EQ(loaded != nullptr, c.loads) << c.name;
        EXPECT_LT(qmxAllocCount() - start, static_cast<uint64_t>(allocationCap)) << c.name;
    }
    std::remove(path.c_str());
    EXPECT_EQ(HashTable_load(path.c_str()), nullptr);
}

// Fails each allocation of a run in turn. An insert that meets the failure
// either reports it and changes nothing, or, when only the doubling failed,
// keeps the pair in a table that stays consistent and doubles later.
TEST(HashTable, InsertAndLoadSurviveEachAllocationFailure) {
    Pairs run;
    for (uint32_t i = 0; i < 24; ++i) run.emplace_back(key4(i * 37), key4(i));
    enum Outcome { kComplete, kInsertFailed, kDoublingFailed };
    auto build = [&run](TablePtr &table, Pairs &stored) {
        table.reset(HashTable_create(1, 4, 4, 1));
        if (table == nullptr) return kInsertFailed;
        for (const auto &pair : run) {
            const std::string before = contents(table.get(), true);
            const uint32_t chains = chainCount(table.get());
            if (insert(pair.first, pair.second, table.get()) != HT_OK) {
                EXPECT_TRUE(contents(table.get(), true) == before)
                    << "failed insert of pair " << stored.size();
                return kInsertFailed;
            }
            stored.push_back(pair);
            if (stored.size() >= 0.75 * chains && chainCount(table.get()) == chains)
                return kDoublingFailed;
        }
        return kComplete;
    };
    TablePtr table;
    Pairs stored;
    uint64_t start = qmxAllocCount();
    ASSERT_EQ(build(table, stored), kComplete);
    const uint64_t insertCount = qmxAllocCount() - start;
    int doublingFailures = 0;
    for (uint64_t n = 0; n <= insertCount; ++n) {
        stored.clear();
        qmxAllocFailAfter(static_cast<int64_t>(n));
        const Outcome outcome = build(table, stored);
        qmxAllocFailAfter(-1);
        EXPECT_EQ(outcome == kComplete, n == insertCount) << n;
        if (outcome == kDoublingFailed) {
            ++doublingFailures;
            const uint32_t chains = chainCount(table.get());
            stored.emplace_back("more", "pair");
            ASSERT_EQ(insert("more", "pair", table.get()), HT_OK);
            EXPECT_EQ(chainCount(table.get()), 2 * chains);
        }
        if (table != nullptr) {
            HashTable_rewind(table.get());
            EXPECT_EQ(walk(table.get()), expectedOrder(stored, table.get())) << n;
        }
    }
    EXPECT_GT(doublingFailures, 0);

    // A load that meets a failure gives nothing back.
    const std::string path = tempPath("failing-load");
    ASSERT_EQ(HashTable_save(path.c_str(), table.get()), HT_OK);
    start = qmxAllocCount();
    ASSERT_NE(TablePtr(HashTable_load(path.c_str())), nullptr);
    const uint64_t loadCount = qmxAllocCount() - start;
    for (uint64_t n = 0; n < loadCount; ++n) {
        qmxAllocFailAfter(static_cast<int64_t>(n));
        TablePtr loaded(HashTable_load(path.c_str()));
        qmxAllocFailAfter(-1);
        EXPECT_EQ(loaded, nullptr) << n;
    }
    std::remove(path.c_str());
}

} // namespace
