#include "msn/commands.h"

#include <cstring>

#include "msn/payload.h"
#include "msn/text.h"

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

constexpr const char *kUsrRefusal = "USR user not allowed\r\n";
constexpr const char *kCalRefusal = "BLOCKED_CONTACT\r\n";

bool msnTokenIs(const DArray *tokens, int32_t index, const char *expected) {
    const char *token = msnTokenText(tokens, index);
    return token != nullptr && std::strcmp(token, expected) == 0;
}

// Sets type and address when the token exists; a missing token leaves the
// command as MSN_CMD_OTHER.
void msnTakeAddress(const DArray *tokens, int32_t index, uint32_t type, MsnCommand *command) {
    const char *address = msnTokenText(tokens, index);
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
    return 0;
}

void msnDestroyCommandTable() {
    HashTable_destroy(MsnCommandTable);
    MsnCommandTable = nullptr;
}

bool msnLookupCommand(const uint8_t *text, int32_t length, MsnCommandEntry *entry) {
    if (text == nullptr || length < static_cast<int32_t>(kMsnCommandKeySize)) {
        return false;
    }
    return HashTable_get(text, entry, MsnCommandTable) == HT_OK;
}

int32_t parsePayloadLength(DArray *, DArray *tokens, DArray *payload, MsnCommand *) {
    const int32_t tokenCount = DArray_count(tokens);
    const int32_t announced =
        tokenCount > 0 ? msnParseDecimal(msnTokenText(tokens, tokenCount - 1)) : 0;
    const int32_t present = DArray_count(payload);
    return present < announced ? announced - present : 0;
}

int32_t parseQry(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command) {
    if (DArray_count(tokens) == 2) {
        return 0;
    }
    return parsePayloadLength(line, tokens, payload, command);
}

int32_t parseUsr(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    if (msnTokenIs(tokens, 2, "TWN") || msnTokenIs(tokens, 2, "SSO")) {
        if (msnTokenIs(tokens, 3, "I")) {
            msnTakeAddress(tokens, 4, MSN_CMD_LOGIN, command);
        }
    } else if (!msnTokenIs(tokens, 2, "SHA") && !msnTokenIs(tokens, 2, "OK")) {
        msnTakeAddress(tokens, 2, MSN_CMD_LOGIN, command);
    }
    return 0;
}

int32_t parseAns(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    if (command->fromClient != 0) {
        msnTakeAddress(tokens, 2, MSN_CMD_LOGIN, command);
    }
    return 0;
}

int32_t parseCal(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    if (command->fromClient != 0) {
        msnTakeAddress(tokens, 2, MSN_CMD_CALL, command);
    }
    return 0;
}

int32_t parseIro(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    msnTakeAddress(tokens, 4, MSN_CMD_ROSTER, command);
    return 0;
}

int32_t parseJoi(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    msnTakeAddress(tokens, 1, MSN_CMD_JOIN, command);
    return 0;
}

int32_t parseNln(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    msnTakeAddress(tokens, 2, MSN_CMD_PRESENCE, command);
    return 0;
}

int32_t parseIln(DArray *, DArray *tokens, DArray *, MsnCommand *command) {
    msnTakeAddress(tokens, 3, MSN_CMD_PRESENCE, command);
    return 0;
}

void msnAppendText(const char *text, DArray *out) {
    if (text != nullptr) {
        DArray_appendRun(text, static_cast<int32_t>(std::strlen(text)), out);
    }
}

void msnAppendUnchanged(const MsnCommand *command, DArray *out) {
    DArray *line = msnCommandItem(command, kMsnItemLine);
    DArray *payload = msnCommandItem(command, kMsnItemPayload);
    DArray_appendRun(DArray_data(line), DArray_count(line), out);
    msnAppendText("\r\n", out);
    DArray_appendRun(DArray_data(payload), DArray_count(payload), out);
}

int32_t outputPassThrough(MsnCommand *command, DArray *out, int32_t blocked) {
    if (blocked == 0) {
        msnAppendUnchanged(command, out);
    }
    return 0;
}

// A UUN/UBN payload made of header lines is not passed on; other payloads
// (a single XML element, for example) are.
int32_t outputUnlessHeaders(MsnCommand *command, DArray *out, int32_t) {
    HashTable *headers = parseHeaderLines(msnCommandItem(command, kMsnItemPayload));
    if (HashTable_count(headers) == 0) {
        msnAppendUnchanged(command, out);
    }
    freeHeaderTable(headers);
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
    const DArray *tokens = msnCommandItem(command, kMsnItemTokens);
    msnAppendText(msnTokenText(tokens, 0), out);
    msnAppendText(" ", out);
    msnAppendText(msnTokenText(tokens, 1), out);
    msnAppendText(" ", out);
    msnAppendText(kCalRefusal, out);
    return 0;
}
