// Differential harness: random operations on a DArray against a byte-string
// model and on a HashTable against an insertion-ordered list of pairs, with
// the exact capacity, chain-count and iteration-order rules, indices on both
// sides of every boundary, sources inside the array itself, and allocation
// failures at any point.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "containers/alloc.h"
#include "containers/darray.h"
#include "containers/hash_table.h"
#include "harness/harness.h"

namespace qmxfuzz {
namespace {

std::string at(const char *what, int step) {
    return std::string(what) + " (operation " + std::to_string(step) + ")";
}

// A control byte: bit 7 arms an allocation failure after (bits 0-4)
// allocations for this operation, bit 6 takes the source from the array's
// own items, bit 5 picks the other entry point of the same operation.
enum : uint8_t { kFail = 0x80, kAlias = 0x40, kOther = 0x20, kBudget = 0x1F };

std::string runDArray(FuzzInput &in) {
    const int32_t size = 1 + in.u8() % 6, factor = 2 + in.u8() % 2, init = 1 + in.u8() % 4;
    const bool shrink = in.u8() & 1;
    DArray *arr = DArray_create(init, size, factor, shrink ? uint32_t{DARRAY_SHRINK} : 0u);
    if (arr == nullptr) return "DArray_create failed";
    std::string model, failure; // the items' bytes
    int32_t capacity = init;
    for (int step = 0; !in.empty() && step < 400 && failure.empty(); ++step) {
        const uint8_t op = in.u8() % 13, control = in.u8();
        const int32_t count = static_cast<int32_t>(model.size()) / size, n = in.u8() % 40;
        const int32_t index = static_cast<int32_t>(in.u16() % (count + 3)) - 1; // -1 .. count + 1
        const bool inRange = index >= 0 && index < count, pastEnd = index < 0 || index > count;
        const auto pos = static_cast<size_t>(std::clamp(index, 0, count) * size);
        std::string buf = in.take(static_cast<size_t>((n + 1) * size));
        buf.resize(static_cast<size_t>((n + 1) * size), 'Z');
        const char *src = buf.data();
        if ((control & kAlias) && model.size() >= buf.size()) {
            src = static_cast<const char *>(DArray_data(arr)) + model.size() - buf.size();
            buf = model.substr(model.size() - buf.size());
        }
        const std::string item = buf.substr(0, static_cast<size_t>(size));
        const std::string run = buf.substr(0, static_cast<size_t>(n * size));
        const size_t taken = static_cast<size_t>(std::min(n, count - std::clamp(index, 0, count)));
        // Whether the operation applies; those without a result code change nothing otherwise.
        const bool spans = inRange && pos + static_cast<size_t>(n) <= model.size();
        const bool fits = !pastEnd, cut = fits && n <= count, bytes = size == 1;
        const bool valid[] = {true,    inRange, true,    fits, fits, inRange, spans,
                              inRange, inRange, inRange, cut,  true, bytes};
        std::string next = model, out(buf.size(), '?'), expectOut = out;
        size_t copied = 0; // bytes copied out
        int r = 0;
        char *text = nullptr;
        if (control & kFail) qmxAllocFailAfter(control & kBudget);
        switch (op) {
        case 0: // sized entry points copy at most one item
            r = (control & kOther) ? DArray_appendSized(src, size + n, arr)
                                   : DArray_append(src, arr);
            next += item;
            break;
        case 1:
            r = (control & kOther) ? DArray_insertSized(src, size + n, index, arr)
                                   : DArray_insert(src, index, arr);
            next.insert(pos, item);
            break;
        case 2: r = DArray_appendRun(src, n, arr), next += run; break;
        case 3:
            r = (control & kOther) ? DArray_writeRun(src, n, index, arr, 0)
                                   : DArray_insertRun(src, n, index, arr);
            next.insert(pos, run);
            break;
        case 4:
            r = (control & kOther) ? DArray_writeRun(src, n, index, arr, 7)
                                   : DArray_overwriteRun(src, n, index, arr);
            next.replace(pos, run.size(), run);
            break;
        case 5: DArray_set(src, index, arr), next.replace(pos, item.size(), item); break;
        case 6: // n bytes, which may span items but not pass the last one
            DArray_setSized(src, n, index, arr), next.replace(pos, size_t(n), buf, 0, size_t(n));
            break;
        case 7: r = DArray_get(index, &out[0], arr) == nullptr, copied = item.size(); break;
        case 8: DArray_getSized(index, &out[0], n, arr), copied = size_t(std::min(n, size)); break;
        case 9:
            r = DArray_remove(index, &out[0], arr), next.erase(pos, copied = item.size());
            break;
        case 10: // n is cut to the items after index
            r = DArray_removeRun(index, n, &out[0], arr);
            next.erase(pos, copied = taken * item.size());
            break;
        case 11: DArray_clear(arr), next.clear(); break;
        default: r = (text = DArray_cstr(arr)) == nullptr;
        }
        qmxAllocFailAfter(-1);
        if (op == 5 || op == 6 || op == 8 || op == 11) r = !valid[op];
        if (r != !valid[op] && !((control & kFail) && valid[op] && r == 1))
            failure = at("DArray result differs from the rules", step);
        if (valid[op]) expectOut.replace(0, copied, model, pos, copied);
        if (out != expectOut) failure = at("items copied out differ from the model", step);
        if (text != nullptr && text[count] != '\0') failure = at("cstr not terminated", step);
        // A shrink that fails still removes the item.
        if (r == 0 || (op == 9 && valid[op])) model = next;
        if (op == 9 && shrink && count - 1 <= capacity / (factor * factor) &&
            capacity / factor >= init)
            capacity = r == 0 ? capacity / factor : capacity;
        const int64_t need = op == 12 ? count + 1 : static_cast<int64_t>(model.size()) / size;
        while (r == 0 && capacity < need) capacity *= factor;
        if (DArray_count(arr) * size != static_cast<int32_t>(model.size()) ||
            DArray_capacity(arr) != capacity || DArray_itemSize(arr) != size ||
            DArray_initSize(arr) != init ||
            std::memcmp(DArray_data(arr), model.data(), model.size()) != 0)
            failure = at("DArray differs from the model", step);
    }
    DArray_free(arr);
    return failure;
}

std::string runHashTable(FuzzInput &in) {
    const uint32_t keySize = 1 + in.u8() % 12, valueSize = in.u8() % 9;
    const uint8_t type = in.u8();
    const int32_t size = static_cast<int32_t>(in.u8() % 40) - 4;
    // A load limit of 0 is ignored; the table type is set after creation.
    const bool growing = type & 1;
    const float load = static_cast<float>((type >> 1) & 7) / 4, limit = load > 0 ? load : 0.75f;
    HashTable *table = HashTable_create(size, keySize, valueSize, growing ? 0 : 1);
    if (table == nullptr) return "HashTable_create failed";
    HashTable_setTableType(growing, table);
    HashTable_setMaxLoad(load, table);
    uint32_t chains = 1;
    while (static_cast<int32_t>(chains) < size) chains *= 2;
    std::vector<std::pair<std::string, std::string>> pairs; // in insertion order
    // Chain by chain, each in insertion order, then the end until rewound.
    auto iterates = [&] {
        auto expected = pairs;
        auto chain = [&](const auto &p) {
            return hashBytes(p.first.data(), static_cast<int32_t>(p.first.size())) & (chains - 1);
        };
        std::stable_sort(expected.begin(), expected.end(),
                         [&](const auto &a, const auto &b) { return chain(a) < chain(b); });
        expected.emplace_back(); // the end
        HashTable_rewind(table);
        for (const auto &[key, value] : expected) {
            std::string keyOut(keySize, '\0'), valueOut(valueSize, '\0');
            const int r = HashTable_next(&keyOut[0], &valueOut[0], table);
            if (r != (&key == &expected.back().first ? HT_END : HT_OK) ||
                keyOut != key + std::string(keySize - key.size(), '\0') ||
                (r == HT_OK && valueOut != value))
                return false;
        }
        return true;
    };
    std::string failure;
    for (int step = 0; !in.empty() && step < 400 && failure.empty(); ++step) {
        const uint8_t op = in.u8() % 6, control = in.u8();
        // Few distinct keys, so that replacements and removals find pairs;
        // put, get and delete take the whole key size.
        const uint32_t length = (op == 4 || (control & kOther)) ? keySize : in.u8() % (keySize + 1);
        std::string key = in.take(length > 0 ? 1 : 0), value = in.take(valueSize),
                    out(valueSize, '?');
        key.resize(length, 'k');
        value.resize(valueSize, 'v');
        const auto kl = static_cast<int32_t>(length);
        const auto found =
            std::find_if(pairs.begin(), pairs.end(), [&](const auto &p) { return p.first == key; });
        const bool present = found != pairs.end();
        uint32_t expectChains = chains;
        if (control & kFail) qmxAllocFailAfter(control & kBudget);
        int r = 0;
        switch (op) {
        case 2:
            r = (control & kOther) ? HashTable_get(key.data(), &out[0], table)
                                   : HashTable_find(key.data(), kl, &out[0], table);
            if (r != (present ? HT_OK : HT_NOT_FOUND) || (present && out != found->second))
                failure = at("lookup differs from the model", step);
            break;
        case 3:
            r = (control & kOther) ? HashTable_delete(key.data(), table)
                                   : HashTable_remove(key.data(), kl, table);
            if (r != (present ? HT_OK : HT_NOT_FOUND))
                failure = at("removal differs from the model", step);
            if (present) pairs.erase(found);
            break;
        case 5:
            if (!iterates()) failure = at("iteration differs from the model", step);
            break;
        default:
            r = op == 4 ? HashTable_put(key.data(), value.data(), table)
                        : HashTable_insert(key.data(), kl, value.data(), table);
            if (r != (present ? HT_REPLACED : HT_OK) &&
                !(!present && r == HT_NOT_FOUND && (control & kFail)))
                failure = at("insert differs from the model", step);
            if (present) found->second = value;
            if (!present && r == HT_OK) pairs.emplace_back(key, value);
            if (!present && r == HT_OK && growing &&
                static_cast<float>(pairs.size()) / static_cast<float>(chains) >= limit)
                expectChains = 2 * chains;
        }
        qmxAllocFailAfter(-1);
        // A doubling that meets an allocation failure is left for later.
        const uint32_t actual = table->hashMask + 1;
        if (HashTable_count(table) != static_cast<int32_t>(pairs.size()) ||
            DArray_count(table->chains) != static_cast<int32_t>(actual) ||
            (actual != expectChains && !((control & kFail) && actual == chains)))
            failure = at("pair or chain count differs from the rules", step);
        chains = actual;
    }
    if (failure.empty() && !iterates()) failure = "the pairs at the end differ from the model";
    HashTable_destroy(table);
    return failure;
}

} // namespace

std::string containers(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    return (in.u8() & 1) ? runHashTable(in) : runDArray(in);
}

} // namespace qmxfuzz
