// Decoder harnesses: the input is copied so that its last byte sits right
// before a page that cannot be read or written, so a read or write past the
// end of a frame faults at once, with or without a sanitizer.
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "harness/harness.h"
#include "oscar/decode.h"
#include "oscar/framing.h"
#include "ymsg/packet.h"

namespace qmxfuzz {
namespace {

// A writable area right before an inaccessible block; 64 KiB is a multiple
// of every page size.
struct GuardedBuffer {
    static constexpr size_t kGuard = 65536;
    explicit GuardedBuffer(size_t capacity) : size((capacity + kGuard - 1) / kGuard * kGuard) {
#if defined(_WIN32)
        auto *area = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, size + kGuard, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (area == nullptr || !VirtualProtect(area + size, kGuard, PAGE_NOACCESS, &old))
            std::abort();
#else
        auto *area = static_cast<uint8_t *>(mmap(nullptr, size + kGuard, PROT_READ | PROT_WRITE,
                                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (area == MAP_FAILED || mprotect(area + size, kGuard, PROT_NONE) != 0) std::abort();
#endif
        end = area + size;
    }
    // The last n bytes before the guard, filled from `bytes` if given.
    uint8_t *place(const void *bytes, size_t n) {
        if (bytes != nullptr && n > 0) std::memcpy(end - n, bytes, n);
        return end - n;
    }
    const size_t size;
    uint8_t *end = nullptr;
};

bool inside(const uint8_t *p, size_t n, const uint8_t *begin, size_t size) {
    return p >= begin && n <= size && static_cast<size_t>(p - begin) <= size - n;
}

bool terminated(const char name[kOscarNameSize]) {
    return std::memchr(name, 0, kOscarNameSize) != nullptr;
}

std::string checkIcbmPointers(const IcbmInfo &info, const uint8_t *frame, size_t n) {
    if (info.text != nullptr && !inside(info.text, info.textLength, frame, n))
        return "ICBM text outside the frame";
    if (info.name != nullptr && !inside(info.name, info.nameLength, frame, n))
        return "ICBM name outside the frame";
    return "";
}

// Rebuilds a text ICBM around `replacement` the way the filter does, into a
// guarded buffer of exactly the announced size, and reads it back.
std::string checkRewrite(const uint8_t *frame, size_t n, const std::string &replacement) {
    static GuardedBuffer output(kFlapMaxLength + kFlapHeaderSize);
    ByteStream stream;
    ByteStream_init(frame, static_cast<uint32_t>(n), &stream);
    IcbmInfo info{};
    LengthFixupList fixups{};
    parseIcbm(&stream, &info, nullptr, nullptr, 0, &fixups);
    if (fixups.count > kMaxLengthFixups) return "more length fixups than there is room for";
    for (uint32_t i = 0; i < fixups.count; ++i)
        if (fixups.entry[i].offset + 2 > n) return "length fixup outside the frame";
    if (info.status != kIcbmStatusText || replacement.size() > kFlapMaxLength) return "";
    FlapHeader header{};
    readFlapHeader(&stream, &header);
    const int64_t difference = static_cast<int64_t>(replacement.size()) - info.textLength;
    const int64_t newLength = int64_t{header.length} + difference;
    if (newLength < 0 || newLength > kFlapMaxLength) return "";
    for (uint32_t i = 0; i < fixups.count; ++i) {
        const int64_t moved = int64_t{fixups.entry[i].value} + difference;
        if (moved < 0 || moved > kFlapMaxLength) return "";
    }
    const auto total = static_cast<uint32_t>(newLength + kFlapHeaderSize);
    uint8_t *rebuilt = output.place(nullptr, total);
    ByteStream out;
    ByteStream_init(rebuilt, total, &out);
    if (parseIcbm(&stream, &info, &out, reinterpret_cast<const uint8_t *>(replacement.data()),
                  static_cast<uint16_t>(replacement.size()), &fixups) != 1)
        return "";
    ByteStream again;
    ByteStream_init(rebuilt, total, &again);
    if (frameLength(&again) != total) return "rewritten frame's FLAP length + 6 is not its size";
    char name[kOscarNameSize] = "";
    IcbmInfo rewritten{};
    classifyFrame(&again, name, &rewritten);
    const std::string failure = checkIcbmPointers(rewritten, rebuilt, total);
    if (!failure.empty()) return failure;
    ByteStream_rewind(&again);
    IcbmInfo reread{};
    parseIcbm(&again, &reread, nullptr, nullptr, 0, nullptr);
    if (reread.status != kIcbmStatusText) return "rewritten frame no longer reads as a text ICBM";
    if (std::string(reinterpret_cast<const char *>(reread.text), reread.textLength) != replacement)
        return "rewritten frame does not carry the replacement";
    return "";
}

} // namespace

// Input: a flag byte (bit 0: decode the login request against a known
// name), the name and the replacement as chunks, then the frame.
std::string oscarFrame(const uint8_t *data, size_t size) {
    static GuardedBuffer guarded(kFlapMaxLength + kFlapHeaderSize);
    FuzzInput in(data, size);
    const uint8_t flags = in.u8();
    const std::string knownName = in.chunk(), replacement = in.chunk();
    std::string frameBytes = in.rest();
    frameBytes.resize(std::min(frameBytes.size(), guarded.size));
    const size_t n = frameBytes.size();
    uint8_t *frame = guarded.place(frameBytes.data(), n);

    ByteStream stream;
    ByteStream_init(frame, static_cast<uint32_t>(n), &stream);
    char name[kOscarNameSize];
    std::memset(name, 'z', sizeof name); // whatever the classifier leaves must be terminated
    IcbmInfo info{};
    classifyFrame(&stream, name, &info);
    if (!terminated(name)) return "classifier left the screen name unterminated";
    const std::string failure = checkIcbmPointers(info, frame, n);
    if (!failure.empty()) return failure;

    char requestName[kOscarNameSize] = "";
    if (flags & 1)
        oscarCopyName(reinterpret_cast<const uint8_t *>(knownName.data()),
                      static_cast<uint32_t>(knownName.size()), requestName);
    ByteStream_rewind(&stream);
    parseLoginRequest(&stream, requestName);
    if (!terminated(requestName)) return "login request name unterminated";

    char replyName[kOscarNameSize] = "";
    uint8_t cookie[kOscarCookieSize];
    uint16_t cookieLength = 0;
    ByteStream_rewind(&stream);
    if (parseLoginReply(&stream, replyName, cookie, &cookieLength) == 1 &&
        (!terminated(replyName) || cookieLength > kOscarCookieSize))
        return "login reply name or cookie out of bounds";
    ByteStream_rewind(&stream);
    parseSignonCookie(&stream, cookie);
    return checkRewrite(frame, n, replacement);
}

std::string ymsgFields(const uint8_t *data, size_t size) {
    static GuardedBuffer guarded(kYmsgMaxBodyLength + kYmsgHeaderSize);
    const size_t n = std::min(size, guarded.size);
    const uint8_t *packet = guarded.place(data, n);
    ByteStream stream;
    ByteStream_init(packet, static_cast<uint32_t>(n), &stream);
    YmsgFields fields{};
    ymsgParsePacket(&stream, &fields);
    for (const YmsgValue *value : {&fields.sender, &fields.recipient, &fields.text}) {
        if (value->data == nullptr) continue;
        if (!inside(value->data, value->length + kYmsgSeparatorSize, packet, n))
            return "YMSG field value (with its separator) outside the packet";
        if (std::memcmp(value->data + value->length, kYmsgSeparator, kYmsgSeparatorSize) != 0)
            return "YMSG field value not followed by its separator";
    }
    if (n >= kYmsgHeaderSize &&
        ymsgPacketSize(&stream) != (uint32_t{packet[8]} << 8 | packet[9]) + kYmsgHeaderSize)
        return "YMSG packet size is not length + 20";
    return "";
}

} // namespace qmxfuzz
