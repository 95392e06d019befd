// The MSN command table: for each command the framer handles, the function
// that parses it and the function that writes it out again.
#pragma once

#include <cstdint>

#include "containers/darray.h"
#include "containers/hash_table.h"
#include "msn/framing.h"

// (command line without CR LF, token list, payload, record) -> 0 complete,
// > 0 payload bytes missing, < 0 cannot be handled.
using MsnParseFn = int32_t (*)(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
// (record, out buffer, blocked) -> 0; appends what takes the command's place.
using MsnOutputFn = int32_t (*)(MsnCommand *command, DArray *out, int32_t blocked);

struct MsnCommandEntry {
    MsnParseFn parse;
    MsnOutputFn output;
};

constexpr uint32_t kMsnCommandKeySize = 3;
constexpr int32_t kMsnCommandCount = 21;

// Built by the MSN init slot, destroyed by its shutdown slot; read-only
// while relays run.
extern HashTable *MsnCommandTable;

// 0 when the table exists afterwards, 1 when memory ran out.
int32_t msnBuildCommandTable();
void msnDestroyCommandTable();

// Looks up the first three bytes of text (length bytes long); false when
// they name no command or there is no table.
bool msnLookupCommand(const uint8_t *text, int32_t length, MsnCommandEntry *entry);

int32_t parsePayloadLength(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseQry(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseUsr(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseAns(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseCal(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseIro(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseJoi(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseNln(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);
int32_t parseIln(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command);

int32_t outputPassThrough(MsnCommand *command, DArray *out, int32_t blocked);
int32_t outputUnlessHeaders(MsnCommand *command, DArray *out, int32_t blocked);
int32_t outputUsr(MsnCommand *command, DArray *out, int32_t blocked);
int32_t outputCal(MsnCommand *command, DArray *out, int32_t blocked);

// Appends the command unchanged: its line, CR LF and its payload.
void msnAppendUnchanged(const MsnCommand *command, DArray *out);
// Appends a zero-terminated text.
void msnAppendText(const char *text, DArray *out);
