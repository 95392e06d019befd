#include "oscar/decode.h"

#include <cstring>

const uint8_t kCapIcqServerRelay[16] = {0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1,
                                        0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
const uint8_t kCapSendFile[16] = {0x09, 0x46, 0x13, 0x43, 0x4C, 0x7F, 0x11, 0xD1,
                                  0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
const uint8_t kPluginNull[16] = {};
const uint8_t kPluginFile[16] = {0xF0, 0x2D, 0x12, 0xD9, 0x30, 0x91, 0xD3, 0x11,
                                 0x8D, 0xD7, 0x00, 0x10, 0x4B, 0x06, 0x46, 0x2E};

namespace {

constexpr uint32_t kFlapVersionSize = 4;
constexpr uint32_t kRendezvousCookieSize = 8;
constexpr uint32_t kGuidSize = 16;
// Fragment header: u8 id, u8 version, then the u16 length the text hangs on.
constexpr uint32_t kFragmentIdVersionSize = 2;
// The message fragment's length counts the charset and subset words.
constexpr uint16_t kFragmentCharsetSize = 4;
// Send-file data before the file name: multiple-files flag, file count, size.
constexpr uint32_t kSendFileHeaderSize = 8;
// ICQ extended data after the plugin id: the rest of the first header (13)
// and the whole second header (12).
constexpr uint32_t kIcqHeaderTailSize = 13 + 12;
constexpr uint8_t kIcqMessagePlain = 0x01;
constexpr uint8_t kIcqMessagePlugin = 0x1A;

enum : uint16_t { kCharsetAscii = 0x0000, kCharsetUcs2 = 0x0002, kCharsetLatin1 = 0x0003 };

bool readLe16(uint16_t *out, ByteStream *stream) {
    uint8_t raw[2];
    if (!ByteStream_read(raw, sizeof raw, stream)) return false;
    *out = static_cast<uint16_t>(raw[0] | (raw[1] << 8));
    return true;
}

bool readLe32(uint32_t *out, ByteStream *stream) {
    uint8_t raw[4];
    if (!ByteStream_read(raw, sizeof raw, stream)) return false;
    *out =
        uint32_t{raw[0]} | uint32_t{raw[1]} << 8 | uint32_t{raw[2]} << 16 | uint32_t{raw[3]} << 24;
    return true;
}

bool writeLe16(uint16_t value, ByteStream *stream) {
    const uint8_t raw[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    return ByteStream_write(raw, sizeof raw, stream) == sizeof raw;
}

// Skips exactly n bytes, or answers false (moving nowhere) when fewer are left.
bool skipExactly(uint32_t n, ByteStream *stream) {
    if (ByteStream_remaining(stream) < n) return false;
    ByteStream_skip(n, stream);
    return true;
}

bool nextBytesAre(const uint8_t (&id)[kGuidSize], const ByteStream *stream) {
    return ByteStream_remaining(stream) >= kGuidSize &&
           std::memcmp(ByteStream_current(stream), id, kGuidSize) == 0;
}

// Copies the input frame from its start up to its current position to the
// start of the output.
bool copyPrefix(ByteStream *input, ByteStream *output) {
    ByteStream_rewind(output);
    const uint32_t n = input->position;
    return n == 0 || ByteStream_write(input->data, n, output) == n;
}

void addFixup(uint16_t value, uint32_t offset, LengthFixupList *fixups) {
    if (fixups && fixups->count < kMaxLengthFixups)
        fixups->entry[fixups->count++] = LengthFixup{value, offset};
}

uint32_t charsetClassOf(uint16_t charset) {
    if (charset == kCharsetAscii || charset == kCharsetLatin1) return 0;
    return charset == kCharsetUcs2 ? 1 : 2;
}

// Reads the TLV at the position as a length fix-up and leaves the position on
// its value; false when its header or value is cut off.
bool enterEnclosingTlv(ByteStream *stream, LengthFixupList *fixups) {
    uint16_t length = 0;
    uint32_t lengthOffset = 0;
    if (!oscarEnterTlv(stream, &length, &lengthOffset)) return false;
    addFixup(length, lengthOffset, fixups);
    return true;
}

// The file name of a file request sent as an ICQ plugin message. The plugin
// data is little-endian throughout, so both of its length words are read so.
void locatePluginFileName(ByteStream *stream, IcbmInfo *info) {
    uint32_t pluginNameLength = 0;
    uint32_t pluginTextLength = 0;
    uint16_t fileNameLength = 0;
    if (!skipExactly(2, stream) || !readLe32(&pluginNameLength, stream) ||
        !skipExactly(pluginNameLength, stream) || !skipExactly(15 + 4, stream) ||
        !readLe32(&pluginTextLength, stream) || !skipExactly(pluginTextLength, stream) ||
        !skipExactly(2 + 2, stream) || !readLe16(&fileNameLength, stream))
        return;
    if (fileNameLength == 0 || ByteStream_remaining(stream) < fileNameLength - 1U) return;
    info->textLength = static_cast<uint16_t>(fileNameLength - 1);
    info->text = ByteStream_current(stream);
}

int parseMessageData(ByteStream *stream, IcbmInfo *info, ByteStream *output,
                     const uint8_t *replacement, uint16_t replacementLength,
                     LengthFixupList *fixups) {
    if (!findTlv(kTlvMessageData, stream) || !enterEnclosingTlv(stream, fixups)) return 0;
    // The fragment walk is bounded by the frame, not by TLV 2's length.
    if (!findTlv(kFragmentMessageText, stream) || !skipExactly(kFragmentIdVersionSize, stream))
        return 0;
    const uint32_t fragmentLengthOffset = stream->position;
    uint16_t fragmentLength = 0;
    uint16_t charset = 0;
    if (!ByteStream_readU16(&fragmentLength, stream) || fragmentLength < kFragmentCharsetSize ||
        !ByteStream_readU16(&charset, stream) || !skipExactly(2, stream))
        return 0;
    const auto textLength = static_cast<uint16_t>(fragmentLength - kFragmentCharsetSize);
    if (ByteStream_remaining(stream) < textLength) return 0;
    addFixup(fragmentLength, fragmentLengthOffset, fixups);
    info->charsetClass = charsetClassOf(charset);
    info->textLength = textLength;
    info->text = ByteStream_current(stream);
    info->status = kIcbmStatusText;
    if (!output) return 0;

    oscarSeek(fragmentLengthOffset, stream);
    const bool written =
        copyPrefix(stream, output) &&
        ByteStream_writeU16(static_cast<uint16_t>(replacementLength + kFragmentCharsetSize),
                            output) &&
        ByteStream_skip(2, stream) &&
        ByteStream_write(ByteStream_current(stream), kFragmentCharsetSize, output) &&
        ByteStream_skip(kFragmentCharsetSize, stream);
    if (!written || !fixups) return 0;
    return spliceReplacement(stream, info, output, replacement, replacementLength, fixups->entry,
                             fixups->count)
               ? 1
               : 0;
}

int parseRendezvous(ByteStream *stream, IcbmInfo *info, ByteStream *output,
                    const uint8_t *replacement, uint16_t replacementLength,
                    LengthFixupList *fixups) {
    info->charsetClass = 0;
    if (!findTlv(kTlvRendezvousData, stream) || !enterEnclosingTlv(stream, fixups)) return 0;
    if (!ByteStream_readU16(&info->rendezvousType, stream) ||
        !skipExactly(kRendezvousCookieSize, stream))
        return 0;
    const bool serverRelay = nextBytesAre(kCapIcqServerRelay, stream);
    if (!serverRelay && !nextBytesAre(kCapSendFile, stream)) return 0;
    if (info->rendezvousType == kRendezvousAccept) {
        info->status = kIcbmStatusFile;
        return 0;
    }
    ByteStream_skip(kGuidSize, stream);
    if (!findTlv(kTlvExtensionData, stream) || !enterEnclosingTlv(stream, fixups)) return 0;

    if (!serverRelay) {
        info->status = kIcbmStatusFile;
        if (!skipExactly(kSendFileHeaderSize, stream)) return 0;
        const uint8_t terminator = 0;
        const int32_t nameLength = ByteStream_find(&terminator, 1, stream);
        if (nameLength != -1) {
            info->textLength = static_cast<uint16_t>(nameLength);
            info->text = ByteStream_current(stream);
        }
        return 0;
    }

    uint16_t headerLength = 0;
    uint16_t protocolVersion = 0;
    if (!ByteStream_readU16(&headerLength, stream) ||
        !ByteStream_readU16(&protocolVersion, stream) || !nextBytesAre(kPluginNull, stream) ||
        !skipExactly(kGuidSize + kIcqHeaderTailSize, stream))
        return 0;
    uint8_t messageType = 0;
    uint8_t messageFlags = 0;
    uint16_t messageStatus = 0;
    uint16_t priority = 0;
    if (!ByteStream_readU8(&messageType, stream) || !ByteStream_readU8(&messageFlags, stream) ||
        !ByteStream_readU16(&messageStatus, stream) || !ByteStream_readU16(&priority, stream))
        return 0;
    const uint32_t messageLengthOffset = stream->position;
    // The little-endian message length counts the terminating NUL.
    uint16_t messageLength = 0;
    if (!readLe16(&messageLength, stream)) return 0;

    if (messageType == kIcqMessagePlugin) {
        ByteStream_skip(messageLength, stream);
        ByteStream_skip(2, stream);
        // A plugin message is a datacast unless it names the file plugin.
        if (!nextBytesAre(kPluginFile, stream)) {
            info->status = kIcbmStatusDatacast;
            return 0;
        }
        info->status = kIcbmStatusFile;
        ByteStream_skip(kGuidSize, stream);
        locatePluginFileName(stream, info);
        return 0;
    }
    if (messageType != kIcqMessagePlain || messageLength == 0 ||
        ByteStream_remaining(stream) < messageLength - 1U)
        return 0;
    info->textLength = static_cast<uint16_t>(messageLength - 1);
    info->text = ByteStream_current(stream);
    info->status = kIcbmStatusText;
    if (!output) return 0;

    oscarSeek(messageLengthOffset, stream);
    const bool written = copyPrefix(stream, output) &&
                         writeLe16(static_cast<uint16_t>(replacementLength + 1), output) &&
                         ByteStream_skip(2, stream);
    if (!written || !fixups) return 0;
    return spliceReplacement(stream, info, output, replacement, replacementLength, fixups->entry,
                             fixups->count)
               ? 1
               : 0;
}

} // namespace

int parseLoginRequest(ByteStream *stream, char name[kOscarNameSize]) {
    FlapHeader header;
    if (!readFlapHeader(stream, &header)) return 0;
    uint16_t passwordType = 0;
    if (header.channel == kFlapChannelSignon) {
        ByteStream_skip(kFlapVersionSize, stream);
        if (ByteStream_remaining(stream) == 0) return 0;
        passwordType = kTlvPassword;
    } else if (header.channel == kFlapChannelData) {
        SnacHeader snac;
        if (!oscarReadSnacHeader(stream, &snac) || snac.family != kSnacFamilyLogin ||
            snac.subtype != kSnacLoginRequest)
            return 0;
        passwordType = kTlvPasswordHash;
    } else {
        return 0;
    }
    const uint32_t tlvStart = stream->position;
    uint16_t nameLength = 0;
    if (!findTlv(kTlvScreenName, stream) || !oscarEnterTlv(stream, &nameLength, nullptr)) return 0;
    if (name[0] == '\0') {
        oscarCopyName(ByteStream_current(stream), nameLength, name);
        return 0;
    }
    if (!oscarNameMatches(ByteStream_current(stream), nameLength, name)) return 0;

    oscarSeek(tlvStart, stream);
    uint16_t passwordLength = 0;
    if (!findTlv(passwordType, stream) || !oscarEnterTlv(stream, &passwordLength, nullptr) ||
        passwordLength == 0)
        return 0;
    uint8_t first = 0;
    const uint32_t at = stream->position;
    ByteStream_readU8(&first, stream);
    oscarSeek(at, stream);
    ByteStream_writeU8(static_cast<uint8_t>(~first), stream);
    return 1;
}

int parseLoginReply(ByteStream *stream, char name[kOscarNameSize], uint8_t *cookie,
                    uint16_t *cookieLength) {
    FlapHeader header;
    if (!readFlapHeader(stream, &header)) return 0;
    if (header.channel == kFlapChannelSignoff) {
        if (header.length < kLoginReplyMinLength) return 0;
    } else if (header.channel == kFlapChannelData) {
        SnacHeader snac;
        if (!oscarReadSnacHeader(stream, &snac) || snac.family != kSnacFamilyLogin ||
            snac.subtype != kSnacLoginReply)
            return 0;
    } else {
        return 0;
    }
    const uint32_t tlvStart = stream->position;
    uint16_t length = 0;
    if (!findTlv(kTlvScreenName, stream) || !oscarEnterTlv(stream, &length, nullptr)) return 0;
    oscarCopyName(ByteStream_current(stream), length, name);

    oscarSeek(tlvStart, stream);
    if (!findTlv(kTlvAuthCookie, stream) || !oscarEnterTlv(stream, &length, nullptr)) return 0;
    if (cookie && cookieLength) {
        const uint16_t n = length < kOscarCookieSize ? length : kOscarCookieSize;
        ByteStream_read(cookie, n, stream);
        *cookieLength = n;
    }
    return 1;
}

int parseSignonCookie(ByteStream *stream, uint8_t *cookie) {
    FlapHeader header;
    if (!readFlapHeader(stream, &header) || header.channel != kFlapChannelSignon ||
        header.length <= kSignonCookieThreshold)
        return 0;
    ByteStream_skip(kFlapVersionSize, stream);
    uint16_t length = 0;
    if (findTlv(kTlvAuthCookie, stream) && oscarEnterTlv(stream, &length, nullptr) && cookie) {
        const uint16_t n = length < kOscarCookieSize ? length : kOscarCookieSize;
        ByteStream_read(cookie, n, stream);
    }
    return 1;
}

int parseIcbm(ByteStream *stream, IcbmInfo *info, ByteStream *output, const uint8_t *replacement,
              uint16_t replacementLength, LengthFixupList *fixups) {
    *info = IcbmInfo{};
    info->status = kIcbmStatusUnknown;
    if (fixups) fixups->count = 0;

    FlapHeader header;
    SnacHeader snac;
    if (!readFlapHeader(stream, &header) || header.channel != kFlapChannelData ||
        !oscarReadSnacHeader(stream, &snac))
        return 0;

    if (snac.family == kSnacFamilyGeneric) {
        if (snac.subtype == kSnacGenericSelfInfo) {
            if (!ByteStream_readU8(&info->nameLength, stream) ||
                ByteStream_remaining(stream) < info->nameLength)
                return 0;
            info->name = ByteStream_current(stream);
            info->direction = 0;
            info->status = kIcbmStatusSelfInfo;
        } else if (snac.subtype == kSnacGenericClientReady) {
            info->direction = 1;
            info->status = kIcbmStatusClientReady;
        }
        return 0;
    }
    if (snac.family != kSnacFamilyIcbm) return 0;
    if (snac.subtype == kSnacIcbmFromClient)
        info->direction = 1;
    else if (snac.subtype == kSnacIcbmToClient)
        info->direction = 0;
    else
        return 0;

    if (!ByteStream_readU32(&info->cookie[0], stream) ||
        !ByteStream_readU32(&info->cookie[1], stream) ||
        !ByteStream_readU16(&info->channel, stream) ||
        !ByteStream_readU8(&info->nameLength, stream) ||
        ByteStream_remaining(stream) < info->nameLength)
        return 0;
    info->name = ByteStream_current(stream);
    ByteStream_skip(info->nameLength, stream);
    if (info->direction == 0) {
        uint16_t warningLevel = 0;
        uint16_t userInfoCount = 0;
        if (!ByteStream_readU16(&warningLevel, stream) ||
            !ByteStream_readU16(&userInfoCount, stream))
            return 0;
        for (uint16_t i = 0; i < userInfoCount; ++i) {
            uint16_t type = 0;
            uint16_t length = 0;
            if (!ByteStream_readU16(&type, stream) || !ByteStream_readU16(&length, stream))
                return 0;
            ByteStream_skip(length, stream);
        }
    }

    if (info->channel == 1)
        return parseMessageData(stream, info, output, replacement, replacementLength, fixups);
    if (info->channel == 2)
        return parseRendezvous(stream, info, output, replacement, replacementLength, fixups);
    return 0;
}

bool spliceReplacement(ByteStream *input, const IcbmInfo *info, ByteStream *output,
                       const uint8_t *text, uint16_t replacementLength, const LengthFixup *fixups,
                       uint32_t fixupCount) {
    if (replacementLength && ByteStream_write(text, replacementLength, output) != replacementLength)
        return false;
    if (ByteStream_remaining(input) < info->textLength) return false;
    ByteStream_skip(info->textLength, input);
    const uint32_t rest = ByteStream_remaining(input);
    if (rest && ByteStream_write(ByteStream_current(input), rest, output) != rest) return false;
    if (ByteStream_remaining(output) != 0 || output->length < kFlapHeaderSize) return false;

    FlapHeader header;
    readFlapHeader(input, &header);
    ByteStream_rewind(output);
    ByteStream_writeU8(header.marker, output);
    ByteStream_writeU8(header.channel, output);
    ByteStream_writeU16(header.sequence, output);
    ByteStream_writeU16(static_cast<uint16_t>(output->length - kFlapHeaderSize), output);

    const auto difference = static_cast<uint16_t>(output->length - input->length);
    for (uint32_t i = 0; i < fixupCount; ++i) {
        oscarSeek(fixups[i].offset, output);
        ByteStream_writeU16(static_cast<uint16_t>(fixups[i].value + difference), output);
    }
    return true;
}

FrameClass classifyFrame(ByteStream *stream, char name[kOscarNameSize], IcbmInfo *info) {
    info->nameLength = 0;
    info->name = nullptr;
    info->textLength = 0;
    info->text = nullptr;
    name[0] = '\0';

    FlapHeader header;
    readFlapHeader(stream, &header);
    if (header.channel == kFlapChannelSignon && header.length > kSignonCookieThreshold)
        return FrameClass::CookieSignon;

    parseLoginRequest(stream, name);
    if (name[0] != '\0') return FrameClass::LoginRequest;
    if (parseLoginReply(stream, name, nullptr, nullptr) == 1) return FrameClass::LoginReply;

    parseIcbm(stream, info, nullptr, nullptr, 0, nullptr);
    const bool toClient = info->direction == 0;
    switch (info->status) {
    case kIcbmStatusText:
        oscarCopyName(info->name, info->nameLength, name);
        return toClient ? FrameClass::IncomingIm : FrameClass::OutgoingIm;
    case kIcbmStatusFile:
        oscarCopyName(info->name, info->nameLength, name);
        return toClient ? FrameClass::FileReceive : FrameClass::FileSend;
    case kIcbmStatusSelfInfo:
        oscarCopyName(info->name, info->nameLength, name);
        return FrameClass::SelfInfo;
    case kIcbmStatusClientReady: return FrameClass::ClientReady;
    case kIcbmStatusDatacast:
        oscarCopyName(info->name, info->nameLength, name);
        return toClient ? FrameClass::IncomingDatacast : FrameClass::OutgoingDatacast;
    default: return FrameClass::OtherFrame;
    }
}
