// OSCAR: FLAP frames carrying SNACs and TLVs, as AIM/ICQ clients and the
// login (authorization) and service (BOS) servers exchange them.
#pragma once

#include "imsim/net.h"

#include <string>

namespace imsim {

constexpr size_t kFlapHeaderSize = 6;
constexpr size_t kOscarCookieSize = 256;

struct Flap {
    uint8_t channel = 0;
    uint16_t sequence = 0;
    std::string payload;
    std::string raw;
};

std::string flap(uint8_t channel, uint16_t sequence, const std::string &payload);
std::string snac(uint16_t family, uint16_t subtype, uint32_t requestId, const std::string &data);
std::string tlv(uint16_t type, const std::string &value);
Flap flapDecode(const std::string &raw);
Flap flapRead(Socket &s, int timeoutMs = kDefaultTimeoutMs);

// Client -> login server: SNAC 0x0017/0x0002 with the screen name and a
// password hash.
std::string oscarLoginRequest(uint16_t seq, const std::string &name, const std::string &hash);
// Login server -> client: SNAC 0x0017/0x0003 with the screen name, the
// service server's address and the sign-on cookie.
std::string oscarLoginReply(uint16_t seq, const std::string &name, const std::string &bos,
                            const std::string &cookie);
// Client -> service server: channel 1 sign-on carrying only the cookie.
std::string oscarCookieSignon(uint16_t seq, const std::string &cookie);
// Service server -> client: SNAC 0x0001/0x000F, the user's own information.
std::string oscarSelfInfo(uint16_t seq, const std::string &name);
// Channel-1 instant messages: SNAC 0x0004/0x0006 from the client and
// 0x0004/0x0007 to it.
std::string oscarMessageOut(uint16_t seq, const std::string &cookie8, const std::string &to,
                            const std::string &text);
std::string oscarMessageIn(uint16_t seq, const std::string &cookie8, const std::string &from,
                           const std::string &text);
// Channel-2 rendezvous proposing a file transfer.
std::string oscarFileOffer(uint16_t seq, const std::string &cookie8, const std::string &to,
                           const std::string &fileName);

// What a test reads back from an ICBM frame.
struct OscarIcbm {
    uint16_t family = 0;
    uint16_t subtype = 0;
    uint16_t channel = 0;
    std::string peer;
    std::string text;     // channel-1 message text
    bool hasText = false; // false when the frame was cut after the name
    // Length fields that enclose the text, as found in the frame.
    uint16_t messageTlvLength = 0;
    uint16_t fragmentLength = 0;
};
OscarIcbm oscarDecodeIcbm(const Flap &frame);
// The screen name, BOS address and cookie of a login reply.
struct OscarLoginReply {
    std::string name;
    std::string bos;
    std::string cookie;
};
OscarLoginReply oscarDecodeLoginReply(const Flap &frame);
// The password hash TLV (0x0025) of a login request.
std::string oscarPasswordHash(const Flap &frame);

} // namespace imsim
