// Decoding of YMSG headers and field lists, over exact-size heap copies so
// that AddressSanitizer catches any read past a packet.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <tuple>

#include "support/ymsg_builders.h"
#include "ymsg/packet.h"

using namespace qmxtest;

namespace {

struct Packet {
    explicit Packet(const Bytes &b) : data(new uint8_t[b.size()]), size(b.size()) {
        std::copy(b.begin(), b.end(), data.get());
        ByteStream_init(data.get(), static_cast<uint32_t>(size), &stream);
    }
    bool inside(const YmsgValue &v) const {
        return v.data >= data.get() && v.data + v.length <= data.get() + size;
    }
    std::unique_ptr<uint8_t[]> data;
    size_t size;
    ByteStream stream{};
};

std::optional<Bytes> valueOf(const YmsgValue &v) {
    if (v.data == nullptr) return std::nullopt;
    return Bytes(reinterpret_cast<const char *>(v.data), v.length);
}

} // namespace

TEST(YmsgPacket, HeaderRoundTripKeepsEveryByteAndDecodesBigEndianWhateverThePosition) {
    Bytes wire = YmsgPacket()
                     .version(0x0102, 0xA0B0)
                     .service(0xD0)
                     .status(0x01020304)
                     .sessionId(0xCAFEBABE)
                     .field("1", "alice")
                     .build();
    Packet in(wire);
    YmsgHeader header{};
    ASSERT_EQ(ymsgReadHeader(&header, &in.stream), 1);
    EXPECT_TRUE(ymsgHasMagic(header));
    EXPECT_EQ(
        std::make_tuple(uint32_t{header.length}, uint32_t{header.service}, header.status,
                        header.sessionId),
        std::make_tuple(uint32_t(wire.size() - kYmsgHeaderSize), 0xD0u, 0x01020304u, 0xCAFEBABEu));

    Packet out(Bytes(kYmsgHeaderSize, '\0'));
    ASSERT_EQ(ymsgWriteHeader(&header, &out.stream), 1);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(out.data.get()), kYmsgHeaderSize),
              wire.substr(0, kYmsgHeaderSize));
    EXPECT_EQ(ymsgReadHeader(nullptr, &in.stream) + ymsgWriteHeader(&header, nullptr), 0);
    // The size comes from the header whatever the position.
    Packet p(YmsgPacket().lengthField(47).build());
    ByteStream_skip(13, &p.stream);
    EXPECT_EQ(ymsgPacketSize(&p.stream), 67u);
}

TEST(YmsgPacket, FieldScanRecordsSenderRecipientAndTextByKey) {
    const Bytes longKey(40, '1'); // one byte over 31 would already be skipped
    struct Case {
        const char *name;
        Bytes body;
        std::optional<Bytes> sender, recipient, text;
    };
    const Case cases[] = {
        {"standard", YmsgPacket().field("1", "alice").field("5", "bob").field("14", "hi").body(),
         "alice", "bob", "hi"},
        {"later sender key wins", YmsgPacket().field("1", "a").field("4", "b").body(), "b", {}, {}},
        {"key 1 after 4 wins", YmsgPacket().field("4", "b").field("1", "a").body(), "a", {}, {}},
        {"file name under 27 after 14",
         YmsgPacket().field("14", "t").field("27", "f.txt").body(),
         {},
         {},
         "f.txt"},
        {"prefixes and extensions are other keys",
         YmsgPacket().field("11", "x").field("140", "y").field("", "z").field("05", "w").body(),
         {},
         {},
         {}},
        {"empty value", YmsgPacket().field("14", "").body(), {}, {}, Bytes()},
        {"last value lacks its separator",
         YmsgPacket()
             .field("1", "alice")
             .rawBody("5\xC0\x80"
                      "bob")
             .body(),
         "alice",
         {},
         {}},
        {"key without separator",
         YmsgPacket().field("5", "bob").rawBody("14").body(),
         {},
         "bob",
         {}},
        {"no separators at all", "1alice5bob14hello", {}, {}, {}},
        {"trailing single separator byte",
         YmsgPacket().field("5", "bob").rawBody("\xC0").body(),
         {},
         "bob",
         {}},
        {"over-long keys are skipped",
         YmsgPacket().field(longKey, "x").field(Bytes(31, '7'), "y").field("1", "al").body(),
         "al",
         {},
         {}},
        {"over-long key ending in a known key",
         YmsgPacket().field(Bytes(60, '0') + "14", "x").body(),
         {},
         {},
         {}},
        {"no fields", "", {}, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Packet p(YmsgPacket().service(6).rawBody(c.body).build());
        YmsgFields fields{{reinterpret_cast<const uint8_t *>("stale"), 5}, {}, {}};
        EXPECT_EQ(ymsgParsePacket(&p.stream, &fields), 6);
        EXPECT_EQ(valueOf(fields.sender), c.sender);
        EXPECT_EQ(valueOf(fields.recipient), c.recipient);
        EXPECT_EQ(valueOf(fields.text), c.text);
        for (const YmsgValue *v : {&fields.sender, &fields.recipient, &fields.text}) {
            if (v->data != nullptr) {
                EXPECT_TRUE(p.inside(*v));
            }
        }
    }
}

TEST(YmsgPacket, FieldScanOnlySetsSlotsAndStartsAtThePosition) {
    Packet p(YmsgPacket().field("1", "alice").field("5", "bob").build());
    YmsgHeader header{};
    ymsgReadHeader(&header, &p.stream);
    ByteStream_skip(3 + 5 + 2, &p.stream); // past the first pair
    const uint8_t keep[] = "kept";
    YmsgFields fields{{keep, 4}, {}, {keep, 4}};
    ymsgParseFields(&p.stream, &fields);
    EXPECT_EQ(valueOf(fields.sender), Bytes("kept"));
    EXPECT_EQ(valueOf(fields.recipient), Bytes("bob"));
    EXPECT_EQ(valueOf(fields.text), Bytes("kept"));
}
