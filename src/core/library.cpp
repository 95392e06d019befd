// Library start-up and shut-down.
#include "containers/alloc.h"
#include "core/default_handlers.h"
#include "core/state.h"

namespace {

ProtocolTable *createTable(uint32_t protocol) {
    auto *table = static_cast<ProtocolTable *>(qmxMalloc(sizeof(ProtocolTable)));
    if (table == nullptr) return nullptr;
    table->protocol = protocol;
    for (QMX_Callback &slot : table->slots) slot = nullptr;
    const DefaultHandler *handlers = qmxDefaultHandlers(protocol);
    for (int i = 0; handlers != nullptr && i < kDefaultHandlersPerProtocol; ++i) {
        if (handlers[i].slot >= 0 && handlers[i].slot < static_cast<int32_t>(QMX_SLOT_COUNT)) {
            table->slots[handlers[i].slot] = handlers[i].function;
        }
    }
    return table;
}

template <typename F>
F slotAs(const ProtocolTable *table, uint32_t slot) {
    return reinterpret_cast<F>(table->slots[slot]);
}

} // namespace

extern "C" {

QMX_API uint32_t QMX_init(void) {
    if (!qmxRegistryCreate()) return 1;

    for (uint32_t p = 0; p < QMX_PROTO_COUNT; ++p) {
        if (protocolTables[p] != nullptr) continue;
        ProtocolTable *table = createTable(p);
        if (table == nullptr) {
            // All or none: a host never sees some protocols configured and
            // others missing.
            for (uint32_t q = 0; q < p; ++q) {
                qmxFree(protocolTables[q]);
                protocolTables[q] = nullptr;
            }
            return 1;
        }
        protocolTables[p] = table;
    }

    // Every call restores the inert defaults, so hosts register after init.
    for (ProtocolTable *table : protocolTables) qmxInstallDefaultSlots(table);

    for (const ProtocolTable *table : protocolTables) {
        auto init = slotAs<QMX_ProtoInitFn>(table, QMX_CB_PROTO_INIT);
        if (init == nullptr || init() != 0) return 1;
    }
    return 0;
}

QMX_API uint32_t QMX_shutdown(void) {
    qmxRegistryDestroy();

    uint32_t failed = 0;
    for (ProtocolTable *&table : protocolTables) {
        if (table == nullptr) continue;
        auto shutdown = slotAs<QMX_ProtoShutdownFn>(table, QMX_CB_PROTO_SHUTDOWN);
        if (shutdown != nullptr && shutdown() != 0) failed = 1;
        qmxFree(table);
        table = nullptr;
    }
    return failed;
}

} // extern "C"
