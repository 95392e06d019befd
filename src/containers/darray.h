// DArray: a growable run of fixed-size items in one heap block. With an item
// size of 1 it is the library's byte string.
#pragma once

#include <cstdint>

enum : uint32_t { DARRAY_SHRINK = 1U };

struct DArray {
    int32_t initSize;     // capacity at creation; the floor for shrinking
    int32_t currSize;     // capacity of buffer, in items
    int32_t numItems;     // items stored
    int32_t itemSize;     // bytes per item
    int32_t resizeFactor; // growth multiplier
    uint32_t flags;       // DARRAY_SHRINK
    uint8_t *buffer;      // currSize * itemSize bytes
};

DArray *DArray_create(int32_t initSize, int32_t itemSize, int32_t resizeFactor, uint32_t flags);
void DArray_free(DArray *arr);

int DArray_append(const void *item, DArray *arr);
int DArray_appendSized(const void *item, int32_t size, DArray *arr);
int DArray_insert(const void *item, int32_t index, DArray *arr);
int DArray_insertSized(const void *item, int32_t size, int32_t index, DArray *arr);
int DArray_appendRun(const void *items, int32_t n, DArray *arr);
int DArray_insertRun(const void *items, int32_t n, int32_t pos, DArray *arr);
int DArray_overwriteRun(const void *items, int32_t n, int32_t pos, DArray *arr);
int DArray_writeRun(const void *items, int32_t n, int32_t pos, DArray *arr, int overwrite);

void *DArray_get(int32_t index, void *out, const DArray *arr);
void DArray_getSized(int32_t index, void *out, int32_t size, const DArray *arr);
void DArray_set(const void *item, int32_t index, DArray *arr);
void DArray_setSized(const void *item, int32_t size, int32_t index, DArray *arr);

int DArray_remove(int32_t index, void *out, DArray *arr);
int DArray_removeRun(int32_t pos, int32_t n, void *out, DArray *arr);
void DArray_clear(DArray *arr);
// Exchanges the stored items (and the blocks holding them) of two arrays of
// the same item size; each keeps its own growth settings.
void DArray_swapItems(DArray *a, DArray *b);

void *DArray_data(const DArray *arr);
int32_t DArray_count(const DArray *arr);
int32_t DArray_capacity(const DArray *arr);
int32_t DArray_initSize(const DArray *arr);
int32_t DArray_itemSize(const DArray *arr);

// Zero-terminates a byte array without counting the terminator; NULL when the
// array is NULL, its items are not bytes, or the growth step fails.
char *DArray_cstr(DArray *arr);

void DArray_printStats(const DArray *arr);
