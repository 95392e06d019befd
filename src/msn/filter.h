// The MSN filter step: cuts the bytes of one relay direction into commands,
// has each parsed and decided on, and writes what takes its place into an
// out buffer.
#pragma once

#include <cstdint>

#include "containers/darray.h"
#include "msn/commands.h"
#include "msn/policy.h"
#include "msn/session.h"

// Frames count bytes of the given direction (0 client -> server, 1 server ->
// client) of the instance and appends the handled commands to out.
void frameBytes(uint32_t id, const uint8_t *bytes, int32_t count, int direction, DArray *out);
// The same for a record the caller already holds.
void msnFrameBytes(uint32_t id, MsnInstanceData *data, const uint8_t *bytes, int32_t count,
                   int direction, DArray *out);
