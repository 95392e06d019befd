// The MSN instance record, the relay loop that serves it and the host slots
// that loop calls. The slot handlers msnNewInstance ... msnShutdown are
// declared in core/default_handlers.h.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/darray.h"

// Framing state of one relay direction.
struct MsnDirection {
    // 0: the next bytes start a command line; > 0: byte count (line and
    // payload) of the command being assembled.
    int32_t need;
    DArray *line;    // scratch: the command being handled
    DArray *rest;    // scratch: the bytes after it
    DArray *pending; // received in this direction, not yet consumed
};

enum : int { kMsnClientToServer = 0, kMsnServerToClient = 1 };

// Protocol data of one MSN instance (what slot 10 returns).
struct MsnInstanceData {
    QMX_Socket clientSocket;
    QMX_Socket serverSocket;
    MsnDirection directions[2];
    DArray *ownAddress;  // set by the first allowed login
    DArray *peerAddress; // first other conversation participant
};

// One side of the connection as the relay and the raw-data hook see it; the
// hook receives the address of this record, so the socket must stay first.
struct RelaySide {
    QMX_Socket socket;
    uint8_t *buffer;
    int32_t size;
};

constexpr int32_t kMsnReceiveBufferSize = 3000;
constexpr int32_t kMsnWaitSeconds = 3;
constexpr int32_t kMsnIdleLimitSeconds = 3600;
// The cached slot 0 of the MSN table (filled on first use); NULL when the
// host left it empty.
QMX_LogFn msnLogSlot();

template <typename... Args>
void msnLog(uint32_t id, uint32_t level, const char *format, Args... args) {
    QMX_LogFn log = msnLogSlot();
    if (log != nullptr) {
        log(id, level, format, args...);
    }
}
