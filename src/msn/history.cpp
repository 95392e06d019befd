#include "msn/history.h"

#include <cstring>

namespace {

bool msnAppendHistory(DArray **history, const uint8_t *bytes, int32_t count) {
    if (*history == nullptr) {
        *history = DArray_create(1, 1, 2, 0);
    }
    return DArray_appendRun(bytes, count, *history) == 0;
}

const char *msnTextOf(DArray *history) {
    const char *text = history != nullptr ? DArray_cstr(history) : nullptr;
    return text != nullptr ? text : "";
}

} // namespace

void msnRecordReceived(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count) {
    if (count > 0) {
        msnAppendHistory(&pair->received, bytes, count);
    }
}

void msnRecordForwarded(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count) {
    if (count <= 0) {
        return;
    }
    if (pair->forwarded != nullptr) {
        msnAppendHistory(&pair->forwarded, bytes, count);
        return;
    }
    const int32_t received = DArray_count(pair->received);
    const auto *start = static_cast<const uint8_t *>(DArray_data(pair->received));
    if (count <= received - pair->forwardedCount &&
        std::memcmp(start + pair->forwardedCount, bytes, static_cast<size_t>(count)) == 0) {
        pair->forwardedCount += count;
        return;
    }
    // The first difference: from here on the forwarded bytes need a copy of
    // their own. Without memory for it these bytes are left out, as an
    // append that fails would leave them out.
    if (!msnAppendHistory(&pair->forwarded, start != nullptr ? start : bytes,
                          start != nullptr ? pair->forwardedCount : 0) ||
        !msnAppendHistory(&pair->forwarded, bytes, count)) {
        DArray_free(pair->forwarded);
        pair->forwarded = nullptr;
    }
}

bool msnHistoriesDiffer(const MsnHistoryPair *pair) {
    const int32_t received = DArray_count(pair->received);
    if (pair->forwarded == nullptr) {
        return pair->forwardedCount != received;
    }
    return DArray_count(pair->forwarded) != received ||
           (received > 0 && std::memcmp(DArray_data(pair->forwarded), DArray_data(pair->received),
                                        static_cast<size_t>(received)) != 0);
}

const char *msnReceivedText(MsnHistoryPair *pair) { return msnTextOf(pair->received); }

const char *msnTakeForwardedText(MsnHistoryPair *pair) {
    if (pair->forwarded != nullptr) {
        return msnTextOf(pair->forwarded);
    }
    const char *text = msnTextOf(pair->received);
    if (pair->forwardedCount < DArray_count(pair->received)) {
        // Cutting off what was received but never forwarded terminates the
        // forwarded bytes where they lie.
        DArray_removeRun(pair->forwardedCount, DArray_count(pair->received) - pair->forwardedCount,
                         nullptr, pair->received);
        text = msnTextOf(pair->received);
    }
    return text;
}

int32_t msnReceivedCount(const MsnHistoryPair *pair) { return DArray_count(pair->received); }

int32_t msnForwardedCount(const MsnHistoryPair *pair) {
    return pair->forwarded != nullptr ? DArray_count(pair->forwarded) : pair->forwardedCount;
}

void msnFreeHistories(MsnHistoryPair *pair) {
    DArray_free(pair->received);
    DArray_free(pair->forwarded);
    *pair = MsnHistoryPair{nullptr, nullptr, 0};
}
