#include "msn/framing.h"

#include <cstring>

#include "msn/commands.h"
#include "msn/policy.h"
#include "msn/text.h"

namespace {

constexpr const char kLineEnd[] = "\r\n";
constexpr int32_t kLineEndSize = 2;
constexpr const char *kMalformed = "zOMG!";

// Cuts the next unit off the pending bytes at p: a line with its CR LF when
// need is 0, else the need bytes of the command being assembled.
bool msnCutNext(const char *p, int32_t left, MsnDirection *d) {
    if (d->need == 0) {
        return cutAtSeparator(p, left, kLineEnd, d->line, d->rest) != 0 &&
               DArray_appendRun(kLineEnd, kLineEndSize, d->line) == 0;
    }
    return cutAtLength(p, left, d->need, d->line, d->rest) != 0;
}

// A zero byte before the first CR LF hides that CR LF from the line search,
// so such a line could never be cut. Returns the byte count up to and
// including the CR LF that ends it, or 0 when there is none (yet).
int32_t msnUncuttableLineSize(const char *p, int32_t left) {
    if (static_cast<int64_t>(std::strlen(p)) >= left) {
        return 0;
    }
    const int64_t end =
        msnFindBytes(reinterpret_cast<const uint8_t *>(p), left, kLineEnd, kLineEndSize);
    return end < 0 ? 0 : static_cast<int32_t>(end + kLineEndSize);
}

// Grows out, before anything is written, by more than any output function
// can write in the command's place: its line, payload, header block and
// body, plus room for a recomputed length or a refusal. Output functions
// ignore failed appends, so without this a growth failing half-way would
// leave a line in the stream without the payload its length announces.
bool msnReserveOutput(const MsnCommand *command, DArray *out) {
    static const char kSlack[32] = {};
    const int32_t before = DArray_count(out);
    bool ok = DArray_appendRun(kSlack, sizeof kSlack, out) == 0;
    const int32_t itemCount = DArray_count(command->items);
    for (int32_t i = 0; ok && i < itemCount; ++i) {
        const DArray *item = i == kMsnItemTokens ? nullptr : msnCommandItem(command, i);
        if (item != nullptr) {
            ok = DArray_appendRun(DArray_data(item), DArray_count(item), out) == 0;
        }
    }
    DArray_removeRun(before, DArray_count(out) - before, nullptr, out);
    return ok;
}

} // namespace

DArray *msnCommandItem(const MsnCommand *command, int32_t index) {
    return command != nullptr ? msnListItem(command->items, index) : nullptr;
}

void msnFreeCommandItems(MsnCommand *command) {
    const int32_t count = DArray_count(command->items);
    for (int32_t i = 0; i < count; ++i) {
        DArray *item = msnListItem(command->items, i);
        if (i == kMsnItemTokens) {
            freeTokenList(item);
        }
        DArray_free(item);
    }
    DArray_clear(command->items);
}

int32_t parseCommand(DArray *line, MsnCommand *command) {
    const char *text = DArray_cstr(line);
    const char *lineEnd = text != nullptr ? std::strstr(text, kLineEnd) : nullptr;
    if (lineEnd == nullptr) {
        return -1;
    }
    const auto headSize = static_cast<int32_t>(lineEnd - text);
    const int32_t tailStart = headSize + kLineEndSize;
    DArray *head = msnNewByteString();
    DArray *tail = msnNewByteString();
    DArray *tokens = DArray_create(1, kMsnReferenceSize, 2, 0);
    bool ok = head != nullptr && tail != nullptr && tokens != nullptr &&
              DArray_appendRun(text, headSize, head) == 0 &&
              DArray_appendRun(text + tailStart, DArray_count(line) - tailStart, tail) == 0 &&
              splitTokens(msnText(head), " ", tokens) != 0;
    msnFreeCommandItems(command);
    // Items [0] to [2] in order; whatever could not be handed to the items
    // is freed here, the rest with the items.
    DArray *parts[] = {head, tail, tokens};
    int32_t handed = 0;
    while (ok && handed < 3 && DArray_append(&parts[handed], command->items) == 0) {
        ++handed;
    }
    if (handed < 3) {
        for (int32_t i = handed; i < 3; ++i) {
            if (i == kMsnItemTokens) {
                freeTokenList(parts[i]);
            }
            DArray_free(parts[i]);
        }
        msnFreeCommandItems(command);
        return -1;
    }
    MsnCommandEntry entry{};
    if (!msnLookupCommand(reinterpret_cast<const uint8_t *>(text), DArray_count(line), &entry)) {
        return 0;
    }
    const int32_t result = entry.parse(head, tokens, tail, command);
    if (result != 0) {
        msnFreeCommandItems(command);
    }
    return result;
}

void emitCommand(MsnCommand *command, int32_t blocked, DArray *out) {
    if (!msnReserveOutput(command, out)) {
        // Out of memory: the command is dropped whole.
        msnFreeCommandItems(command);
        return;
    }
    DArray *line = msnCommandItem(command, kMsnItemLine);
    MsnCommandEntry entry{};
    if (msnLookupCommand(static_cast<const uint8_t *>(DArray_data(line)), DArray_count(line),
                         &entry)) {
        entry.output(command, out, blocked);
    } else if (blocked == 0) {
        msnAppendUnchanged(command, out);
    }
    msnFreeCommandItems(command);
}

void frameBytes(uint32_t id, const uint8_t *bytes, int32_t count, int direction, DArray *out) {
    auto *data = static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(id));
    if (data != nullptr) {
        msnFrameBytes(id, data, bytes, count, direction, out);
    }
}

void msnFrameBytes(uint32_t id, MsnInstanceData *data, const uint8_t *bytes, int32_t count,
                   int direction, DArray *out) {
    if (data == nullptr || bytes == nullptr || count < 0 || (direction != 0 && direction != 1)) {
        return;
    }
    MsnDirection *d = &data->directions[direction];
    DArray_clear(d->line);
    DArray_clear(d->rest);
    if (count > 0) {
        DArray_appendRun(bytes, count, d->pending);
    }
    const char *start = DArray_cstr(d->pending);
    DArray *items = DArray_create(1, kMsnReferenceSize, 2, 0);
    if (start == nullptr || items == nullptr) {
        DArray_free(items);
        return;
    }
    const char *p = start;
    int32_t left = DArray_count(d->pending);

    for (;;) {
        if (!msnCutNext(p, left, d)) {
            const int32_t skip = d->need == 0 ? msnUncuttableLineSize(p, left) : 0;
            if (skip == 0) {
                break;
            }
            msnLog(id, QMX_LOG_DEBUG, kMalformed);
            p += skip;
            left -= skip;
            continue;
        }
        MsnCommand command{
            MSN_CMD_OTHER, direction == kMsnClientToServer ? 1U : 0U, nullptr, 0, nullptr, items};
        const int32_t lineSize = DArray_count(d->line);
        const int32_t result = parseCommand(d->line, &command);
        if (result > 0 && static_cast<int64_t>(result) + lineSize <= kMsnMaxCommandSize) {
            d->need = result + lineSize;
        } else if (result == 0) {
            d->need = 0;
            p += lineSize;
            left -= lineSize;
            const int32_t blocked = msnPolicyStep(id, data, &command);
            emitCommand(&command, blocked, out);
        } else {
            // A command that cannot be handled, or one too large to hold, is
            // dropped and framing goes on with the next line, so that the
            // direction neither stalls nor buffers without end.
            msnFreeCommandItems(&command);
            msnLog(id, QMX_LOG_DEBUG, kMalformed);
            d->need = 0;
            p += lineSize;
            left -= lineSize;
        }
    }
    DArray_free(items);
    DArray_removeRun(0, static_cast<int32_t>(p - start), nullptr, d->pending);
    if (d->need == 0 && DArray_count(d->pending) > kMsnMaxLineSize) {
        // No line is that long: give up on it rather than wait for a CR LF.
        msnLog(id, QMX_LOG_DEBUG, kMalformed);
        DArray_clear(d->pending);
    }
}
