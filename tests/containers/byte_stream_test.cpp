// Bounded big-endian reads, writes and searches over exact-size heap copies,
// so that AddressSanitizer catches any access past the end.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "containers/byte_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Op = std::function<uint32_t(ByteStream *, uint32_t *value)>;

TEST(ByteStream, ReadsAndWritesAreBigEndianAndOnlyHappenWhenTheyFit) {
    const Op u8 = [](ByteStream *s, uint32_t *v) {
        uint8_t x = 0;
        const uint32_t r = ByteStream_readU8(&x, s);
        return *v = x, r;
    };
    const Op u16 = [](ByteStream *s, uint32_t *v) {
        uint16_t x = 0;
        const uint32_t r = ByteStream_readU16(&x, s);
        return *v = x, r;
    };
    const Op u32 = [](ByteStream *s, uint32_t *v) { return ByteStream_readU32(v, s); };
    const Op three = [](ByteStream *s, uint32_t *v) {
        uint8_t x[3] = {};
        const uint32_t r = ByteStream_read(x, 3, s);
        return *v = uint32_t{x[0]} << 16 | uint32_t{x[1]} << 8 | x[2], r;
    };
    const Op w32 = [](ByteStream *s, uint32_t *) { return ByteStream_writeU32(258, s); };
    const Op w16 = [](ByteStream *s, uint32_t *) { return ByteStream_writeU16(0xabcd, s); };
    const Op w8 = [](ByteStream *s, uint32_t *) { return ByteStream_writeU8(0x7f, s); };
    const Op w3 = [](ByteStream *s, uint32_t *) { return ByteStream_write("ABC", 3, s); };
    const struct {
        Bytes bytes;
        uint32_t position;
        Op op;
        uint32_t result, value;
        Bytes after; // for writes
    } cases[] = {
        {{0x12, 0x34}, 0, u16, 2, 0x1234, {}},
        {{0, 0x12, 0x34}, 2, u16, 0, 0, {}},
        {{0xfe, 0xdc, 0xba, 0x98}, 0, u32, 4, 0xfedcba98, {}},
        {{0, 1, 2}, 0, u32, 0, 0, {}},
        {{0xff}, 0, u8, 1, 0xff, {}},
        {{0xff}, 1, u8, 0, 0, {}},
        {{9, 1, 2, 3}, 1, three, 3, 0x010203, {}},
        {{1, 2, 3}, 1, three, 0, 0, {}},
        {{0xee, 0xee, 0xee, 0xee}, 0, w32, 4, 0, {0, 0, 1, 2}},
        {{0xee, 0xee, 0xee}, 0, w32, 0, 0, {0xee, 0xee, 0xee}},
        {{0xee, 0xee}, 0, w16, 2, 0, {0xab, 0xcd}},
        {{0xee}, 0, w16, 0, 0, {0xee}},
        {{0xee}, 0, w8, 1, 0, {0x7f}},
        {{0xee, 0xee, 0xee}, 0, w3, 3, 0, {'A', 'B', 'C'}},
        {{0xee, 0xee}, 0, w3, 0, 0, {0xee, 0xee}},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> data = c.bytes;
        ByteStream s;
        ByteStream_init(data.data(), static_cast<uint32_t>(data.size()), &s);
        s.position = c.position;
        uint32_t value = 0;
        EXPECT_EQ(c.op(&s, &value), c.result) << c.bytes.size() << " bytes from " << c.position;
        EXPECT_EQ(value, c.value) << c.bytes.size() << " bytes from " << c.position;
        EXPECT_EQ(s.position, c.position + c.result);
        if (!c.after.empty()) {
            EXPECT_EQ(data, c.after);
        }
    }
}

TEST(ByteStream, SkipClampsAtTheEndAndFindOnlyReportsWholeMatches) {
    const uint8_t five[] = {'x', 'y', 'x', 'y', 'z'};
    ByteStream s;
    ByteStream_init(five, 5, &s);
    s.position = 3;
    EXPECT_EQ(ByteStream_skip(0xffffffffu, &s), 0xffffffffu);
    EXPECT_EQ(ByteStream_current(&s), five + 5) << "a skip near 2^32 must not wrap";
    ByteStream_rewind(&s);
    EXPECT_EQ(ByteStream_find("xyz", 3, &s), 2);
    ByteStream_skip(1, &s);
    EXPECT_EQ(ByteStream_find("xyz", 3, &s), 1);
    EXPECT_EQ(ByteStream_find("yz!", 3, &s), -1) << "a match must lie wholly inside";
    EXPECT_EQ(ByteStream_find("z", 1, &s), 3);
    EXPECT_EQ(s.position, 1u);
    uint8_t all[5];
    EXPECT_EQ(ByteStream_read(all, 4, &s), 4u) << "exactly the bytes left";
    EXPECT_EQ(ByteStream_read(all, 1, &s) + ByteStream_skip(1, nullptr) +
                  ByteStream_readU32(nullptr, &s) + ByteStream_write(nullptr, 1, &s),
              0u);
    EXPECT_EQ(ByteStream_init(all, 5, nullptr), 0);
}

} // namespace
