#include "msn/framing.h"

#include <cstring>

namespace {

constexpr uint8_t kCarriageReturn = '\r';
constexpr uint8_t kLineFeed = '\n';
constexpr int32_t kLineEndSize = 2;
constexpr int32_t kZeroChunkSize = 4096;

} // namespace

MsnCommand msnNewCommand(MsnDirection *direction, int directionIndex) {
    MsnCommand command{};
    command.type = MSN_CMD_OTHER;
    command.fromClient = directionIndex == kMsnClientToServer ? 1U : 0U;
    command.tokenText = direction->line;
    command.replacement = direction->rest;
    return command;
}

bool msnSetCommandBytes(const uint8_t *unit, int32_t size, int32_t knownLineSize,
                        MsnCommand *command) {
    // The line is cut at its first CR LF, which no zero byte precedes: the
    // framer skips lines that would have one.
    const int64_t lineSize =
        knownLineSize >= 0 ? knownLineSize : msnFindBytes(unit, size, "\r\n", kLineEndSize);
    if (lineSize < 0) {
        return false;
    }
    command->line = unit;
    command->lineSize = static_cast<int32_t>(lineSize);
    command->payload = unit + lineSize + kLineEndSize;
    command->payloadSize = size - command->lineSize - kLineEndSize;
    command->hasParts = false;
    command->tokenCount = 0;
    DArray *text = command->tokenText;
    DArray_clear(text);
    if (DArray_appendRun(unit, command->lineSize, text) != 0 || DArray_cstr(text) == nullptr) {
        return false;
    }
    // Tokens are separated by single spaces only (a tab is part of a token);
    // runs of spaces give no empty tokens.
    auto *chars = static_cast<char *>(DArray_data(text));
    for (int32_t i = 0; i < command->lineSize; ++i) {
        if (chars[i] == ' ') {
            chars[i] = '\0';
        } else if (i == 0 || chars[i - 1] == '\0') {
            if (command->tokenCount < kMsnTokenSlots) {
                command->tokenStart[command->tokenCount] = i;
            }
            command->lastTokenStart = i;
            ++command->tokenCount;
        }
    }
    return true;
}

void msnExtendCommandBytes(const uint8_t *unit, int32_t size, MsnCommand *command) {
    command->line = unit;
    command->payload = unit + command->lineSize + kLineEndSize;
    command->payloadSize = size - command->lineSize - kLineEndSize;
    command->hasParts = false;
}

char *msnToken(const MsnCommand *command, int32_t index) {
    if (index < 0 || index >= command->tokenCount) {
        return nullptr;
    }
    auto *chars = static_cast<char *>(DArray_data(command->tokenText));
    if (index == command->tokenCount - 1) {
        return chars + command->lastTokenStart;
    }
    return index < kMsnTokenSlots ? chars + command->tokenStart[index] : nullptr;
}

MsnUnit msnNextUnit(const MsnDirection *direction, int32_t *searched, const uint8_t *bytes,
                    int32_t count) {
    if (direction->need != 0) {
        return MsnUnit{direction->need > 0 && count >= direction->need ? direction->need : 0,
                       false};
    }
    // A CR at the end of the last search may meet its LF in the new bytes,
    // so the search goes on from the last byte it saw.
    int32_t at = *searched > 1 ? *searched : 1;
    for (;;) {
        const void *hit = at < count
                              ? std::memchr(bytes + at, kLineFeed, static_cast<size_t>(count - at))
                              : nullptr;
        if (hit == nullptr) {
            *searched = count;
            return MsnUnit{0, false};
        }
        at = static_cast<int32_t>(static_cast<const uint8_t *>(hit) - bytes);
        if (bytes[at - 1] == kCarriageReturn) {
            break;
        }
        ++at;
    }
    *searched = 0;
    const int32_t size = at + 1;
    const bool hidden = std::memchr(bytes, 0, static_cast<size_t>(at - 1)) != nullptr;
    return MsnUnit{size, hidden};
}

bool msnReserveOutput(int32_t count, DArray *out) {
    const int32_t before = DArray_count(out);
    if (DArray_capacity(out) - before >= count) {
        return true;
    }
    static const uint8_t kZeros[kZeroChunkSize] = {};
    bool ok = true;
    for (int32_t left = count; ok && left > 0; left -= kZeroChunkSize) {
        ok = DArray_appendRun(kZeros, left < kZeroChunkSize ? left : kZeroChunkSize, out) == 0;
    }
    DArray_removeRun(before, DArray_count(out) - before, nullptr, out);
    return ok;
}

void msnAppendText(const char *text, DArray *out) {
    if (text != nullptr) {
        DArray_appendRun(text, static_cast<int32_t>(std::strlen(text)), out);
    }
}

void msnAppendUnchanged(MsnCommand *command, DArray *out) {
    if (command->inPlaceAllowed && DArray_count(out) == 0) {
        command->forwardedInPlace = true;
        return;
    }
    DArray_appendRun(command->line, command->lineSize, out);
    DArray_appendRun("\r\n", kLineEndSize, out);
    DArray_appendRun(command->payload, command->payloadSize, out);
}
