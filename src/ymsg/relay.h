// The YMSG relay: one YmsgSession per instance, the loop that moves whole
// packets between the client and the server through the host's slots, and
// the process-wide cache of those slots.
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

// Host slots 0 to 6 of protocol 2 as the first relay found them. Filled by
// ymsgRelay, never cleared; NULL for a slot that was empty.
QMX_Callback ymsgCachedCallback(uint32_t slot);

void ymsgRelay(YmsgSession *session);
// Reads one packet from `from`, filters it and forwards it to `to`. True when
// `from` has ended (or its packet was cut short) and is no longer to be read.
bool ymsgHandlePacket(const char *label, uint64_t from, uint64_t to, YmsgSession *session);
