#include "ymsg/packet.h"

#include <cstring>

namespace {

constexpr uint8_t kYmsgMagic[4] = {'Y', 'M', 'S', 'G'};

enum class YmsgSlot { kNone, kSender, kRecipient, kText };

YmsgSlot ymsgSlotForKey(const char *key) {
    // Compared whole: "11" or "140" are other keys, not extensions of ours.
    if (std::strcmp(key, "1") == 0) return YmsgSlot::kSender;
    if (std::strcmp(key, "5") == 0) return YmsgSlot::kRecipient;
    if (std::strcmp(key, "14") == 0) return YmsgSlot::kText;
    if (std::strcmp(key, "27") == 0) return YmsgSlot::kText;
    if (std::strcmp(key, "4") == 0) return YmsgSlot::kSender;
    return YmsgSlot::kNone;
}

YmsgValue *ymsgSlotValue(YmsgSlot slot, YmsgFields *fields) {
    switch (slot) {
    case YmsgSlot::kSender: return &fields->sender;
    case YmsgSlot::kRecipient: return &fields->recipient;
    case YmsgSlot::kText: return &fields->text;
    case YmsgSlot::kNone: break;
    }
    return nullptr;
}

} // namespace

int ymsgReadHeader(YmsgHeader *out, ByteStream *stream) {
    if (out == nullptr || stream == nullptr) return 0;
    ByteStream_read(out->magic, sizeof(out->magic), stream);
    ByteStream_read(out->version, sizeof(out->version), stream);
    ByteStream_readU16(&out->length, stream);
    ByteStream_readU16(&out->service, stream);
    ByteStream_readU32(&out->status, stream);
    ByteStream_readU32(&out->sessionId, stream);
    return 1;
}

int ymsgWriteHeader(const YmsgHeader *in, ByteStream *stream) {
    if (in == nullptr || stream == nullptr) return 0;
    ByteStream_write(in->magic, sizeof(in->magic), stream);
    ByteStream_write(in->version, sizeof(in->version), stream);
    ByteStream_writeU16(in->length, stream);
    ByteStream_writeU16(in->service, stream);
    ByteStream_writeU32(in->status, stream);
    ByteStream_writeU32(in->sessionId, stream);
    return 1;
}

bool ymsgHasMagic(const YmsgHeader &header) {
    return std::memcmp(header.magic, kYmsgMagic, sizeof(kYmsgMagic)) == 0;
}

uint32_t ymsgPacketSize(ByteStream *stream) {
    YmsgHeader header{};
    ByteStream_rewind(stream);
    ymsgReadHeader(&header, stream);
    return uint32_t{header.length} + kYmsgHeaderSize;
}

void ymsgParseFields(ByteStream *stream, YmsgFields *out) {
    if (stream == nullptr || out == nullptr) return;
    while (ByteStream_remaining(stream) > 0) {
        int32_t keyLength = ByteStream_find(kYmsgSeparator, kYmsgSeparatorSize, stream);
        if (keyLength == -1) return;

        YmsgSlot slot = YmsgSlot::kNone;
        if (static_cast<uint32_t>(keyLength) <= kYmsgMaxKeyLength) {
            char key[kYmsgMaxKeyLength + 1] = {};
            ByteStream_read(key, static_cast<uint32_t>(keyLength), stream);
            slot = ymsgSlotForKey(key);
        } else {
            ByteStream_skip(static_cast<uint32_t>(keyLength), stream);
        }
        ByteStream_skip(kYmsgSeparatorSize, stream);

        int32_t valueLength = ByteStream_find(kYmsgSeparator, kYmsgSeparatorSize, stream);
        if (valueLength == -1) return; // a value without its closing separator is not recorded
        if (YmsgValue *value = ymsgSlotValue(slot, out)) {
            value->data = ByteStream_current(stream);
            value->length = static_cast<uint32_t>(valueLength);
        }
        ByteStream_skip(static_cast<uint32_t>(valueLength) + kYmsgSeparatorSize, stream);
    }
}

uint16_t ymsgParsePacket(ByteStream *stream, YmsgFields *out) {
    YmsgHeader header{};
    ByteStream_rewind(stream);
    ymsgReadHeader(&header, stream);
    *out = YmsgFields{};
    ymsgParseFields(stream, out);
    return header.service;
}
