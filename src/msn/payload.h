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

int32_t parseMsg(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t outputMsg(MsnCommand *command, DArray *out, int32_t blocked);
void replaceBody(const uint8_t *bytes, uint64_t count, MsnCommand *command);

// Header name -> zero-terminated value (char*, owned by the table's user).
// NULL when block is NULL or memory runs out.
HashTable *parseHeaderLines(DArray *block);
void freeHeaderTable(HashTable *table);

// The value of a header, or NULL.
const char *msnHeaderValue(const HashTable *table, const char *name);
