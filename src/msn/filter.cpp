#include "msn/filter.h"

namespace {

constexpr const char *kMalformed = "zOMG!";
// Below this a command is cheaper to copy than the pending bytes behind it.
constexpr int32_t kMsnInPlaceMinimum = 2048;

// The command at the head of pending goes out as it came, and out is empty
// and reserved for it: out takes over pending's block, and pending keeps
// only the bytes behind the command, in out's old block. That needs no
// allocation when the old block holds them; otherwise the command is
// copied, into room already reserved.
void msnForwardInPlace(MsnDirection *d, int32_t size, DArray *out) {
    const int32_t behind = DArray_count(d->pending) - size;
    if (DArray_capacity(out) <= behind) {
        DArray_appendRun(DArray_data(d->pending), size, out);
        DArray_removeRun(0, size, nullptr, d->pending);
        return;
    }
    DArray_swapItems(out, d->pending);
    DArray_appendRun(static_cast<const uint8_t *>(DArray_data(out)) + size, behind, d->pending);
    DArray_removeRun(size, behind, nullptr, out);
}

// Parses the unit, asks the policy step about it and writes it out. The
// host sees a text body zero-terminated: the byte after it (the next
// command's first, or the pending buffer's terminator) is borrowed for the
// length of the policy step.
void msnHandleCommand(uint32_t id, MsnInstanceData *data, MsnCommand *command, uint8_t *unitEnd,
                      DArray *out) {
    const uint8_t saved = *unitEnd;
    if (command->text != nullptr) {
        *unitEnd = 0;
    }
    const int32_t blocked = msnPolicyStep(id, data, command);
    *unitEnd = saved;
    emitCommand(command, blocked, out);
}

} // namespace

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
    int32_t *searched = &data->searched[direction];
    if (count > 0) {
        DArray_appendRun(bytes, count, d->pending);
    }
    if (d->need > 0 && DArray_count(d->pending) < d->need) {
        // Most pieces of a long payload only add to it: nothing can be cut
        // until its last piece arrives.
        return;
    }
    // Terminated, so that there is always a byte after the last unit to
    // borrow.
    auto *start = reinterpret_cast<uint8_t *>(DArray_cstr(d->pending));
    if (start == nullptr) {
        return;
    }
    uint8_t *p = start;
    int32_t left = DArray_count(d->pending);

    for (;;) {
        const MsnUnit unit = msnNextUnit(d, searched, p, left);
        if (unit.size == 0) {
            break;
        }
        if (unit.malformed) {
            msnLog(id, QMX_LOG_DEBUG, kMalformed);
            p += unit.size;
            left -= unit.size;
            continue;
        }
        MsnCommand command = msnNewCommand(d, direction);
        int32_t size = unit.size;
        // A unit cut at a line end is that line and its CR LF.
        int32_t result = parseCommand(p, size, d->need == 0 ? size - 2 : -1, &command);
        if (result > 0 && d->need == 0 && static_cast<int64_t>(result) + size <= left &&
            static_cast<int64_t>(result) + size <= kMsnMaxCommandSize) {
            // The payload is already here: parse the whole command now, as
            // the next cut would, without splitting its line again.
            size += result;
            result = parseCommandAgain(p, size, &command);
        }
        if (result > 0 && static_cast<int64_t>(result) + size <= kMsnMaxCommandSize) {
            d->need = result + size;
        } else if (result == 0) {
            d->need = 0;
            command.inPlaceAllowed = p == start && size >= kMsnInPlaceMinimum &&
                                     DArray_count(out) == 0 && DArray_itemSize(out) == 1;
            msnHandleCommand(id, data, &command, p + size, out);
            left -= size;
            if (!command.forwardedInPlace) {
                p += size;
                continue;
            }
            msnForwardInPlace(d, size, out);
            start = reinterpret_cast<uint8_t *>(DArray_cstr(d->pending));
            if (start == nullptr) {
                return;
            }
            p = start;
        } else {
            // A command that cannot be handled, or one too large to hold, is
            // dropped and framing goes on with the next line, so that the
            // direction neither stalls nor buffers without end.
            msnLog(id, QMX_LOG_DEBUG, kMalformed);
            d->need = 0;
            p += size;
            left -= size;
        }
    }
    if (p != start) {
        DArray_removeRun(0, static_cast<int32_t>(p - start), nullptr, d->pending);
    }
    if (d->need == 0 && DArray_count(d->pending) > kMsnMaxLineSize) {
        // No line is that long: give up on it rather than wait for a CR LF.
        msnLog(id, QMX_LOG_DEBUG, kMalformed);
        DArray_clear(d->pending);
        *searched = 0;
    }
}
