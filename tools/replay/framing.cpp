#include "framing.h"

#include <algorithm>
#include <cstring>

namespace qmxreplay {

namespace {

constexpr uint8_t kFlapMarker = '*';
constexpr uint8_t kFlapChannelMax = 5;
constexpr size_t kFlapLengthOffset = 4;
constexpr size_t kYmsgLengthOffset = 8;
constexpr char kYmsgMagic[4] = {'Y', 'M', 'S', 'G'};
// The MSN relay drops a line that grows past this without its CR LF.
constexpr size_t kMsnMaxLine = size_t{64} * 1024;

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool isYmsgMagic(const uint8_t *p) { return std::memcmp(p, kYmsgMagic, sizeof kYmsgMagic) == 0; }

bool isFlapStart(const uint8_t *p) {
    return p[0] == kFlapMarker && p[1] >= 1 && p[1] <= kFlapChannelMax;
}

// Three capitals and a space or CR: how every MSN command line begins.
bool isMsnCommand(const uint8_t *p) {
    return std::all_of(p, p + 3, [](uint8_t c) { return c >= 'A' && c <= 'Z'; }) &&
           (p[3] == ' ' || p[3] == '\r');
}

// The commands whose last token announces a payload after the line, as the
// library's MSN command table has them.
bool msnHasPayload(const std::string &line) {
    static const char *const kPayloadCommands[] = {"MSG", "PAG", "NOT", "FQY", "GCF", "ADL", "RML",
                                                   "UUX", "UBX", "NFY", "PUT", "UUN", "UBN", "QRY"};
    return line.size() > 3 &&
           std::any_of(std::begin(kPayloadCommands), std::end(kPayloadCommands),
                       [&](const char *c) { return line.compare(0, 3, c) == 0; });
}

uint64_t msnPayloadLength(const std::string &line) {
    const size_t end = line.find_last_not_of("\r\n ");
    if (end == std::string::npos) return 0;
    size_t start = line.find_last_of(' ', end);
    start = start == std::string::npos ? 0 : start + 1;
    uint64_t value = 0;
    for (size_t i = start; i <= end && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(line[i] - '0');
        if (value > kMsnMaxLine * 4) return 0; // the library drops such a command
    }
    return value;
}

} // namespace

size_t readyLength(Proto p, const uint8_t *data, size_t n) {
    if (n == 0) return 0; // data may be null then
    switch (p) {
    case Proto::Oscar: {
        if (n < kFlapHeaderSize) return 0;
        if (data[0] != kFlapMarker) return kFlapHeaderSize;
        const size_t total = kFlapHeaderSize + be16(data + kFlapLengthOffset);
        return n >= total ? total : 0;
    }
    case Proto::Ymsg: {
        if (n < kYmsgHeaderSize) return 0;
        if (!isYmsgMagic(data)) return kYmsgHeaderSize;
        const size_t total = kYmsgHeaderSize + be16(data + kYmsgLengthOffset);
        return n >= total ? total : 0;
    }
    case Proto::Msn: {
        const size_t window = std::min(n, kMsnReadSize);
        const auto *nl = static_cast<const uint8_t *>(std::memchr(data, '\n', window));
        if (nl != nullptr) return static_cast<size_t>(nl - data) + 1;
        return n >= kMsnReadSize ? kMsnReadSize : 0;
    }
    }
    return 0;
}

Boundary findBoundary(Proto p, const uint8_t *data, size_t n, bool lineStart) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *at = data + i;
        const size_t left = n - i;
        switch (p) {
        case Proto::Oscar: {
            if (at[0] != kFlapMarker) break;
            if (left < kFlapHeaderSize) return {false, i};
            if (!isFlapStart(at)) break;
            // A lone '*' is common in any data: the frame it heads must end
            // where the buffer does, or where another frame starts.
            const size_t next = kFlapHeaderSize + be16(at + kFlapLengthOffset);
            if (next + 2 > left) {
                if (next == left) return {true, i};
                return {false, i};
            }
            if (isFlapStart(at + next)) return {true, i};
            break;
        }
        case Proto::Ymsg:
            if (at[0] != kYmsgMagic[0]) break;
            if (left < sizeof kYmsgMagic) return {false, i};
            if (isYmsgMagic(at)) return {true, i};
            break;
        case Proto::Msn:
            if (i == 0 ? !lineStart : data[i - 1] != '\n') break;
            if (left < 4) return {false, i};
            if (isMsnCommand(at)) return {true, i};
            break;
        }
    }
    return {false, n};
}

Content sniffContent(const uint8_t *data, size_t n) {
    // A TLS record: handshake, alert, change-cipher-spec or application data,
    // version 3.x.
    if (n >= 1 && data[0] >= 0x14 && data[0] <= 0x17) {
        if (n < 3) return Content::NeedMore;
        if (data[1] == 3 && data[2] <= 4) return Content::Tls;
    }
    if (n >= 1 && data[0] == kFlapMarker) {
        if (n < 2) return Content::NeedMore;
        if (isFlapStart(data)) return Content::Oscar;
    }
    if (n >= 1 && data[0] == kYmsgMagic[0]) {
        if (n < sizeof kYmsgMagic) return Content::NeedMore;
        if (isYmsgMagic(data)) return Content::Ymsg;
    }
    if (n < 4) return Content::NeedMore;
    // The commands that open an MSN connection of any kind.
    for (const char *opener : {"VER ", "USR ", "ANS ", "CVR "}) {
        if (std::memcmp(data, opener, 4) == 0) return Content::Msn;
    }
    return Content::Other;
}

void UnitCounter::restart() {
    have_ = 0;
    body_ = 0;
    inBody_ = false;
    broken_ = false;
    line_.clear();
}

void UnitCounter::endOfHeader() {
    if (proto_ == Proto::Oscar) {
        if (header_[0] != kFlapMarker) {
            broken_ = true;
            return;
        }
        body_ = be16(header_ + kFlapLengthOffset);
    } else {
        if (!isYmsgMagic(header_)) {
            broken_ = true;
            return;
        }
        body_ = be16(header_ + kYmsgLengthOffset);
    }
    have_ = 0;
    inBody_ = body_ > 0;
    if (!inBody_) ++units_;
}

void UnitCounter::endOfLine() {
    const uint64_t payload = msnHasPayload(line_) ? msnPayloadLength(line_) : 0;
    line_.clear();
    body_ = payload;
    inBody_ = payload > 0;
    if (!inBody_) ++units_;
}

void UnitCounter::feed(const uint8_t *data, size_t n) {
    const size_t headerSize = proto_ == Proto::Oscar ? kFlapHeaderSize : kYmsgHeaderSize;
    size_t i = 0;
    while (i < n && !broken_) {
        if (inBody_) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(body_, n - i));
            body_ -= take;
            i += take;
            if (body_ == 0) {
                inBody_ = false;
                ++units_;
            }
        } else if (proto_ == Proto::Msn) {
            const auto *nl = static_cast<const uint8_t *>(std::memchr(data + i, '\n', n - i));
            const size_t end = nl != nullptr ? static_cast<size_t>(nl - data) + 1 : n;
            line_.append(reinterpret_cast<const char *>(data + i), end - i);
            i = end;
            if (nl != nullptr) endOfLine();
            if (line_.size() > kMsnMaxLine) broken_ = true;
        } else {
            const size_t take = std::min(headerSize - have_, n - i);
            std::memcpy(header_ + have_, data + i, take);
            have_ += take;
            i += take;
            if (have_ == headerSize) endOfHeader();
        }
    }
}

} // namespace qmxreplay
