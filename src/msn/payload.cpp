#include "msn/payload.h"

#include <climits>
#include <cstring>

#include "containers/alloc.h"

namespace {

constexpr const char kBlankLine[] = "\r\n\r\n";
constexpr int32_t kBlankLineSize = 4;
constexpr const char kP2pAcceptance[] = "200 OK";
constexpr int32_t kP2pAcceptanceSize = 6;
constexpr int32_t kMaxDecimalSize = 11;
// Bytes of a rebuilt MSG line gathered before they are appended.
constexpr int32_t kMsnPrefixSize = 256;

void msnFreeHeaderValue(const HashTable *table, const uint8_t *name, int32_t nameLength) {
    char *value = nullptr;
    if (HashTable_find(name, nameLength, &value, table) == HT_OK) {
        qmxFree(value);
    }
}

char *msnCopyValue(const uint8_t *start, size_t length) {
    auto *value = static_cast<char *>(qmxMalloc(length + 1));
    if (value != nullptr) {
        std::memcpy(value, start, length);
        value[length] = '\0';
    }
    return value;
}

void msnStoreHeader(const MsnHeaderWalk &walk, HashTable *table) {
    if (walk.nameSize > kMsnHeaderNameSize) {
        return;
    }
    char *copy = msnCopyValue(walk.value, static_cast<size_t>(walk.valueSize));
    if (copy == nullptr) {
        return;
    }
    // The last occurrence of a repeated header wins; the earlier value text
    // is freed here since the table only copies the reference.
    msnFreeHeaderValue(table, walk.name, walk.nameSize);
    if (HashTable_insert(walk.name, walk.nameSize, &copy, table) == HT_NOT_FOUND) {
        qmxFree(copy);
    }
}

// The value of the last header line with this exact name (as a table of the
// block's headers would hold it); false when there is none.
bool msnFindHeader(const uint8_t *block, int32_t size, const char *name, const uint8_t **value,
                   int32_t *valueSize) {
    const auto nameSize = static_cast<int32_t>(std::strlen(name));
    bool found = false;
    MsnHeaderWalk walk = msnStartHeaderWalk(block, size);
    while (msnNextHeader(&walk)) {
        if (walk.nameSize == nameSize &&
            std::memcmp(walk.name, name, static_cast<size_t>(walk.nameSize)) == 0) {
            *value = walk.value;
            *valueSize = walk.valueSize;
            found = true;
        }
    }
    return found;
}

// A header value holds no zero byte, so a plain search is what a substring
// search in its zero-terminated copy would find.
bool msnContains(const uint8_t *value, int32_t size, const char *part) {
    return msnFindBytes(value, size, part, static_cast<int64_t>(std::strlen(part))) >= 0;
}

uint32_t msnClassifyMsg(const uint8_t *contentType, int32_t contentTypeSize,
                        const MsnCommand *command) {
    if (msnContains(contentType, contentTypeSize, "text/plain")) {
        return MSN_CMD_TEXT;
    }
    if (msnContains(contentType, contentTypeSize, "text/x-msmsgsinvite")) {
        const uint8_t *invitation = nullptr;
        int32_t commandSize = 0;
        const bool invite = msnFindHeader(command->body, command->bodySize, "Invitation-Command",
                                          &invitation, &commandSize) &&
                            msnContains(invitation, commandSize, "INVITE");
        return invite ? MSN_CMD_FILE : MSN_CMD_OTHER;
    }
    if (msnContains(contentType, contentTypeSize, "application/x-msnmsgrp2p")) {
        const bool accepted =
            msnFindBytes(command->body, command->bodySize, kP2pAcceptance, kP2pAcceptanceSize) >= 0;
        return accepted ? MSN_CMD_P2P_ACCEPT : MSN_CMD_OTHER;
    }
    if (msnContains(contentType, contentTypeSize, "text/x-msnmsgr-datacast")) {
        return MSN_CMD_DATACAST;
    }
    return MSN_CMD_OTHER;
}

const uint8_t *msnBodyBytes(const MsnCommand *command, int32_t *size) {
    if (command->replaced) {
        *size = DArray_count(command->replacement);
        return static_cast<const uint8_t *>(DArray_data(command->replacement));
    }
    *size = command->bodySize;
    return command->body;
}

} // namespace

MsnHeaderWalk msnStartHeaderWalk(const uint8_t *block, int32_t size) {
    MsnHeaderWalk walk{};
    walk.block = block;
    walk.size = block != nullptr && size > 0 ? size : 0;
    const void *zero =
        walk.size > 0 ? std::memchr(walk.block, 0, static_cast<size_t>(walk.size)) : nullptr;
    walk.zero = zero != nullptr ? static_cast<int32_t>(static_cast<const uint8_t *>(zero) - block)
                                : INT32_MAX;
    return walk;
}

bool msnNextHeader(MsnHeaderWalk *walk) {
    const uint8_t *block = walk->block;
    const int32_t size = walk->size;
    while (walk->position <= size) {
        const int32_t start = walk->position;
        // The line ends at the block's own CR LF, or at the CR LF appended
        // to the block.
        int32_t end = start;
        for (;;) {
            const void *cr = end < size
                                 ? std::memchr(block + end, '\r', static_cast<size_t>(size - end))
                                 : nullptr;
            if (cr == nullptr) {
                end = size;
                break;
            }
            end = static_cast<int32_t>(static_cast<const uint8_t *>(cr) - block);
            if (end + 1 < size && block[end + 1] == '\n') {
                break;
            }
            ++end;
        }
        if (walk->zero >= start && walk->zero < end) {
            walk->position = size + 1;
            return false;
        }
        walk->position = end + 2;
        for (int32_t at = start; at < end;) {
            const void *colon = std::memchr(block + at, ':', static_cast<size_t>(end - at));
            if (colon == nullptr) {
                break;
            }
            at = static_cast<int32_t>(static_cast<const uint8_t *>(colon) - block);
            if (at + 1 < end && block[at + 1] == ' ') {
                walk->name = block + start;
                walk->nameSize = at - start;
                walk->value = block + at + 2;
                walk->valueSize = end - at - 2;
                return true;
            }
            ++at;
        }
    }
    return false;
}

const char *msnHeaderValue(const HashTable *table, const char *name) {
    char *value = nullptr;
    if (table == nullptr ||
        HashTable_find(name, static_cast<int32_t>(std::strlen(name)), &value, table) != HT_OK) {
        return nullptr;
    }
    return value;
}

HashTable *parseHeaderLines(DArray *block) {
    if (block == nullptr) {
        return nullptr;
    }
    HashTable *table = HashTable_create(1, kMsnHeaderNameSize, sizeof(char *), 1);
    if (table == nullptr) {
        return nullptr;
    }
    MsnHeaderWalk walk =
        msnStartHeaderWalk(static_cast<const uint8_t *>(DArray_data(block)), DArray_count(block));
    while (msnNextHeader(&walk)) {
        msnStoreHeader(walk, table);
    }
    return table;
}

void freeHeaderTable(HashTable *table) {
    if (table == nullptr) {
        return;
    }
    char name[kMsnHeaderNameSize];
    char *value = nullptr;
    HashTable_rewind(table);
    while (HashTable_next(name, &value, table) == HT_OK) {
        qmxFree(value);
    }
    HashTable_destroy(table);
}

int32_t parseMsg(MsnCommand *command) {
    const int32_t announced =
        command->tokenCount > 0 ? msnParseDecimal(msnToken(command, command->tokenCount - 1)) : 0;
    if (command->payloadSize < announced) {
        return announced - command->payloadSize;
    }
    const int64_t blank = msnFindText(command->payload, command->payloadSize, kBlankLine);
    if (blank < 0) {
        return -1;
    }
    const uint8_t *contentType = nullptr;
    int32_t contentTypeSize = 0;
    command->headers = command->payload;
    command->headerSize = static_cast<int32_t>(blank);
    if (!msnFindHeader(command->headers, command->headerSize, "Content-Type", &contentType,
                       &contentTypeSize)) {
        return 0; // no Content-Type: written out unchanged
    }
    command->hasParts = true;
    command->body = command->payload + blank + kBlankLineSize;
    command->bodySize = command->payloadSize - command->headerSize - kBlankLineSize;
    command->replaced = false;
    command->type = msnClassifyMsg(contentType, contentTypeSize, command);
    if (command->type == MSN_CMD_TEXT) {
        // The framer zero-terminates the body while the host looks at it.
        command->text = reinterpret_cast<const char *>(command->body);
        // The event record carries 16 bits: a longer body is reported
        // modulo 65536 and still forwarded whole.
        command->textLength = static_cast<uint16_t>(command->bodySize);
    }
    return 0;
}

int32_t outputMsg(MsnCommand *command, DArray *out, int32_t blocked) {
    if (!command->hasParts || command->type != MSN_CMD_TEXT) {
        if (blocked == 0) {
            msnAppendUnchanged(command, out);
        }
        return 0;
    }
    if (blocked != 0) {
        return 0;
    }
    // Every token but the last, each followed by one space, then the length
    // the rebuilt payload really has: gathered first, since it is short and
    // goes out in one append.
    const auto *chars = static_cast<const char *>(DArray_data(command->tokenText));
    const int32_t end = command->tokenCount > 0 ? command->lastTokenStart : 0;
    char prefix[kMsnPrefixSize];
    int32_t prefixSize = 0;
    for (int32_t i = 0; i < end; ++i) {
        if (chars[i] == '\0') {
            continue;
        }
        if (prefixSize + 1 >= kMsnPrefixSize) {
            DArray_appendRun(prefix, prefixSize, out);
            prefixSize = 0;
        }
        prefix[prefixSize++] = chars[i];
        if (chars[i + 1] == '\0') {
            prefix[prefixSize++] = ' ';
        }
    }
    int32_t bodySize = 0;
    const uint8_t *body = msnBodyBytes(command, &bodySize);
    if (prefixSize + kMaxDecimalSize + 2 > kMsnPrefixSize) {
        DArray_appendRun(prefix, prefixSize, out);
        prefixSize = 0;
    }
    prefixSize +=
        msnFormatDecimal(command->headerSize + kBlankLineSize + bodySize, prefix + prefixSize);
    prefix[prefixSize++] = '\r';
    prefix[prefixSize++] = '\n';
    if (command->inPlaceAllowed && !command->replaced && prefixSize == command->lineSize + 2 &&
        std::memcmp(prefix, command->line, static_cast<size_t>(prefixSize)) == 0) {
        // The rebuilt line is the line as it came (the line's CR LF follows
        // it in the unit): the whole command goes out unchanged.
        msnAppendUnchanged(command, out);
        return 0;
    }
    DArray_appendRun(prefix, prefixSize, out);
    if (!command->replaced) {
        // Header block, blank line and body are the payload as it came.
        DArray_appendRun(command->payload, command->payloadSize, out);
        return 0;
    }
    DArray_appendRun(command->headers, command->headerSize, out);
    DArray_appendRun(kBlankLine, kBlankLineSize, out);
    DArray_appendRun(body, bodySize, out);
    return 0;
}

void replaceBody(const uint8_t *bytes, uint64_t count, MsnCommand *command) {
    if (bytes == nullptr || count == 0 || !command->hasParts || command->type != MSN_CMD_TEXT) {
        return;
    }
    // The rewritten length must still be a 32-bit signed decimal.
    const uint64_t room = static_cast<uint64_t>(INT32_MAX) - kBlankLineSize -
                          static_cast<uint64_t>(command->headerSize);
    if (count > room) {
        return;
    }
    // Without memory for the new body the message goes out with an empty
    // one, as it always has.
    DArray_clear(command->replacement);
    DArray_appendRun(bytes, static_cast<int32_t>(count), command->replacement);
    command->replaced = true;
}
