// The instance registry: ids, records, and dispatch to slots 8 to 12.
//
// A lock covers the registry's own operations and the id counter only, never
// a slot call: slots 8 to 12 call back into the getters, and a relay looks its
// instance up while it runs.
#include "containers/hash_table.h"
#include "core/state.h"
#include "platform/lock.h"

HashTable *instanceRegistry = nullptr;

namespace {

QmxLock registryLock;
uint32_t idCounter = 0;

constexpr uint32_t kIdKeySize = sizeof(uint32_t);

bool lookUp(uint32_t id, InstanceRecord *out) {
    QmxLockGuard guard(registryLock);
    return HashTable_get(&id, out, instanceRegistry) == HT_OK;
}

uint32_t nextCandidate() {
    ++idCounter; // wraps modulo 2^32
    if (idCounter == 0) idCounter = 1;
    return idCounter;
}

// Searches upward from the counter and gives up when the counter wraps to or
// below the first candidate, even if lower ids are free.
uint32_t allocateId() {
    QmxLockGuard guard(registryLock);
    const uint32_t first = nextCandidate();
    uint32_t candidate = first;
    while (HashTable_get(&candidate, nullptr, instanceRegistry) == HT_OK) {
        candidate = nextCandidate();
        if (candidate <= first) return 0;
    }
    return candidate;
}

const ProtocolTable *tableOf(const InstanceRecord &record) {
    return record.protocol < QMX_PROTO_COUNT ? protocolTables[record.protocol] : nullptr;
}

template <typename F>
F slotAs(const ProtocolTable *table, uint32_t slot) {
    return table ? reinterpret_cast<F>(table->slots[slot]) : nullptr;
}

void notifyDeletion(const InstanceRecord &record) {
    const ProtocolTable *table = tableOf(record);
    if (auto slot9 = slotAs<QMX_InstanceDeleteFn>(table, QMX_CB_INSTANCE_DELETE)) slot9(record.id);
    if (auto slot11 = slotAs<QMX_ProtoDeleteFn>(table, QMX_CB_PROTO_DELETE)) slot11(record.id);
}

} // namespace

bool qmxRegistryCreate() {
    QmxLockGuard guard(registryLock);
    if (instanceRegistry == nullptr) {
        instanceRegistry = HashTable_create(1, kIdKeySize, sizeof(InstanceRecord), 1);
    }
    return instanceRegistry != nullptr;
}

void qmxRegistryDestroy() {
    if (instanceRegistry == nullptr) return;
    // No record is removed during the walk, so slot 9 and slot 11 can still
    // read every instance's data through the getters.
    HashTable_rewind(instanceRegistry);
    for (;;) {
        uint32_t id = 0;
        InstanceRecord record{};
        {
            QmxLockGuard guard(registryLock);
            if (HashTable_next(&id, &record, instanceRegistry) != HT_OK) break;
        }
        notifyDeletion(record);
    }
    QmxLockGuard guard(registryLock);
    HashTable_destroy(instanceRegistry);
    instanceRegistry = nullptr;
}

void qmxSetIdCounter(uint32_t value) {
    QmxLockGuard guard(registryLock);
    idCounter = value;
}

uint32_t qmxIdCounter() {
    QmxLockGuard guard(registryLock);
    return idCounter;
}

extern "C" {

QMX_API uint32_t QMX_newInstance(uint32_t protocol, QMX_Socket client, QMX_Socket server,
                                 uintptr_t userArg) {
    if (protocol >= QMX_PROTO_COUNT || instanceRegistry == nullptr) return 0;
    const ProtocolTable *table = protocolTables[protocol];
    if (table == nullptr) return 0;

    const uint32_t id = allocateId();
    if (id == 0) return 0;

    InstanceRecord record{};
    record.id = id;
    record.protocol = protocol;
    record.clientSocket = client;
    record.serverSocket = server;
    // Not yet registered: getters called from slots 10 and 8 see nothing.
    if (auto slot10 = slotAs<QMX_ProtoNewFn>(table, QMX_CB_PROTO_NEW)) {
        record.protoData = slot10(id, client, server, userArg);
    }
    if (auto slot8 = slotAs<QMX_InstanceNewFn>(table, QMX_CB_INSTANCE_NEW)) {
        record.userData = slot8(id, client, server, userArg);
    }

    QmxLockGuard guard(registryLock);
    if (HashTable_put(&id, &record, instanceRegistry) != HT_OK) return 0;
    return id;
}

QMX_API uint32_t QMX_deleteInstance(uint32_t id) {
    InstanceRecord record{};
    if (!lookUp(id, &record)) return 2;
    notifyDeletion(record);
    QmxLockGuard guard(registryLock);
    return static_cast<uint32_t>(HashTable_delete(&id, instanceRegistry));
}

QMX_API int32_t QMX_processInstance(uint32_t id) {
    InstanceRecord record{};
    if (!lookUp(id, &record)) return 1;
    auto slot12 = slotAs<QMX_ProtoProcessFn>(tableOf(record), QMX_CB_PROTO_PROCESS);
    return slot12 ? slot12(id) : 0;
}

QMX_API uintptr_t QMX_getInstanceUserData(uint32_t id) {
    InstanceRecord record{};
    return lookUp(id, &record) ? record.userData : 0;
}

QMX_API void *QMX_getInstanceProtoData(uint32_t id) {
    InstanceRecord record{};
    return lookUp(id, &record) ? record.protoData : nullptr;
}

} // extern "C"
