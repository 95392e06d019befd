// The MSG payload filter: classifies a MIME-style MSG payload by its
// Content-Type and writes text messages out with their length recomputed.
#pragma once

#include <cstdint>

#include "containers/darray.h"
#include "containers/hash_table.h"
#include "msn/framing.h"

// Header names longer than this are not stored (no lookup uses one longer
// than 18 bytes), so that a walk over the table needs a bounded key buffer.
constexpr int32_t kMsnHeaderNameSize = 128;

int32_t parseMsg(MsnCommand *command);
int32_t outputMsg(MsnCommand *command, DArray *out, int32_t blocked);
void replaceBody(const uint8_t *bytes, uint64_t count, MsnCommand *command);

// One header line of a block, as the header parser sees it: the block with
// CR LF appended, cut into CR LF-terminated lines, a zero byte ending the
// walk, and a line a header when it holds ": ".
struct MsnHeaderWalk {
    const uint8_t *block;
    int32_t size;
    int32_t position; // where the next line starts; past size when done
    int32_t zero;     // the first zero byte; INT32_MAX when there is none
    const uint8_t *name;
    int32_t nameSize;
    const uint8_t *value;
    int32_t valueSize;
};
MsnHeaderWalk msnStartHeaderWalk(const uint8_t *block, int32_t size);
// Moves to the next header line; false when there is none.
bool msnNextHeader(MsnHeaderWalk *walk);

// Header name -> zero-terminated value (char*, owned by the table's user).
// NULL when block is NULL or memory runs out.
HashTable *parseHeaderLines(DArray *block);
void freeHeaderTable(HashTable *table);

// The value of a header, or NULL.
const char *msnHeaderValue(const HashTable *table, const char *name);
