// Differential harness: the same operations on a DArray and a byte-string
// model, and on a HashTable and an unordered_map model, including the exact
// capacity and chain-count rules and allocation failures at any point.
#include "harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "containers/alloc.h"
#include "containers/darray.h"
#include "containers/hash_table.h"
#include "harness/fuzz_input.h"

namespace qmxfuzz {
namespace {

std::string fail(const char *what, int step) {
    char text[120];
    std::snprintf(text, sizeof text, "%s (operation %d)", what, step);
    return text;
}

// Arms an allocation failure for one operation when the input asks for it.
class FailureWindow {
public:
    explicit FailureWindow(uint8_t control) {
        if (control & 0x80) {
            qmxAllocFailAfter(control & 0x03);
            armed_ = true;
        }
    }
    ~FailureWindow() {
        if (armed_) qmxAllocFailAfter(-1);
    }
    bool armed() const { return armed_; }

private:
    bool armed_ = false;
};

struct ArrayModel {
    std::string bytes; // numItems * itemSize
    int32_t capacity;
    int32_t itemSize;
    int32_t factor;
    int32_t initSize;
    bool shrink;

    int32_t count() const { return static_cast<int32_t>(bytes.size()) / itemSize; }
    int32_t grownRun(int32_t need) const {
        if (need <= capacity) return capacity;
        int32_t m = factor;
        while (capacity * m < need) m *= factor;
        return capacity * m;
    }
};

std::string items(FuzzInput &in, int32_t n, int32_t itemSize) {
    std::string out = in.take(static_cast<size_t>(n * itemSize));
    out.resize(static_cast<size_t>(n * itemSize), '\x5A');
    return out;
}

std::string runDArray(FuzzInput &in) {
    ArrayModel m{};
    m.itemSize = 1 + in.u8() % 6;
    m.factor = 2 + in.u8() % 2;
    m.initSize = 1 + in.u8() % 4;
    m.shrink = in.u8() & 1;
    m.capacity = m.initSize;
    DArray *arr =
        DArray_create(m.initSize, m.itemSize, m.factor, m.shrink ? uint32_t{DARRAY_SHRINK} : 0u);
    if (arr == nullptr) return "DArray_create failed";
    std::string failure;
    for (int step = 0; !in.empty() && step < 400 && failure.empty(); ++step) {
        const uint8_t op = in.u8() % 11;
        const uint8_t control = in.u8();
        const int32_t count = m.count();
        const int32_t n = in.u8() % 40;
        const int32_t index = count > 0 ? static_cast<int32_t>(in.u16() % (count + 1)) : 0;
        const size_t at = static_cast<size_t>(index * m.itemSize);
        std::string item = items(in, 1, m.itemSize);
        int result = 0;
        bool changed = false;
        ArrayModel next = m;
        {
            FailureWindow window(control);
            switch (op) {
            case 0: // append
                result = DArray_append(item.data(), arr);
                next.bytes += item;
                if (count == m.capacity) next.capacity *= m.factor;
                break;
            case 1: // insert before an existing item
                result = DArray_insert(item.data(), index, arr);
                if (index >= count) {
                    if (result != 1) failure = fail("insert at the end did not fail", step);
                    result = -1; // the expected refusal
                    break;
                }
                next.bytes.insert(at, item);
                if (count == m.capacity) next.capacity *= m.factor;
                break;
            case 2: { // appendRun
                const std::string run = items(in, n, m.itemSize);
                result = DArray_appendRun(run.data(), n, arr);
                next.bytes += run;
                next.capacity = m.grownRun(count + n);
                break;
            }
            case 3: { // insertRun or overwriteRun through writeRun
                const std::string run = items(in, n, m.itemSize);
                const int overwrite = control & 1;
                result = DArray_writeRun(run.data(), n, index, arr, overwrite);
                if (overwrite) {
                    next.bytes.replace(at, std::min(next.bytes.size() - at, run.size()), run);
                    next.capacity = m.grownRun(index + n > count ? index + n : count);
                } else {
                    next.bytes.insert(at, run);
                    next.capacity = m.grownRun(count + n);
                }
                break;
            }
            case 4: // set
                if (index < count) {
                    DArray_set(item.data(), index, arr);
                    next.bytes.replace(at, item.size(), item);
                }
                break;
            case 5: // setSized: the first bytes of an item
                if (index < count) {
                    const int32_t size = n % (m.itemSize + 1);
                    DArray_setSized(item.data(), size, index, arr);
                    next.bytes.replace(at, static_cast<size_t>(size),
                                       item.substr(0, static_cast<size_t>(size)));
                }
                break;
            case 6: { // remove
                std::string out(static_cast<size_t>(m.itemSize), '\0');
                result = DArray_remove(index, &out[0], arr);
                if (index >= count) {
                    if (result != 1) failure = fail("remove past the end did not fail", step);
                    result = -1; // the expected refusal
                    break;
                }
                if (out != m.bytes.substr(at, item.size()))
                    failure = fail("remove copied out the wrong item", step);
                next.bytes.erase(at, item.size());
                if (m.shrink && next.count() <= m.capacity / (m.factor * m.factor) &&
                    m.capacity / m.factor >= m.initSize) {
                    // A failed shrink still removes the item.
                    if (result == 0)
                        next.capacity = m.capacity / m.factor;
                    else if (window.armed())
                        result = 0;
                }
                break;
            }
            case 7: { // removeRun, n cut to what is there
                std::string out(static_cast<size_t>(n * m.itemSize), '\0');
                result = DArray_removeRun(index, n, &out[0], arr);
                if (n > count) {
                    if (result != 1)
                        failure = fail("removeRun of more than held did not fail", step);
                    result = -1; // the expected refusal
                    break;
                }
                const size_t taken = static_cast<size_t>(std::min(n, count - index) * m.itemSize);
                if (out.compare(0, taken, m.bytes, at, taken) != 0)
                    failure = fail("removeRun copied out wrong items", step);
                next.bytes.erase(at, taken);
                break;
            }
            case 8:
                DArray_clear(arr);
                next.bytes.clear();
                break;
            case 9: { // cstr of a byte string
                const char *text = DArray_cstr(arr);
                if (m.itemSize != 1) {
                    if (text != nullptr) failure = fail("cstr of a non-byte array", step);
                    break;
                }
                result = text == nullptr;
                if (count == m.capacity) next.capacity *= m.factor;
                if (text != nullptr && text[count] != '\0')
                    failure = fail("cstr not terminated", step);
                break;
            }
            default: { // get
                if (index < count) {
                    std::string out(static_cast<size_t>(m.itemSize), '\0');
                    DArray_get(index, &out[0], arr);
                    if (out != m.bytes.substr(at, out.size()))
                        failure = fail("get returned the wrong item", step);
                }
                break;
            }
            }
            changed = result == 0;
            if (result > 0 && !window.armed() && failure.empty()) {
                char what[96];
                std::snprintf(what, sizeof what,
                              "DArray operation %d failed without cause (index %d, n %d, count %d)",
                              op, index, n, count);
                failure = fail(what, step);
            }
        }
        if (changed) m = next;
        if (!failure.empty()) break;
        if (DArray_count(arr) != m.count())
            failure = fail("item count differs from the model", step);
        else if (DArray_capacity(arr) != m.capacity)
            failure = fail("capacity differs from the growth rule", step);
        else if (!m.bytes.empty() &&
                 std::memcmp(DArray_data(arr), m.bytes.data(), m.bytes.size()) != 0)
            failure = fail("items differ from the model", step);
    }
    DArray_free(arr);
    return failure;
}

std::string runHashTable(FuzzInput &in) {
    const uint32_t keySize = 1 + in.u8() % 12;
    const uint32_t valueSize = 1 + in.u8() % 8;
    const uint32_t tableType = in.u8() & 1;
    const int32_t size = static_cast<int32_t>(in.u8() % 40) - 4;
    HashTable *table = HashTable_create(size, keySize, valueSize, tableType);
    if (table == nullptr) return "HashTable_create failed";
    uint32_t chains = 1;
    while (static_cast<int32_t>(chains) < size) chains *= 2;
    std::unordered_map<std::string, std::string> model;
    std::string failure;
    // A growth that fails leaves the chain count open; it is read back.
    bool chainsKnown = true;
    for (int step = 0; !in.empty() && step < 400 && failure.empty(); ++step) {
        const uint8_t op = in.u8() % 6;
        const uint8_t control = in.u8();
        const uint32_t keyLength = in.u8() % (keySize + 1);
        // Few distinct keys, so that replacements and removals find pairs.
        std::string key = in.take(keyLength > 1 ? 1 : keyLength);
        key.resize(keyLength, 'k');
        std::string value = in.take(valueSize);
        value.resize(valueSize, 'v');
        FailureWindow window(control);
        const auto found = model.find(key);
        // An insert or put of k answered with result, mirrored on the model.
        auto record = [&](const std::string &k, int result) {
            const auto present = model.find(k);
            if (present != model.end()) {
                if (result != HT_REPLACED)
                    failure = fail("insert of a present key did not replace", step);
                present->second = value;
            } else if (result == HT_OK) {
                model[k] = value;
                if (tableType != 0 && !window.armed() &&
                    static_cast<float>(model.size()) / static_cast<float>(chains) >= 0.75f)
                    chains *= 2;
                else if (window.armed())
                    chainsKnown = false;
            } else if (result != HT_NOT_FOUND || !window.armed()) {
                failure = fail("insert of a new key failed without cause", step);
            }
        };
        switch (op) {
        case 0:
        case 1: // insert
            record(key, HashTable_insert(key.data(), static_cast<int32_t>(keyLength), value.data(),
                                         table));
            break;
        case 2: { // find
            std::string out(valueSize, '\0');
            const int result =
                HashTable_find(key.data(), static_cast<int32_t>(keyLength), &out[0], table);
            if ((result == HT_OK) != (found != model.end()))
                failure = fail("find disagrees with the model", step);
            else if (result == HT_OK && out != found->second)
                failure = fail("find returned a wrong value", step);
            break;
        }
        case 3: { // remove
            const int result = HashTable_remove(key.data(), static_cast<int32_t>(keyLength), table);
            if ((result == HT_OK) != (found != model.end()))
                failure = fail("remove disagrees with the model", step);
            if (found != model.end()) model.erase(found);
            break;
        }
        case 4: { // put and get use the full key size
            std::string fullKey = key;
            fullKey.resize(keySize, 'k');
            record(fullKey, HashTable_put(fullKey.data(), value.data(), table));
            std::string out(valueSize, '\0');
            if (failure.empty() && model.count(fullKey) &&
                (HashTable_get(fullKey.data(), &out[0], table) != HT_OK || out != model[fullKey]))
                failure = fail("get after put disagrees", step);
            break;
        }
        default: { // a whole iteration, compared as a multiset of key bytes and values
            std::vector<std::string> expected, seen;
            for (const auto &pair : model) {
                std::string k = pair.first;
                k.resize(keySize + 1, '\0');
                expected.push_back(k + pair.second);
            }
            std::vector<char> keyOut(keySize + 1), valueOut(valueSize);
            HashTable_rewind(table);
            for (size_t i = 0; i <= model.size(); ++i) {
                std::fill(keyOut.begin(), keyOut.end(), '\0');
                if (HashTable_next(keyOut.data(), valueOut.data(), table) != HT_OK) break;
                seen.push_back(std::string(keyOut.data(), keyOut.size()) +
                               std::string(valueOut.data(), valueSize));
            }
            std::sort(expected.begin(), expected.end());
            std::sort(seen.begin(), seen.end());
            if (seen != expected) failure = fail("iteration differs from the model", step);
            break;
        }
        }
        if (!failure.empty()) break;
        if (HashTable_count(table) != static_cast<int32_t>(model.size()))
            failure = fail("pair count differs", step);
        const uint32_t actualChains = table->hashMask + 1;
        if ((actualChains & table->hashMask) != 0)
            failure = fail("chain count is not a power of two", step);
        if (!chainsKnown) {
            chains = actualChains;
            chainsKnown = true;
        } else if (actualChains != chains) {
            failure = fail("chain count differs from the growth rule", step);
        }
    }
    qmxAllocFailAfter(-1);
    // Every pair must still be found after everything above.
    for (const auto &pair : model) {
        std::string out(valueSize, '\0');
        if (failure.empty() &&
            (HashTable_find(pair.first.data(), static_cast<int32_t>(pair.first.size()), &out[0],
                            table) != HT_OK ||
             out != pair.second))
            failure = "a pair of the model is lost";
    }
    HashTable_destroy(table);
    return failure;
}

} // namespace

std::string containers(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const std::string failure = (in.u8() & 1) ? runHashTable(in) : runDArray(in);
    qmxAllocFailAfter(-1);
    return failure;
}

} // namespace qmxfuzz
