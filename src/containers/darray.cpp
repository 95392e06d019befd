#include "containers/darray.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "containers/alloc.h"

namespace {

// Sizes are 32-bit signed throughout; a product that would not fit is
// refused instead of wrapping into a short block.
bool darrayFitsInt32(int64_t value) { return value >= 0 && value <= INT32_MAX; }

uint8_t *darraySlot(const DArray *arr, int32_t index) {
    return arr->buffer + static_cast<size_t>(index) * static_cast<size_t>(arr->itemSize);
}

// Whether [p, p + bytes) overlaps the array's block: such a source would be
// left dangling by a reallocation or shifted by a move.
bool darrayAliases(const DArray *arr, const void *p, int64_t bytes) {
    auto begin = reinterpret_cast<uintptr_t>(arr->buffer);
    auto end =
        begin + static_cast<uintptr_t>(arr->currSize) * static_cast<uintptr_t>(arr->itemSize);
    auto src = reinterpret_cast<uintptr_t>(p);
    return src < end && src + static_cast<uintptr_t>(bytes) > begin;
}

// Holds a private copy of a source that lies inside the array itself; the
// copy goes through the seam like every other allocation.
class DArraySource {
public:
    DArraySource(const DArray *arr, const void *src, int64_t bytes) : src_(src) {
        if (bytes > 0 && darrayAliases(arr, src, bytes)) {
            copy_ = qmxMalloc(static_cast<size_t>(bytes));
            if (copy_ != nullptr) std::memcpy(copy_, src, static_cast<size_t>(bytes));
            src_ = copy_;
        }
    }
    ~DArraySource() { qmxFree(copy_); }
    DArraySource(const DArraySource &) = delete;
    DArraySource &operator=(const DArraySource &) = delete;
    const void *get() const { return src_; }

private:
    const void *src_;
    void *copy_ = nullptr;
};

bool darrayResize(int32_t newSize, DArray *arr) {
    int64_t bytes = int64_t{newSize} * arr->itemSize;
    if (newSize < 1 || !darrayFitsInt32(bytes)) return false;
    void *block = qmxRealloc(arr->buffer, static_cast<size_t>(bytes));
    if (block == nullptr) return false;
    arr->buffer = static_cast<uint8_t *>(block);
    arr->currSize = newSize;
    return true;
}

// One factor of growth when the array is full, before anything is moved.
bool darrayGrowStep(DArray *arr) {
    if (arr->numItems < arr->currSize) return true;
    int64_t newSize = int64_t{arr->currSize} * arr->resizeFactor;
    return darrayFitsInt32(newSize) && darrayResize(static_cast<int32_t>(newSize), arr);
}

// Grows by the smallest power of the factor that makes room for `added` more.
bool darrayGrowFor(int32_t added, DArray *arr) {
    int64_t need = int64_t{arr->numItems} + added;
    if (need <= arr->currSize) return true;
    if (!darrayFitsInt32(need)) return false;
    int64_t m = arr->resizeFactor;
    while (int64_t{arr->currSize} * m < need) m *= arr->resizeFactor;
    int64_t newSize = int64_t{arr->currSize} * m;
    return darrayFitsInt32(newSize) && darrayResize(static_cast<int32_t>(newSize), arr);
}

int darrayInsertOne(const void *item, int32_t size, int32_t index, DArray *arr) {
    if (arr == nullptr || item == nullptr || size < 0 || index < 0 || index > arr->numItems)
        return 1;
    const int32_t bytes = size < arr->itemSize ? size : arr->itemSize;
    DArraySource source(arr, item, bytes);
    if (source.get() == nullptr || !darrayGrowStep(arr)) return 1;
    if (index < arr->numItems) {
        std::memmove(darraySlot(arr, index + 1), darraySlot(arr, index),
                     static_cast<size_t>(arr->numItems - index) *
                         static_cast<size_t>(arr->itemSize));
    }
    std::memcpy(darraySlot(arr, index), source.get(), static_cast<size_t>(bytes));
    arr->numItems++;
    return 0;
}

} // namespace

DArray *DArray_create(int32_t initSize, int32_t itemSize, int32_t resizeFactor, uint32_t flags) {
    if (initSize < 1 || itemSize < 1 || resizeFactor < 2) return nullptr;
    int64_t bytes = int64_t{initSize} * itemSize;
    if (!darrayFitsInt32(bytes)) return nullptr;
    auto *arr = static_cast<DArray *>(qmxMalloc(sizeof(DArray)));
    if (arr == nullptr) return nullptr;
    arr->buffer = static_cast<uint8_t *>(qmxMalloc(static_cast<size_t>(bytes)));
    if (arr->buffer == nullptr) {
        qmxFree(arr);
        return nullptr;
    }
    arr->initSize = initSize;
    arr->currSize = initSize;
    arr->numItems = 0;
    arr->itemSize = itemSize;
    arr->resizeFactor = resizeFactor;
    arr->flags = flags;
    return arr;
}

void DArray_free(DArray *arr) {
    if (arr == nullptr) return;
    qmxFree(arr->buffer);
    qmxFree(arr);
}

int DArray_append(const void *item, DArray *arr) {
    return arr == nullptr ? 1 : darrayInsertOne(item, arr->itemSize, arr->numItems, arr);
}

int DArray_appendSized(const void *item, int32_t size, DArray *arr) {
    return arr == nullptr ? 1 : darrayInsertOne(item, size, arr->numItems, arr);
}

// Inserting at the end is an append, so an insert needs an existing index.
int DArray_insert(const void *item, int32_t index, DArray *arr) {
    if (arr == nullptr || index >= arr->numItems) return 1;
    return darrayInsertOne(item, arr->itemSize, index, arr);
}

int DArray_insertSized(const void *item, int32_t size, int32_t index, DArray *arr) {
    if (arr == nullptr || index >= arr->numItems) return 1;
    return darrayInsertOne(item, size, index, arr);
}

int DArray_appendRun(const void *items, int32_t n, DArray *arr) {
    return arr == nullptr ? 1 : DArray_writeRun(items, n, arr->numItems, arr, 0);
}

int DArray_insertRun(const void *items, int32_t n, int32_t pos, DArray *arr) {
    return DArray_writeRun(items, n, pos, arr, 0);
}

int DArray_overwriteRun(const void *items, int32_t n, int32_t pos, DArray *arr) {
    return DArray_writeRun(items, n, pos, arr, 1);
}

int DArray_writeRun(const void *items, int32_t n, int32_t pos, DArray *arr, int overwrite) {
    if (arr == nullptr || items == nullptr || n < 0 || pos < 0 || pos > arr->numItems) return 1;
    int32_t added = n;
    if (overwrite) {
        added = n - (arr->numItems - pos);
        if (added < 0) added = 0;
    }
    const int64_t bytes = int64_t{n} * arr->itemSize;
    if (!darrayFitsInt32(bytes)) return 1;
    DArraySource source(arr, items, bytes);
    if (source.get() == nullptr || !darrayGrowFor(added, arr)) return 1;
    if (!overwrite && pos < arr->numItems) {
        std::memmove(darraySlot(arr, pos + n), darraySlot(arr, pos),
                     static_cast<size_t>(arr->numItems - pos) * static_cast<size_t>(arr->itemSize));
    }
    if (bytes > 0) std::memcpy(darraySlot(arr, pos), source.get(), static_cast<size_t>(bytes));
    arr->numItems += added;
    return 0;
}

void *DArray_get(int32_t index, void *out, const DArray *arr) {
    if (arr == nullptr || out == nullptr || index < 0 || index >= arr->numItems) return nullptr;
    std::memmove(out, darraySlot(arr, index), static_cast<size_t>(arr->itemSize));
    return out;
}

void DArray_getSized(int32_t index, void *out, int32_t size, const DArray *arr) {
    if (arr == nullptr || out == nullptr || size < 0 || index < 0 || index >= arr->numItems) return;
    std::memmove(out, darraySlot(arr, index),
                 static_cast<size_t>(size < arr->itemSize ? size : arr->itemSize));
}

void DArray_set(const void *item, int32_t index, DArray *arr) {
    if (arr == nullptr || item == nullptr || index < 0 || index >= arr->numItems) return;
    std::memmove(darraySlot(arr, index), item, static_cast<size_t>(arr->itemSize));
}

// The size may span several items, as long as it stays within the stored ones.
void DArray_setSized(const void *item, int32_t size, int32_t index, DArray *arr) {
    if (arr == nullptr || item == nullptr || size < 0 || index < 0 || index >= arr->numItems)
        return;
    if (int64_t{index} * arr->itemSize + size > int64_t{arr->numItems} * arr->itemSize) return;
    std::memmove(darraySlot(arr, index), item, static_cast<size_t>(size));
}

int DArray_remove(int32_t index, void *out, DArray *arr) {
    if (arr == nullptr || arr->numItems == 0 || index < 0 || index >= arr->numItems) return 1;
    const int64_t threshold = arr->currSize / (int64_t{arr->resizeFactor} * arr->resizeFactor);
    if (out != nullptr)
        std::memmove(out, darraySlot(arr, index), static_cast<size_t>(arr->itemSize));
    std::memmove(darraySlot(arr, index), darraySlot(arr, index + 1),
                 static_cast<size_t>(arr->numItems - index - 1) *
                     static_cast<size_t>(arr->itemSize));
    arr->numItems--;
    if ((arr->flags & DARRAY_SHRINK) == 0 || arr->numItems > threshold) return 0;
    const int32_t newSize = arr->currSize / arr->resizeFactor;
    if (newSize < arr->initSize) return 0;
    return darrayResize(newSize, arr) ? 0 : 1;
}

int DArray_removeRun(int32_t pos, int32_t n, void *out, DArray *arr) {
    if (arr == nullptr || n < 0 || n > arr->numItems || pos < 0 || pos > arr->numItems) return 1;
    if (n > arr->numItems - pos) n = arr->numItems - pos;
    const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(arr->itemSize);
    if (out != nullptr && bytes > 0) std::memmove(out, darraySlot(arr, pos), bytes);
    std::memmove(darraySlot(arr, pos), darraySlot(arr, pos + n),
                 static_cast<size_t>(arr->numItems - pos - n) * static_cast<size_t>(arr->itemSize));
    arr->numItems -= n;
    return 0;
}

void DArray_clear(DArray *arr) {
    if (arr != nullptr) arr->numItems = 0;
}

void DArray_swapItems(DArray *a, DArray *b) {
    if (a == nullptr || b == nullptr || a->itemSize != b->itemSize) return;
    std::swap(a->buffer, b->buffer);
    std::swap(a->currSize, b->currSize);
    std::swap(a->numItems, b->numItems);
}

void *DArray_data(const DArray *arr) { return arr == nullptr ? nullptr : arr->buffer; }
int32_t DArray_count(const DArray *arr) { return arr == nullptr ? 0 : arr->numItems; }
int32_t DArray_capacity(const DArray *arr) { return arr == nullptr ? 0 : arr->currSize; }
int32_t DArray_initSize(const DArray *arr) { return arr == nullptr ? 0 : arr->initSize; }
int32_t DArray_itemSize(const DArray *arr) { return arr == nullptr ? 0 : arr->itemSize; }

char *DArray_cstr(DArray *arr) {
    if (arr == nullptr || arr->itemSize != 1 || !darrayGrowStep(arr)) return nullptr;
    arr->buffer[arr->numItems] = 0;
    return reinterpret_cast<char *>(arr->buffer);
}

void DArray_printStats(const DArray *arr) {
    if (arr == nullptr) return;
    std::printf("DArray stats:\n");
    std::printf("init size: %d\n", arr->initSize);
    std::printf("curr size: %d\n", arr->currSize);
    std::printf("num items: %d\n", arr->numItems);
    std::printf("resize factor: %d\n", arr->resizeFactor);
    std::printf("flags: %x\n", arr->flags);
    std::printf("buffer: %p\n", static_cast<void *>(arr->buffer));
}
