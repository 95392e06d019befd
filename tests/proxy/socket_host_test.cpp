// The proxy's send, wait and half-close slots: what is queued, and when it goes out.
#ifdef QMX_WITH_PROXY_CORE
#include "net.h"
#include "socket_host.h"

#include <gtest/gtest.h>
#include <qmx/qmx.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>

namespace {

using namespace qmxproxy;

template <typename F>
F slot(uint32_t which) {
    return reinterpret_cast<F>(QMX_getProtoCallback(QMX_PROTO_OSCAR, which));
}

struct SocketSlots : ::testing::Test {
    Counters counters;
    Connection conn;
    int fds[2] = {-1, -1}; // the proxy's end and the server's
    QMX_Socket client = reinterpret_cast<QMX_Socket>(&conn.clientSide);
    QMX_Socket server = reinterpret_cast<QMX_Socket>(&conn.serverSide);

    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        setNonBlocking(conn.serverSide.fd = fds[0]);
        hostContext().counters = &counters;
        setCurrentConfig(std::make_shared<const Config>());
        ASSERT_EQ(QMX_init(), 0u);
        ASSERT_TRUE(installHostCallbacks());
    }
    // Sends with input from the client still read ahead, or not.
    int32_t send(const std::string &bytes, bool readAhead) {
        conn.clientSide.end = readAhead ? 1 : 0;
        return slot<QMX_SendFn>(QMX_CB_SEND)(
            server, reinterpret_cast<const uint8_t *>(bytes.data()), intptr_t(bytes.size()), 0);
    }
    std::string arrived(size_t most = 256, int flags = MSG_DONTWAIT) {
        std::string bytes(most, '\0');
        bytes.resize(size_t(std::max<ssize_t>(recv(fds[1], bytes.data(), most, flags), 0)));
        return bytes;
    }
};

TEST_F(SocketSlots, MessageWaitsOnlyWhileMoreInputIsAlreadyReadAhead) {
    // Whether input is read ahead, what is sent, and what the server has at once.
    const std::tuple<bool, std::string, std::string> steps[] = {
        {false, "lone", "lone"}, {true, "one", ""}, {false, "two", "onetwo"}, {true, "three", ""}};
    for (const auto &[readAhead, sent, atOnce] : steps) {
        ASSERT_EQ(send(sent, readAhead), int32_t(sent.size()));
        EXPECT_EQ(arrived(), atOnce) << sent;
    }
    conn.clientSide.end = 0; // nothing left to read: the wait flushes before it blocks
    EXPECT_EQ(slot<QMX_WaitFn>(QMX_CB_WAIT)(client, server, 0, 0, 0, 0), 0);
    EXPECT_EQ(arrived(), "three");
    EXPECT_EQ(counters.bytesToServer, 15u);
    EXPECT_FALSE(conn.serverSide.output); // held only while it holds bytes
}

TEST_F(SocketSlots, BytesArriveWholeAndInOrderWhenThePeerTakesAFewAtATime) {
    const int tiny = 1; // the kernel's smallest send buffer
    setsockopt(conn.serverSide.fd, SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny);
    std::string got, expected;
    std::thread reader([&] {
        for (std::string b; !(b = arrived(7, 0)).empty();) got += b;
    });
    for (int i = 0; i < 3000; ++i) {
        const std::string frame = std::to_string(i) + std::string(size_t(i % 300), 'a' + i % 26);
        ASSERT_EQ(send(frame, i % 5 != 0), int32_t(frame.size()));
        expected += frame;
        if (i % 97 == 0) slot<QMX_WaitFn>(QMX_CB_WAIT)(client, server, 0, 0, 0, 0);
    }
    slot<QMX_HalfCloseFn>(QMX_CB_HALF_CLOSE)(server, 1); // flushes, then ends the stream
    reader.join();
    EXPECT_EQ(got, expected);
}

} // namespace

#endif
