// YMSG packets: a 20-byte header ("YMSG", version, length, service, status,
// session id) and key/value fields separated by 0xC0 0x80.
#pragma once

#include "imsim/net.h"

#include <string>
#include <utility>
#include <vector>

namespace imsim {

constexpr size_t kYmsgHeaderSize = 20;
constexpr uint16_t kYmsgMessage = 6;
constexpr uint16_t kYmsgAuth = 87;
constexpr uint16_t kYmsgPeerToPeer = 79;
constexpr uint16_t kYmsgDatacast = 208;
constexpr uint16_t kYmsgFileTransfer = 220;

using YmsgFields = std::vector<std::pair<std::string, std::string>>;

struct YmsgPacket {
    uint16_t service = 0;
    uint32_t status = 0;
    uint32_t session = 0;
    uint16_t length = 0; // as the header says
    YmsgFields fields;
    std::string raw;

    // The last value of a key, or empty.
    std::string field(const std::string &key) const;
};

std::string ymsgEncode(uint16_t service, const YmsgFields &fields, uint32_t status = 0,
                       uint32_t session = 0x1234);
YmsgPacket ymsgDecode(const std::string &raw);
YmsgPacket ymsgRead(Socket &s, int timeoutMs = kDefaultTimeoutMs);

// The usual packets of a session.
std::string ymsgLogin(const std::string &user);
std::string ymsgMessage(const std::string &from, const std::string &to, const std::string &text);
std::string ymsgFileOffer(const std::string &from, const std::string &to, const std::string &file);

} // namespace imsim
