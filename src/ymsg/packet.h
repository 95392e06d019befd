// YMSG wire format: the fixed 20-byte header and the key/value field list
// behind it. Decoding copies nothing but the header; recorded field values
// point into the packet buffer and live as long as it does.
#pragma once

#include "containers/byte_stream.h"

#include <cstdint>

constexpr uint32_t kYmsgHeaderSize = 20;
constexpr uint32_t kYmsgMaxBodyLength = 0xFFFF; // the 16-bit `length` field
// Every key and every value is followed by these two bytes.
constexpr uint8_t kYmsgSeparator[2] = {0xC0, 0x80};
constexpr uint32_t kYmsgSeparatorSize = sizeof(kYmsgSeparator);
// Recognised keys are at most two digits; anything longer than this is
// skipped without being copied.
constexpr uint32_t kYmsgMaxKeyLength = 31;

constexpr uint16_t kYmsgServiceMessage = 6;
constexpr uint16_t kYmsgServicePeerToPeer = 79;
constexpr uint16_t kYmsgServiceAuth = 87;
constexpr uint16_t kYmsgServiceDatacast = 208;
constexpr uint16_t kYmsgServiceFileTransfer = 220;

struct YmsgHeader {
    uint8_t magic[4];
    uint8_t version[4]; // protocol version and vendor id, carried opaque
    uint16_t length;    // bytes after the header
    uint16_t service;
    uint32_t status;
    uint32_t sessionId;
};

// A field value inside the packet buffer; data is NULL when the key was absent.
struct YmsgValue {
    const uint8_t *data;
    uint32_t length;
};

struct YmsgFields {
    YmsgValue sender;    // key "1" or "4"
    YmsgValue recipient; // key "5"
    YmsgValue text;      // key "14" (message) or "27" (file name)
};

// 1, or 0 when either argument is NULL. A field that does not fit the
// stream is left as it was.
int ymsgReadHeader(YmsgHeader *out, ByteStream *stream);
int ymsgWriteHeader(const YmsgHeader *in, ByteStream *stream);
// True when the header starts with "YMSG".
bool ymsgHasMagic(const YmsgHeader &header);
// `length` + 20 of the packet the stream covers, read from its start.
uint32_t ymsgPacketSize(ByteStream *stream);
// Scans the field list from the stream position to its end; only ever sets
// slots, never clears them.
void ymsgParseFields(ByteStream *stream, YmsgFields *out);
// Clears out, decodes the header and the field list; returns the service.
uint16_t ymsgParsePacket(ByteStream *stream, YmsgFields *out);
