// The MSN command framer: cuts one relay direction into command lines and
// their payloads, and writes every handled command back into an out buffer.
#pragma once

#include <cstdint>

#include "containers/darray.h"
#include "msn/relay.h"

enum : uint32_t {
    MSN_CMD_LOGIN = 0,
    MSN_CMD_TEXT = 1,
    MSN_CMD_FILE = 2,
    MSN_CMD_DATACAST = 3,
    MSN_CMD_CALL = 4,
    MSN_CMD_ROSTER = 5,
    MSN_CMD_JOIN = 6,
    MSN_CMD_P2P_ACCEPT = 7,
    MSN_CMD_PRESENCE = 8,
    MSN_CMD_OTHER = 9,
};

// Positions in MsnCommand::items.
enum : int32_t {
    kMsnItemLine = 0,    // the command line without its CR LF
    kMsnItemPayload = 1, // the bytes after the CR LF
    kMsnItemTokens = 2,  // token list of the line
    kMsnItemHeaders = 3, // MSG with a Content-Type: header block
    kMsnItemBody = 4,    // MSG with a Content-Type: body
};

struct MsnCommand {
    uint32_t type;
    uint32_t fromClient;
    const char *address; // points into a token; NULL when none
    uint16_t textLength;
    const char *text; // points into the body; NULL when none
    DArray *items;    // references to byte strings (and the token list)
};

// A direction never holds more than this for one command (line and
// payload); a command announcing more is dropped like a malformed one. Real
// MSN payloads stay far below it, and a text body of more than 65535 bytes
// still fits.
constexpr int32_t kMsnMaxCommandSize = 256 * 1024;
// A direction never holds more than this of a line still missing its CR LF.
constexpr int32_t kMsnMaxLineSize = 64 * 1024;

// Frames count bytes of the given direction (0 client -> server, 1 server ->
// client) of the instance and appends the handled commands to out.
void frameBytes(uint32_t id, const uint8_t *bytes, int32_t count, int direction, DArray *out);
// The same for a record the caller already holds.
void msnFrameBytes(uint32_t id, MsnInstanceData *data, const uint8_t *bytes, int32_t count,
                   int direction, DArray *out);

// Splits line (which must hold a CR LF) into the record's items and runs the
// command's parse function: 0 complete, > 0 payload bytes missing, < 0 the
// command cannot be handled. On a non-zero result the items are emptied.
int32_t parseCommand(DArray *line, MsnCommand *command);

// Writes the command (or what takes its place) to out and frees its items.
void emitCommand(MsnCommand *command, int32_t blocked, DArray *out);

// Frees every byte string and the token list the items refer to and empties
// the items list (the list itself remains).
void msnFreeCommandItems(MsnCommand *command);

// Item index of a parsed command; NULL when the command has no such item.
DArray *msnCommandItem(const MsnCommand *command, int32_t index);
