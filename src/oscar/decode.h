// OSCAR decoding: what a login request, a login reply, a cookie sign-on and
// an ICBM say, which class of frame that makes, and the rewriting of an ICBM
// around a new text. Names and texts stay pointers into the frame; only screen
// names (31 bytes) and cookies (256 bytes) are copied, always bounded.
#pragma once

#include <cstdint>

#include "containers/byte_stream.h"
#include "oscar/framing.h"

// The ICBM capability and plugin identifiers, 16 bytes in frame order.
extern const uint8_t kCapIcqServerRelay[16];
extern const uint8_t kCapSendFile[16];
extern const uint8_t kPluginNull[16];
extern const uint8_t kPluginFile[16];

// With an empty `name`, copies the screen name of a login request into it and
// answers 0. With a name given, checks that the request is for that name and
// spoils the login by complementing the first byte of the password (channel
// 1) or password hash (SNAC 0x0017/0x0002); 1 once spoiled, else 0.
int parseLoginRequest(ByteStream *stream, char name[kOscarNameSize]);

// 1 for a login reply that carries a screen name (copied into `name`) and an
// authorization cookie (copied when both `cookie` and `cookieLength` are given,
// at most 256 bytes).
int parseLoginReply(ByteStream *stream, char name[kOscarNameSize], uint8_t *cookie,
                    uint16_t *cookieLength);

// 1 for a channel-1 frame over 256 bytes; its cookie, when it has one that
// lies wholly inside the frame, goes into `cookie` (at most 256 bytes).
int parseSignonCookie(ByteStream *stream, uint8_t *cookie);

// Fills `info` (status kIcbmStatusUnknown for anything it does not follow).
// `fixups`, when given, receives the length fields that enclose the text.
// With an `output` stream and a text found, it also writes the frame with
// `replacement` in place of the text, every enclosing length moved; the
// answer is then 1 when the whole rewritten frame was written. Otherwise 0.
int parseIcbm(ByteStream *stream, IcbmInfo *info, ByteStream *output, const uint8_t *replacement,
              uint16_t replacementLength, LengthFixupList *fixups);

// Finishes a rewritten frame whose bytes up to the text are already in
// `output`: the replacement, the rest of `input` after the old text, a new
// FLAP length, and every enclosing length field moved by the difference.
// True when the output was filled exactly.
bool spliceReplacement(ByteStream *input, const IcbmInfo *info, ByteStream *output,
                       const uint8_t *text, uint16_t replacementLength, const LengthFixup *fixups,
                       uint32_t fixupCount);

// Sorts a frame into the classes the filter acts on, copying the screen name
// it concerns into `name`.
FrameClass classifyFrame(ByteStream *stream, char name[kOscarNameSize], IcbmInfo *info);
