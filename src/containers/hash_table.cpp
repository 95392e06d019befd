#include "containers/hash_table.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "containers/alloc.h"

namespace {

// The largest power of two a signed 32-bit chain count can hold.
constexpr int32_t kMaxChains = 1 << 30;

// A saved file may ask for up to this many chains however few pairs it holds;
// more chains than that must be backed by pairs actually read, so a forged
// header cannot make the loader allocate without bound.
constexpr uint32_t kLoadChainFloor = 1U << 16;
constexpr uint64_t kLoadChainsPerPair = 8;

constexpr size_t kFileHeaderSize = 16;
constexpr size_t kFileTrailerSize = 8; // hash and key length after each value
constexpr size_t kFileChunk = 4096;

int htCompareBytes(const void *a, const void *b, size_t length) {
    return length == 0 ? 0 : std::memcmp(a, b, length);
}

int32_t htChainCount(const HashTable *table) { return static_cast<int32_t>(table->hashMask + 1); }

DArray *htChain(const HashTable *table, uint32_t index) {
    DArray *chain = nullptr;
    DArray_get(static_cast<int32_t>(index), &chain, table->chains);
    return chain;
}

DArray *htNewChain() { return DArray_create(1, sizeof(HashEntry), 2, 0); }

HashEntry *htEntries(const DArray *chain) { return static_cast<HashEntry *>(DArray_data(chain)); }

// Index of the first entry of `chain` that holds the key, or -1.
int32_t htSearch(const void *key, int32_t length, const DArray *chain, const HashTable *table) {
    const HashEntry *entries = htEntries(chain);
    for (int32_t i = 0; i < DArray_count(chain); ++i) {
        if (entries[i].keyLength == length &&
            table->compare(key, entries[i].block, static_cast<size_t>(length)) == 0) {
            return i;
        }
    }
    return -1;
}

bool htBadKey(const void *key, int32_t length, const HashTable *table) {
    return table == nullptr || key == nullptr || length < 0;
}

void htFreeChainBlocks(DArray *chain) {
    HashEntry *entries = htEntries(chain);
    for (int32_t i = 0; i < DArray_count(chain); ++i) qmxFree(entries[i].block);
}

// Doubles the chain count. Every allocation happens before the table is
// touched, so a failure leaves it exactly as usable as before; the entries
// leaving chain k are copied into their new chain k + n up front and only
// then dropped from chain k, which needs no memory because chains never
// shrink.
bool htGrow(HashTable *table) {
    const int32_t n = htChainCount(table);
    if (n > kMaxChains / 2) return false;
    const auto newMask = static_cast<uint32_t>(2 * n - 1);
    int32_t made = 0;
    bool ok = true;
    for (int32_t k = 0; ok && k < n; ++k) {
        DArray *fresh = htNewChain();
        ok = fresh != nullptr;
        const DArray *old = htChain(table, static_cast<uint32_t>(k));
        const HashEntry *entries = htEntries(old);
        for (int32_t j = 0; ok && j < DArray_count(old); ++j) {
            if ((entries[j].hash & newMask) != static_cast<uint32_t>(k))
                ok = DArray_append(&entries[j], fresh) == 0;
        }
        ok = ok && DArray_append(&fresh, table->chains) == 0;
        if (ok) {
            ++made;
        } else {
            DArray_free(fresh);
        }
    }
    if (!ok) {
        for (int32_t k = 0; k < made; ++k)
            DArray_free(htChain(table, static_cast<uint32_t>(n + k)));
        DArray_removeRun(n, made, nullptr, table->chains);
        return false;
    }
    table->hashMask = newMask;
    for (int32_t k = 0; k < n; ++k) {
        DArray *chain = htChain(table, static_cast<uint32_t>(k));
        HashEntry *entries = htEntries(chain);
        int32_t kept = 0;
        for (int32_t j = 0; j < DArray_count(chain); ++j) {
            if ((entries[j].hash & newMask) == static_cast<uint32_t>(k))
                entries[kept++] = entries[j];
        }
        DArray_removeRun(kept, DArray_count(chain) - kept, nullptr, chain);
    }
    return true;
}

void htPutU32(uint32_t value, uint8_t *out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t htGetU32(const uint8_t *in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

bool htWrite(const void *bytes, size_t n, FILE *file) {
    return n == 0 || std::fwrite(bytes, 1, n, file) == n;
}

bool htWriteU32(uint32_t value, FILE *file) {
    uint8_t bytes[4];
    htPutU32(value, bytes);
    return htWrite(bytes, sizeof bytes, file);
}

bool htWriteZeros(size_t n, FILE *file) {
    static const uint8_t zeros[256] = {};
    for (; n > 0; n -= n < sizeof zeros ? n : sizeof zeros) {
        if (!htWrite(zeros, n < sizeof zeros ? n : sizeof zeros, file)) return false;
    }
    return true;
}

// Appends exactly n bytes of the file to `out`, growing it only as bytes
// actually arrive, so a forged size costs no more memory than the file holds.
bool htReadInto(size_t n, FILE *file, DArray *out) {
    uint8_t chunk[kFileChunk];
    while (n > 0) {
        const size_t want = n < sizeof chunk ? n : sizeof chunk;
        if (std::fread(chunk, 1, want, file) != want) return false;
        if (DArray_appendRun(chunk, static_cast<int32_t>(want), out) != 0) return false;
        n -= want;
    }
    return true;
}

// The pairs are read before the chain count is trusted: the table starts
// with at most kLoadChainFloor chains and doubles up to the stored count at
// the end. Doubling keeps each chain's entries in file order, so the result
// is the table a direct load into the stored count would give.
HashTable *htLoadFrom(FILE *file) {
    uint8_t header[kFileHeaderSize];
    if (std::fread(header, 1, sizeof header, file) != sizeof header) return nullptr;
    const uint32_t chains = htGetU32(header);
    const uint32_t keySize = htGetU32(header + 4);
    const uint32_t valueSize = htGetU32(header + 8);
    const uint32_t count = htGetU32(header + 12);
    const uint64_t recordSize = uint64_t{keySize} + valueSize + kFileTrailerSize;
    if (chains == 0 || (chains & (chains - 1)) != 0 || chains > static_cast<uint32_t>(kMaxChains) ||
        count > INT32_MAX || recordSize > INT32_MAX) {
        return nullptr;
    }
    HashTable *table =
        HashTable_create(static_cast<int32_t>(chains < kLoadChainFloor ? chains : kLoadChainFloor),
                         keySize, valueSize, 1);
    DArray *record = DArray_create(1, 1, 2, 0);
    bool ok = table != nullptr && record != nullptr;
    for (uint32_t p = 0; ok && p < count; ++p) {
        DArray_clear(record);
        ok = htReadInto(static_cast<size_t>(recordSize), file, record);
        if (!ok) break;
        const auto *bytes = static_cast<const uint8_t *>(DArray_data(record));
        const uint32_t hash = htGetU32(bytes + keySize + valueSize);
        const uint32_t keyLength = htGetU32(bytes + keySize + valueSize + 4);
        ok = keyLength <= keySize;
        auto *block =
            ok ? static_cast<uint8_t *>(qmxMalloc(size_t{keyLength} + valueSize)) : nullptr;
        ok = block != nullptr;
        if (!ok) break;
        std::memcpy(block, bytes, keyLength);
        std::memcpy(block + keyLength, bytes + keySize, valueSize);
        const HashEntry entry{static_cast<int32_t>(keyLength), hash, block};
        ok = DArray_append(&entry, htChain(table, hash & table->hashMask)) == 0;
        if (!ok) {
            qmxFree(block);
            break;
        }
        table->pairCount++;
    }
    DArray_free(record);
    if (ok && chains > static_cast<uint32_t>(htChainCount(table))) {
        const uint64_t allowed = uint64_t{count} * kLoadChainsPerPair;
        ok = chains <= (allowed > kLoadChainFloor ? allowed : kLoadChainFloor);
        while (ok && static_cast<uint32_t>(htChainCount(table)) < chains) ok = htGrow(table);
    }
    if (!ok) {
        HashTable_destroy(table);
        return nullptr;
    }
    return table;
}

void htFreeGroups(HashTable *groups) {
    // HashTable_next leaves its outputs untouched when it copies nothing.
    int32_t length = 0;
    DArray *indices = nullptr;
    HashTable_rewind(groups);
    while (HashTable_next(&length, &indices, groups) == HT_OK) DArray_free(indices);
    HashTable_destroy(groups);
}

// Groups chain indices by chain length, for the stats summary: key a chain
// length, value a DArray of the indices of the chains with that length.
HashTable *htGroupChains(const HashTable *table) {
    // NOLINTNEXTLINE(bugprone-sizeof-expression): the values are DArray pointers
    HashTable *groups = HashTable_create(1, sizeof(int32_t), sizeof(DArray *), 1);
    if (groups == nullptr) return nullptr;
    for (int32_t i = 0; i < htChainCount(table); ++i) {
        const int32_t length = DArray_count(htChain(table, static_cast<uint32_t>(i)));
        DArray *indices = nullptr;
        if (HashTable_get(&length, &indices, groups) != HT_OK) {
            indices = DArray_create(1, sizeof(int32_t), 2, 0);
            if (indices == nullptr || HashTable_put(&length, &indices, groups) != HT_OK) {
                DArray_free(indices);
                htFreeGroups(groups);
                return nullptr;
            }
        }
        if (DArray_append(&i, indices) != 0) {
            htFreeGroups(groups);
            return nullptr;
        }
    }
    return groups;
}

} // namespace

// Bytes are taken as signed and shifted arithmetically; stored hashes and
// saved files depend on exactly this arithmetic, so it must not be "fixed"
// to the unsigned variant.
uint32_t hashBytes(const void *key, int32_t length) {
    if (key == nullptr || length <= 0) return 0;
    const auto *bytes = static_cast<const int8_t *>(key);
    uint32_t h = 0;
    for (int32_t i = 0; i < length; ++i) {
        h += static_cast<uint32_t>(int32_t{bytes[i]});
        h *= 1025;
        h ^= static_cast<uint32_t>(static_cast<int32_t>(h) >> 6);
    }
    h *= 9;
    h ^= static_cast<uint32_t>(static_cast<int32_t>(h) >> 11);
    h *= 32769;
    return h;
}

HashTable *HashTable_create(int32_t size, uint32_t keySize, uint32_t valueSize,
                            uint32_t tableType) {
    if (size > kMaxChains) return nullptr;
    int32_t n = 1;
    while (n < size) n <<= 1;
    auto *table = static_cast<HashTable *>(qmxMalloc(sizeof(HashTable)));
    if (table == nullptr) return nullptr;
    // NOLINTNEXTLINE(bugprone-sizeof-expression): each chain slot holds a DArray pointer
    table->chains = DArray_create(n, sizeof(DArray *), 2, 0);
    if (table->chains == nullptr) {
        qmxFree(table);
        return nullptr;
    }
    table->keySize = keySize;
    table->valueSize = valueSize;
    table->hashMask = static_cast<uint32_t>(n - 1);
    table->compare = htCompareBytes;
    table->maxLoad = 0.75F;
    table->tableType = tableType;
    table->pairCount = 0;
    table->cursorChain = 0;
    table->cursorEntry = 0;
    for (int32_t k = 0; k < n; ++k) {
        DArray *chain = htNewChain();
        if (chain == nullptr || DArray_append(&chain, table->chains) != 0) {
            DArray_free(chain);
            HashTable_destroy(table);
            return nullptr;
        }
    }
    return table;
}

void HashTable_destroy(HashTable *table) {
    if (table == nullptr) return;
    for (int32_t k = 0; k < DArray_count(table->chains); ++k) {
        DArray *chain = htChain(table, static_cast<uint32_t>(k));
        htFreeChainBlocks(chain);
        DArray_free(chain);
    }
    DArray_free(table->chains);
    qmxFree(table);
}

int HashTable_insert(const void *key, int32_t keyLength, const void *value, HashTable *table) {
    if (htBadKey(key, keyLength, table) || (value == nullptr && table->valueSize != 0))
        return HT_NOT_FOUND;
    const uint32_t hash = hashBytes(key, keyLength);
    DArray *chain = htChain(table, hash & table->hashMask);
    const int32_t found = htSearch(key, keyLength, chain, table);
    if (found >= 0) {
        HashEntry &entry = htEntries(chain)[found];
        if (table->valueSize != 0)
            std::memmove(entry.block + entry.keyLength, value, table->valueSize);
        return HT_REPLACED;
    }
    if (table->pairCount == INT32_MAX) return HT_NOT_FOUND;
    auto *block =
        static_cast<uint8_t *>(qmxMalloc(static_cast<size_t>(keyLength) + table->valueSize));
    if (block == nullptr) return HT_NOT_FOUND;
    std::memcpy(block, key, static_cast<size_t>(keyLength));
    if (table->valueSize != 0) std::memcpy(block + keyLength, value, table->valueSize);
    const HashEntry entry{keyLength, hash, block};
    if (DArray_append(&entry, chain) != 0) {
        qmxFree(block);
        return HT_NOT_FOUND;
    }
    table->pairCount++;
    // The pair is stored whatever happens next; a table whose doubling
    // fails keeps its chain count and tries again on a later insert.
    if (table->tableType != 0 &&
        static_cast<float>(table->pairCount) / static_cast<float>(htChainCount(table)) >=
            table->maxLoad) {
        htGrow(table);
    }
    return HT_OK;
}

int HashTable_put(const void *key, const void *value, HashTable *table) {
    if (table == nullptr || table->keySize > INT32_MAX) return HT_NOT_FOUND;
    return HashTable_insert(key, static_cast<int32_t>(table->keySize), value, table);
}

int HashTable_find(const void *key, int32_t keyLength, void *valueOut, const HashTable *table) {
    if (htBadKey(key, keyLength, table)) return HT_NOT_FOUND;
    const DArray *chain = htChain(table, hashBytes(key, keyLength) & table->hashMask);
    const int32_t found = htSearch(key, keyLength, chain, table);
    if (found < 0) return HT_NOT_FOUND;
    if (valueOut != nullptr && table->valueSize != 0) {
        const HashEntry &entry = htEntries(chain)[found];
        std::memmove(valueOut, entry.block + entry.keyLength, table->valueSize);
    }
    return HT_OK;
}

int HashTable_get(const void *key, void *valueOut, const HashTable *table) {
    if (table == nullptr || table->keySize > INT32_MAX) return HT_NOT_FOUND;
    return HashTable_find(key, static_cast<int32_t>(table->keySize), valueOut, table);
}

int HashTable_remove(const void *key, int32_t keyLength, HashTable *table) {
    if (htBadKey(key, keyLength, table)) return HT_NOT_FOUND;
    DArray *chain = htChain(table, hashBytes(key, keyLength) & table->hashMask);
    const int32_t found = htSearch(key, keyLength, chain, table);
    if (found < 0) return HT_NOT_FOUND;
    qmxFree(htEntries(chain)[found].block);
    DArray_remove(found, nullptr, chain);
    table->pairCount--;
    return HT_OK;
}

int HashTable_delete(const void *key, HashTable *table) {
    if (table == nullptr || table->keySize > INT32_MAX) return HT_NOT_FOUND;
    return HashTable_remove(key, static_cast<int32_t>(table->keySize), table);
}

void HashTable_rewind(HashTable *table) {
    if (table == nullptr) return;
    table->cursorChain = 0;
    table->cursorEntry = 0;
}

int HashTable_next(void *keyOut, void *valueOut, HashTable *table) {
    if (table == nullptr || table->pairCount == 0 || table->cursorChain < 0 ||
        table->cursorChain >= htChainCount(table)) {
        return HT_END;
    }
    const DArray *chain = htChain(table, static_cast<uint32_t>(table->cursorChain));
    while (table->cursorEntry < 0 || table->cursorEntry >= DArray_count(chain)) {
        table->cursorChain++;
        table->cursorEntry = 0;
        if (table->cursorChain >= htChainCount(table)) return HT_END;
        chain = htChain(table, static_cast<uint32_t>(table->cursorChain));
    }
    const HashEntry &entry = htEntries(chain)[table->cursorEntry];
    if (keyOut != nullptr) std::memmove(keyOut, entry.block, static_cast<size_t>(entry.keyLength));
    if (valueOut != nullptr && table->valueSize != 0) {
        std::memmove(valueOut, entry.block + entry.keyLength, table->valueSize);
    }
    table->cursorEntry++;
    return HT_OK;
}

int32_t HashTable_count(const HashTable *table) { return table == nullptr ? 0 : table->pairCount; }

void HashTable_setTableType(uint32_t tableType, HashTable *table) {
    if (table != nullptr) table->tableType = tableType;
}

// Without a comparison no key could be found; NULL restores the byte
// comparison.
void HashTable_setCompare(HashCompare compare, HashTable *table) {
    if (table != nullptr) table->compare = compare != nullptr ? compare : htCompareBytes;
}

// A load limit of zero, below or NaN would double the table on every insert
// until memory runs out; such values are ignored.
void HashTable_setMaxLoad(float maxLoad, HashTable *table) {
    if (table != nullptr && !std::isnan(maxLoad) && maxLoad > 0.0F) table->maxLoad = maxLoad;
}

void HashTable_printStats(const HashTable *table) {
    if (table == nullptr) return;
    std::printf("table stats:\n");
    std::printf("key size: %d / value size: %d / current hash mask: %x / max load: %f / table "
                "type: %d / n_pairs: %d\n",
                static_cast<int>(table->keySize), static_cast<int>(table->valueSize),
                table->hashMask, static_cast<double>(table->maxLoad),
                static_cast<int>(table->tableType), table->pairCount);
    std::printf("table has %d chains\n", htChainCount(table));
    std::printf("dumping chains:\n\n");
    HashTable *groups = htGroupChains(table);
    if (groups == nullptr) return;
    std::printf("\nsummary:\n");
    std::printf("table has %d chains\n", htChainCount(table));
    // HashTable_next leaves its outputs untouched when it copies nothing.
    int32_t length = 0;
    DArray *indices = nullptr;
    HashTable_rewind(groups);
    while (HashTable_next(&length, &indices, groups) == HT_OK) {
        std::printf("%d chains with %d items stored: ", DArray_count(indices), length);
        const auto *index = static_cast<const int32_t *>(DArray_data(indices));
        for (int32_t i = 0; i < DArray_count(indices); ++i) std::printf("%d ", index[i]);
        std::printf("\n");
    }
    htFreeGroups(groups);
}

// Keys shorter than keySize are padded with zeros; a key longer than keySize
// has no place in the format, so such a table is refused before the file is
// created.
int HashTable_save(const char *path, const HashTable *table) {
    if (path == nullptr || table == nullptr) return HT_NOT_FOUND;
    for (int32_t k = 0; k < htChainCount(table); ++k) {
        const DArray *chain = htChain(table, static_cast<uint32_t>(k));
        for (int32_t j = 0; j < DArray_count(chain); ++j) {
            if (static_cast<uint32_t>(htEntries(chain)[j].keyLength) > table->keySize)
                return HT_NOT_FOUND;
        }
    }
    FILE *file = std::fopen(path, "wb");
    if (file == nullptr) return HT_NOT_FOUND;
    bool ok = htWriteU32(static_cast<uint32_t>(htChainCount(table)), file) &&
              htWriteU32(table->keySize, file) && htWriteU32(table->valueSize, file) &&
              htWriteU32(static_cast<uint32_t>(table->pairCount), file);
    for (int32_t k = 0; ok && k < htChainCount(table); ++k) {
        const DArray *chain = htChain(table, static_cast<uint32_t>(k));
        for (int32_t j = 0; ok && j < DArray_count(chain); ++j) {
            const HashEntry &entry = htEntries(chain)[j];
            const auto keyLength = static_cast<size_t>(entry.keyLength);
            ok = htWrite(entry.block, keyLength, file) &&
                 htWriteZeros(table->keySize - keyLength, file) &&
                 htWrite(entry.block + keyLength, table->valueSize, file) &&
                 htWriteU32(entry.hash, file) &&
                 htWriteU32(static_cast<uint32_t>(entry.keyLength), file);
        }
    }
    if (std::fclose(file) != 0) ok = false;
    return ok ? HT_OK : HT_NOT_FOUND;
}

HashTable *HashTable_load(const char *path) {
    if (path == nullptr) return nullptr;
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    HashTable *table = htLoadFrom(file);
    std::fclose(file);
    return table;
}
