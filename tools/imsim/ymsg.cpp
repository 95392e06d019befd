#include "imsim/ymsg.h"

namespace imsim {

namespace {
const std::string kSeparator("\xC0\x80", 2);
}

std::string YmsgPacket::field(const std::string &key) const {
    std::string value;
    for (const auto &[k, v] : fields) {
        if (k == key) value = v;
    }
    return value;
}

std::string ymsgEncode(uint16_t service, const YmsgFields &fields, uint32_t status,
                       uint32_t session) {
    std::string body;
    for (const auto &[k, v] : fields)
        body.append(k).append(kSeparator).append(v).append(kSeparator);
    return "YMSG" + u16(0x0010) + u16(0) + u16(static_cast<uint16_t>(body.size())) + u16(service) +
           u32(status) + u32(session) + body;
}

YmsgPacket ymsgDecode(const std::string &raw) {
    if (raw.size() < kYmsgHeaderSize || raw.compare(0, 4, "YMSG") != 0)
        throw Error("not a YMSG packet");
    YmsgPacket p;
    p.raw = raw;
    p.length = readU16(raw, 8);
    p.service = readU16(raw, 10);
    p.status = readU32(raw, 12);
    p.session = readU32(raw, 16);
    size_t at = kYmsgHeaderSize;
    while (at < raw.size()) {
        const size_t k = raw.find(kSeparator, at);
        if (k == std::string::npos) break;
        const size_t v = raw.find(kSeparator, k + 2);
        if (v == std::string::npos) break;
        p.fields.emplace_back(raw.substr(at, k - at), raw.substr(k + 2, v - k - 2));
        at = v + 2;
    }
    return p;
}

YmsgPacket ymsgRead(Socket &s, int timeoutMs) {
    std::string raw = s.readExact(kYmsgHeaderSize, timeoutMs);
    if (raw.compare(0, 4, "YMSG") != 0) throw Error("not a YMSG header");
    raw += s.readExact(readU16(raw, 8), timeoutMs);
    return ymsgDecode(raw);
}

std::string ymsgLogin(const std::string &user) { return ymsgEncode(kYmsgAuth, {{"1", user}}); }

std::string ymsgMessage(const std::string &from, const std::string &to, const std::string &text) {
    return ymsgEncode(kYmsgMessage, {{"1", from}, {"5", to}, {"14", text}, {"97", "1"}}, 1);
}

std::string ymsgFileOffer(const std::string &from, const std::string &to, const std::string &file) {
    return ymsgEncode(kYmsgFileTransfer, {{"1", from}, {"5", to}, {"27", file}, {"28", "1024"}});
}

} // namespace imsim
