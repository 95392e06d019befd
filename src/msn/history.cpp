#include "msn/history.h"

#include <climits>
#include <cstring>

#include "containers/alloc.h"

struct MsnHistoryBlock {
    MsnHistoryBlock *next;
    int64_t used;
    int64_t size;
    // the bytes follow the header
};

namespace {

// Small relays stay small; long ones take blocks that the heap serves from
// its arena (below the size it would map afresh), so a history costs no page
// faults once the process has warmed up.
constexpr int64_t kMsnFirstBlockSize = int64_t{4} * 1024;
constexpr int64_t kMsnLargestBlockSize = int64_t{64} * 1024;
// A history is logged with "%d", as the byte string it replaces counted.
constexpr int64_t kMsnHistoryLimit = INT32_MAX - 1;

uint8_t *msnBlockBytes(MsnHistoryBlock *block) { return reinterpret_cast<uint8_t *>(block + 1); }
const uint8_t *msnBlockBytes(const MsnHistoryBlock *block) {
    return reinterpret_cast<const uint8_t *>(block + 1);
}

bool msnHistoryAppend(MsnHistory *history, const uint8_t *bytes, int64_t count) {
    if (count <= 0) {
        return true;
    }
    if (history->count + count > kMsnHistoryLimit) {
        return false;
    }
    MsnHistoryBlock *tail = history->tail;
    const int64_t room = tail != nullptr ? tail->size - tail->used : 0;
    MsnHistoryBlock *added = nullptr;
    if (room < count) {
        int64_t size = tail != nullptr ? tail->size * 2 : kMsnFirstBlockSize;
        size = size < kMsnLargestBlockSize ? size : kMsnLargestBlockSize;
        size = size > count - room ? size : count - room;
        added = static_cast<MsnHistoryBlock *>(
            qmxMalloc(sizeof(MsnHistoryBlock) + static_cast<size_t>(size)));
        if (added == nullptr) {
            return false;
        }
        added->next = nullptr;
        added->used = 0;
        added->size = size;
    }
    const int64_t first = room < count ? room : count;
    if (first > 0) {
        std::memcpy(msnBlockBytes(tail) + tail->used, bytes, static_cast<size_t>(first));
        tail->used += first;
    }
    if (added != nullptr) {
        std::memcpy(msnBlockBytes(added), bytes + first, static_cast<size_t>(count - first));
        added->used = count - first;
        if (tail != nullptr) {
            tail->next = added;
        } else {
            history->head = added;
        }
        history->tail = added;
    }
    history->count += count;
    return true;
}

// Whether the history holds exactly these bytes from offset on. The search
// starts at *block (which starts at *blockStart, not past offset), or at the
// head when *block is NULL; it leaves them at the block holding offset +
// count when the bytes match.
bool msnHistoryMatches(const MsnHistory *history, int64_t offset, const uint8_t *bytes,
                       int64_t count, const MsnHistoryBlock **block, int64_t *blockStart) {
    if (offset + count > history->count) {
        return false;
    }
    const MsnHistoryBlock *at = *block != nullptr ? *block : history->head;
    int64_t atStart = *block != nullptr ? *blockStart : 0;
    while (at != nullptr && offset - atStart >= at->used) {
        atStart += at->used;
        at = at->next;
    }
    int64_t within = offset - atStart;
    while (count > 0 && at != nullptr) {
        const int64_t piece = at->used - within < count ? at->used - within : count;
        if (std::memcmp(msnBlockBytes(at) + within, bytes, static_cast<size_t>(piece)) != 0) {
            return false;
        }
        bytes += piece;
        count -= piece;
        within += piece;
        if (within == at->used && count > 0) {
            atStart += at->used;
            at = at->next;
            within = 0;
        }
    }
    if (count != 0) {
        return false;
    }
    *block = at;
    *blockStart = atStart;
    return true;
}

// Copies the first count bytes of one history onto the end of another.
bool msnHistoryAppendPrefix(const MsnHistory *from, int64_t count, MsnHistory *to) {
    for (const MsnHistoryBlock *block = from->head; block != nullptr && count > 0;
         block = block->next) {
        const int64_t piece = block->used < count ? block->used : count;
        if (!msnHistoryAppend(to, msnBlockBytes(block), piece)) {
            return false;
        }
        count -= piece;
    }
    return true;
}

void msnHistoryFree(MsnHistory *history) {
    MsnHistoryBlock *block = history->head;
    while (block != nullptr) {
        MsnHistoryBlock *next = block->next;
        qmxFree(block);
        block = next;
    }
    *history = MsnHistory{nullptr, nullptr, 0};
}

char *msnHistoryText(const MsnHistory *history, int64_t count) {
    auto *text = static_cast<char *>(qmxMalloc(static_cast<size_t>(count) + 1));
    if (text == nullptr) {
        return nullptr;
    }
    int64_t copied = 0;
    for (const MsnHistoryBlock *block = history->head; block != nullptr && copied < count;
         block = block->next) {
        const int64_t piece = block->used < count - copied ? block->used : count - copied;
        std::memcpy(text + copied, msnBlockBytes(block), static_cast<size_t>(piece));
        copied += piece;
    }
    text[copied] = '\0';
    return text;
}

} // namespace

void msnRecordReceived(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count) {
    msnHistoryAppend(&pair->received, bytes, count);
}

void msnRecordForwarded(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count) {
    if (count <= 0) {
        return;
    }
    if (pair->split) {
        msnHistoryAppend(&pair->forwarded, bytes, count);
        return;
    }
    if (msnHistoryMatches(&pair->received, pair->forwardedCount, bytes, count, &pair->cursor,
                          &pair->cursorStart)) {
        pair->forwardedCount += count;
        return;
    }
    // The first difference: from here on the forwarded bytes need a copy
    // of their own. Without memory for it these bytes are left out, as an
    // append that fails would leave them out.
    if (!msnHistoryAppendPrefix(&pair->received, pair->forwardedCount, &pair->forwarded) ||
        !msnHistoryAppend(&pair->forwarded, bytes, count)) {
        msnHistoryFree(&pair->forwarded);
        return;
    }
    pair->split = true;
}

bool msnHistoriesDiffer(const MsnHistoryPair *pair) {
    if (!pair->split) {
        return pair->forwardedCount != pair->received.count;
    }
    if (pair->forwarded.count != pair->received.count) {
        return true;
    }
    // Equal counts after a split: compare block by block.
    int64_t offset = 0;
    const MsnHistoryBlock *cursor = nullptr;
    int64_t cursorStart = 0;
    for (const MsnHistoryBlock *block = pair->forwarded.head; block != nullptr;
         block = block->next) {
        if (!msnHistoryMatches(&pair->received, offset, msnBlockBytes(block), block->used, &cursor,
                               &cursorStart)) {
            return true;
        }
        offset += block->used;
    }
    return false;
}

char *msnReceivedText(const MsnHistoryPair *pair) {
    return msnHistoryText(&pair->received, pair->received.count);
}

char *msnForwardedText(const MsnHistoryPair *pair) {
    return pair->split ? msnHistoryText(&pair->forwarded, pair->forwarded.count)
                       : msnHistoryText(&pair->received, pair->forwardedCount);
}

int32_t msnReceivedCount(const MsnHistoryPair *pair) {
    return static_cast<int32_t>(pair->received.count);
}

int32_t msnForwardedCount(const MsnHistoryPair *pair) {
    return static_cast<int32_t>(pair->split ? pair->forwarded.count : pair->forwardedCount);
}

void msnFreeHistories(MsnHistoryPair *pair) {
    msnHistoryFree(&pair->received);
    msnHistoryFree(&pair->forwarded);
    pair->forwardedCount = 0;
    pair->cursor = nullptr;
    pair->cursorStart = 0;
    pair->split = false;
}
