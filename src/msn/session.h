// The bottom of the MSN folder: the state of one MSN instance, the host
// slots the relay caches for the life of the process, and the log helper.
// Everything else in src/msn builds on this header; it includes none of
// them.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/darray.h"

// Framing state of one relay direction.
struct MsnDirection {
    // 0: the next bytes start a command line; > 0: byte count (line and
    // payload) of the command being assembled.
    int32_t need;
    DArray *line;    // scratch: the tokens of the command being handled
    DArray *rest;    // scratch: a replacement body for that command
    DArray *pending; // received in this direction, not yet consumed
};

enum : int { kMsnClientToServer = 0, kMsnServerToClient = 1 };

// Protocol data of one MSN instance (what slot 10 returns). The fields up to
// peerAddress keep the documented order, since a host may look at them
// through QMX_getInstanceProtoData.
struct MsnInstanceData {
    QMX_Socket clientSocket;
    QMX_Socket serverSocket;
    MsnDirection directions[2];
    DArray *ownAddress;  // set by the first allowed login
    DArray *peerAddress; // first other conversation participant
    // Per direction, how many bytes at the head of pending have already been
    // searched for a line end in vain, so that a line arriving in many
    // pieces is searched once rather than once per piece.
    int32_t searched[2];
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

// Fills every slot cache that is still empty from the MSN table. Called at
// the start of each relay; a slot the host changes later is not seen.
void msnFillSlotCaches();

// The cached slots. A host that left a slot empty gets the inert behaviour
// of the defaults instead of a crash: waits, receives and sends fail, the
// rest do nothing.
int32_t msnWait(QMX_Socket client, QMX_Socket server);
int32_t msnRecv(RelaySide *side, uint32_t flags);
int32_t msnSend(QMX_Socket socket, const uint8_t *bytes, intptr_t count, uint32_t flags);
void msnHalfClose(QMX_Socket socket);
int32_t msnRawData(uint32_t id, RelaySide *from, RelaySide *to, int32_t count);

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
