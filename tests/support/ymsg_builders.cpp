#include "support/ymsg_builders.h"

namespace qmxtest {

Bytes ymsgFrame(uint16_t service, const Bytes &body, int announcedLength) {
    const auto length = static_cast<uint16_t>(announcedLength < 0 ? body.size() : announcedLength);
    const Bytes bigEndian{char(length >> 8), char(length), char(service >> 8), char(service)};
    return bytes("YMSG\0\x10\0\0") + bigEndian + bytes("\0\0\0\0\x12\x34\x56\x78") + body;
}

} // namespace qmxtest
