// The built-in protocol handlers that QMX_init puts in slots 10 to 14. The
// registry only needs their addresses; each protocol folder defines its own.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

struct DefaultHandler {
    int32_t slot;
    QMX_Callback function;
};

constexpr int kDefaultHandlersPerProtocol = 5;

// The (slot, function) pairs of one protocol, slots 10 to 14 in that order.
const DefaultHandler *qmxDefaultHandlers(uint32_t protocol);

void *oscarNewSession(uint32_t id, QMX_Socket client, QMX_Socket server, uintptr_t userArg);
void oscarDeleteSession(uint32_t id);
int32_t oscarProcess(uint32_t id);
int32_t oscarInit(void);
int32_t oscarShutdown(void);

void *msnNewInstance(uint32_t id, QMX_Socket client, QMX_Socket server, uintptr_t userArg);
void msnDeleteInstance(uint32_t id);
int32_t msnProcess(uint32_t id);
int32_t msnInit(void);
int32_t msnShutdown(void);

void *ymsgNewSession(uint32_t id, QMX_Socket client, QMX_Socket server, uintptr_t userArg);
void ymsgDeleteSession(uint32_t id);
int32_t ymsgProcess(uint32_t id);
int32_t ymsgInit(void);
int32_t ymsgShutdown(void);
