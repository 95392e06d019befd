// The three per-protocol callback tables and the exported functions that read
// and write them. The tables have no lock: hosts configure them before any
// relay starts and leave them alone while relays run.
#include <algorithm>
#include <iterator>

#include "core/state.h"

ProtocolTable *protocolTables[QMX_PROTO_COUNT] = {nullptr, nullptr, nullptr};

namespace {

// An unconfigured library is inert but safe: everything is allowed, nothing
// is logged, and every socket operation fails, so a relay ends at its first
// wait.
void defaultLog(uint32_t, uint32_t, const char *, ...) {}
int32_t defaultPolicy(uint32_t, const char *, uint32_t, const char *) { return 1; }
int32_t defaultEvent(uint32_t, FilterEvent *) { return 1; }
int32_t defaultRawData(uint32_t, uintptr_t, uintptr_t, const uint8_t *, intptr_t) { return 0; }
int32_t defaultWait(QMX_Socket, QMX_Socket, QMX_Socket, QMX_Socket, int32_t, int32_t) { return -1; }
int32_t defaultSend(QMX_Socket, const uint8_t *, intptr_t, uint32_t) { return -1; }
int32_t defaultRecv(QMX_Socket, uint8_t *, intptr_t, uint32_t) { return -1; }
int32_t defaultHalfClose(QMX_Socket, int32_t) { return 0; }

template <typename F>
QMX_Callback asSlot(F *f) {
    return reinterpret_cast<QMX_Callback>(f);
}

bool tablesExist() {
    return std::all_of(std::begin(protocolTables), std::end(protocolTables),
                       [](const ProtocolTable *table) { return table != nullptr; });
}

} // namespace

void qmxInstallDefaultSlots(ProtocolTable *table) {
    table->slots[QMX_CB_LOG] = asSlot(defaultLog);
    table->slots[QMX_CB_POLICY] = asSlot(defaultPolicy);
    table->slots[QMX_CB_EVENT] = asSlot(defaultEvent);
    table->slots[QMX_CB_RAW_DATA] = asSlot(defaultRawData);
    table->slots[QMX_CB_WAIT] = asSlot(defaultWait);
    table->slots[QMX_CB_SEND] = asSlot(defaultSend);
    table->slots[QMX_CB_RECV] = asSlot(defaultRecv);
    table->slots[QMX_CB_HALF_CLOSE] = asSlot(defaultHalfClose);
}

bool qmxLogIsShown(QMX_Callback log) { return log != nullptr && log != asSlot(defaultLog); }

extern "C" {

QMX_API uint32_t QMX_setCallback(uint32_t slot, QMX_Callback f) {
    if (slot >= QMX_SLOT_COUNT || !tablesExist()) return 1;
    for (ProtocolTable *table : protocolTables) table->slots[slot] = f;
    return 0;
}

QMX_API uint32_t QMX_setProtoCallback(uint32_t protocol, uint32_t slot, QMX_Callback f) {
    if (protocol >= QMX_PROTO_COUNT || slot >= QMX_SLOT_COUNT) return 1;
    ProtocolTable *table = protocolTables[protocol];
    if (table == nullptr) return 1;
    table->slots[slot] = f;
    return 0;
}

QMX_API QMX_Callback QMX_getProtoCallback(uint32_t protocol, uint32_t slot) {
    if (protocol >= QMX_PROTO_COUNT || slot >= QMX_SLOT_COUNT) return nullptr;
    const ProtocolTable *table = protocolTables[protocol];
    return table ? table->slots[slot] : nullptr;
}

} // extern "C"
