// Decoding of YMSG field lists, over exact-size heap copies so that
// AddressSanitizer catches any read past a packet. The relay tests read and
// write the headers.
#include <gtest/gtest.h>

#include <vector>

#include "support/ymsg_builders.h"
#include "ymsg/packet.h"

namespace qmxtest {
namespace {

struct Packet {
    explicit Packet(const Bytes &b) : bytes(b.begin(), b.end()) {
        ByteStream_init(bytes.data(), static_cast<uint32_t>(bytes.size()), &stream);
    }
    std::vector<uint8_t> bytes;
    ByteStream stream{};
};

TEST(YmsgPacket, FieldScanRecordsSenderRecipientAndTextByKeyAndNothingIsReadFromNull) {
    const std::pair<std::string, const char *> cases[] = {
        // fields, then what was found: sender|recipient|text, "-" for none
        {"1^alice^5^bob^14^hi^", "alice|bob|hi"},
        {"1^a^4^b^", "b|-|-"}, // the later sender key wins
        {"4^b^1^a^", "a|-|-"},
        {"14^t^27^f.txt^", "-|-|f.txt"},
        {"11^x^140^y^^z^05^w^", "-|-|-"}, // whole keys only
        {"14^^", "-|-|"},
        {"1^alice^5^bob", "alice|-|-"}, // a value without its separator
        {"5^bob^14", "-|bob|-"},
        {"1alice5bob14hello", "-|-|-"},
        {"5^bob^\xC0", "-|bob|-"},
        {std::string(40, '1') + "^x^" + std::string(31, '7') + "^y^1^al^", "al|-|-"},
        {std::string(60, '0') + "14^x^", "-|-|-"},
        {"", "-|-|-"},
    };
    for (const auto &[fields, found] : cases) {
        Packet p(ymsg(6, fields));
        YmsgFields f{{reinterpret_cast<const uint8_t *>("stale"), 5}, {}, {}};
        EXPECT_EQ(ymsgParsePacket(&p.stream, &f), 6);
        std::string seen;
        for (const YmsgValue &v : {f.sender, f.recipient, f.text})
            seen += "|" + (v.data ? Bytes(reinterpret_cast<const char *>(v.data), v.length) : "-");
        EXPECT_EQ(seen.substr(1), found) << fields;
    }
    YmsgHeader header{};
    Packet none("");
    EXPECT_EQ(ymsgReadHeader(nullptr, &none.stream) + ymsgWriteHeader(&header, nullptr), 0);
}

} // namespace
} // namespace qmxtest
