#include "support/oscar_builders.h"

namespace qmxtest {

Bytes oscarU8(uint8_t value) { return Bytes(1, static_cast<char>(value)); }

Bytes oscarU16(uint16_t value) { return oscarU8(value >> 8) + oscarU8(value & 0xFF); }

Bytes oscarU32(uint32_t value) { return oscarU16(value >> 16) + oscarU16(value & 0xFFFF); }

static Bytes oscarU64(uint64_t value) {
    return oscarU32(static_cast<uint32_t>(value >> 32)) + oscarU32(static_cast<uint32_t>(value));
}

static Bytes oscarLe16(uint16_t value) { return oscarU8(value & 0xFF) + oscarU8(value >> 8); }

Bytes oscarLe32(uint32_t value) {
    return oscarLe16(value & 0xFFFF) + oscarLe16(static_cast<uint16_t>(value >> 16));
}

namespace {
Bytes guid(const unsigned char (&b)[16]) { return Bytes(reinterpret_cast<const char *>(b), 16); }
} // namespace

Bytes oscarCapIcqServerRelay() {
    static const unsigned char b[16] = {0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1,
                                        0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
    return guid(b);
}

Bytes oscarCapSendFile() {
    static const unsigned char b[16] = {0x09, 0x46, 0x13, 0x43, 0x4C, 0x7F, 0x11, 0xD1,
                                        0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
    return guid(b);
}

Bytes oscarPluginNull() { return Bytes(16, '\0'); }

Bytes oscarPluginFile() {
    static const unsigned char b[16] = {0xF0, 0x2D, 0x12, 0xD9, 0x30, 0x91, 0xD3, 0x11,
                                        0x8D, 0xD7, 0x00, 0x10, 0x4B, 0x06, 0x46, 0x2E};
    return guid(b);
}

Bytes oscarFlapAnnouncing(uint8_t channel, uint16_t sequence, uint16_t announcedLength,
                          const Bytes &payload) {
    return "*" + oscarU8(channel) + oscarU16(sequence) + oscarU16(announcedLength) + payload;
}

Bytes oscarFlap(uint8_t channel, uint16_t sequence, const Bytes &payload) {
    return oscarFlapAnnouncing(channel, sequence, static_cast<uint16_t>(payload.size()), payload);
}

static Bytes oscarSnac(uint16_t family, uint16_t subtype, uint16_t flags, uint32_t requestId,
                       const Bytes &data) {
    return oscarU16(family) + oscarU16(subtype) + oscarU16(flags) + oscarU32(requestId) + data;
}

Bytes oscarSnacFrame(uint16_t sequence, uint16_t family, uint16_t subtype, const Bytes &data) {
    return oscarFlap(2, sequence, oscarSnac(family, subtype, 0, 0, data));
}

Bytes oscarTlv(uint16_t type, const Bytes &value) {
    return oscarU16(type) + oscarU16(static_cast<uint16_t>(value.size())) + value;
}

static Bytes oscarFragment(uint8_t id, uint8_t version, const Bytes &data) {
    return oscarU8(id) + oscarU8(version) + oscarU16(static_cast<uint16_t>(data.size())) + data;
}

Bytes oscarSignonFrame(uint16_t sequence, const Bytes &tlvs) {
    return oscarFlap(1, sequence, oscarU32(1) + tlvs);
}

Bytes oscarSignoffFrame(uint16_t sequence, const Bytes &tlvs) {
    return oscarFlap(4, sequence, tlvs);
}

Bytes oscarPaddingTlv(uint16_t type, uint16_t length) {
    return oscarTlv(type, Bytes(length, '\x55'));
}

Bytes oscarSelfInfoFrame(uint16_t sequence, const std::string &screenName) {
    const Bytes userInfo = oscarU8(static_cast<uint8_t>(screenName.size())) + screenName +
                           oscarU16(0) + oscarU16(1) + oscarTlv(0x0001, oscarU16(0x0010));
    return oscarSnacFrame(sequence, 0x0001, 0x000F, userInfo);
}

Bytes oscarClientReadyFrame(uint16_t sequence) {
    return oscarSnacFrame(sequence, 0x0001, 0x0002,
                          oscarU16(0x0001) + oscarU16(0x0004) + oscarU32(0x0110164F));
}

Bytes oscarOutgoingIcbm(uint16_t sequence, uint64_t cookie, uint16_t channel,
                        const std::string &recipient, const Bytes &tlvs) {
    return oscarSnacFrame(sequence, 0x0004, 0x0006,
                          oscarU64(cookie) + oscarU16(channel) +
                              oscarU8(static_cast<uint8_t>(recipient.size())) + recipient + tlvs);
}

Bytes oscarIncomingIcbm(uint16_t sequence, uint64_t cookie, uint16_t channel,
                        const std::string &sender, uint16_t warningLevel, uint16_t userInfoCount,
                        const Bytes &userInfoTlvs, const Bytes &tlvs) {
    return oscarSnacFrame(
        sequence, 0x0004, 0x0007,
        oscarU64(cookie) + oscarU16(channel) + oscarU8(static_cast<uint8_t>(sender.size())) +
            sender + oscarU16(warningLevel) + oscarU16(userInfoCount) + userInfoTlvs + tlvs);
}

Bytes oscarMessageDataTlv(const Bytes &text, uint16_t charset, uint16_t charsetSubset) {
    return oscarTlv(0x0002,
                    oscarFragment(5, 1, oscarU8(0x01)) +
                        oscarFragment(1, 1, oscarU16(charset) + oscarU16(charsetSubset) + text));
}

Bytes oscarRendezvousTlv(uint16_t messageType, uint64_t cookie, const Bytes &capability,
                         const Bytes &tlvs) {
    return oscarTlv(0x0005, oscarU16(messageType) + oscarU64(cookie) + capability + tlvs);
}

Bytes oscarSendFileTlv(uint16_t multipleFiles, uint16_t fileCount, uint32_t totalSize,
                       const std::string &fileName) {
    return oscarTlv(0x2711, oscarU16(multipleFiles) + oscarU16(fileCount) + oscarU32(totalSize) +
                                fileName + Bytes(1, '\0'));
}

Bytes oscarIcqExtendedTlv(const Bytes &pluginId, uint8_t messageType, uint8_t messageFlags,
                          uint16_t status, uint16_t priority, const Bytes &text,
                          const Bytes &trailer) {
    const Bytes firstHeaderTail = oscarLe16(0) + oscarLe32(3) + oscarU8(0) + oscarLe16(0xFFFF);
    const Bytes secondHeader = oscarLe16(14) + oscarLe16(0xFFFF) + Bytes(12, '\0');
    const Bytes body = oscarLe16(0x1B) + oscarLe16(8) + pluginId + firstHeaderTail + secondHeader +
                       oscarU8(messageType) + oscarU8(messageFlags) + oscarLe16(status) +
                       oscarLe16(priority) + oscarLe16(static_cast<uint16_t>(text.size() + 1)) +
                       text + Bytes(1, '\0') + trailer;
    return oscarTlv(0x2711, body);
}

Bytes oscarIcqPluginData(const Bytes &pluginId, uint16_t functionId, const std::string &pluginName,
                         const std::string &requestText, const std::string &fileName) {
    const Bytes data =
        pluginId + oscarLe16(functionId) + oscarLe32(static_cast<uint32_t>(pluginName.size())) +
        pluginName + Bytes(15, '\0') + oscarLe32(0) +
        oscarLe32(static_cast<uint32_t>(requestText.size())) + requestText + oscarLe16(0) +
        oscarLe16(0) + oscarLe16(static_cast<uint16_t>(fileName.size() + 1)) + fileName +
        Bytes(1, '\0') + oscarLe32(1024);
    return oscarLe16(static_cast<uint16_t>(data.size())) + data;
}

} // namespace qmxtest
