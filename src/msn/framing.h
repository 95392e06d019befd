// MSN command framing: where the next command of a direction ends in its
// pending bytes, and the record of one framed command (a view of those
// bytes plus its tokens), with the helpers that write a command out again.
#pragma once

#include <cstdint>

#include "containers/darray.h"
#include "msn/session.h"
#include "msn/text.h"

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

// A direction never holds more than this for one command (line and
// payload); a command announcing more is dropped like a malformed one. Real
// MSN payloads stay far below it, and a text body of more than 65535 bytes
// still fits.
constexpr int32_t kMsnMaxCommandSize = 256 * 1024;
// A direction never holds more than this of a line still missing its CR LF.
constexpr int32_t kMsnMaxLineSize = 64 * 1024;

// Tokens the parse and output functions name by position; beyond these
// only the last token and the token count are kept.
constexpr int32_t kMsnTokenSlots = 6;

struct MsnCommand;
// (record) -> 0 complete, > 0 payload bytes missing, < 0 cannot be handled.
using MsnParseFn = int32_t (*)(MsnCommand *command);
// (record, out buffer, blocked) -> 0; appends what takes the command's place.
using MsnOutputFn = int32_t (*)(MsnCommand *command, DArray *out, int32_t blocked);

// What the command table holds for one command.
struct MsnCommandEntry {
    MsnParseFn parse;
    MsnOutputFn output;
};

// One framed command. Its bytes stay in the direction's pending buffer
// while it is parsed, decided on and written out; the record only points
// at them, and its tokens live in the direction's scratch.
struct MsnCommand {
    char *address;          // a token (in the scratch); NULL when none
    const char *text;       // a text message's body; NULL when none
    const uint8_t *line;    // the command line, without its CR LF
    const uint8_t *payload; // the bytes after the CR LF
    // A MSG payload with a Content-Type header: the header block before the
    // blank line and the body after it (when hasParts).
    const uint8_t *headers;
    const uint8_t *body;
    DArray *tokenText;     // the line with every space made a zero byte
    DArray *replacement;   // scratch: the body the host asked for
    MsnCommandEntry entry; // from the command table, when found there
    uint32_t type;
    uint32_t fromClient;
    int32_t lineSize;
    int32_t payloadSize;
    int32_t headerSize;
    int32_t bodySize;
    int32_t tokenCount;
    int32_t tokenStart[kMsnTokenSlots];
    int32_t lastTokenStart;
    uint16_t textLength; // a text message's body length, modulo 65536
    bool hasParts;
    bool replaced;
    bool inTable;
    // A large command that opens a read's output and goes out as it came
    // need not be copied: the framer hands the pending block over as the
    // output instead (see msnAppendUnchanged).
    bool inPlaceAllowed;
    bool forwardedInPlace;
};

// A new record for a command of the given direction, using its scratch.
MsnCommand msnNewCommand(MsnDirection *direction, int directionIndex);

// Points the record at a unit of pending bytes (a command line with its CR
// LF, or a line and its payload) and splits the line into tokens. False
// when the unit holds no CR LF or the scratch cannot grow. lineSize is where
// the line's CR LF starts when the caller knows it, else -1.
bool msnSetCommandBytes(const uint8_t *unit, int32_t size, int32_t lineSize, MsnCommand *command);

// Points the record at the same line with more of its payload behind it,
// keeping the tokens already split.
void msnExtendCommandBytes(const uint8_t *unit, int32_t size, MsnCommand *command);

// Zero-terminated token i; NULL when there is no such token or it is one
// of the middle tokens beyond kMsnTokenSlots.
char *msnToken(const MsnCommand *command, int32_t index);

// The next unit at the head of a direction's pending bytes.
struct MsnUnit {
    int32_t size;   // 0: not complete yet
    bool malformed; // a line end that a zero byte hides from the line search
};
MsnUnit msnNextUnit(const MsnDirection *direction, int32_t *searched, const uint8_t *bytes,
                    int32_t count);

// Makes room in out for count more bytes before anything is written, so
// that output functions, which ignore failed appends, never leave half a
// command in the stream. False when memory runs out.
bool msnReserveOutput(int32_t count, DArray *out);

// Appends the command unchanged: its line, CR LF and its payload. Where the
// framer allows it and out is still empty, only marks the command as
// forwarded in place, and the framer puts its bytes in out.
void msnAppendUnchanged(MsnCommand *command, DArray *out);
// Appends a zero-terminated text.
void msnAppendText(const char *text, DArray *out);
