// The top of the OSCAR folder: the loop that moves whole FLAP frames between
// the client and the server through the host's slots.
#pragma once

#include <cstdint>

#include "oscar/filter.h"
#include "oscar/framing.h"
#include "oscar/session.h"

void oscarRelay(OscarSession *session);
// Reads one frame from `from`, filters it and forwards it to `to`. True when
// `from` has ended (or its frame was cut short or refused) and is no longer
// to be read.
bool oscarHandleFrame(const char *label, uint64_t from, uint64_t to, OscarSession *session);
// Passes on a stream that does not start with a FLAP header and stops the
// instance.
void oscarPassThrough(const uint8_t header[kFlapHeaderSize], uint64_t from, uint64_t to,
                      OscarSession *session);
int32_t oscarReadExactly(uint64_t socket, uint8_t *buffer, uint32_t n);
void oscarSendAll(uint64_t socket, const uint8_t *buffer, uint32_t n);
