#include "msn/session.h"

#include <atomic>

namespace {

// Host slots the relay calls, fetched once per process: the first relay
// fills them and every later one finds them filled. Several relays may
// start at once, and they all store the same values.
std::atomic<QMX_Callback> msnCachedLog{nullptr};
std::atomic<QMX_Callback> msnCachedRawData{nullptr};
std::atomic<QMX_Callback> msnCachedWait{nullptr};
std::atomic<QMX_Callback> msnCachedSend{nullptr};
std::atomic<QMX_Callback> msnCachedRecv{nullptr};
std::atomic<QMX_Callback> msnCachedHalfClose{nullptr};

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

} // namespace

void msnFillSlotCaches() {
    msnFillCache(msnCachedSend, QMX_CB_SEND);
    msnFillCache(msnCachedRecv, QMX_CB_RECV);
    msnFillCache(msnCachedWait, QMX_CB_WAIT);
    msnFillCache(msnCachedHalfClose, QMX_CB_HALF_CLOSE);
    msnFillCache(msnCachedLog, QMX_CB_LOG);
    msnFillCache(msnCachedRawData, QMX_CB_RAW_DATA);
}

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

QMX_LogFn msnLogSlot() {
    msnFillCache(msnCachedLog, QMX_CB_LOG);
    return msnSlot<QMX_LogFn>(msnCachedLog);
}
