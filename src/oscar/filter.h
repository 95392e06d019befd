// The decision step for one whole FLAP frame: classify it, show it to the
// host's event and policy slots, and carry out the answer by spoiling a
// login, truncating an ICBM to its header or splicing in a replacement text.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>

#include "containers/byte_stream.h"
#include "oscar/framing.h"
#include "oscar/relay.h"

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

// Finishes a rewritten frame whose bytes up to the text are already in
// `output`: the replacement, the rest of `input` after the old text, a new
// FLAP length, and every enclosing length field moved by the difference.
// True when the output was filled exactly.
bool spliceReplacement(ByteStream *input, const IcbmInfo *info, ByteStream *output,
                       const uint8_t *text, uint16_t replacementLength, const LengthFixup *fixups,
                       uint32_t fixupCount);
