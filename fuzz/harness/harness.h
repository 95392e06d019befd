// The fuzz harnesses, shared by the libFuzzer targets and by the replay of
// the seed corpora and regression inputs in the hardening tests. Each runs
// one input and answers "" when every invariant held, or what broke first.
// Memory errors are left to the sanitizers and to the decoders' guard pages.
#pragma once

#include <qmx/qmx.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qmxfuzz {

// A forgiving reader over a fuzzer's input: every read past the end yields
// zeros or an empty string, so any byte sequence decodes to some script.
class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t u8() { return empty() ? 0 : data_[at_++]; }
    uint16_t u16() {
        const int high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }
    std::string take(size_t n) {
        n = std::min(n, size_ - at_);
        at_ += n;
        return std::string(reinterpret_cast<const char *>(data_ + at_ - n), n);
    }
    // A length in one byte, or in two more when it is 255: short chunks stay
    // cheap to mutate and long ones reachable.
    std::string chunk() {
        const size_t n = u8();
        return take(n == 255 ? u16() : n);
    }
    std::string rest() { return take(size_ - at_); }

private:
    const uint8_t *data_;
    size_t size_, at_ = 0;
};

using Harness = std::string (*)(const uint8_t *data, size_t size);

// A whole instance through the scripted host, driven by a relay script
// (relay_harness.cpp describes the format).
std::string relayYmsg(const uint8_t *data, size_t size);
std::string relayOscar(const uint8_t *data, size_t size);
std::string relayMsn(const uint8_t *data, size_t size);
// DArray and HashTable against std models, with allocation failures.
std::string containers(const uint8_t *data, size_t size);
// The OSCAR decoders and the YMSG field scan over one frame that ends right
// before an inaccessible page.
std::string oscarFrame(const uint8_t *data, size_t size);
std::string ymsgFields(const uint8_t *data, size_t size);

struct Target {
    const char *name; // also the folder name under fuzz/corpus and fuzz/regression
    Harness run;
};

constexpr Target kTargets[] = {
    {"ymsg_relay", relayYmsg},  {"oscar_relay", relayOscar}, {"msn_relay", relayMsn},
    {"containers", containers}, {"oscar_frame", oscarFrame}, {"ymsg_fields", ymsgFields},
};

} // namespace qmxfuzz
