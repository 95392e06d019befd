// OSCAR framing: the FLAP header, SNAC headers and TLV walks over one whole
// frame, and the types the decoder fills.
// Everything here reads through ByteStream, so a frame cut short anywhere is
// never read past its end.
#pragma once

#include <cstdint>

#include "containers/byte_stream.h"
#include "oscar/session.h"

constexpr uint8_t kFlapMarker = 0x2A; // '*'
constexpr uint32_t kFlapHeaderSize = 6;
constexpr uint32_t kSnacHeaderSize = 10;
constexpr uint32_t kTlvHeaderSize = 4;
constexpr uint32_t kFlapMaxLength = 0xFFFF;

// A channel-1 frame longer than this carries a sign-on cookie rather than a
// password login.
constexpr uint16_t kSignonCookieThreshold = 256;
// A channel-4 frame shorter than this cannot hold a login reply.
constexpr uint16_t kLoginReplyMinLength = 256;

enum : uint8_t {
    kFlapChannelSignon = 1,
    kFlapChannelData = 2,
    kFlapChannelSignoff = 4,
};

enum : uint16_t {
    kSnacFamilyGeneric = 0x0001,
    kSnacGenericClientReady = 0x0002,
    kSnacGenericSelfInfo = 0x000F,
    kSnacFamilyIcbm = 0x0004,
    kSnacIcbmFromClient = 0x0006,
    kSnacIcbmToClient = 0x0007,
    kSnacFamilyLogin = 0x0017,
    kSnacLoginRequest = 0x0002,
    kSnacLoginReply = 0x0003,
};

enum : uint16_t {
    kTlvScreenName = 0x0001,
    kTlvPassword = 0x0002,
    kTlvAuthCookie = 0x0006,
    kTlvPasswordHash = 0x0025,
    kTlvMessageData = 0x0002,
    kTlvRendezvousData = 0x0005,
    kTlvExtensionData = 0x2711,
    // A message fragment of id 1, version 1, walked as if it were a TLV.
    kFragmentMessageText = 0x0101,
};

struct FlapHeader {
    uint8_t marker;
    uint8_t channel;
    uint16_t sequence;
    uint16_t length; // payload bytes after the header
};

struct SnacHeader {
    uint16_t family;
    uint16_t subtype;
    uint16_t flags;
    uint32_t requestId;
};

enum class FrameClass : uint32_t {
    LoginRequest = 0,
    LoginReply = 1,
    CookieSignon = 2,
    FileSend = 3,
    FileReceive = 4,
    IncomingIm = 5,
    OutgoingIm = 6,
    SelfInfo = 7,
    ClientReady = 8,
    IncomingDatacast = 9,
    OutgoingDatacast = 10,
    OtherFrame = 11,
};

enum : uint32_t {
    kIcbmStatusText = 0,
    kIcbmStatusFile = 2,
    kIcbmStatusSelfInfo = 3,
    kIcbmStatusClientReady = 4,
    kIcbmStatusDatacast = 5,
    kIcbmStatusUnknown = 6,
};

enum : uint16_t { kRendezvousRequest = 0, kRendezvousCancel = 1, kRendezvousAccept = 2 };

struct IcbmInfo {
    uint32_t cookie[2];      // the 8-byte ICBM cookie as two big-endian halves
    uint32_t direction;      // 1 from the client, 0 to the client
    uint16_t channel;        // ICBM channel
    uint16_t rendezvousType; // kRendezvous*
    uint8_t nameLength;
    const uint8_t *name;   // into the frame, not terminated
    uint32_t status;       // kIcbmStatus*
    uint32_t charsetClass; // 0 single-byte, 1 UCS-2, 2 anything else
    uint16_t textLength;
    const uint8_t *text; // into the frame, or NULL
};

// One length field that encloses a message text: its value as found and its
// offset from the start of the frame.
struct LengthFixup {
    uint16_t value;
    uint32_t offset;
};

constexpr uint32_t kMaxLengthFixups = 2;

struct LengthFixupList {
    LengthFixup entry[kMaxLengthFixups];
    uint32_t count;
};

// Rewinds and reads the four header fields; false when fewer than six bytes.
bool readFlapHeader(ByteStream *stream, FlapHeader *out);
// FLAP length + 6: the size of the whole frame as its header announces it.
uint32_t frameLength(ByteStream *stream);
bool oscarReadSnacHeader(ByteStream *stream, SnacHeader *out);

// Moves to `position` (clamped to the end) by rewinding and skipping.
void oscarSeek(uint32_t position, ByteStream *stream);

// From the current position, finds the TLV (or message fragment, whose id and
// version read as one u16 type) of `type` and leaves the position on its
// first byte. When it is not there, the position is put back and the answer
// is false. A header cut off by the end of the frame ends the walk.
bool findTlv(uint16_t type, ByteStream *stream);

// At the start of a TLV found by findTlv: reads its header and checks that
// the whole value lies inside the frame, leaving the position on the value.
// A value that runs past the end counts as no value at all.
bool oscarEnterTlv(ByteStream *stream, uint16_t *length, uint32_t *lengthOffset);

// Copies at most 31 bytes of a screen name and terminates it.
void oscarCopyName(const uint8_t *bytes, uint32_t length, char name[kOscarNameSize]);
// True when the L bytes of a frame's screen name are the name held in a
// 32-byte buffer, which keeps only its first 31 bytes.
bool oscarNameMatches(const uint8_t *bytes, uint32_t length, const char name[kOscarNameSize]);
