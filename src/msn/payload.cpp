#include "msn/payload.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "containers/alloc.h"
#include "msn/commands.h"
#include "msn/text.h"

namespace {

constexpr const char kBlankLine[] = "\r\n\r\n";
constexpr int32_t kBlankLineSize = 4;
constexpr const char kP2pAcceptance[] = "200 OK";
constexpr int32_t kP2pAcceptanceSize = 6;

void msnFreeHeaderValue(const HashTable *table, const char *name, int32_t nameLength) {
    char *value = nullptr;
    if (HashTable_find(name, nameLength, &value, table) == HT_OK) {
        qmxFree(value);
    }
}

char *msnCopyValue(const char *start, size_t length) {
    auto *value = static_cast<char *>(qmxMalloc(length + 1));
    if (value != nullptr) {
        std::memcpy(value, start, length);
        value[length] = '\0';
    }
    return value;
}

void msnStoreHeader(const char *name, size_t nameLength, const char *value, size_t valueLength,
                    HashTable *table) {
    if (nameLength > static_cast<size_t>(kMsnHeaderNameSize)) {
        return;
    }
    char *copy = msnCopyValue(value, valueLength);
    if (copy == nullptr) {
        return;
    }
    const auto keyLength = static_cast<int32_t>(nameLength);
    // The last occurrence of a repeated header wins; the earlier value text
    // is freed here since the table only copies the reference.
    msnFreeHeaderValue(table, name, keyLength);
    if (HashTable_insert(name, keyLength, &copy, table) == HT_NOT_FOUND) {
        qmxFree(copy);
    }
}

bool msnContains(const char *value, const char *part) {
    return value != nullptr && std::strstr(value, part) != nullptr;
}

uint32_t msnClassifyMsg(const char *contentType, DArray *body) {
    if (msnContains(contentType, "text/plain")) {
        return MSN_CMD_TEXT;
    }
    if (msnContains(contentType, "text/x-msmsgsinvite")) {
        HashTable *invitation = parseHeaderLines(body);
        const bool invite = msnContains(msnHeaderValue(invitation, "Invitation-Command"), "INVITE");
        freeHeaderTable(invitation);
        return invite ? MSN_CMD_FILE : MSN_CMD_OTHER;
    }
    if (msnContains(contentType, "application/x-msnmsgrp2p")) {
        const auto *bytes = static_cast<const uint8_t *>(DArray_data(body));
        const bool accepted =
            msnFindBytes(bytes, DArray_count(body), kP2pAcceptance, kP2pAcceptanceSize) >= 0;
        return accepted ? MSN_CMD_P2P_ACCEPT : MSN_CMD_OTHER;
    }
    if (msnContains(contentType, "text/x-msnmsgr-datacast")) {
        return MSN_CMD_DATACAST;
    }
    return MSN_CMD_OTHER;
}

} // namespace

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
    DArray *copy = msnNewByteString();
    HashTable *table = HashTable_create(1, kMsnHeaderNameSize, sizeof(char *), 1);
    const char *text = nullptr;
    if (copy != nullptr && DArray_appendRun(DArray_data(block), DArray_count(block), copy) == 0 &&
        DArray_appendRun("\r\n", 2, copy) == 0) {
        text = DArray_cstr(copy);
    }
    if (table == nullptr || text == nullptr) {
        DArray_free(copy);
        HashTable_destroy(table);
        return nullptr;
    }
    // Lines are found in the zero-terminated copy, so a zero byte ends the
    // walk: the text behind it holds no further CR LF.
    for (const char *lineStart = text;;) {
        const char *lineEnd = std::strstr(lineStart, "\r\n");
        if (lineEnd == nullptr) {
            break;
        }
        const auto lineLength = static_cast<int64_t>(lineEnd - lineStart);
        const int64_t colon =
            msnFindBytes(reinterpret_cast<const uint8_t *>(lineStart), lineLength, ": ", 2);
        if (colon >= 0) {
            const char *value = lineStart + colon + 2;
            msnStoreHeader(lineStart, static_cast<size_t>(colon), value,
                           static_cast<size_t>(lineEnd - value), table);
        }
        lineStart = lineEnd + 2;
    }
    DArray_free(copy);
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

int32_t parseMsg(DArray *line, DArray *tokens, DArray *payload, MsnCommand *command) {
    const int32_t missing = parsePayloadLength(line, tokens, payload, command);
    if (missing > 0) {
        return missing;
    }
    const char *text = DArray_cstr(payload);
    if (text == nullptr) {
        return -1;
    }
    const char *blank = std::strstr(text, kBlankLine);
    if (blank == nullptr) {
        return -1;
    }
    const auto headerSize = static_cast<int32_t>(blank - text);
    const int32_t bodyStart = headerSize + kBlankLineSize;
    DArray *headerBlock = msnNewByteString();
    DArray *body = msnNewByteString();
    HashTable *headers = nullptr;
    if (headerBlock == nullptr || body == nullptr ||
        DArray_appendRun(text, headerSize, headerBlock) != 0 ||
        DArray_appendRun(text + bodyStart, DArray_count(payload) - bodyStart, body) != 0 ||
        DArray_cstr(body) == nullptr || (headers = parseHeaderLines(headerBlock)) == nullptr) {
        DArray_free(headerBlock);
        DArray_free(body);
        return -1;
    }
    const char *contentType = msnHeaderValue(headers, "Content-Type");
    if (contentType == nullptr) {
        freeHeaderTable(headers);
        DArray_free(headerBlock);
        DArray_free(body);
        return 0;
    }
    if (DArray_append(&headerBlock, command->items) != 0) {
        freeHeaderTable(headers);
        DArray_free(headerBlock);
        DArray_free(body);
        return -1;
    }
    if (DArray_append(&body, command->items) != 0) {
        freeHeaderTable(headers);
        DArray_free(body); // the header block is freed with the other items
        return -1;
    }
    command->type = msnClassifyMsg(contentType, body);
    if (command->type == MSN_CMD_TEXT) {
        command->text = DArray_cstr(body); // terminated above, so this cannot fail
        // The event record carries 16 bits: a longer body is reported
        // modulo 65536 and still forwarded whole.
        command->textLength = static_cast<uint16_t>(DArray_count(body));
    }
    freeHeaderTable(headers);
    return 0;
}

int32_t outputMsg(MsnCommand *command, DArray *out, int32_t blocked) {
    DArray *headerBlock = msnCommandItem(command, kMsnItemHeaders);
    DArray *body = msnCommandItem(command, kMsnItemBody);
    if (headerBlock == nullptr || body == nullptr || command->type != MSN_CMD_TEXT) {
        if (blocked == 0) {
            msnAppendUnchanged(command, out);
        }
    } else if (blocked == 0) {
        const DArray *tokens = msnCommandItem(command, kMsnItemTokens);
        const int32_t tokenCount = DArray_count(tokens);
        for (int32_t i = 0; i + 1 < tokenCount; ++i) {
            msnAppendText(msnTokenText(tokens, i), out);
            msnAppendText(" ", out);
        }
        char length[16];
        std::snprintf(length, sizeof length, "%d\r\n",
                      DArray_count(headerBlock) + kBlankLineSize + DArray_count(body));
        msnAppendText(length, out);
        DArray_appendRun(DArray_data(headerBlock), DArray_count(headerBlock), out);
        msnAppendText(kBlankLine, out);
        DArray_appendRun(DArray_data(body), DArray_count(body), out);
    }
    if (headerBlock != nullptr && body != nullptr) {
        DArray_free(headerBlock);
        DArray_free(body);
        DArray_removeRun(kMsnItemHeaders, 2, nullptr, command->items);
    }
    return 0;
}

void replaceBody(const uint8_t *bytes, uint64_t count, MsnCommand *command) {
    DArray *headerBlock = msnCommandItem(command, kMsnItemHeaders);
    DArray *body = msnCommandItem(command, kMsnItemBody);
    if (bytes == nullptr || count == 0 || body == nullptr || command->type != MSN_CMD_TEXT) {
        return;
    }
    // The rewritten length must still be a 32-bit signed decimal.
    const uint64_t room = static_cast<uint64_t>(INT32_MAX) - kBlankLineSize -
                          static_cast<uint64_t>(DArray_count(headerBlock));
    if (count > room) {
        return;
    }
    DArray_clear(body);
    DArray_appendRun(bytes, static_cast<int32_t>(count), body);
}
