// What the replay needs to know of each protocol's framing, kept apart from
// the library: where the unit that the relay will read next ends, where a
// unit can start after a hole in the capture, what the first bytes of a
// stream say it is, and how many units a direction carried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmxreplay {

// The library's protocol numbers (QMX_PROTO_*).
enum class Proto : uint8_t { Oscar = 0, Msn = 1, Ymsg = 2 };
constexpr size_t kProtoCount = 3;

constexpr size_t kFlapHeaderSize = 6;
constexpr size_t kYmsgHeaderSize = 20;
// The MSN relay receives at most this much at a time.
constexpr size_t kMsnReadSize = 3000;

// How many of the bytes at data the relay takes as its next read, once they
// are all there; 0 while they are not. OSCAR and YMSG read a whole header
// and then the body it announces (or, without the FLAP marker or YMSG magic,
// only the header); MSN reads what there is, and gets one line at a time.
size_t readyLength(Proto p, const uint8_t *data, size_t n);

// Where a unit can start at or after data[0]. found: at offset skip. Not
// found: skip is how many bytes can go; the rest may still become the start
// of a unit when more arrive. lineStart: data[0] follows a line end (MSN).
struct Boundary {
    bool found = false;
    size_t skip = 0;
};
Boundary findBoundary(Proto p, const uint8_t *data, size_t n, bool lineStart);

// What a stream's first bytes look like.
enum class Content { NeedMore, Tls, Oscar, Msn, Ymsg, Other };
Content sniffContent(const uint8_t *data, size_t n);

// Counts the units of one direction as its bytes go by, in any pieces.
// Bytes that are not the protocol end the count, as they end the relay.
class UnitCounter {
public:
    explicit UnitCounter(Proto p = Proto::Oscar) : proto_(p) {}
    void feed(const uint8_t *data, size_t n);
    // A new start: the bytes before were not the protocol's, or were lost.
    void restart();
    uint64_t units() const { return units_; }

private:
    void endOfHeader();
    void endOfLine();

    Proto proto_;
    uint64_t units_ = 0;
    uint8_t header_[kYmsgHeaderSize] = {};
    size_t have_ = 0;
    uint64_t body_ = 0; // bytes of the current unit's body still to come
    bool inBody_ = false;
    bool broken_ = false;
    std::string line_; // MSN: the command line so far
};

} // namespace qmxreplay
