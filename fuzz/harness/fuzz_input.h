// A forgiving reader over a fuzzer's input: every read past the end yields
// zeros or an empty string, so any byte sequence decodes to some script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qmxfuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }
    size_t left() const { return size_ - position_; }

    uint8_t u8() { return empty() ? 0 : data_[position_++]; }
    uint16_t u16() {
        const uint16_t high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }
    uint32_t u32() {
        const uint32_t high = u16();
        return high << 16 | u16();
    }
    std::string take(size_t n) {
        n = std::min(n, left());
        std::string out(reinterpret_cast<const char *>(data_ + position_), n);
        position_ += n;
        return out;
    }
    // A length in one byte, or in two more when the first is 255, so that
    // short chunks stay cheap to mutate and long ones remain reachable.
    std::string chunk() {
        size_t n = u8();
        if (n == 255) n = u16();
        return take(n);
    }
    std::string rest() { return take(left()); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

} // namespace qmxfuzz
