#include "ymsg/relay.h"

#include <memory>
#include <new>

#include "containers/alloc.h"
#include "core/default_handlers.h"
#include "platform/lock.h"

namespace {

constexpr int32_t kYmsgWaitSeconds = 3;
// The relay gives up once more than this many seconds passed without traffic.
constexpr uint32_t kYmsgMaxIdleSeconds = 300;
constexpr uint32_t kYmsgOutOfBandChunk = 1024;

// The YMSG lock lives in static storage so that creating it cannot fail;
// only the init and shutdown slots touch it.
alignas(QmxLock) unsigned char ymsgLockStorage[sizeof(QmxLock)];
QmxLock *ymsgLock = nullptr;

// n, or the first receive result below 1.
int32_t ymsgReadExactly(uint64_t socket, uint8_t *buffer, uint32_t n) {
    auto recv = ymsgSlot<QMX_RecvFn>(QMX_CB_RECV);
    uint32_t got = 0;
    while (got < n) {
        int32_t r = recv(socket, buffer + got, static_cast<intptr_t>(n - got), QMX_FLAG_NORMAL);
        if (r < 1) return r;
        got += static_cast<uint32_t>(r) < n - got ? static_cast<uint32_t>(r) : n - got;
    }
    return static_cast<int32_t>(n);
}

// A failing send ends this buffer silently; the relay goes on.
void ymsgSendAll(uint64_t socket, const uint8_t *buffer, uint32_t n) {
    auto send = ymsgSlot<QMX_SendFn>(QMX_CB_SEND);
    uint32_t sent = 0;
    while (sent < n) {
        int32_t r = send(socket, buffer + sent, static_cast<intptr_t>(n - sent), QMX_FLAG_NORMAL);
        if (r < 1) return;
        sent += static_cast<uint32_t>(r) < n - sent ? static_cast<uint32_t>(r) : n - sent;
    }
}

// Out-of-band bytes are copied across unparsed, one receive and one send.
void ymsgCopyOutOfBand(uint64_t from, uint64_t to, uint8_t (&buffer)[kYmsgOutOfBandChunk]) {
    int32_t n = ymsgSlot<QMX_RecvFn>(QMX_CB_RECV)(from, buffer, kYmsgOutOfBandChunk, QMX_FLAG_OOB);
    if (n > 0) ymsgSlot<QMX_SendFn>(QMX_CB_SEND)(to, buffer, n, QMX_FLAG_OOB);
}

struct YmsgBufferDeleter {
    void operator()(uint8_t *buffer) const { qmxFree(buffer); }
};
using YmsgBuffer = std::unique_ptr<uint8_t, YmsgBufferDeleter>;

} // namespace

bool ymsgHandlePacket(const char *label, uint64_t from, uint64_t to, YmsgSession *session) {
    uint8_t headerBytes[kYmsgHeaderSize];
    if (ymsgReadExactly(from, headerBytes, kYmsgHeaderSize) < 1) return true;

    YmsgHeader header{};
    ByteStream headerStream{};
    ByteStream_init(headerBytes, kYmsgHeaderSize, &headerStream);
    ymsgReadHeader(&header, &headerStream);

    if (!ymsgHasMagic(header)) {
        // Not YMSG: hand the host what was read, pass it on once and stop
        // relaying, since there is no framing left to follow.
        int32_t hook = 0;
        if (auto raw = ymsgSlot<QMX_RawDataFn>(QMX_CB_RAW_DATA)) {
            hook = raw(session->instanceId, from, to, headerBytes, kYmsgHeaderSize);
        }
        if ((hook & QMX_RAW_DO_NOT_FORWARD) == 0) ymsgSendAll(to, headerBytes, kYmsgHeaderSize);
        session->running = 0;
        return false;
    }

    uint32_t packetSize = uint32_t{header.length} + kYmsgHeaderSize;
    YmsgBuffer received(static_cast<uint8_t *>(qmxMalloc(packetSize)));
    // Without a buffer the body cannot be taken off the stream, and the
    // framing of this side is lost: treat it as ended.
    if (!received) return true;
    if (header.length != 0 &&
        ymsgReadExactly(from, received.get() + kYmsgHeaderSize, header.length) != header.length) {
        ymsgLog(session, QMX_LOG_ERROR, "Incomplete/malformed message");
        return true;
    }

    ByteStream packet{};
    ByteStream_init(received.get(), packetSize, &packet);
    ByteStream_write(headerBytes, kYmsgHeaderSize, &packet);

    FilterEvent event{};
    YmsgVerdict verdict = ymsgFilterPacket(label, session, &packet, &event);
    YmsgBuffer rewritten(packet.data != received.get() ? packet.data : nullptr);
    if (verdict == YmsgVerdict::kForward) {
        uint32_t size = ymsgPacketSize(&packet);
        ymsgSendAll(to, packet.data, size < packet.length ? size : packet.length);
    }
    QMX_deleteReplacementText(&event);
    return false;
}

void ymsgRelay(YmsgSession *session) {
    uint64_t client = session->clientSocket;
    uint64_t server = session->serverSocket;
    ymsgFillCallbackCache();
    auto wait = ymsgSlot<QMX_WaitFn>(QMX_CB_WAIT);
    bool clientClosed = false;
    bool serverClosed = false;
    uint32_t idleSeconds = 0;
    uint8_t clientUrgent[kYmsgOutOfBandChunk];
    uint8_t serverUrgent[kYmsgOutOfBandChunk];

    do {
        QMX_Socket a = clientClosed ? 0 : client;
        QMX_Socket b = serverClosed ? 0 : server;
        int32_t ready = wait(a, b, a, b, kYmsgWaitSeconds, 0);
        if (ready < 0) break;
        if (ready == 0) {
            idleSeconds += kYmsgWaitSeconds;
            if (idleSeconds > kYmsgMaxIdleSeconds) break;
            continue;
        }
        idleSeconds = 0;
        if (ready & QMX_READY_A) {
            clientClosed = ymsgHandlePacket(kYmsgLabelClientToServer, client, server, session);
            if (clientClosed) ymsgLog(session, QMX_LOG_CONNECTION, "Client connection closed");
        }
        if (ready & QMX_READY_B) {
            serverClosed = ymsgHandlePacket(kYmsgLabelServerToClient, server, client, session);
            if (serverClosed) ymsgLog(session, QMX_LOG_CONNECTION, "Server connection closed");
        }
        if (ready & QMX_URGENT_A) ymsgCopyOutOfBand(client, server, clientUrgent);
        if (ready & QMX_URGENT_B) ymsgCopyOutOfBand(server, client, serverUrgent);
    } while (session->running != 0);
}

void *ymsgNewSession(uint32_t id, QMX_Socket client, QMX_Socket server, uintptr_t) {
    auto *session = static_cast<YmsgSession *>(qmxMalloc(sizeof(YmsgSession)));
    if (session == nullptr) return nullptr;
    session->clientSocket = client;
    session->serverSocket = server;
    session->instanceId = id;
    session->running = 1;
    return session;
}

void ymsgDeleteSession(uint32_t id) { qmxFree(QMX_getInstanceProtoData(id)); }

int32_t ymsgProcess(uint32_t id) {
    auto *session = static_cast<YmsgSession *>(QMX_getInstanceProtoData(id));
    if (session != nullptr) ymsgRelay(session);
    return 0;
}

int32_t ymsgInit(void) {
    if (ymsgLock == nullptr) ymsgLock = new (ymsgLockStorage) QmxLock();
    QmxLockGuard guard(*ymsgLock);
    return 0;
}

int32_t ymsgShutdown(void) {
    if (ymsgLock == nullptr) return 0;
    { QmxLockGuard guard(*ymsgLock); }
    ymsgLock->~QmxLock();
    ymsgLock = nullptr;
    return 0;
}
