// Heap held by one instance while a hostile peer streams at it: frames of
// the largest length, frames that never finish, MSN payload announcements
// of 2^31 bytes, lines without an end. Streams are generated on the fly and
// sent bytes only counted, so the heap measured is the library's alone.
#include <gtest/gtest.h>

#include <qmx/qmx.h>

#include <algorithm>
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
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

// One side: a head, then `unit` repeated up to `total` bytes, then the end
// or, with `stall`, silence until the relay gives up.
struct Stream {
    Bytes head, unit;
    uint64_t total = 0;
    bool stall = false;
    uint64_t produced = 0;
    bool ended = false;
    bool readable() const { return produced < total || (!stall && !ended); }
};
Stream streams[2]; // client (socket 1), server (socket 2)
int64_t baseline = 0, peak = 0;

void sample() { peak = std::max(peak, heapInUse() - baseline); }
int32_t slotWait(QMX_Socket ra, QMX_Socket rb, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    sample();
    const int32_t bits = (ra && streams[0].readable()) | (rb && streams[1].readable()) << 1;
    return bits != 0 ? bits : streams[0].stall || streams[1].stall ? 0 : -1;
}
int32_t slotSend(QMX_Socket, const uint8_t *, intptr_t count, uint32_t) {
    return static_cast<int32_t>(count);
}
int32_t slotRecv(QMX_Socket s, uint8_t *buffer, intptr_t size, uint32_t flags) {
    sample();
    if (flags != 0 || s < 1 || s > 2) return -1;
    Stream &st = streams[s - 1];
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), st.total - st.produced);
    st.ended = n == 0;
    for (uint64_t i = 0; i < n; ++i, ++st.produced)
        buffer[i] =
            static_cast<uint8_t>(st.produced < st.head.size()
                                     ? st.head[st.produced]
                                     : st.unit[(st.produced - st.head.size()) % st.unit.size()]);
    return static_cast<int32_t>(n);
}

// Every protocol holds one frame or command (and a rewritten copy) at a time
// whatever the peer sends. The MSN relay's histories, which grow with all
// traffic, are kept only for a host that has a log slot to show them; this
// host has none.
TEST(HostileMemory, InstancesHoldAtMostAFrameOrTheirMsnHistories) {
    if (heapInUse() < 0) GTEST_SKIP() << "no heap statistics on this platform";
    using namespace qmxtest;
    const Bytes text(0xFFFF - 18, 't'); // with the fields below, the largest YMSG body
    const Bytes ymsg =
        YmsgPacket().service(6).field("1", "a").field("5", "b").field("14", text).build();
    const Bytes im = oscarOutgoingIcbm(
        1, 7, 1, "bob", oscarMessageDataTlv(Bytes(0xFFFF - 100, 'm'), kCharsetAscii, 0));
    const Bytes flap = oscarFlap(2, 1, Bytes(0xFFFF, 'f')), lines = "PNG\r\n";
    const Bytes ymsgHead = YmsgPacket().service(6).lengthField(0xFFFF).build();
    const Bytes flapHead = oscarFlapAnnouncing(2, 1, 0xFFFF, "");
    // Login replies whose cookies no sign-on ever claims: without a bound the
    // process would keep every one until shutdown.
    const Bytes reply = oscarSignoffFrame(1, oscarTlv(1, "alice") + oscarTlv(6, Bytes(256, 'c')));
    const uint64_t kMiB = 1u << 20, replies = 20000 * reply.size();
    const struct {
        const char *name;
        uint32_t protocol;
        Stream client, server;
    } cases[] = {
        {"oscar unclaimed login replies", QMX_PROTO_OSCAR, {}, {"", reply, replies}},
        {"ymsg largest packets", QMX_PROTO_YMSG, {"", ymsg, kMiB}, {"", ymsg, kMiB}},
        {"ymsg unfinished packet", QMX_PROTO_YMSG, {ymsgHead, "x", 0xFFFF, true}, {}},
        {"oscar largest frames", QMX_PROTO_OSCAR, {"", flap, kMiB}, {"", flap, kMiB}},
        {"oscar largest messages", QMX_PROTO_OSCAR, {"", im, kMiB}, {}},
        {"oscar unfinished frame", QMX_PROTO_OSCAR, {flapHead, "x", 0xFFFF, true}, {}},
        {"msn 2^31 payload", QMX_PROTO_MSN, {"MSG 1 N 2147483648\r\n", "0123456789", kMiB}, {}},
        {"msn endless line", QMX_PROTO_MSN, {"VER ", "A", kMiB}, {}},
        {"msn unfinished payload", QMX_PROTO_MSN, {"ADL 1 262000\r\n", "<", 262000, true}, {}},
        {"msn forwarded lines", QMX_PROTO_MSN, {"", lines, kMiB / 4}, {"", "QNG 50\r\n", kMiB / 4}},
    };
    for (const auto &c : cases) {
        streams[0] = c.client;
        streams[1] = c.server;
        peak = 0;
        ASSERT_EQ(QMX_init(), 0u);
        QMX_setCallback(QMX_CB_WAIT, cb(slotWait));
        QMX_setCallback(QMX_CB_SEND, cb(slotSend));
        QMX_setCallback(QMX_CB_RECV, cb(slotRecv));
        baseline = heapInUse();
        const uint32_t id = QMX_newInstance(c.protocol, 1, 2, 0);
        QMX_processInstance(id);
        sample();
        EXPECT_EQ(QMX_deleteInstance(id), 0u);
        QMX_shutdown();
        EXPECT_LT(peak, 512 * 1024) << c.name;
        RecordProperty(c.name, std::to_string(peak));
    }
}

} // namespace
