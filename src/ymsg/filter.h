// The decision step for one whole YMSG packet: classify it, show it to the
// host's event and policy slots, apply a replacement text, forward or drop.
#pragma once

#include <qmx/qmx.h>

#include "containers/byte_stream.h"
#include "ymsg/packet.h"
#include "ymsg/session.h"

enum class YmsgVerdict { kForward, kDrop };

// `packet` covers the received packet. When a replacement text rewrites it,
// `packet` is re-pointed at a new buffer (allocated with qmxMalloc) that the
// caller forwards and frees, along with the received one and the event's
// replacement text.
YmsgVerdict ymsgFilterPacket(const char *label, const YmsgSession *session, ByteStream *packet,
                             FilterEvent *event);
