// ByteStream: a bounded big-endian cursor over a buffer someone else owns.
// Every read or write that does not fit does nothing and returns 0, so parsers
// of untrusted frames never touch memory past the end.
#pragma once

#include <cstdint>

struct ByteStream {
    uint8_t *data;
    uint32_t length;
    uint32_t position;
};

int ByteStream_init(const void *data, uint32_t length, ByteStream *stream);
uint32_t ByteStream_remaining(const ByteStream *stream);
void ByteStream_rewind(ByteStream *stream);
uint32_t ByteStream_skip(uint32_t n, ByteStream *stream);
uint8_t *ByteStream_current(const ByteStream *stream);

uint32_t ByteStream_read(void *dst, uint32_t n, ByteStream *stream);
uint32_t ByteStream_write(const void *src, uint32_t n, ByteStream *stream);
uint32_t ByteStream_readU8(uint8_t *dst, ByteStream *stream);
uint32_t ByteStream_readU16(uint16_t *dst, ByteStream *stream);
uint32_t ByteStream_readU32(uint32_t *dst, ByteStream *stream);
uint32_t ByteStream_writeU8(uint8_t value, ByteStream *stream);
uint32_t ByteStream_writeU16(uint16_t value, ByteStream *stream);
uint32_t ByteStream_writeU32(uint32_t value, ByteStream *stream);

// Offset of the first match at or after the position, or -1 (all bits set).
int32_t ByteStream_find(const void *pattern, uint32_t patternLength, const ByteStream *stream);
void ByteStream_hexDump(const ByteStream *stream);
