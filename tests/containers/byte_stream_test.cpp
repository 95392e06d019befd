// Bounded big-endian reads, writes and searches: what does not fit whole
// does nothing and answers 0. Every parser reads through these, so the
// protocol suites and the decoder fuzz targets check the rest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "containers/byte_stream.h"

namespace {

using Results = std::vector<uint32_t>; // of a sequence of calls, in order

TEST(ByteStream, ReadsAndWritesAreBigEndianAndHappenOnlyWhenTheyFitWhole) {
    uint8_t data[7] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde}, u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    ByteStream s;
    ByteStream_init(data, sizeof data, &s);
    EXPECT_EQ((Results{ByteStream_readU16(&u16, &s), ByteStream_readU32(&u32, &s),
                       ByteStream_readU32(&u32, &s), ByteStream_readU8(&u8, &s)}),
              (Results{2, 4, 0, 1}));
    EXPECT_EQ(u16 * 0x10000000000ull + u32 * 0x100ull + u8, 0x123456789abcdeull);
    s.position = 1;
    EXPECT_EQ((Results{ByteStream_writeU32(0x01020304, &s), ByteStream_writeU16(0xabcd, &s),
                       ByteStream_writeU16(0xabcd, &s), ByteStream_writeU8(0x77, &s),
                       ByteStream_write("AB", 2, &s)}),
              (Results{4, 2, 0, 0, 0}));
    EXPECT_EQ(std::string(data, data + 7), "\x12\x01\x02\x03\x04\xab\xcd");
}

TEST(ByteStream, SkipClampsAtTheEndAndFindReportsOnlyWholeMatches) {
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
    EXPECT_EQ(ByteStream_find("z", 1, &s) + ByteStream_find("", 0, &s), 3);
    EXPECT_EQ(ByteStream_find("", 0, nullptr) + ByteStream_find(nullptr, 1, &s), -2);
    uint8_t all[5];
    EXPECT_EQ(ByteStream_read(all, 4, &s), 4u) << "exactly the bytes left";
    EXPECT_EQ(ByteStream_read(all, 1, &s) + ByteStream_skip(1, nullptr) +
                  ByteStream_readU32(nullptr, &s) + ByteStream_write(nullptr, 1, &s),
              0u);
    EXPECT_EQ(ByteStream_init(all, 5, nullptr), 0);
}

} // namespace
