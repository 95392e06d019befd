// OSCAR frame builders for tests: every header field, TLV and message part
// is a named argument, so a test says what it sends.
//
//   Bytes im = oscarOutgoingIcbm(/*sequence=*/7, /*cookie=*/0x1122334455667788, /*channel=*/1,
//                                "bob", oscarMessageDataTlv("hi", kCharsetAscii, 0));
#pragma once

#include <cstdint>
#include <string>

#include "support/scripted_host.h"

namespace qmxtest {

// Big-endian and little-endian integers as bytes.
Bytes oscarU8(uint8_t value);
Bytes oscarU16(uint16_t value);
Bytes oscarU32(uint32_t value);
Bytes oscarLe32(uint32_t value);

// The 16-byte capability and plugin identifiers.
Bytes oscarCapIcqServerRelay();
Bytes oscarCapSendFile();
Bytes oscarPluginNull();
Bytes oscarPluginFile();

constexpr uint16_t kCharsetAscii = 0x0000;
constexpr uint16_t kCharsetUnicode = 0x0002;
constexpr uint16_t kCharsetLatin1 = 0x0003;

// '*', channel, sequence, payload length, payload.
Bytes oscarFlap(uint8_t channel, uint16_t sequence, const Bytes &payload);
// The same with a length field that does not match the payload.
Bytes oscarFlapAnnouncing(uint8_t channel, uint16_t sequence, uint16_t announcedLength,
                          const Bytes &payload);
// A channel-2 frame carrying one SNAC (flags 0, request id 0).
Bytes oscarSnacFrame(uint16_t sequence, uint16_t family, uint16_t subtype, const Bytes &data);
Bytes oscarTlv(uint16_t type, const Bytes &value);

// Channel 1: FLAP version 1, then the TLVs. Channel 4: the TLVs alone.
Bytes oscarSignonFrame(uint16_t sequence, const Bytes &tlvs);
Bytes oscarSignoffFrame(uint16_t sequence, const Bytes &tlvs);
// A TLV of `length` bytes of filler, to push a frame past a size threshold.
Bytes oscarPaddingTlv(uint16_t type, uint16_t length);

// SNAC 0x0001/0x000F: u8 name length, name, then the rest of the user info.
Bytes oscarSelfInfoFrame(uint16_t sequence, const std::string &screenName);
Bytes oscarClientReadyFrame(uint16_t sequence);

// SNAC 0x0004/0x0006: cookie, ICBM channel, peer, then the TLVs.
Bytes oscarOutgoingIcbm(uint16_t sequence, uint64_t cookie, uint16_t channel,
                        const std::string &recipient, const Bytes &tlvs);
// SNAC 0x0004/0x0007: cookie, channel, peer, warning level, user-info TLVs
// (and their count), then the TLVs.
Bytes oscarIncomingIcbm(uint16_t sequence, uint64_t cookie, uint16_t channel,
                        const std::string &sender, uint16_t warningLevel, uint16_t userInfoCount,
                        const Bytes &userInfoTlvs, const Bytes &tlvs);

// TLV 2 of a channel-1 message: a capabilities fragment (0x0501), then the
// text fragment (0x0101) with its charset and subset words.
Bytes oscarMessageDataTlv(const Bytes &text, uint16_t charset, uint16_t charsetSubset);

// TLV 5 of a channel-2 message: rendezvous type, cookie, capability, TLVs.
Bytes oscarRendezvousTlv(uint16_t messageType, uint64_t cookie, const Bytes &capability,
                         const Bytes &tlvs);
// TLV 0x2711 of a send-file request.
Bytes oscarSendFileTlv(uint16_t multipleFiles, uint16_t fileCount, uint32_t totalSize,
                       const std::string &fileName);
// TLV 0x2711 carrying an ICQ extended message: the two headers around the
// plugin id, message type and flags, status, priority, the little-endian
// length (text + NUL), the text, its NUL, then `trailer`.
Bytes oscarIcqExtendedTlv(const Bytes &pluginId, uint8_t messageType, uint8_t messageFlags,
                          uint16_t status, uint16_t priority, const Bytes &text,
                          const Bytes &trailer);
// The plugin data that follows an ICQ plugin message (type 0x1A) with an
// empty text: its length word, the plugin id, the function id, the plugin's
// name, a request text, and a file name.
Bytes oscarIcqPluginData(const Bytes &pluginId, uint16_t functionId, const std::string &pluginName,
                         const std::string &requestText, const std::string &fileName);

} // namespace qmxtest
