#include "oscar/framing.h"

#include <cstring>

bool readFlapHeader(ByteStream *stream, FlapHeader *out) {
    *out = FlapHeader{};
    ByteStream_rewind(stream);
    return ByteStream_readU8(&out->marker, stream) && ByteStream_readU8(&out->channel, stream) &&
           ByteStream_readU16(&out->sequence, stream) && ByteStream_readU16(&out->length, stream);
}

uint32_t frameLength(ByteStream *stream) {
    FlapHeader header;
    readFlapHeader(stream, &header);
    return uint32_t{header.length} + kFlapHeaderSize;
}

bool oscarReadSnacHeader(ByteStream *stream, SnacHeader *out) {
    *out = SnacHeader{};
    return ByteStream_readU16(&out->family, stream) && ByteStream_readU16(&out->subtype, stream) &&
           ByteStream_readU16(&out->flags, stream) && ByteStream_readU32(&out->requestId, stream);
}

void oscarSeek(uint32_t position, ByteStream *stream) {
    ByteStream_rewind(stream);
    ByteStream_skip(position, stream);
}

bool findTlv(uint16_t type, ByteStream *stream) {
    const uint32_t start = stream->position;
    for (;;) {
        const uint32_t here = stream->position;
        uint16_t found = 0;
        uint16_t length = 0;
        if (!ByteStream_readU16(&found, stream)) break;
        if (found == type) {
            oscarSeek(here, stream);
            return true;
        }
        if (!ByteStream_readU16(&length, stream)) break;
        ByteStream_skip(length, stream);
    }
    oscarSeek(start, stream);
    return false;
}

bool oscarEnterTlv(ByteStream *stream, uint16_t *length, uint32_t *lengthOffset) {
    uint16_t type = 0;
    if (!ByteStream_readU16(&type, stream)) return false;
    if (lengthOffset) *lengthOffset = stream->position;
    if (!ByteStream_readU16(length, stream)) return false;
    return ByteStream_remaining(stream) >= *length;
}

void oscarCopyName(const uint8_t *bytes, uint32_t length, char name[kOscarNameSize]) {
    const uint32_t n = length < kOscarNameMax ? length : kOscarNameMax;
    if (n) std::memcpy(name, bytes, n);
    name[n] = '\0';
}

bool oscarNameMatches(const uint8_t *bytes, uint32_t length, const char name[kOscarNameSize]) {
    // A name of more than 31 bytes was kept as its first 31; comparing that
    // much (and the terminator position) lets refusals reach long names too.
    const uint32_t n = length < kOscarNameMax ? length : kOscarNameMax;
    if (name[n] != '\0') return false;
    return n == 0 || std::memcmp(bytes, name, n) == 0;
}
