// The MSN command table: for each command the framer handles, the function
// that parses it and the function that writes it out again, with the
// parse and output functions of the commands other than MSG.
#pragma once

#include <cstdint>

#include "containers/darray.h"
#include "containers/hash_table.h"
#include "msn/framing.h"
#include "msn/payload.h"

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

// Points the record at a unit (which must hold a CR LF) and runs its
// command's parse function: 0 complete, > 0 payload bytes missing, < 0 the
// command cannot be handled. lineSize: where the line's CR LF starts, when
// the caller knows it; else -1.
int32_t parseCommand(const uint8_t *unit, int32_t size, int32_t lineSize, MsnCommand *command);
// Parses a command again once its payload is there (size bytes from the
// start of its line); the line and its tokens are those parseCommand saw.
int32_t parseCommandAgain(const uint8_t *unit, int32_t size, MsnCommand *command);

// Writes the command, or what takes its place, to out; a command that finds
// no memory for its output is dropped whole.
void emitCommand(MsnCommand *command, int32_t blocked, DArray *out);

int32_t parsePayloadLength(MsnCommand *command);
int32_t parseQry(MsnCommand *command);
int32_t parseUsr(MsnCommand *command);
int32_t parseAns(MsnCommand *command);
int32_t parseCal(MsnCommand *command);
int32_t parseIro(MsnCommand *command);
int32_t parseJoi(MsnCommand *command);
int32_t parseNln(MsnCommand *command);
int32_t parseIln(MsnCommand *command);

int32_t outputPassThrough(MsnCommand *command, DArray *out, int32_t blocked);
int32_t outputUnlessHeaders(MsnCommand *command, DArray *out, int32_t blocked);
int32_t outputUsr(MsnCommand *command, DArray *out, int32_t blocked);
int32_t outputCal(MsnCommand *command, DArray *out, int32_t blocked);
