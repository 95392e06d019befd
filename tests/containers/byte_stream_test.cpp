// Bounded big-endian reads and writes. Input sits right before an unreadable
// page, so a read or a search that strays past the end faults at once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "containers/byte_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes whose last one is followed by a PROT_NONE page.
class Guarded {
public:
    explicit Guarded(const Bytes &bytes) : size_(static_cast<uint32_t>(bytes.size())) {
#ifndef _WIN32
        map_ = static_cast<uint8_t *>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_EQ(mprotect(map_ + page_, page_, PROT_NONE), 0);
        data_ = map_ + page_ - size_;
#else
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        map_ = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        EXPECT_NE(VirtualProtect(map_ + page_, page_, PAGE_NOACCESS, &old), 0);
        data_ = map_ + page_ - size_;
#endif
        if (size_ > 0) std::memcpy(data_, bytes.data(), size_);
    }
#ifndef _WIN32
    ~Guarded() { munmap(map_, 2 * page_); }
#else
    ~Guarded() { VirtualFree(map_, 0, MEM_RELEASE); }
#endif
    ByteStream stream(uint32_t position = 0) {
        ByteStream s;
        ByteStream_init(data_, size_, &s);
        s.position = position;
        return s;
    }
    Bytes bytes() const { return Bytes(data_, data_ + size_); }

private:
    uint32_t size_;
    uint8_t *data_;
#ifndef _WIN32
    const size_t page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    uint8_t *map_;
#else
    size_t page_ = 0;
    uint8_t *map_;
#endif
};

using Read = std::function<uint32_t(uint32_t *value, ByteStream *s)>;
const Read readU8 = [](uint32_t *v, ByteStream *s) {
    uint8_t x = 0;
    uint32_t r = ByteStream_readU8(&x, s);
    *v = x;
    return r;
};
const Read readU16 = [](uint32_t *v, ByteStream *s) {
    uint16_t x = 0;
    uint32_t r = ByteStream_readU16(&x, s);
    *v = x;
    return r;
};
const Read readU32 = [](uint32_t *v, ByteStream *s) { return ByteStream_readU32(v, s); };
const Read read3 = [](uint32_t *v, ByteStream *s) {
    uint8_t x[3] = {};
    uint32_t r = ByteStream_read(x, 3, s);
    *v = uint32_t{x[0]} << 16 | uint32_t{x[1]} << 8 | x[2];
    return r;
};

TEST(ByteStream, ReadsAreBigEndianAndNeverCrossTheEnd) {
    struct Case {
        Bytes bytes;
        uint32_t position;
        Read read;
        uint32_t result, value;
    } cases[] = {
        {{0x12, 0x34}, 0, readU16, 2, 0x1234},
        {{0, 0x12, 0x34}, 2, readU16, 0, 0},
        {{0xfe, 0xdc, 0xba, 0x98}, 0, readU32, 4, 0xfedcba98},
        {{0, 1, 2}, 0, readU32, 0, 0},
        {{0xff}, 0, readU8, 1, 0xff},
        {{0xff}, 1, readU8, 0, 0},
        {{}, 0, readU8, 0, 0},
        {{9, 1, 2, 3}, 1, read3, 3, 0x010203},
        {{1, 2, 3}, 1, read3, 0, 0},
    };
    for (const Case &c : cases) {
        Guarded guarded(c.bytes);
        ByteStream s = guarded.stream(c.position);
        uint32_t value = 0;
        EXPECT_EQ(c.read(&value, &s), c.result) << c.bytes.size() << " bytes from " << c.position;
        EXPECT_EQ(value, c.value) << c.bytes.size() << " bytes from " << c.position;
        EXPECT_EQ(s.position, c.position + c.result);
    }
}

TEST(ByteStream, WritesPutTheMostSignificantByteFirstAndOnlyWhenTheyFit) {
    using Write = std::function<uint32_t(ByteStream *)>;
    struct Case {
        uint32_t room;
        Write write;
        uint32_t result;
        Bytes after;
    } cases[] = {
        {4, [](ByteStream *s) { return ByteStream_writeU32(1, s); }, 4, {0, 0, 0, 1}},
        {4, [](ByteStream *s) { return ByteStream_writeU32(258, s); }, 4, {0, 0, 1, 2}},
        {3, [](ByteStream *s) { return ByteStream_writeU32(258, s); }, 0, {0xee, 0xee, 0xee}},
        {2, [](ByteStream *s) { return ByteStream_writeU16(0xabcd, s); }, 2, {0xab, 0xcd}},
        {1, [](ByteStream *s) { return ByteStream_writeU16(0xabcd, s); }, 0, {0xee}},
        {1, [](ByteStream *s) { return ByteStream_writeU8(0x7f, s); }, 1, {0x7f}},
        {0, [](ByteStream *s) { return ByteStream_writeU8(0x7f, s); }, 0, {}},
        {3, [](ByteStream *s) { return ByteStream_write("ABC", 3, s); }, 3, {'A', 'B', 'C'}},
        {2, [](ByteStream *s) { return ByteStream_write("ABC", 3, s); }, 0, {0xee, 0xee}},
        {2, [](ByteStream *s) { return ByteStream_write(nullptr, 1, s); }, 0, {0xee, 0xee}},
    };
    for (const Case &c : cases) {
        Guarded guarded(Bytes(c.room, 0xee));
        ByteStream s = guarded.stream();
        EXPECT_EQ(c.write(&s), c.result) << c.room;
        EXPECT_EQ(guarded.bytes(), c.after) << c.room;
        EXPECT_EQ(s.position, c.result);
    }
}

TEST(ByteStream, SkipClampsAtTheEndButReportsTheRequestedCount) {
    Guarded guarded({1, 2, 3, 4, 5});
    ByteStream s = guarded.stream(2);
    EXPECT_EQ(ByteStream_skip(10, &s), 10u);
    EXPECT_EQ(ByteStream_remaining(&s), 0u);
    EXPECT_EQ(ByteStream_current(&s), s.data + 5);
    s = guarded.stream(3);
    EXPECT_EQ(ByteStream_skip(0xffffffffu, &s), 0xffffffffu);
    EXPECT_EQ(s.position, 5u) << "a skip near 2^32 must not wrap";
    ByteStream_rewind(&s);
    uint8_t all[5];
    EXPECT_EQ(ByteStream_read(all, 5, &s), 5u) << "exactly the bytes left";
    EXPECT_EQ(ByteStream_read(all, 0, &s) + ByteStream_skip(1, nullptr) +
                  ByteStream_readU32(nullptr, &s),
              0u);
    EXPECT_EQ(ByteStream_init(all, 5, nullptr), 0);
}

TEST(ByteStream, FindReportsTheDistanceOfAMatchWhollyInsideFromThePosition) {
    const Bytes sep = {0xc0, 0x80}, text = {'a', 'b', 0xc0, 0x80, 'c', 'd'};
    struct Case {
        Bytes bytes, pattern;
        uint32_t position;
        int32_t found;
    } cases[] = {
        {text, sep, 0, 2},         {text, sep, 1, 1},
        {text, sep, 3, -1},        {{'a', 'b', 0xc0, 0x80}, sep, 0, 2},
        {{'a', 0xc0}, sep, 0, -1}, {{0xc0}, sep, 0, -1},
        {{}, sep, 0, -1},          {{'x', 'y', 'x', 'y', 'z'}, {'x', 'y', 'z'}, 0, 2},
    };
    for (const Case &c : cases) {
        Guarded guarded(c.bytes);
        ByteStream s = guarded.stream(c.position);
        EXPECT_EQ(ByteStream_find(c.pattern.data(), static_cast<uint32_t>(c.pattern.size()), &s),
                  c.found)
            << c.bytes.size() << " bytes from " << c.position;
        EXPECT_EQ(s.position, c.position);
    }
}

TEST(ByteStream, HexDumpListsTheRemainingBytesAndKeepsThePosition) {
    Guarded guarded({0x00, 'A', 0xff});
    ByteStream s = guarded.stream(1);
    testing::internal::CaptureStdout();
    ByteStream_hexDump(&s);
    ByteStream end = guarded.stream(3);
    ByteStream_hexDump(&end);
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "0 :: HEX: (41) - CHAR: (A) - DEC: (65)\n1 :: HEX: (ff) - CHAR: (\xff) - DEC: (255)\n\n\n");
    EXPECT_EQ(s.position, 1u);
}

} // namespace
