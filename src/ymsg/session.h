// The bottom of the YMSG folder: the state of one YMSG instance, the host
// slots the relay caches for the life of the process, and the log helper.
// Everything else in src/ymsg builds on this header; it includes none of
// them.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

struct YmsgSession {
    uint64_t clientSocket;
    uint64_t serverSocket;
    uint32_t instanceId;
    uint8_t running; // drops to 0 once a stream that is not YMSG has been passed on
};

constexpr char kYmsgLabelClientToServer[] = "CLI=>SRV";
constexpr char kYmsgLabelServerToClient[] = "SRV=>CLI";

// Fills every cache entry that is still empty from the YMSG table; called at
// the start of each relay.
void ymsgFillCallbackCache();

// Host slots 0 to 6 of protocol 2 as the first relay found them. Filled by
// ymsgRelay, never cleared; NULL for a slot that was empty.
QMX_Callback ymsgCachedCallback(uint32_t slot);

template <typename F>
F ymsgSlot(uint32_t slot) {
    return reinterpret_cast<F>(ymsgCachedCallback(slot));
}

// The messages are fixed texts without conversions, passed as the format.
void ymsgLog(const YmsgSession *session, uint32_t level, const char *message);
