#include "containers/byte_stream.h"

#include <cstdio>
#include <cstring>

namespace {

// Every bounded operation asks here, so the end of the buffer is checked in
// one place; a null stream has nothing left.
bool byteStreamFits(uint32_t n, const ByteStream *stream) {
    return n <= ByteStream_remaining(stream);
}

} // namespace

int ByteStream_init(const void *data, uint32_t length, ByteStream *stream) {
    if (stream == nullptr) return 0;
    // Read-only buffers are parsed through the same record; writing through
    // a stream over one is the caller's mistake. A null buffer is empty.
    stream->data = static_cast<uint8_t *>(const_cast<void *>(data));
    stream->length = data == nullptr ? 0 : length;
    stream->position = 0;
    return 1;
}

uint32_t ByteStream_remaining(const ByteStream *stream) {
    if (stream == nullptr || stream->position >= stream->length) return 0;
    return stream->length - stream->position;
}

void ByteStream_rewind(ByteStream *stream) {
    if (stream != nullptr) stream->position = 0;
}

uint32_t ByteStream_skip(uint32_t n, ByteStream *stream) {
    if (stream == nullptr) return 0;
    // Widened so that a skip near 2^32 clamps instead of wrapping back.
    uint64_t target = uint64_t{stream->position} + n;
    stream->position = target >= stream->length ? stream->length : static_cast<uint32_t>(target);
    return n;
}

uint8_t *ByteStream_current(const ByteStream *stream) {
    if (stream == nullptr || stream->data == nullptr) return nullptr;
    return stream->data + stream->position;
}

uint32_t ByteStream_read(void *dst, uint32_t n, ByteStream *stream) {
    if (dst == nullptr || n == 0 || !byteStreamFits(n, stream)) return 0;
    std::memcpy(dst, stream->data + stream->position, n);
    stream->position += n;
    return n;
}

uint32_t ByteStream_write(const void *src, uint32_t n, ByteStream *stream) {
    if (src == nullptr || n == 0 || !byteStreamFits(n, stream)) return 0;
    std::memmove(stream->data + stream->position, src, n);
    stream->position += n;
    return n;
}

uint32_t ByteStream_readU8(uint8_t *dst, ByteStream *stream) {
    if (dst == nullptr || !byteStreamFits(1, stream)) return 0;
    *dst = stream->data[stream->position++];
    return 1;
}

uint32_t ByteStream_readU16(uint16_t *dst, ByteStream *stream) {
    if (dst == nullptr || !byteStreamFits(2, stream)) return 0;
    const uint8_t *p = stream->data + stream->position;
    *dst = static_cast<uint16_t>(p[0] << 8 | p[1]);
    stream->position += 2;
    return 2;
}

uint32_t ByteStream_readU32(uint32_t *dst, ByteStream *stream) {
    if (dst == nullptr || !byteStreamFits(4, stream)) return 0;
    const uint8_t *p = stream->data + stream->position;
    *dst = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    stream->position += 4;
    return 4;
}

uint32_t ByteStream_writeU8(uint8_t value, ByteStream *stream) {
    if (!byteStreamFits(1, stream)) return 0;
    stream->data[stream->position++] = value;
    return 1;
}

uint32_t ByteStream_writeU16(uint16_t value, ByteStream *stream) {
    if (!byteStreamFits(2, stream)) return 0;
    uint8_t *p = stream->data + stream->position;
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
    stream->position += 2;
    return 2;
}

uint32_t ByteStream_writeU32(uint32_t value, ByteStream *stream) {
    if (!byteStreamFits(4, stream)) return 0;
    uint8_t *p = stream->data + stream->position;
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
    stream->position += 4;
    return 4;
}

int32_t ByteStream_find(const void *pattern, uint32_t patternLength, const ByteStream *stream) {
    if (stream == nullptr || (pattern == nullptr && patternLength != 0)) return -1;
    uint32_t left = ByteStream_remaining(stream);
    if (left < patternLength) return -1;
    if (patternLength == 0) return 0;
    const uint8_t *start = stream->data + stream->position;
    const auto *wanted = static_cast<const uint8_t *>(pattern);
    // Candidates are the places where the pattern fits wholly. memchr skips
    // to the next first byte; the YMSG field parser searches every field
    // this way, so a call per offset would dominate its cost.
    const uint8_t *candidate = start;
    const uint8_t *afterLast = start + (left - patternLength) + 1;
    while (candidate < afterLast) {
        candidate = static_cast<const uint8_t *>(
            std::memchr(candidate, wanted[0], static_cast<size_t>(afterLast - candidate)));
        if (candidate == nullptr) return -1;
        uint32_t i = 1;
        while (i < patternLength && candidate[i] == wanted[i]) ++i;
        if (i == patternLength) {
            // Offsets past INT32_MAX would be indistinguishable from "not found".
            const auto offset = static_cast<uint64_t>(candidate - start);
            return offset <= INT32_MAX ? static_cast<int32_t>(offset) : -1;
        }
        ++candidate;
    }
    return -1;
}

void ByteStream_hexDump(const ByteStream *stream) {
    if (stream == nullptr) return;
    uint32_t left = ByteStream_remaining(stream);
    const uint8_t *p = stream->data + stream->position;
    for (uint32_t i = 0; i < left; ++i) {
        unsigned value = p[i];
        std::printf("%d :: HEX: (%x) - CHAR: (%c) - DEC: (%d)\n", static_cast<int>(i), value,
                    static_cast<int>(value), static_cast<int>(value));
    }
    std::printf("\n");
}
