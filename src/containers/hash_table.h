// HashTable: separately chained hash table with copied keys and fixed-size
// values. Chains are DArrays of HashEntry; the chain count is a power of two.
#pragma once

#include <cstddef>
#include <cstdint>

#include "darray.h"

enum : int {
    HT_OK = 0,
    HT_REPLACED = 1,
    HT_NOT_FOUND = 2,
    HT_END = 4,
};

using HashCompare = int (*)(const void *a, const void *b, size_t length);

struct HashEntry {
    int32_t keyLength; // the length the pair was stored with
    uint32_t hash;     // full hashBytes value of the key
    uint8_t *block;    // key bytes immediately followed by the value
};

struct HashTable {
    DArray *chains; // items: DArray* (one chain each)
    uint32_t keySize;
    uint32_t valueSize;
    uint32_t hashMask; // chains - 1
    HashCompare compare;
    float maxLoad;
    uint32_t tableType; // 0: fixed chain count; otherwise grows
    int32_t pairCount;
    int32_t cursorChain;
    int32_t cursorEntry;
};

// One-at-a-time hash over signed bytes with arithmetic shifts.
uint32_t hashBytes(const void *key, int32_t length);

HashTable *HashTable_create(int32_t size, uint32_t keySize, uint32_t valueSize, uint32_t tableType);
void HashTable_destroy(HashTable *table);

int HashTable_insert(const void *key, int32_t keyLength, const void *value, HashTable *table);
int HashTable_put(const void *key, const void *value, HashTable *table);
int HashTable_find(const void *key, int32_t keyLength, void *valueOut, const HashTable *table);
int HashTable_get(const void *key, void *valueOut, const HashTable *table);
int HashTable_remove(const void *key, int32_t keyLength, HashTable *table);
int HashTable_delete(const void *key, HashTable *table);

void HashTable_rewind(HashTable *table);
int HashTable_next(void *keyOut, void *valueOut, HashTable *table);
int32_t HashTable_count(const HashTable *table);

void HashTable_setTableType(uint32_t tableType, HashTable *table);
void HashTable_setCompare(HashCompare compare, HashTable *table);
void HashTable_setMaxLoad(float maxLoad, HashTable *table);

void HashTable_printStats(const HashTable *table);
int HashTable_save(const char *path, const HashTable *table);
HashTable *HashTable_load(const char *path);
