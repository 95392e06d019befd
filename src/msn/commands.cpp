#include "msn/commands.h"

#include <climits>
#include <cstring>

HashTable *MsnCommandTable = nullptr;

namespace {

static_assert(sizeof(MsnCommandEntry) == 16, "the table stores two function references per entry");

struct MsnCommandDefinition {
    const char *name;
    MsnCommandEntry entry;
};

// In insertion order.
const MsnCommandDefinition kMsnCommands[kMsnCommandCount] = {
    {"PAG", {parsePayloadLength, outputPassThrough}},
    {"NOT", {parsePayloadLength, outputPassThrough}},
    {"FQY", {parsePayloadLength, outputPassThrough}},
    {"GCF", {parsePayloadLength, outputPassThrough}},
    {"ADL", {parsePayloadLength, outputPassThrough}},
    {"RML", {parsePayloadLength, outputPassThrough}},
    {"UUX", {parsePayloadLength, outputPassThrough}},
    {"UBX", {parsePayloadLength, outputPassThrough}},
    {"NFY", {parsePayloadLength, outputPassThrough}},
    {"PUT", {parsePayloadLength, outputPassThrough}},
    {"UUN", {parsePayloadLength, outputUnlessHeaders}},
    {"UBN", {parsePayloadLength, outputUnlessHeaders}},
    {"MSG", {parseMsg, outputMsg}},
    {"QRY", {parseQry, outputPassThrough}},
    {"USR", {parseUsr, outputUsr}},
    {"CAL", {parseCal, outputCal}},
    {"ANS", {parseAns, outputPassThrough}},
    {"IRO", {parseIro, outputPassThrough}},
    {"JOI", {parseJoi, outputPassThrough}},
    {"NLN", {parseNln, outputPassThrough}},
    {"ILN", {parseIln, outputPassThrough}},
};

// Every key of the table is three capitals, so the table's entries can also
// be reached through a direct index by those letters: the framer looks a
// command up for every line, and hashing a three-byte key costs more than
// the rest of a short command's parse. Written with the table, by the init
// and shutdown slots only. 0: no entry; otherwise 1 + the entry's position.
constexpr int32_t kMsnLetters = 26;
uint8_t gMsnCommandIndex[kMsnLetters * kMsnLetters * kMsnLetters];
MsnCommandEntry gMsnIndexedEntries[kMsnCommandCount];

int32_t msnLetter(uint8_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' : -1; }

// The index slot of three capitals; -1 for any other key.
int32_t msnIndexSlot(const uint8_t *key) {
    const int32_t a = msnLetter(key[0]);
    const int32_t b = msnLetter(key[1]);
    const int32_t c = msnLetter(key[2]);
    if (a < 0 || b < 0 || c < 0) {
        return -1;
    }
    return (a * kMsnLetters + b) * kMsnLetters + c;
}

constexpr const char *kUsrRefusal = "USR user not allowed\r\n";
constexpr const char *kCalRefusal = "BLOCKED_CONTACT\r\n";
// Room for what an output function writes beyond the command's own bytes:
// a recomputed length, a refusal, the separators.
constexpr int32_t kMsnOutputSlack = 32;

bool msnTokenIs(const MsnCommand *command, int32_t index, const char *expected) {
    const char *token = msnToken(command, index);
    return token != nullptr && std::strcmp(token, expected) == 0;
}

// Sets type and address when the token exists; a missing token leaves the
// command as MSN_CMD_OTHER.
void msnTakeAddress(MsnCommand *command, int32_t index, uint32_t type) {
    char *address = msnToken(command, index);
    if (address != nullptr) {
        command->type = type;
        command->address = address;
    }
}

} // namespace

int32_t msnBuildCommandTable() {
    if (MsnCommandTable != nullptr) {
        return 0;
    }
    HashTable *table = HashTable_create(1, kMsnCommandKeySize, sizeof(MsnCommandEntry), 1);
    if (table == nullptr) {
        return 1;
    }
    for (const MsnCommandDefinition &command : kMsnCommands) {
        if (HashTable_put(command.name, &command.entry, table) != HT_OK) {
            HashTable_destroy(table);
            return 1;
        }
    }
    MsnCommandTable = table;
    // The index holds what the table answers, so the two cannot disagree.
    for (int32_t i = 0; i < kMsnCommandCount; ++i) {
        const auto *key = reinterpret_cast<const uint8_t *>(kMsnCommands[i].name);
        if (HashTable_get(key, &gMsnIndexedEntries[i], table) == HT_OK) {
            gMsnCommandIndex[msnIndexSlot(key)] = static_cast<uint8_t>(i + 1);
        }
    }
    return 0;
}

void msnDestroyCommandTable() {
    HashTable_destroy(MsnCommandTable);
    MsnCommandTable = nullptr;
    std::memset(gMsnCommandIndex, 0, sizeof gMsnCommandIndex);
}

bool msnLookupCommand(const uint8_t *text, int32_t length, MsnCommandEntry *entry) {
    if (text == nullptr || length < static_cast<int32_t>(kMsnCommandKeySize) ||
        MsnCommandTable == nullptr) {
        return false;
    }
    const int32_t slot = msnIndexSlot(text);
    if (slot < 0 || gMsnCommandIndex[slot] == 0) {
        return false;
    }
    *entry = gMsnIndexedEntries[gMsnCommandIndex[slot] - 1];
    return true;
}

int32_t parseCommand(const uint8_t *unit, int32_t size, int32_t lineSize, MsnCommand *command) {
    if (!msnSetCommandBytes(unit, size, lineSize, command)) {
        return -1;
    }
    // No key holds a CR, so looking the key up in the line with its CR LF
    // finds exactly the lines of three bytes or more that start with one.
    command->inTable = msnLookupCommand(unit, command->lineSize + 2, &command->entry);
    return command->inTable ? command->entry.parse(command) : 0;
}

int32_t parseCommandAgain(const uint8_t *unit, int32_t size, MsnCommand *command) {
    msnExtendCommandBytes(unit, size, command);
    return command->inTable ? command->entry.parse(command) : 0;
}

void emitCommand(MsnCommand *command, int32_t blocked, DArray *out) {
    const int32_t replacement = command->replaced ? DArray_count(command->replacement) : 0;
    const int64_t worst =
        int64_t{command->lineSize} + command->payloadSize + replacement + kMsnOutputSlack;
    if (worst > INT32_MAX || !msnReserveOutput(static_cast<int32_t>(worst), out)) {
        return; // out of memory: the command is dropped whole
    }
    if (command->inTable) {
        command->entry.output(command, out, blocked);
    } else if (blocked == 0) {
        msnAppendUnchanged(command, out);
    }
}

int32_t parsePayloadLength(MsnCommand *command) {
    const int32_t announced =
        command->tokenCount > 0 ? msnParseDecimal(msnToken(command, command->tokenCount - 1)) : 0;
    return command->payloadSize < announced ? announced - command->payloadSize : 0;
}

int32_t parseQry(MsnCommand *command) {
    return command->tokenCount == 2 ? 0 : parsePayloadLength(command);
}

int32_t parseUsr(MsnCommand *command) {
    if (msnTokenIs(command, 2, "TWN") || msnTokenIs(command, 2, "SSO")) {
        if (msnTokenIs(command, 3, "I")) {
            msnTakeAddress(command, 4, MSN_CMD_LOGIN);
        }
    } else if (!msnTokenIs(command, 2, "SHA") && !msnTokenIs(command, 2, "OK")) {
        msnTakeAddress(command, 2, MSN_CMD_LOGIN);
    }
    return 0;
}

int32_t parseAns(MsnCommand *command) {
    if (command->fromClient != 0) {
        msnTakeAddress(command, 2, MSN_CMD_LOGIN);
    }
    return 0;
}

int32_t parseCal(MsnCommand *command) {
    if (command->fromClient != 0) {
        msnTakeAddress(command, 2, MSN_CMD_CALL);
    }
    return 0;
}

int32_t parseIro(MsnCommand *command) {
    msnTakeAddress(command, 4, MSN_CMD_ROSTER);
    return 0;
}

int32_t parseJoi(MsnCommand *command) {
    msnTakeAddress(command, 1, MSN_CMD_JOIN);
    return 0;
}

int32_t parseNln(MsnCommand *command) {
    msnTakeAddress(command, 2, MSN_CMD_PRESENCE);
    return 0;
}

int32_t parseIln(MsnCommand *command) {
    msnTakeAddress(command, 3, MSN_CMD_PRESENCE);
    return 0;
}

int32_t outputPassThrough(MsnCommand *command, DArray *out, int32_t blocked) {
    if (blocked == 0) {
        msnAppendUnchanged(command, out);
    }
    return 0;
}

// A UUN/UBN payload made of header lines is not passed on; other payloads
// (a single XML element, for example) are. A line counts as a header as it
// would in a header table: its name fits the table's key size.
int32_t outputUnlessHeaders(MsnCommand *command, DArray *out, int32_t) {
    MsnHeaderWalk walk = msnStartHeaderWalk(command->payload, command->payloadSize);
    bool headers = false;
    while (!headers && msnNextHeader(&walk)) {
        headers = walk.nameSize <= kMsnHeaderNameSize;
    }
    if (!headers) {
        msnAppendUnchanged(command, out);
    }
    return 0;
}

int32_t outputUsr(MsnCommand *command, DArray *out, int32_t blocked) {
    if (blocked != 0) {
        msnAppendText(kUsrRefusal, out);
    } else {
        msnAppendUnchanged(command, out);
    }
    return 0;
}

int32_t outputCal(MsnCommand *command, DArray *out, int32_t blocked) {
    if (blocked == 0) {
        msnAppendUnchanged(command, out);
        return 0;
    }
    msnAppendText(msnToken(command, 0), out);
    msnAppendText(" ", out);
    msnAppendText(msnToken(command, 1), out);
    msnAppendText(" ", out);
    msnAppendText(kCalRefusal, out);
    return 0;
}
