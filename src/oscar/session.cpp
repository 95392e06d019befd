#include "oscar/session.h"

#include <atomic>

DArray *pendingLogins = nullptr;
HashTable *signedOn = nullptr;

namespace {

constexpr uint32_t kCachedSlotCount = 7;
constexpr uint32_t kCacheFillOrder[kCachedSlotCount] = {QMX_CB_POLICY,  QMX_CB_WAIT,  QMX_CB_RECV,
                                                        QMX_CB_SEND,    QMX_CB_EVENT, QMX_CB_LOG,
                                                        QMX_CB_RAW_DATA};

// Filled by whichever relay starts first; every filler stores the same values.
std::atomic<QMX_Callback> callbackCache[kCachedSlotCount];

} // namespace

void oscarFillCallbackCache() {
    for (uint32_t slot : kCacheFillOrder) {
        if (!callbackCache[slot].load(std::memory_order_acquire))
            callbackCache[slot].store(QMX_getProtoCallback(QMX_PROTO_OSCAR, slot),
                                      std::memory_order_release);
    }
}

QmxLock &oscarLock() {
    static QmxLock lock;
    return lock;
}

QMX_Callback oscarCachedCallback(uint32_t slot) {
    return slot < kCachedSlotCount ? callbackCache[slot].load(std::memory_order_acquire) : nullptr;
}
