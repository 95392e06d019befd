#include "support/ymsg_builders.h"

namespace qmxtest {
namespace {

const Bytes kSeparator = "\xC0\x80";

void appendU16(Bytes &out, uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xFF));
}

void appendU32(Bytes &out, uint32_t v) {
    appendU16(out, static_cast<uint16_t>(v >> 16));
    appendU16(out, static_cast<uint16_t>(v & 0xFFFF));
}

} // namespace

YmsgPacket &YmsgPacket::version(uint16_t protocolVersion, uint16_t vendorId) {
    protocolVersion_ = protocolVersion;
    vendorId_ = vendorId;
    return *this;
}

YmsgPacket &YmsgPacket::service(uint16_t code) {
    service_ = code;
    return *this;
}

YmsgPacket &YmsgPacket::status(uint32_t code) {
    status_ = code;
    return *this;
}

YmsgPacket &YmsgPacket::sessionId(uint32_t id) {
    sessionId_ = id;
    return *this;
}

YmsgPacket &YmsgPacket::lengthField(uint16_t announced) {
    lengthOverridden_ = true;
    announcedLength_ = announced;
    return *this;
}

YmsgPacket &YmsgPacket::field(const std::string &key, const Bytes &value) {
    body_ += key + kSeparator + value + kSeparator;
    return *this;
}

YmsgPacket &YmsgPacket::rawBody(const Bytes &body) {
    body_ += body;
    return *this;
}

Bytes YmsgPacket::body() const { return body_; }

Bytes YmsgPacket::build() const {
    Bytes out = "YMSG";
    appendU16(out, protocolVersion_);
    appendU16(out, vendorId_);
    appendU16(out, lengthOverridden_ ? announcedLength_ : static_cast<uint16_t>(body_.size()));
    appendU16(out, service_);
    appendU32(out, status_);
    appendU32(out, sessionId_);
    return out + body_;
}

Bytes ymsgMessage(const std::string &sender, const std::string &recipient, const Bytes &text) {
    return YmsgPacket()
        .service(6)
        .field("1", sender)
        .field("5", recipient)
        .field("14", text)
        .build();
}

Bytes ymsgLogin(const std::string &user) {
    return YmsgPacket().service(87).field("1", user).build();
}

Bytes ymsgDatacast(const std::string &sender, const std::string &recipient) {
    return YmsgPacket()
        .service(208)
        .field("1", sender)
        .field("5", recipient)
        .field("49", "PLUGIN")
        .build();
}

Bytes ymsgFileTransfer(const std::string &sender, const std::string &recipient,
                       const Bytes &fileName) {
    return YmsgPacket()
        .service(220)
        .field("4", sender)
        .field("5", recipient)
        .field("27", fileName)
        .build();
}

Bytes ymsgPeerToPeer(const std::string &sender, const std::string &recipient) {
    return YmsgPacket()
        .service(79)
        .field("4", sender)
        .field("5", recipient)
        .field("13", "1")
        .build();
}

} // namespace qmxtest
