// The MSN policy step: turns a framed command into the host's event and
// policy questions and learns the user's and the peer's addresses.
#pragma once

#include <cstdint>

#include "msn/framing.h"
#include "msn/payload.h"
#include "msn/session.h"

// 1 when the command is blocked, 0 when it is not.
int32_t msnPolicyStep(uint32_t id, MsnInstanceData *data, MsnCommand *command);

// From an address list such as "1:user@example.com" or
// "user@example.com;{guid}": the first part holding "@", else the last part;
// NULL when the list has no part at all. The list is cut in place: the
// picked part is zero-terminated where it ends.
const char *msnPickAddress(char *address);
