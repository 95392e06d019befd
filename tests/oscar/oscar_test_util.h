// A frame under test: the bytes and a ByteStream over them, kept together so
// the stream never outlives or loses its buffer.
#pragma once

#include <string>

#include "containers/byte_stream.h"
#include "support/oscar_builders.h"

namespace qmxtest {

class OscarFrame {
public:
    explicit OscarFrame(const Bytes &bytes) : bytes_(bytes) {
        ByteStream_init(bytes_.data(), static_cast<uint32_t>(bytes_.size()), &stream_);
    }
    OscarFrame(const OscarFrame &) = delete;
    OscarFrame &operator=(const OscarFrame &) = delete;

    ByteStream *stream() { return &stream_; }
    const Bytes &bytes() const { return bytes_; }
    const uint8_t *begin() const { return reinterpret_cast<const uint8_t *>(bytes_.data()); }
    const uint8_t *end() const { return begin() + bytes_.size(); }

private:
    Bytes bytes_;
    ByteStream stream_;
};

} // namespace qmxtest
