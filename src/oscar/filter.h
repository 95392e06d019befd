// The decision step for one whole FLAP frame: classify it, show it to the
// host's event and policy slots, and carry out the answer by spoiling a
// login, truncating an ICBM to its header or splicing in a replacement text.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/byte_stream.h"
#include "oscar/decode.h"
#include "oscar/framing.h"
#include "oscar/session.h"

enum class OscarVerdict { kForward, kClose };

// What the step leaves for the relay to release once the frame is gone: the
// event (with any replacement text the host attached) and the rewritten frame.
struct OscarFrameWork {
    FilterEvent event;
    uint8_t *rewritten; // qmxMalloc'd, or NULL
};

// `frame` covers the received frame. When a replacement rewrites it, `frame`
// is re-pointed at work->rewritten. Either way the relay forwards FLAP length
// + 6 bytes of whatever `frame` covers, then calls oscarReleaseFrameWork.
OscarVerdict oscarFilterFrame(const char *label, OscarSession *session, ByteStream *frame,
                              OscarFrameWork *work);
void oscarReleaseFrameWork(OscarFrameWork *work);

// True unless a side signed on through this process refuses the transfer.
bool checkFilePolicy(uint32_t id, const char *sender, const char *receiver);

// Cut a SNAC 0x0004/0x0006 (outgoing) or 0x0004/0x0007 (incoming) frame down
// to its ICBM header by shortening the FLAP length; 1 when done. With an
// empty `name` they only copy the frame's screen name into it.
int truncateOutgoingIcbm(ByteStream *frame, char name[kOscarNameSize]);
int truncateIncomingIcbm(ByteStream *frame, char name[kOscarNameSize]);
