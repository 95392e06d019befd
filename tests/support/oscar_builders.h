// OSCAR frame builders for the suites outside tests/oscar (hardening, e2e,
// bench), named after the frames they build, big-endian throughout;
// tests/oscar writes its frames in the notation of oscar_fixture.h.
#pragma once

#include <cstdint>
#include <string>

#include "support/scripted_host.h"

namespace qmxtest {

constexpr uint16_t kCharsetAscii = 0x0000;
constexpr uint16_t kCharsetUnicode = 0x0002;

inline Bytes oscarBe(uint64_t value, int bytes) {
    return bytes == 0 ? Bytes() : oscarBe(value >> 8, bytes - 1) + static_cast<char>(value & 0xFF);
}
inline Bytes oscarTlv(uint16_t type, const Bytes &value) {
    return oscarBe(type, 2) + oscarBe(value.size(), 2) + value;
}
inline Bytes oscarFlapAnnouncing(uint8_t channel, uint16_t sequence, uint16_t length,
                                 const Bytes &payload) {
    return "*" + oscarBe(channel, 1) + oscarBe(sequence, 2) + oscarBe(length, 2) + payload;
}
inline Bytes oscarFlap(uint8_t channel, uint16_t sequence, const Bytes &payload) {
    return oscarFlapAnnouncing(channel, sequence, static_cast<uint16_t>(payload.size()), payload);
}
inline Bytes oscarSignonFrame(uint16_t sequence, const Bytes &tlvs) {
    return oscarFlap(1, sequence, oscarBe(1, 4) + tlvs);
}
inline Bytes oscarSignoffFrame(uint16_t sequence, const Bytes &tlvs) {
    return oscarFlap(4, sequence, tlvs);
}
inline Bytes oscarSnacFrame(uint16_t sequence, uint16_t family, uint16_t subtype,
                            const Bytes &data) {
    return oscarFlap(2, sequence, oscarBe(family, 2) + oscarBe(subtype, 2) + oscarBe(0, 6) + data);
}
inline Bytes oscarSelfInfoFrame(uint16_t sequence, const std::string &name) {
    return oscarSnacFrame(sequence, 1, 0x000F,
                          oscarBe(name.size(), 1) + name + oscarBe(1, 4) +
                              oscarTlv(1, oscarBe(16, 2)));
}
inline Bytes oscarOutgoingIcbm(uint16_t sequence, uint64_t cookie, uint16_t channel,
                               const std::string &to, const Bytes &tlvs) {
    return oscarSnacFrame(sequence, 4, 6,
                          oscarBe(cookie, 8) + oscarBe(channel, 2) + oscarBe(to.size(), 1) + to +
                              tlvs);
}
// TLV 2 of a channel-1 message: a capabilities fragment, then the text
// fragment with its charset and subset words.
inline Bytes oscarMessageDataTlv(const Bytes &text, uint16_t charset, uint16_t subset) {
    return oscarTlv(2, oscarBe(0x0501000101, 5) + oscarBe(0x0101, 2) + oscarBe(text.size() + 4, 2) +
                           oscarBe(charset, 2) + oscarBe(subset, 2) + text);
}
inline Bytes oscarRendezvousTlv(uint16_t type, uint64_t cookie, const Bytes &capability,
                                const Bytes &tlvs) {
    return oscarTlv(5, oscarBe(type, 2) + oscarBe(cookie, 8) + capability + tlvs);
}
inline Bytes oscarCapSendFile() {
    return oscarBe(0x094613434C7F11D1, 8) + oscarBe(0x8222444553540000, 8);
}
inline Bytes oscarSendFileTlv(uint16_t multiple, uint16_t count, uint32_t size,
                              const std::string &fileName) {
    return oscarTlv(0x2711, oscarBe(multiple, 2) + oscarBe(count, 2) + oscarBe(size, 4) + fileName +
                                Bytes(1, '\0'));
}

} // namespace qmxtest
