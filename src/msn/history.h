// The relay's record of one direction: the bytes received and the bytes
// forwarded, logged when the relay ends if the two differ.
#pragma once

#include <cstdint>

#include "containers/darray.h"

// While every forwarded byte equals the received byte at the same position,
// which is what a relay that changes nothing sees, the forwarded history is
// only a count into the received one; it gets bytes of its own when the two
// first differ. Each history is one byte string: grown by doubling, so that
// it costs amortised linear time, and contiguous, so that it is logged as it
// stands, without another copy of what may be megabytes.
struct MsnHistoryPair {
    DArray *received;  // NULL until the first byte
    DArray *forwarded; // NULL while not split
    int32_t forwardedCount;
};

// Each append is whole or not at all: bytes that find no memory are left
// out of that history, and the histories then differ.
void msnRecordReceived(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count);
void msnRecordForwarded(MsnHistoryPair *pair, const uint8_t *bytes, int32_t count);

bool msnHistoriesDiffer(const MsnHistoryPair *pair);

// Each history as zero-terminated text; "" when it cannot be terminated.
// The forwarded text of histories that were never split is the start of the
// received bytes, terminated in place: ask for it last, once the received
// text is no longer needed.
const char *msnReceivedText(MsnHistoryPair *pair);
const char *msnTakeForwardedText(MsnHistoryPair *pair);

int32_t msnReceivedCount(const MsnHistoryPair *pair);
int32_t msnForwardedCount(const MsnHistoryPair *pair);

void msnFreeHistories(MsnHistoryPair *pair);
