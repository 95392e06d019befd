// YMSG packet builders for tests, fuzzers and benchmarks: every header field
// and every key/value pair is named, so a test says what it sends.
//
//   Bytes p = YmsgPacket().service(6).field("1", "alice").field("5", "bob")
//                 .field("14", "hello").build();
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/scripted_host.h"

namespace qmxtest {

class YmsgPacket {
public:
    YmsgPacket &version(uint16_t protocolVersion, uint16_t vendorId);
    YmsgPacket &service(uint16_t code);
    YmsgPacket &status(uint32_t code);
    YmsgPacket &sessionId(uint32_t id);
    // Announces this many body bytes instead of the real count.
    YmsgPacket &lengthField(uint16_t announced);
    // One key/value pair, each followed by the C0 80 separator.
    YmsgPacket &field(const std::string &key, const Bytes &value);
    // Bytes appended to the field list as they are, without separators.
    YmsgPacket &rawBody(const Bytes &body);

    Bytes build() const;
    // The field list alone, as build() puts it after the header.
    Bytes body() const;

private:
    uint16_t protocolVersion_ = 16;
    uint16_t vendorId_ = 0;
    uint16_t service_ = 0;
    uint32_t status_ = 0;
    uint32_t sessionId_ = 0x12345678;
    bool lengthOverridden_ = false;
    uint16_t announcedLength_ = 0;
    Bytes body_;
};

// The usual shapes: a message (service 6), a login (87), a datacast (208), a
// file transfer (220, file name under key "27") and a peer-to-peer set-up (79).
Bytes ymsgMessage(const std::string &sender, const std::string &recipient, const Bytes &text);
Bytes ymsgLogin(const std::string &user);
Bytes ymsgDatacast(const std::string &sender, const std::string &recipient);
Bytes ymsgFileTransfer(const std::string &sender, const std::string &recipient,
                       const Bytes &fileName);
Bytes ymsgPeerToPeer(const std::string &sender, const std::string &recipient);

} // namespace qmxtest
