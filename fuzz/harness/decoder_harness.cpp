// Decoder harnesses: the input is copied so that its last byte sits right
// before a page that cannot be read or written, so a read or write past the
// end of a frame faults at once, with or without a sanitizer.
#include "harness/harness.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/fuzz_input.h"
#include "oscar/decode.h"
#include "oscar/framing.h"
#include "ymsg/packet.h"

namespace qmxfuzz {
namespace {

// A writable area followed by a PROT_NONE page. place() puts bytes at its
// very end.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t capacity) {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        size_ = (capacity + page - 1) / page * page;
        void *area = VirtualAlloc(nullptr, size_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old = 0;
        const bool guarded = area != nullptr && VirtualProtect(static_cast<uint8_t *>(area) + size_,
                                                               page, PAGE_NOACCESS, &old);
#else
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (capacity + page - 1) / page * page;
        void *area =
            mmap(nullptr, size_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        const bool guarded = area != MAP_FAILED &&
                             mprotect(static_cast<uint8_t *>(area) + size_, page, PROT_NONE) == 0;
#endif
        if (!guarded) {
            std::fprintf(stderr, "guard page could not be set up\n");
            std::abort();
        }
        base_ = static_cast<uint8_t *>(area);
    }
    size_t capacity() const { return size_; }
    uint8_t *place(const void *bytes, size_t n) {
        uint8_t *at = base_ + size_ - n;
        if (n > 0) std::memcpy(at, bytes, n);
        return at;
    }
    uint8_t *reserve(size_t n) { return base_ + size_ - n; }

private:
    uint8_t *base_ = nullptr;
    size_t size_ = 0;
};

constexpr size_t kMaxOscarFrame = kFlapMaxLength + kFlapHeaderSize;
constexpr size_t kMaxYmsgPacket = kYmsgMaxBodyLength + kYmsgHeaderSize;

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
// guarded buffer of exactly the announced size.
std::string checkRewrite(const uint8_t *frame, size_t n, const std::string &replacement) {
    static GuardedBuffer output(kMaxOscarFrame);
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
    ByteStream out;
    ByteStream_init(output.reserve(total), total, &out);
    const int written =
        parseIcbm(&stream, &info, &out, reinterpret_cast<const uint8_t *>(replacement.data()),
                  static_cast<uint16_t>(replacement.size()), &fixups);
    if (written != 1) return "";
    ByteStream again;
    ByteStream_init(output.reserve(total), total, &again);
    if (frameLength(&again) != total) return "rewritten frame's FLAP length + 6 is not its size";
    char name[kOscarNameSize] = "";
    IcbmInfo rewritten{};
    classifyFrame(&again, name, &rewritten);
    std::string failure = checkIcbmPointers(rewritten, output.reserve(total), total);
    if (!failure.empty()) return failure;
    ByteStream_rewind(&again);
    IcbmInfo reread{};
    parseIcbm(&again, &reread, nullptr, nullptr, 0, nullptr);
    if (reread.status != kIcbmStatusText) return "rewritten frame no longer reads as a text ICBM";
    if (reread.textLength != replacement.size() ||
        (reread.textLength > 0 &&
         std::memcmp(reread.text, replacement.data(), replacement.size()) != 0))
        return "rewritten frame does not carry the replacement";
    return "";
}

} // namespace

// Input: a flag byte (bit 0: decode the login request against a known
// name), the name and the replacement as chunks, then the frame.
std::string oscarFrame(const uint8_t *data, size_t size) {
    static GuardedBuffer guarded(kMaxOscarFrame);
    FuzzInput in(data, size);
    const uint8_t flags = in.u8();
    const std::string knownName = in.chunk();
    const std::string replacement = in.chunk();
    std::string frameBytes = in.rest();
    if (frameBytes.size() > guarded.capacity()) frameBytes.resize(guarded.capacity());
    const size_t n = frameBytes.size();
    uint8_t *frame = guarded.place(frameBytes.data(), n);

    ByteStream stream;
    ByteStream_init(frame, static_cast<uint32_t>(n), &stream);
    char name[kOscarNameSize];
    std::memset(name, 'z', sizeof name); // whatever the classifier leaves must still be terminated
    IcbmInfo info{};
    classifyFrame(&stream, name, &info);
    if (!terminated(name)) return "classifier left the screen name unterminated";
    std::string failure = checkIcbmPointers(info, frame, n);
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
    static GuardedBuffer guarded(kMaxYmsgPacket);
    const size_t n = size < guarded.capacity() ? size : guarded.capacity();
    uint8_t *packet = guarded.place(data, n);
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
    const uint32_t announced = ymsgPacketSize(&stream);
    if (n >= kYmsgHeaderSize &&
        announced != ((uint32_t{packet[8]} << 8 | packet[9]) + kYmsgHeaderSize))
        return "YMSG packet size is not length + 20";
    return "";
}

} // namespace qmxfuzz
