// The fuzz harnesses, shared by the libFuzzer targets and by the replay of
// the seed corpora and regression inputs in the hardening tests. Each one
// runs a single input and answers "" when every invariant held, or a
// description of the first one that broke. Memory errors are left to the
// sanitizers and to the guard pages of the decoder harnesses.
#pragma once

#include <qmx/qmx.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmxfuzz {

using Harness = std::string (*)(const uint8_t *data, size_t size);

// A whole instance through the scripted host. The input is a header byte of
// default answers and then a script of operations: client and server
// chunks, read and send limits, forced send results, out-of-band bytes,
// scripted waits, ends and failures of a side, and per-call event, policy
// and raw-data answers (replacement texts empty, short or 70,000 bytes),
// and optionally allocations that start failing part-way through.
std::string relayYmsg(const uint8_t *data, size_t size);
std::string relayOscar(const uint8_t *data, size_t size);
std::string relayMsn(const uint8_t *data, size_t size);

// Random operation sequences on DArray and HashTable, mirrored on
// std::string / std::unordered_map models, with allocation failures
// injected through the allocation seam.
std::string containers(const uint8_t *data, size_t size);

// The OSCAR frame classifier and decoders over one frame that ends right
// before an inaccessible page.
std::string oscarFrame(const uint8_t *data, size_t size);
// The YMSG header and field scan over one packet that ends right before an
// inaccessible page.
std::string ymsgFields(const uint8_t *data, size_t size);

struct Target {
    const char *name; // also the folder name under fuzz/corpus and fuzz/regression
    Harness run;
};

constexpr Target kTargets[] = {
    {"ymsg_relay", relayYmsg},  {"oscar_relay", relayOscar}, {"msn_relay", relayMsn},
    {"containers", containers}, {"oscar_frame", oscarFrame}, {"ymsg_fields", ymsgFields},
};

// Relay inputs are scripts of these operations.
namespace script {
enum Op : uint8_t {
    kClientData = 0,
    kServerData = 1,
    kReadLimit = 2,
    kOutOfBand = 3,
    kEventAnswer = 4,
    kPolicyAnswer = 5,
    kRawAnswer = 6,
    kSendBehaviour = 7,
    kWait = 8,
    kSideEnds = 9,
    kOpCount = 10,
};
// Header byte bits.
enum : uint8_t {
    kRefuseEvents = 1,     // default event answer 0
    kReplacementShift = 1, // 2 bits: 0 none, 1 empty, 2 "x", 3 70,000 bytes
    kRefusePolicy = 8,     // default policy answer 0
    kFailAllocations = 16, // the next byte n: allocations fail after 4n during the relay
};
// Replacement kinds of kEventAnswer (bits 1-2 of its byte); kind 2 takes a
// chunk of its own as the text.
enum : uint8_t {
    kNoReplacement = 0,
    kEmptyReplacement = 1,
    kGivenReplacement = 2,
    kHugeReplacement = 3
};
constexpr size_t kHugeReplacementSize = 70000;

} // namespace script

} // namespace qmxfuzz
