// The relay's record of one direction: the bytes received and the bytes
// forwarded, logged when the relay ends if the two differ.
#pragma once

#include <cstdint>

// A byte history kept as a chain of blocks, so that growing it never copies
// (or faults in again) what it already holds.
struct MsnHistoryBlock;
struct MsnHistory {
    MsnHistoryBlock *head;
    MsnHistoryBlock *tail;
    int64_t count;
};

// While every forwarded byte equals the received byte at the same position,
// which is what a relay that changes nothing sees, the forwarded history is
// only a count into the received one. It gets bytes of its own when the two
// first differ.
struct MsnHistoryPair {
    MsnHistory received;
    MsnHistory forwarded; // empty while not split
    int64_t forwardedCount;
    // The received block that holds byte forwardedCount, and where that
    // block starts, so that a comparison does not walk the chain anew.
    const MsnHistoryBlock *cursor;
    int64_t cursorStart;
    bool split;
};

// Each append is whole or not at all: bytes that find no memory are left
// out of that history, and the histories then differ.
void msnRecordReceived(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count);
void msnRecordForwarded(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count);

bool msnHistoriesDiffer(const MsnHistoryPair *pair);

// A zero-terminated copy of the received or forwarded bytes; NULL when memory
// runs out. Freed with qmxFree.
char *msnReceivedText(const MsnHistoryPair *pair);
char *msnForwardedText(const MsnHistoryPair *pair);
int32_t msnReceivedCount(const MsnHistoryPair *pair);
int32_t msnForwardedCount(const MsnHistoryPair *pair);

void msnFreeHistories(MsnHistoryPair *pair);
