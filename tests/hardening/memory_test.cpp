// Heap held by one instance while a hostile peer streams at it: frames of
// the largest length, frames that never finish, MSN payload announcements
// of 2^31 bytes followed by a steady stream, lines without an end. The
// streams are generated on the fly and sent bytes are only counted, so the
// heap measured between reads is the library's alone.
#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/oscar_builders.h"
#include "support/scripted_host.h"
#include "support/ymsg_builders.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QMX_SANITIZER_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QMX_SANITIZER_HEAP 1
#endif

#if defined(QMX_SANITIZER_HEAP)
// From the sanitizer runtime's allocator interface (not every compiler
// ships its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

using qmxtest::Bytes;

namespace {

// Heap bytes in use, or -1 where this platform does not tell.
int64_t heapInUse() {
#if defined(QMX_SANITIZER_HEAP)
    return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    const struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd); // small blocks and mmapped ones
#else
    return -1;
#endif
}

constexpr QMX_Socket kClient = 71;
// Text bytes that fill a YMSG message (sender, recipient, text) to 65535.
constexpr size_t kYmsgTextRoom = 0xFFFF - 18;
constexpr QMX_Socket kServer = 72;

// One side's stream: a head, then `unit` repeated until `total` bytes, then
// the end of the stream or, with `stall`, silence until the relay gives up.
struct Stream {
    Bytes head;
    Bytes unit;
    uint64_t total = 0;
    bool stall = false;
    uint64_t produced = 0;
    bool endReported = false;

    bool hasData() const { return produced < total; }
    bool readable() const { return hasData() || (!stall && !endReported); }
    int32_t read(uint8_t *buffer, intptr_t size) {
        if (!hasData()) {
            endReported = true;
            return 0;
        }
        const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), total - produced);
        for (uint64_t i = 0; i < n; ++i, ++produced) {
            buffer[i] = static_cast<uint8_t>(produced < head.size()
                                                 ? head[produced]
                                                 : unit[(produced - head.size()) % unit.size()]);
        }
        return static_cast<int32_t>(n);
    }
};

struct HostileHost {
    Stream client, server;
    uint64_t sent = 0;
    int64_t baseline = 0;
    int64_t peak = 0;

    void sample() { peak = std::max(peak, heapInUse() - baseline); }
    Stream *of(QMX_Socket s) { return s == kClient ? &client : s == kServer ? &server : nullptr; }
};
HostileHost hostile;

void slotLog(uint32_t, uint32_t, const char *, ...) {}
int32_t slotAllow(uint32_t, const char *, uint32_t, const char *) { return 1; }
int32_t slotEvent(uint32_t, FilterEvent *) { return 1; }
int32_t slotRaw(uint32_t, uintptr_t, uintptr_t, const uint8_t *, intptr_t) { return 0; }
int32_t slotWait(QMX_Socket ra, QMX_Socket rb, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    hostile.sample();
    int32_t bits = 0;
    if (ra != 0 && hostile.of(ra) != nullptr && hostile.of(ra)->readable()) bits |= 1;
    if (rb != 0 && hostile.of(rb) != nullptr && hostile.of(rb)->readable()) bits |= 2;
    if (bits != 0) return bits;
    return hostile.client.stall || hostile.server.stall ? 0 : -1;
}
int32_t slotSend(QMX_Socket, const uint8_t *, intptr_t count, uint32_t) {
    hostile.sent += static_cast<uint64_t>(count);
    return static_cast<int32_t>(count);
}
int32_t slotRecv(QMX_Socket s, uint8_t *buffer, intptr_t size, uint32_t flags) {
    hostile.sample();
    Stream *stream = hostile.of(s);
    return stream == nullptr || flags != 0 ? -1 : stream->read(buffer, size);
}
int32_t slotHalfClose(QMX_Socket, int32_t) { return 0; }

struct HostileCase {
    const char *name;
    Stream client;
    Stream server;
};

struct Measured {
    int64_t peak;
    uint64_t traffic; // bytes received from both sides and bytes sent
};

Measured measure(uint32_t protocol, const HostileCase &c) {
    hostile = HostileHost{};
    hostile.client = c.client;
    hostile.server = c.server;
    EXPECT_EQ(QMX_init(), 0u);
    const QMX_Callback slots[] = {qmxtest::cb(slotLog),   qmxtest::cb(slotAllow),
                                  qmxtest::cb(slotEvent), qmxtest::cb(slotRaw),
                                  qmxtest::cb(slotWait),  qmxtest::cb(slotSend),
                                  qmxtest::cb(slotRecv),  qmxtest::cb(slotHalfClose)};
    for (uint32_t slot = 0; slot < 8; ++slot) QMX_setProtoCallback(protocol, slot, slots[slot]);
    hostile.baseline = heapInUse();
    const uint32_t id = QMX_newInstance(protocol, kClient, kServer, 0);
    EXPECT_NE(id, 0u);
    QMX_processInstance(id);
    hostile.sample();
    EXPECT_EQ(QMX_deleteInstance(id), 0u);
    QMX_shutdown();
    const Measured m{hostile.peak,
                     hostile.client.produced + hostile.server.produced + hostile.sent};
    std::printf("[ memory ] %-52s peak %8lld bytes over %9llu bytes of traffic\n", c.name,
                static_cast<long long>(m.peak), static_cast<unsigned long long>(m.traffic));
    ::testing::Test::RecordProperty(c.name, std::to_string(m.peak));
    return m;
}

constexpr uint64_t kStream = 1u << 20; // 1 MiB from a peer per case
// The frame-based protocols hold one frame (and a rewritten copy) at a time,
// whatever the peer sends.
constexpr int64_t kFrameBound = 512 * 1024;

Stream endless(const Bytes &head, const Bytes &unit, uint64_t total, bool stall) {
    Stream s;
    s.head = head;
    s.unit = unit;
    s.total = total;
    s.stall = stall;
    return s;
}

class HostileMemory : public ::testing::Test {
protected:
    void SetUp() override {
        if (heapInUse() < 0) GTEST_SKIP() << "no heap statistics on this platform";
    }
};

TEST_F(HostileMemory, YmsgInstanceHoldsAtMostAboutOnePacketWhateverThePeerSends) {
    const Bytes text(kYmsgTextRoom, 't');
    const Bytes largest =
        qmxtest::YmsgPacket().service(6).field("1", "a").field("5", "b").field("14", text).build();
    const Bytes unfinished = qmxtest::YmsgPacket().service(6).lengthField(0xFFFF).build();
    const HostileCase cases[] = {
        {"ymsg: packets of the maximum length, both ways", endless("", largest, kStream, false),
         endless("", largest, kStream, false)},
        {"ymsg: a packet that never finishes", endless(unfinished, "x", 0xFFFF, true), Stream{}},
    };
    ASSERT_EQ(largest.size(), 0xFFFFu + 20);
    for (const HostileCase &c : cases)
        EXPECT_LT(measure(QMX_PROTO_YMSG, c).peak, kFrameBound) << c.name;
}

TEST_F(HostileMemory, OscarInstanceHoldsAtMostAboutOneFrameWhateverThePeerSends) {
    const Bytes largest = qmxtest::oscarFlap(2, 1, Bytes(0xFFFF, 'f'));
    const Bytes largestIm = qmxtest::oscarOutgoingIcbm(
        1, 7, 1, "bob",
        qmxtest::oscarMessageDataTlv(Bytes(0xFFFF - 100, 'm'), qmxtest::kCharsetAscii, 0));
    const Bytes unfinished = qmxtest::oscarFlapAnnouncing(2, 1, 0xFFFF, "");
    const HostileCase cases[] = {
        {"oscar: frames of the maximum length, both ways", endless("", largest, kStream, false),
         endless("", largest, kStream, false)},
        {"oscar: text messages of the maximum length", endless("", largestIm, kStream, false),
         Stream{}},
        {"oscar: a frame that never finishes", endless(unfinished, "x", 0xFFFF, true), Stream{}},
    };
    ASSERT_EQ(largest.size(), 0xFFFFu + 6);
    for (const HostileCase &c : cases)
        EXPECT_LT(measure(QMX_PROTO_OSCAR, c).peak, kFrameBound) << c.name;
}

// The MSN relay keeps four histories (received and forwarded per direction)
// that grow with all traffic until the relay ends; that is the only part
// that grows. Each history is a byte array that at most doubles its byte
// count, so everything else must fit in a fixed allowance.
TEST_F(HostileMemory, MsnInstanceGrowsOnlyByItsTrafficHistories) {
    const HostileCase cases[] = {
        {"msn: a 2^31 payload announcement, then a steady stream",
         endless("MSG 1 N 2147483648\r\n", "0123456789", kStream, false), Stream{}},
        {"msn: a command line that never ends", endless("VER ", "A", kStream, false), Stream{}},
        {"msn: a payload at the size limit that never finishes",
         endless("ADL 1 262000\r\n", "<", 262000, true), Stream{}},
        {"msn: lines that are forwarded, both ways", endless("", "PNG\r\n", kStream / 4, false),
         endless("", "QNG 50\r\n", kStream / 4, false)},
    };
    constexpr int64_t kAllowance = 1 << 20;
    for (const HostileCase &c : cases) {
        const Measured m = measure(QMX_PROTO_MSN, c);
        EXPECT_LT(m.peak, static_cast<int64_t>(2 * m.traffic) + kAllowance) << c.name;
    }
}

} // namespace
