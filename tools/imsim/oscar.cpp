#include "imsim/oscar.h"

#include <map>

namespace imsim {

namespace {

constexpr size_t kSnacHeaderSize = 10;
const std::string
    kSendFileCapability("\x09\x46\x13\x43\x4C\x7F\x11\xD1\x82\x22\x44\x45\x53\x54\x00\x00", 16);

// The two fragments of a channel-1 message: required features, then the
// text after its charset and charset subset words.
std::string messageFragments(const std::string &text) {
    return u8(5) + u8(1) + u16(1) + u8(1) + u8(1) + u8(1) +
           u16(static_cast<uint16_t>(text.size() + 4)) + u16(0) + u16(0) + text;
}

std::map<uint16_t, std::string> tlvs(const std::string &b, size_t at, size_t end) {
    std::map<uint16_t, std::string> out;
    while (at + 4 <= end) {
        const uint16_t type = readU16(b, at);
        const uint16_t len = readU16(b, at + 2);
        if (at + 4 + len > end) break;
        out.emplace(type, b.substr(at + 4, len));
        at += 4 + len;
    }
    return out;
}

} // namespace

std::string flap(uint8_t channel, uint16_t sequence, const std::string &payload) {
    return u8('*') + u8(channel) + u16(sequence) + u16(static_cast<uint16_t>(payload.size())) +
           payload;
}

std::string snac(uint16_t family, uint16_t subtype, uint32_t requestId, const std::string &data) {
    return u16(family) + u16(subtype) + u16(0) + u32(requestId) + data;
}

std::string tlv(uint16_t type, const std::string &value) {
    return u16(type) + u16(static_cast<uint16_t>(value.size())) + value;
}

Flap flapDecode(const std::string &raw) {
    if (raw.size() < kFlapHeaderSize || raw[0] != '*') throw Error("not a FLAP frame");
    Flap f;
    f.channel = static_cast<uint8_t>(raw[1]);
    f.sequence = readU16(raw, 2);
    f.payload = raw.substr(kFlapHeaderSize);
    f.raw = raw;
    return f;
}

Flap flapRead(Socket &s, int timeoutMs) {
    std::string raw = s.readExact(kFlapHeaderSize, timeoutMs);
    if (raw[0] != '*') throw Error("not a FLAP header");
    raw += s.readExact(readU16(raw, 4), timeoutMs);
    return flapDecode(raw);
}

std::string oscarLoginRequest(uint16_t seq, const std::string &name, const std::string &hash) {
    return flap(
        2, seq,
        snac(0x0017, 0x0002, 1,
             tlv(0x0001, name) + tlv(0x0025, hash) + tlv(0x0003, "imsim/1.0") + tlv(0x004C, "")));
}

std::string oscarLoginReply(uint16_t seq, const std::string &name, const std::string &bos,
                            const std::string &cookie) {
    return flap(
        2, seq,
        snac(0x0017, 0x0003, 1, tlv(0x0001, name) + tlv(0x0005, bos) + tlv(0x0006, cookie)));
}

std::string oscarCookieSignon(uint16_t seq, const std::string &cookie) {
    return flap(1, seq, u32(1) + tlv(0x0006, cookie));
}

std::string oscarSelfInfo(uint16_t seq, const std::string &name) {
    return flap(
        2, seq,
        snac(0x0001, 0x000F, 2, u8(static_cast<uint8_t>(name.size())) + name + u16(0) + u16(0)));
}

std::string oscarMessageOut(uint16_t seq, const std::string &cookie8, const std::string &to,
                            const std::string &text) {
    return flap(2, seq,
                snac(0x0004, 0x0006, 3,
                     cookie8 + u16(1) + u8(static_cast<uint8_t>(to.size())) + to +
                         tlv(0x0002, messageFragments(text))));
}

std::string oscarMessageIn(uint16_t seq, const std::string &cookie8, const std::string &from,
                           const std::string &text) {
    return flap(2, seq,
                snac(0x0004, 0x0007, 4,
                     cookie8 + u16(1) + u8(static_cast<uint8_t>(from.size())) + from + u16(0) +
                         u16(1) + tlv(0x0001, u16(0x0010)) + tlv(0x0002, messageFragments(text))));
}

std::string oscarFileOffer(uint16_t seq, const std::string &cookie8, const std::string &to,
                           const std::string &fileName) {
    const std::string fileInfo = u16(1) + u16(1) + u32(4096) + fileName + std::string(1, '\0');
    const std::string rendezvous = u16(0) + cookie8 + kSendFileCapability + tlv(0x000A, u16(1)) +
                                   tlv(0x000F, "") + tlv(0x2711, fileInfo);
    return flap(2, seq,
                snac(0x0004, 0x0006, 5,
                     cookie8 + u16(2) + u8(static_cast<uint8_t>(to.size())) + to +
                         tlv(0x0005, rendezvous)));
}

OscarIcbm oscarDecodeIcbm(const Flap &f) {
    OscarIcbm m;
    const std::string &b = f.raw;
    const size_t data = kFlapHeaderSize + kSnacHeaderSize;
    m.family = readU16(b, kFlapHeaderSize);
    m.subtype = readU16(b, kFlapHeaderSize + 2);
    m.channel = readU16(b, data + 8);
    const size_t nameLength = static_cast<uint8_t>(b.at(data + 10));
    m.peer = b.substr(data + 11, nameLength);
    size_t at = data + 11 + nameLength;
    if (m.subtype == 0x0007 && at + 4 <= b.size()) {
        const uint16_t count = readU16(b, at + 2);
        at += 4;
        for (uint16_t i = 0; i < count && at + 4 <= b.size(); ++i) at += 4 + readU16(b, at + 2);
    }
    while (at + 4 <= b.size()) {
        const uint16_t type = readU16(b, at);
        const uint16_t len = readU16(b, at + 2);
        if (type == 0x0002 && m.channel == 1) {
            m.messageTlvLength = len;
            size_t frag = at + 4;
            while (frag + 4 <= b.size()) {
                const uint16_t fragLen = readU16(b, frag + 2);
                if (b[frag] == 1 && b[frag + 1] == 1) {
                    m.fragmentLength = fragLen;
                    m.text = b.substr(frag + 8, fragLen >= 4 ? fragLen - 4 : 0);
                    m.hasText = true;
                    break;
                }
                frag += 4 + fragLen;
            }
        }
        at += 4 + len;
    }
    return m;
}

OscarLoginReply oscarDecodeLoginReply(const Flap &f) {
    auto t = tlvs(f.raw, kFlapHeaderSize + kSnacHeaderSize, f.raw.size());
    return {t[0x0001], t[0x0005], t[0x0006]};
}

std::string oscarPasswordHash(const Flap &f) {
    return tlvs(f.raw, kFlapHeaderSize + kSnacHeaderSize, f.raw.size())[0x0025];
}

} // namespace imsim
