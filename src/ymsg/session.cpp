#include "ymsg/session.h"

#include <atomic>

namespace {

constexpr uint32_t kYmsgCachedSlots = 7; // host slots 0 to 6
// Slots fetched at the start of a relay, in this order.
constexpr uint32_t kYmsgFillOrder[] = {QMX_CB_POLICY, QMX_CB_WAIT, QMX_CB_RECV,    QMX_CB_SEND,
                                       QMX_CB_EVENT,  QMX_CB_LOG,  QMX_CB_RAW_DATA};

// Several relays may start at once on different threads; each fills the
// empty entries with the same values, so atomic stores are all it takes.
std::atomic<QMX_Callback> ymsgCallbackCache[kYmsgCachedSlots] = {};

} // namespace

void ymsgFillCallbackCache() {
    for (uint32_t slot : kYmsgFillOrder) {
        if (ymsgCallbackCache[slot].load(std::memory_order_acquire) == nullptr) {
            ymsgCallbackCache[slot].store(QMX_getProtoCallback(QMX_PROTO_YMSG, slot),
                                          std::memory_order_release);
        }
    }
}

QMX_Callback ymsgCachedCallback(uint32_t slot) {
    return slot < kYmsgCachedSlots ? ymsgCallbackCache[slot].load(std::memory_order_acquire)
                                   : nullptr;
}

void ymsgLog(const YmsgSession *session, uint32_t level, const char *message) {
    if (auto log = ymsgSlot<QMX_LogFn>(QMX_CB_LOG)) log(session->instanceId, level, message);
}
