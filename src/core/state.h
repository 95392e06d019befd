// Process-wide state of the library: the three callback tables and the
// instance registry. Zero until QMX_init; nothing protocol-specific lives here.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/hash_table.h"

struct ProtocolTable {
    uint32_t protocol;
    QMX_Callback slots[QMX_SLOT_COUNT];
};

struct InstanceRecord {
    uint32_t id;
    uint32_t protocol;
    void *protoData;
    uintptr_t userData;
    QMX_Socket clientSocket;
    QMX_Socket serverSocket;
};

extern ProtocolTable *protocolTables[QMX_PROTO_COUNT];
extern HashTable *instanceRegistry;

// Creates the registry when it does not exist yet; false when that fails.
bool qmxRegistryCreate();
// Calls slots 9 and 11 of every live instance, then drops the registry.
void qmxRegistryDestroy();

// Installs the inert built-in defaults of slots 0 to 7 in one table.
void qmxInstallDefaultSlots(ProtocolTable *table);
// Whether a log slot shows anything: false for an empty slot and for the
// built-in one, which drops every message.
bool qmxLogIsShown(QMX_Callback log);

// Test hooks for the id counter, which is never reset otherwise.
void qmxSetIdCounter(uint32_t value);
uint32_t qmxIdCounter();

// Hosts compiled by any compiler read these records through the public
// header, so their 64-bit layout is fixed.
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#include <cstddef>
static_assert(sizeof(FilterEvent) == 56 && offsetof(FilterEvent, wideText) == 24 &&
                  offsetof(FilterEvent, text) == 32 && offsetof(FilterEvent, textLength) == 40 &&
                  offsetof(FilterEvent, replacement) == 48,
              "FilterEvent layout");
static_assert(sizeof(ReplacementText) == 16 && offsetof(ReplacementText, size) == 8,
              "ReplacementText layout");
#endif
