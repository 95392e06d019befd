// YMSG packets for tests, fuzzers and benchmarks: ymsg(6, "1^al^5^bo^14^hi^")
// is a message from al to bo, each '^' standing for a C0 80 separator. The
// header carries version 16, session id 0x12345678 and the body's length,
// unless another length is given.
#pragma once

#include <cstdint>
#include <string>

#include "support/scripted_host.h"

namespace qmxtest {

Bytes ymsgFrame(uint16_t service, const Bytes &body, int announcedLength = -1);
inline Bytes ymsg(uint16_t service, const std::string &fields, int announcedLength = -1) {
    Bytes body;
    for (char c : fields) body += c == '^' ? Bytes("\xC0\x80") : Bytes(1, c);
    return ymsgFrame(service, body, announcedLength);
}

// The same packets built field by field.
class YmsgPacket {
public:
    YmsgPacket &service(uint16_t code) { return service_ = code, *this; }
    YmsgPacket &lengthField(uint16_t announced) { return length_ = announced, *this; }
    YmsgPacket &field(const std::string &key, const Bytes &value) {
        return body_ += key + "\xC0\x80" + value + "\xC0\x80", *this;
    }
    Bytes build() const { return ymsgFrame(service_, body_, length_); }

private:
    uint16_t service_ = 0;
    int length_ = -1;
    Bytes body_;
};

inline Bytes ymsgMessage(const std::string &from, const std::string &to, const Bytes &text) {
    return YmsgPacket().service(6).field("1", from).field("5", to).field("14", text).build();
}
inline Bytes ymsgLogin(const std::string &user) { return ymsg(87, "1^" + user + "^"); }
inline Bytes ymsgDatacast(const std::string &from, const std::string &to) {
    return ymsg(208, "1^" + from + "^5^" + to + "^49^PLUGIN^");
}

} // namespace qmxtest
