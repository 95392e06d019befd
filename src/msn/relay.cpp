#include "msn/relay.h"

#include <cstring>

#include "containers/alloc.h"
#include "core/default_handlers.h"
#include "core/state.h"

namespace {

constexpr int32_t kMsnFramerPieceSize = 512;

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

struct MsnRelay {
    uint32_t id;
    MsnInstanceData *data;
    RelaySide sides[2]; // client, server
    bool ended[2];
    bool stop;
    DArray *out[2];
    // The histories exist only to be logged at the end; a host without a
    // log slot would pay memory that grows with every byte for nothing.
    bool recording;
    MsnHistoryPair histories[2];
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
    DArray *out = relay->out[direction];
    MsnHistoryPair *history = &relay->histories[direction];
    if (relay->recording) {
        msnRecordReceived(history, from->buffer, count);
    }
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
    // The host may hold back raw bytes from the client only.
    if (direction == kMsnClientToServer && (hookResult & QMX_RAW_DO_NOT_FORWARD) != 0) {
        return;
    }
    msnSendAll(to->socket, out);
    if (relay->recording) {
        msnRecordForwarded(history, static_cast<const uint8_t *>(DArray_data(out)),
                           DArray_count(out));
    }
}

// Out-of-band bytes cross unframed, unrecorded, in one send.
void msnRelayOutOfBand(RelaySide *from, RelaySide *to) {
    const int32_t k = msnRecv(from, QMX_FLAG_OOB);
    if (k > 0) {
        msnSend(to->socket, from->buffer, k < from->size ? k : from->size, QMX_FLAG_OOB);
    }
}

void msnLogHistories(uint32_t id, int direction, MsnHistoryPair *pair) {
    if (!msnHistoriesDiffer(pair)) {
        return;
    }
    const char *receivedFormat =
        direction == 0 ? "RECV HISTORY (0)/size %d :\n%s" : "RECV HISTORY (1)/size %d :\n%s";
    const char *forwardedFormat =
        direction == 0 ? "REPLY HISTORY (0)/size %d :\n%s" : "REPLY HISTORY (1)/size %d :\n%s";
    msnLog(id, QMX_LOG_DEBUG, receivedFormat, msnReceivedCount(pair), msnReceivedText(pair));
    const int32_t forwardedCount = msnForwardedCount(pair);
    msnLog(id, QMX_LOG_DEBUG, forwardedFormat, forwardedCount, msnTakeForwardedText(pair));
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
    msnFillSlotCaches();

    uint8_t clientBuffer[kMsnReceiveBufferSize];
    uint8_t serverBuffer[kMsnReceiveBufferSize];
    MsnRelay relay{};
    relay.id = id;
    relay.data = data;
    relay.recording = qmxLogIsShown(reinterpret_cast<QMX_Callback>(msnLogSlot()));
    relay.sides[0] = RelaySide{data->clientSocket, clientBuffer, kMsnReceiveBufferSize};
    relay.sides[1] = RelaySide{data->serverSocket, serverBuffer, kMsnReceiveBufferSize};
    relay.out[0] = msnNewByteString();
    relay.out[1] = msnNewByteString();
    if (relay.out[0] != nullptr && relay.out[1] != nullptr) {
        msnRunRelay(&relay);
    }
    DArray_free(relay.out[0]);
    DArray_free(relay.out[1]);
    if (relay.recording) {
        msnLogHistories(id, kMsnClientToServer, &relay.histories[0]);
        msnLogHistories(id, kMsnServerToClient, &relay.histories[1]);
    }
    msnFreeHistories(&relay.histories[0]);
    msnFreeHistories(&relay.histories[1]);
    return 1;
}

int32_t msnInit(void) { return msnBuildCommandTable(); }

int32_t msnShutdown(void) {
    msnDestroyCommandTable();
    return 0;
}
