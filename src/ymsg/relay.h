// The top of the YMSG folder: the loop that moves whole packets between the
// client and the server through the host's slots.
#pragma once

#include <cstdint>

#include "ymsg/filter.h"
#include "ymsg/packet.h"
#include "ymsg/session.h"

void ymsgRelay(YmsgSession *session);
// Reads one packet from `from`, filters it and forwards it to `to`. True when
// `from` has ended (or its packet was cut short) and is no longer to be read.
bool ymsgHandlePacket(const char *label, uint64_t from, uint64_t to, YmsgSession *session);
