#include "oscar/relay.h"

#include <cstring>
#include <memory>

#include "containers/alloc.h"
#include "core/default_handlers.h"

namespace {

constexpr int32_t kWaitSeconds = 3;
constexpr int32_t kIdleLimitSeconds = 300;
constexpr uint32_t kOutOfBandPieceSize = 1024;
constexpr uint32_t kPassThroughBufferSize = 2048;
constexpr int32_t kPendingLoginItemSize = sizeof(PendingLogin);
constexpr uint32_t kSignedOnSize = 32;
constexpr uint32_t kSignedOnValueSize = 4;
// NOLINTNEXTLINE(bugprone-sizeof-expression): the table stores DArray pointers
constexpr uint32_t kApprovalsValueSize = sizeof(DArray *);

QMX_WaitFn waitSlot() { return reinterpret_cast<QMX_WaitFn>(oscarCachedCallback(QMX_CB_WAIT)); }
QMX_RecvFn recvSlot() { return reinterpret_cast<QMX_RecvFn>(oscarCachedCallback(QMX_CB_RECV)); }
QMX_SendFn sendSlot() { return reinterpret_cast<QMX_SendFn>(oscarCachedCallback(QMX_CB_SEND)); }
QMX_RawDataFn rawSlot() {
    return reinterpret_cast<QMX_RawDataFn>(oscarCachedCallback(QMX_CB_RAW_DATA));
}

struct FrameBufferFree {
    void operator()(uint8_t *block) const { qmxFree(block); }
};

void copyOutOfBand(uint64_t from, uint64_t to, uint8_t (&buffer)[kOutOfBandPieceSize]) {
    const int32_t n = recvSlot()(from, buffer, kOutOfBandPieceSize, QMX_FLAG_OOB);
    if (n > 0) {
        const int32_t count = n < int32_t{kOutOfBandPieceSize} ? n : int32_t{kOutOfBandPieceSize};
        sendSlot()(to, buffer, count, QMX_FLAG_OOB);
    }
}

} // namespace

int32_t oscarReadExactly(uint64_t socket, uint8_t *buffer, uint32_t n) {
    uint32_t got = 0;
    while (got < n) {
        const int32_t r = recvSlot()(socket, buffer + got, n - got, QMX_FLAG_NORMAL);
        if (r < 1) return r;
        got += static_cast<uint32_t>(r) < n - got ? static_cast<uint32_t>(r) : n - got;
    }
    return static_cast<int32_t>(n);
}

void oscarSendAll(uint64_t socket, const uint8_t *buffer, uint32_t n) {
    uint32_t sent = 0;
    while (sent < n) {
        const int32_t r = sendSlot()(socket, buffer + sent, n - sent, QMX_FLAG_NORMAL);
        if (r < 1) return;
        sent += static_cast<uint32_t>(r) < n - sent ? static_cast<uint32_t>(r) : n - sent;
    }
}

void oscarPassThrough(const uint8_t header[kFlapHeaderSize], uint64_t from, uint64_t to,
                      OscarSession *session) {
    uint8_t buffer[kPassThroughBufferSize];
    std::memcpy(buffer, header, kFlapHeaderSize);
    const int32_t ready = waitSlot()(from, from, 0, 0, kWaitSeconds, 0);
    int32_t n = 0;
    if (ready > 0 && (ready & (QMX_READY_A | QMX_READY_B)))
        n = recvSlot()(from, buffer + kFlapHeaderSize, kPassThroughBufferSize - kFlapHeaderSize,
                       QMX_FLAG_NORMAL);
    if (n < 0) n = 0;
    if (n > int32_t{kPassThroughBufferSize - kFlapHeaderSize})
        n = kPassThroughBufferSize - kFlapHeaderSize;
    const uint32_t total = static_cast<uint32_t>(n) + kFlapHeaderSize;
    const QMX_RawDataFn raw = rawSlot();
    const int32_t hook = raw ? raw(session->instanceId, from, to, buffer, total) : 0;
    if (!(hook & QMX_RAW_DO_NOT_FORWARD)) oscarSendAll(to, buffer, total);
    session->running = 0;
}

bool oscarHandleFrame(const char *label, uint64_t from, uint64_t to, OscarSession *session) {
    const uint32_t id = session->instanceId;
    uint8_t header[kFlapHeaderSize];
    if (oscarReadExactly(from, header, kFlapHeaderSize) != int32_t{kFlapHeaderSize}) return true;
    ByteStream headerStream;
    ByteStream_init(header, kFlapHeaderSize, &headerStream);
    FlapHeader flap;
    readFlapHeader(&headerStream, &flap);
    if (flap.marker != kFlapMarker) {
        oscarPassThrough(header, from, to, session);
        return false;
    }

    const uint32_t total = uint32_t{flap.length} + kFlapHeaderSize;
    std::unique_ptr<uint8_t, FrameBufferFree> buffer(static_cast<uint8_t *>(qmxMalloc(total)));
    if (!buffer) {
        oscarLog(id, QMX_LOG_ERROR, "Out of memory for a frame of %u bytes", total);
        return true;
    }
    if (flap.length &&
        oscarReadExactly(from, buffer.get() + kFlapHeaderSize, flap.length) != flap.length) {
        oscarLog(id, QMX_LOG_ERROR, "Incomplete/malformed message");
        return true;
    }
    std::memcpy(buffer.get(), header, kFlapHeaderSize);
    ByteStream frame;
    ByteStream_init(buffer.get(), total, &frame);

    oscarLog(id, QMX_LOG_DEBUG, "new message() UIN is %s", session->clientName);
    OscarFrameWork work{};
    const OscarVerdict verdict = oscarFilterFrame(label, session, &frame, &work);
    if (verdict == OscarVerdict::kForward) {
        // Whatever frame now stands may have been shortened or rebuilt; its
        // own header says how much of it goes out.
        uint32_t length = frameLength(&frame);
        if (length > frame.length) length = frame.length;
        oscarSendAll(to, frame.data, length);
    }
    oscarReleaseFrameWork(&work);
    return verdict == OscarVerdict::kClose;
}

void oscarRelay(OscarSession *session) {
    oscarFillCallbackCache();
    const uint32_t id = session->instanceId;
    bool clientClosed = false;
    bool serverClosed = false;
    int32_t idleSeconds = 0;
    uint8_t clientOutOfBand[kOutOfBandPieceSize];
    uint8_t serverOutOfBand[kOutOfBandPieceSize];
    do {
        const uint64_t client = clientClosed ? 0 : session->clientSocket;
        const uint64_t server = serverClosed ? 0 : session->serverSocket;
        const int32_t ready = waitSlot()(client, server, client, server, kWaitSeconds, 0);
        if (ready < 0) break;
        if (ready == 0) {
            idleSeconds += kWaitSeconds;
            if (idleSeconds > kIdleLimitSeconds) break;
            continue;
        }
        idleSeconds = 0;
        if ((ready & QMX_READY_A) && !clientClosed) {
            clientClosed = oscarHandleFrame(kOscarLabelClientToServer, session->clientSocket,
                                            session->serverSocket, session);
            if (clientClosed) oscarLog(id, QMX_LOG_CONNECTION, "Client connection closed");
        }
        if ((ready & QMX_READY_B) && !serverClosed) {
            serverClosed = oscarHandleFrame(kOscarLabelServerToClient, session->serverSocket,
                                            session->clientSocket, session);
            if (serverClosed) oscarLog(id, QMX_LOG_CONNECTION, "Server connection closed");
        }
        if ((ready & QMX_URGENT_A) && !clientClosed)
            copyOutOfBand(session->clientSocket, session->serverSocket, clientOutOfBand);
        if ((ready & QMX_URGENT_B) && !serverClosed)
            copyOutOfBand(session->serverSocket, session->clientSocket, serverOutOfBand);
    } while (session->running != 0);
}

void *oscarNewSession(uint32_t id, QMX_Socket client, QMX_Socket server, uintptr_t) {
    auto *session = static_cast<OscarSession *>(qmxMalloc(sizeof(OscarSession)));
    if (!session) return nullptr;
    std::memset(session, 0, sizeof *session);
    session->approvals = HashTable_create(1, kOscarNameSize, kApprovalsValueSize, 1);
    if (!session->approvals) {
        qmxFree(session);
        return nullptr;
    }
    session->clientSocket = client;
    session->serverSocket = server;
    session->instanceId = id;
    session->running = 1;
    return session;
}

void oscarDeleteSession(uint32_t id) {
    auto *session = static_cast<OscarSession *>(QMX_getInstanceProtoData(id));
    if (!session) return;
    char key[kOscarNameSize + 1];
    DArray *cookies = nullptr;
    HashTable_rewind(session->approvals);
    while (HashTable_next(key, &cookies, session->approvals) == HT_OK) DArray_free(cookies);
    HashTable_destroy(session->approvals);
    {
        QmxLockGuard guard(oscarLock());
        HashTable_remove(session->clientName,
                         static_cast<int32_t>(strnlen(session->clientName, kOscarNameMax)),
                         signedOn);
    }
    qmxFree(session);
}

int32_t oscarProcess(uint32_t id) {
    auto *session = static_cast<OscarSession *>(QMX_getInstanceProtoData(id));
    if (!session) return 0;
    oscarRelay(session);
    return session->running == 0 ? 1 : 0;
}

int32_t oscarInit(void) {
    QmxLockGuard guard(oscarLock());
    if (!pendingLogins) pendingLogins = DArray_create(1, kPendingLoginItemSize, 2, 0);
    if (!signedOn)
        signedOn = HashTable_create(kSignedOnSize, kOscarNameSize, kSignedOnValueSize, 1);
    return pendingLogins && signedOn ? 0 : 1;
}

int32_t oscarShutdown(void) {
    QmxLockGuard guard(oscarLock());
    DArray_free(pendingLogins);
    pendingLogins = nullptr;
    HashTable_destroy(signedOn);
    signedOn = nullptr;
    return 0;
}
