#include "msn/relay.h"

#include <atomic>
#include <cstring>

#include "containers/alloc.h"
#include "core/default_handlers.h"
#include "msn/commands.h"
#include "msn/framing.h"
#include "msn/text.h"

namespace {

// Host slots the relay calls, fetched once per process: the first relay
// fills them and every later one finds them filled.
std::atomic<QMX_Callback> msnCachedLog{nullptr};
std::atomic<QMX_Callback> msnCachedRawData{nullptr};
std::atomic<QMX_Callback> msnCachedWait{nullptr};
std::atomic<QMX_Callback> msnCachedSend{nullptr};
std::atomic<QMX_Callback> msnCachedRecv{nullptr};
std::atomic<QMX_Callback> msnCachedHalfClose{nullptr};

constexpr int32_t kMsnFramerPieceSize = 512;
constexpr int32_t kMsnHalfCloseSend = 1;

void msnFillCache(std::atomic<QMX_Callback> &cache, uint32_t slot) {
    if (cache.load() == nullptr) {
        cache.store(QMX_getProtoCallback(QMX_PROTO_MSN, slot));
    }
}

template <typename F>
F msnSlot(std::atomic<QMX_Callback> &cache) {
    return reinterpret_cast<F>(cache.load());
}

// A host that left a slot empty gets the inert behaviour of the defaults
// instead of a crash: waits, receives and sends fail, the rest do nothing.
int32_t msnWait(QMX_Socket client, QMX_Socket server) {
    auto wait = msnSlot<QMX_WaitFn>(msnCachedWait);
    return wait != nullptr ? wait(client, server, client, server, kMsnWaitSeconds, 0) : -1;
}

int32_t msnRecv(RelaySide *side, uint32_t flags) {
    auto recv = msnSlot<QMX_RecvFn>(msnCachedRecv);
    return recv != nullptr ? recv(side->socket, side->buffer, side->size, flags) : -1;
}

int32_t msnSend(QMX_Socket socket, const uint8_t *bytes, intptr_t count, uint32_t flags) {
    auto send = msnSlot<QMX_SendFn>(msnCachedSend);
    return send != nullptr ? send(socket, bytes, count, flags) : -1;
}

void msnHalfClose(QMX_Socket socket) {
    auto halfClose = msnSlot<QMX_HalfCloseFn>(msnCachedHalfClose);
    if (halfClose != nullptr) {
        halfClose(socket, kMsnHalfCloseSend);
    }
}

int32_t msnRawData(uint32_t id, RelaySide *from, RelaySide *to, int32_t count) {
    auto raw = msnSlot<QMX_RawDataFn>(msnCachedRawData);
    if (raw == nullptr) {
        return 0;
    }
    return raw(id, reinterpret_cast<uintptr_t>(from), reinterpret_cast<uintptr_t>(to), from->buffer,
               count);
}

// Sends the whole buffer, or as much as the host takes. A host that created
// the instance without a socket gets nothing sent rather than a crash.
void msnSendAll(QMX_Socket destination, DArray *buffer) {
    const auto *position = static_cast<const uint8_t *>(DArray_data(buffer));
    if (destination == 0 || position == nullptr) {
        return;
    }
    int32_t remaining = DArray_count(buffer);
    while (remaining > 0) {
        const int32_t taken = msnSend(destination, position, remaining, QMX_FLAG_NORMAL);
        if (taken < 1) {
            return;
        }
        const int32_t step = taken < remaining ? taken : remaining;
        position += step;
        remaining -= step;
    }
}

// Command traffic starts with three capitals and a space or CR.
bool msnLooksLikeCommand(const uint8_t *bytes, int32_t count) {
    if (count < 4) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (bytes[i] < 'A' || bytes[i] > 'Z') {
            return false;
        }
    }
    return bytes[3] == ' ' || bytes[3] == '\r';
}

struct MsnRelayBuffers {
    DArray *out[2];
    DArray *received[2];
    DArray *forwarded[2];
};

void msnFreeRelayBuffers(MsnRelayBuffers *buffers) {
    for (int i = 0; i < 2; ++i) {
        DArray_free(buffers->out[i]);
        DArray_free(buffers->received[i]);
        DArray_free(buffers->forwarded[i]);
        buffers->out[i] = buffers->received[i] = buffers->forwarded[i] = nullptr;
    }
}

bool msnCreateRelayBuffers(MsnRelayBuffers *buffers) {
    for (int i = 0; i < 2; ++i) {
        buffers->out[i] = msnNewByteString();
        buffers->received[i] = msnNewByteString();
        buffers->forwarded[i] = msnNewByteString();
    }
    for (int i = 0; i < 2; ++i) {
        if (buffers->out[i] == nullptr || buffers->received[i] == nullptr ||
            buffers->forwarded[i] == nullptr) {
            msnFreeRelayBuffers(buffers);
            return false;
        }
    }
    return true;
}

struct MsnRelay {
    uint32_t id;
    MsnInstanceData *data;
    RelaySide sides[2]; // client, server
    bool ended[2];
    bool stop;
    MsnRelayBuffers buffers;
};

// One readable side: direction 0 reads the client, direction 1 the server.
void msnRelayData(MsnRelay *relay, int direction) {
    RelaySide *from = &relay->sides[direction];
    RelaySide *to = &relay->sides[1 - direction];
    const int32_t n = msnRecv(from, QMX_FLAG_NORMAL);
    if (n < 0) {
        relay->stop = true;
        return;
    }
    if (n == 0) {
        msnHalfClose(to->socket);
        relay->ended[direction] = true;
        if (relay->ended[1 - direction]) {
            relay->stop = true;
        }
        return;
    }
    const int32_t count = n < from->size ? n : from->size;
    DArray *out = relay->buffers.out[direction];
    DArray_appendRun(from->buffer, count, relay->buffers.received[direction]);
    DArray_clear(out);
    int32_t hookResult = 0;
    if (DArray_count(relay->data->directions[direction].pending) == 0 &&
        !msnLooksLikeCommand(from->buffer, count)) {
        hookResult = msnRawData(relay->id, from, to, count);
        DArray_appendRun(from->buffer, count, out);
    } else {
        for (int32_t offset = 0; offset < count; offset += kMsnFramerPieceSize) {
            const int32_t piece =
                count - offset < kMsnFramerPieceSize ? count - offset : kMsnFramerPieceSize;
            msnFrameBytes(relay->id, relay->data, from->buffer + offset, piece, direction, out);
        }
    }
    // The hook may withhold client bytes from the server; server bytes
    // always reach the client.
    // The host may hold back raw bytes from the client only.
    if (direction == kMsnClientToServer && (hookResult & QMX_RAW_DO_NOT_FORWARD) != 0) {
        return;
    }
    msnSendAll(to->socket, out);
    DArray_appendRun(DArray_data(out), DArray_count(out), relay->buffers.forwarded[direction]);
}

// Out-of-band bytes cross unframed, unrecorded, in one send.
void msnRelayOutOfBand(RelaySide *from, RelaySide *to) {
    const int32_t k = msnRecv(from, QMX_FLAG_OOB);
    if (k > 0) {
        msnSend(to->socket, from->buffer, k < from->size ? k : from->size, QMX_FLAG_OOB);
    }
}

bool msnHistoriesDiffer(const DArray *received, const DArray *forwarded) {
    const int32_t count = DArray_count(received);
    return count != DArray_count(forwarded) ||
           (count > 0 && std::memcmp(DArray_data(received), DArray_data(forwarded),
                                     static_cast<size_t>(count)) != 0);
}

void msnLogHistories(uint32_t id, int direction, DArray *received, DArray *forwarded) {
    if (!msnHistoriesDiffer(received, forwarded)) {
        return;
    }
    const char *receivedFormat =
        direction == 0 ? "RECV HISTORY (0)/size %d :\n%s" : "RECV HISTORY (1)/size %d :\n%s";
    const char *forwardedFormat =
        direction == 0 ? "REPLY HISTORY (0)/size %d :\n%s" : "REPLY HISTORY (1)/size %d :\n%s";
    msnLog(id, QMX_LOG_DEBUG, receivedFormat, DArray_count(received), msnText(received));
    msnLog(id, QMX_LOG_DEBUG, forwardedFormat, DArray_count(forwarded), msnText(forwarded));
}

void msnRunRelay(MsnRelay *relay) {
    int32_t idleSeconds = 0;
    while (!relay->stop) {
        const QMX_Socket client = relay->ended[0] ? 0 : relay->sides[0].socket;
        const QMX_Socket server = relay->ended[1] ? 0 : relay->sides[1].socket;
        const int32_t ready = msnWait(client, server);
        if (ready < 0) {
            return;
        }
        if (ready == 0) {
            idleSeconds += kMsnWaitSeconds;
            if (idleSeconds > kMsnIdleLimitSeconds) {
                return;
            }
            continue;
        }
        if ((ready & QMX_READY_A) != 0) {
            msnRelayData(relay, kMsnClientToServer);
        }
        if ((ready & QMX_READY_B) != 0) {
            msnRelayData(relay, kMsnServerToClient);
        }
        if ((ready & QMX_URGENT_A) != 0) {
            msnRelayOutOfBand(&relay->sides[0], &relay->sides[1]);
        }
        if ((ready & QMX_URGENT_B) != 0) {
            msnRelayOutOfBand(&relay->sides[1], &relay->sides[0]);
        }
        idleSeconds = 0;
    }
}

void msnFreeDirection(MsnDirection *d) {
    DArray_free(d->line);
    DArray_free(d->rest);
    DArray_free(d->pending);
}

void msnFreeInstanceData(MsnInstanceData *data) {
    if (data == nullptr) {
        return;
    }
    msnFreeDirection(&data->directions[0]);
    msnFreeDirection(&data->directions[1]);
    DArray_free(data->ownAddress);
    DArray_free(data->peerAddress);
    qmxFree(data);
}

} // namespace

QMX_LogFn msnLogSlot() {
    msnFillCache(msnCachedLog, QMX_CB_LOG);
    return msnSlot<QMX_LogFn>(msnCachedLog);
}

void *msnNewInstance(uint32_t, QMX_Socket client, QMX_Socket server, uintptr_t) {
    auto *data = static_cast<MsnInstanceData *>(qmxMalloc(sizeof(MsnInstanceData)));
    if (data == nullptr) {
        return nullptr;
    }
    std::memset(data, 0, sizeof *data);
    data->clientSocket = client;
    data->serverSocket = server;
    bool ok = true;
    for (MsnDirection &d : data->directions) {
        d.need = 0;
        d.line = msnNewByteString();
        d.rest = msnNewByteString();
        d.pending = msnNewByteString();
        ok = ok && d.line != nullptr && d.rest != nullptr && d.pending != nullptr;
    }
    data->ownAddress = msnNewByteString();
    data->peerAddress = msnNewByteString();
    if (!ok || data->ownAddress == nullptr || data->peerAddress == nullptr) {
        msnFreeInstanceData(data);
        return nullptr;
    }
    return data;
}

void msnDeleteInstance(uint32_t id) {
    msnFreeInstanceData(static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(id)));
}

int32_t msnProcess(uint32_t id) {
    auto *data = static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(id));
    if (data == nullptr) {
        return 1;
    }
    msnFillCache(msnCachedSend, QMX_CB_SEND);
    msnFillCache(msnCachedRecv, QMX_CB_RECV);
    msnFillCache(msnCachedWait, QMX_CB_WAIT);
    msnFillCache(msnCachedHalfClose, QMX_CB_HALF_CLOSE);
    msnFillCache(msnCachedLog, QMX_CB_LOG);
    msnFillCache(msnCachedRawData, QMX_CB_RAW_DATA);

    uint8_t clientBuffer[kMsnReceiveBufferSize];
    uint8_t serverBuffer[kMsnReceiveBufferSize];
    MsnRelay relay{};
    relay.id = id;
    relay.data = data;
    relay.sides[0] = RelaySide{data->clientSocket, clientBuffer, kMsnReceiveBufferSize};
    relay.sides[1] = RelaySide{data->serverSocket, serverBuffer, kMsnReceiveBufferSize};
    if (!msnCreateRelayBuffers(&relay.buffers)) {
        return 1;
    }
    msnRunRelay(&relay);

    MsnRelayBuffers &buffers = relay.buffers;
    DArray_free(buffers.out[0]);
    DArray_free(buffers.out[1]);
    buffers.out[0] = buffers.out[1] = nullptr;
    msnLogHistories(id, kMsnClientToServer, buffers.received[0], buffers.forwarded[0]);
    msnLogHistories(id, kMsnServerToClient, buffers.received[1], buffers.forwarded[1]);
    msnFreeRelayBuffers(&buffers);
    return 1;
}

int32_t msnInit(void) { return msnBuildCommandTable(); }

int32_t msnShutdown(void) {
    msnDestroyCommandTable();
    return 0;
}
