#include "capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qmxreplay {

namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr size_t kEthernetHeader = 14;
constexpr size_t kVlanTag = 4;
constexpr size_t kSllHeader = 16;
constexpr size_t kSll2Header = 20;
constexpr size_t kNullHeader = 4;
constexpr size_t kIpv6Header = 40;
constexpr size_t kTcpHeaderMin = 20;
constexpr uint8_t kProtoTcp = 6;
constexpr size_t kPcapHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kMagicNano = 0xA1B23C4D;
// libpcap's own bound on one record, whatever the file's header says.
constexpr uint32_t kMaxCaptured = 262144;
constexpr size_t kReleaseStep = size_t{4} << 20;
constexpr size_t kPage = 4096; // a divisor of any page size that mmap uses
// IPv6 extension headers that may stand between the fixed header and TCP.
constexpr uint8_t kIpv6HopByHop = 0;
constexpr uint8_t kIpv6Routing = 43;
constexpr uint8_t kIpv6Fragment = 44;
constexpr uint8_t kIpv6DestOptions = 60;

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

Decoded decodeTcp(const uint8_t *p, size_t n, Segment *out) {
    if (n < kTcpHeaderMin) return Decoded::Malformed;
    const size_t header = static_cast<size_t>(p[12] >> 4) * 4;
    if (header < kTcpHeaderMin || header > n) return Decoded::Malformed;
    out->srcPort = be16(p);
    out->dstPort = be16(p + 2);
    out->seq = be32(p + 4);
    out->ack = be32(p + 8);
    out->flags = p[13] & (kFin | kSyn | kRst | kPsh | kAck);
    out->payload = p + header;
    out->length = n - header;
    return Decoded::Tcp;
}

// n: the bytes captured. The IP length field cuts off link-layer padding; a
// capture that kept less than the packet yields only what it kept.
Decoded decodeIpv4(const uint8_t *p, size_t n, Segment *out) {
    if (n < 20 || p[0] >> 4 != 4) return Decoded::Malformed;
    const size_t header = size_t{p[0] & 15U} * 4;
    const size_t total = be16(p + 2);
    if (header < 20 || total < header || header > n) return Decoded::Malformed;
    if (p[9] != kProtoTcp) return Decoded::NotTcp;
    // More fragments, or a fragment offset: the TCP header is not whole here.
    if ((be16(p + 6) & 0x3FFF) != 0) return Decoded::Fragment;
    out->src.family = out->dst.family = 4;
    std::memset(out->src.bytes, 0, sizeof out->src.bytes);
    std::memset(out->dst.bytes, 0, sizeof out->dst.bytes);
    std::memcpy(out->src.bytes, p + 12, 4);
    std::memcpy(out->dst.bytes, p + 16, 4);
    const size_t end = total < n ? total : n;
    return decodeTcp(p + header, end - header, out);
}

Decoded decodeIpv6(const uint8_t *p, size_t n, Segment *out) {
    if (n < kIpv6Header || p[0] >> 4 != 6) return Decoded::Malformed;
    const size_t total = kIpv6Header + be16(p + 4);
    const size_t end = total < n ? total : n;
    uint8_t next = p[6];
    size_t at = kIpv6Header;
    while (next == kIpv6HopByHop || next == kIpv6Routing || next == kIpv6DestOptions) {
        if (at + 8 > end) return Decoded::Malformed;
        next = p[at];
        at += (size_t{p[at + 1]} + 1) * 8;
    }
    if (next == kIpv6Fragment) return Decoded::Fragment;
    if (next != kProtoTcp) return Decoded::NotTcp;
    if (at > end) return Decoded::Malformed;
    out->src.family = out->dst.family = 6;
    std::memcpy(out->src.bytes, p + 8, 16);
    std::memcpy(out->dst.bytes, p + 24, 16);
    return decodeTcp(p + at, end - at, out);
}

Decoded decodeIp(const uint8_t *p, size_t n, Segment *out) {
    if (n < 1) return Decoded::Malformed;
    if (p[0] >> 4 == 4) return decodeIpv4(p, n, out);
    if (p[0] >> 4 == 6) return decodeIpv6(p, n, out);
    return Decoded::NotTcp;
}

Decoded decodeEtherType(uint16_t type, const uint8_t *p, size_t n, Segment *out) {
    if (type == kEtherIpv4) return decodeIpv4(p, n, out);
    if (type == kEtherIpv6) return decodeIpv6(p, n, out);
    return Decoded::NotTcp;
}

} // namespace

bool Address::operator==(const Address &o) const {
    return family == o.family && std::memcmp(bytes, o.bytes, sizeof bytes) == 0;
}

Decoded decodeSegment(int linkType, const uint8_t *data, size_t caplen, Segment *out) {
    switch (linkType) {
    case DLT_EN10MB: {
        if (caplen < kEthernetHeader) return Decoded::Malformed;
        size_t at = kEthernetHeader;
        uint16_t type = be16(data + 12);
        while (type == kEtherVlan || type == kEtherQinQ) {
            if (at + kVlanTag > caplen) return Decoded::Malformed;
            type = be16(data + at + 2);
            at += kVlanTag;
        }
        return decodeEtherType(type, data + at, caplen - at, out);
    }
    case DLT_LINUX_SLL:
        if (caplen < kSllHeader) return Decoded::Malformed;
        return decodeEtherType(be16(data + 14), data + kSllHeader, caplen - kSllHeader, out);
    case DLT_LINUX_SLL2:
        if (caplen < kSll2Header) return Decoded::Malformed;
        return decodeEtherType(be16(data), data + kSll2Header, caplen - kSll2Header, out);
    case DLT_NULL:
    case DLT_LOOP:
        // The address family is in the writer's byte order (DLT_NULL) or in
        // network order (DLT_LOOP), and its IPv6 value differs between
        // systems: the IP version nibble is the surer guide.
        if (caplen < kNullHeader) return Decoded::Malformed;
        return decodeIp(data + kNullHeader, caplen - kNullHeader, out);
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case 101: // LINKTYPE_RAW as stored in files where DLT_RAW is another number
        return decodeIp(data, caplen, out);
    default: return Decoded::NotTcp;
    }
}

CaptureReader::~CaptureReader() {
    if (handle_ != nullptr) pcap_close(handle_);
    if (mapped_ != nullptr) munmap(mapped_, size_);
}

bool CaptureReader::open(const std::string &path, std::string *error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = path + ": cannot open: " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    const auto size = static_cast<size_t>(st.st_size);
    void *map = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    const int mapErrno = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        *error = path + ": cannot read: " + (size == 0 ? "empty file" : std::strerror(mapErrno));
        return false;
    }
    madvise(map, size, MADV_SEQUENTIAL);
    mapped_ = map;
    return open(static_cast<const uint8_t *>(map), size, path, error);
}

uint32_t CaptureReader::u32(size_t at) const {
    const uint8_t *p = data_ + at;
    return swapped_ ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                    : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

bool CaptureReader::open(const uint8_t *data, size_t size, const std::string &name,
                         std::string *error) {
    name_ = name;
    data_ = data;
    size_ = size;
    // A classic pcap file is read in place: a 24-byte header, then records
    // of a 16-byte header and the bytes captured. Its magic number gives the
    // byte order and whether fractions are micro- or nanoseconds.
    if (size >= kPcapHeader) {
        const uint32_t magic = u32(0);
        for (const uint32_t m : {kMagicMicro, kMagicNano}) {
            if (magic == m || magic == __builtin_bswap32(m)) {
                swapped_ = magic != m;
                nanos_ = m == kMagicNano;
                linkType_ = static_cast<int>(u32(20) & 0xFFFF); // the rest: FCS flags
                classic_ = true;
                pos_ = kPcapHeader;
                return true;
            }
        }
    }
    // pcapng, and whatever libpcap may make of the rest.
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    char reason[PCAP_ERRBUF_SIZE] = "not a capture";
    handle_ =
        file != nullptr
            ? pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, reason)
            : nullptr;
    if (handle_ == nullptr) {
        if (file != nullptr) std::fclose(file);
        *error = name + ": cannot read as a capture: " + reason;
        return false;
    }
    linkType_ = pcap_datalink(handle_);
    return true;
}

CaptureReader::Next CaptureReader::fail(size_t at, const std::string &why, std::string *error) {
    *error = name_ + ": unreadable at byte offset " + std::to_string(at) + ": " + why;
    return Next::Error;
}

CaptureReader::Next CaptureReader::next(Timestamp *ts, const uint8_t **data, size_t *caplen,
                                        std::string *error) {
    if (classic_) {
        const size_t at = pos_;
        if (at == size_) return Next::End;
        const size_t left = size_ - at;
        if (left < kRecordHeader) {
            return fail(at, "truncated record header (" + std::to_string(left) + " of 16 bytes)",
                        error);
        }
        const uint32_t captured = u32(at + 8);
        if (captured > kMaxCaptured) {
            return fail(at,
                        "invalid captured length " + std::to_string(captured) + " (at most " +
                            std::to_string(kMaxCaptured) + ")",
                        error);
        }
        if (left - kRecordHeader < captured) {
            return fail(at,
                        "truncated record (" + std::to_string(captured) +
                            " captured bytes announced, " + std::to_string(left - kRecordHeader) +
                            " present)",
                        error);
        }
        const uint32_t fraction = u32(at + 4);
        ts->sec = u32(at);
        ts->nsec = nanos_ ? fraction % 1000000000U : fraction % 1000000U * 1000U;
        *data = data_ + at + kRecordHeader;
        *caplen = captured;
        pos_ = at + kRecordHeader + captured;
        // Pages read are given back, so that a long file does not stay
        // resident; only the current record is still pointed at.
        if (mapped_ != nullptr && at - released_ > kReleaseStep) {
            const size_t end = at & ~(kPage - 1);
            madvise(static_cast<uint8_t *>(mapped_) + released_, end - released_, MADV_DONTNEED);
            released_ = end;
        }
        return Next::Packet;
    }
    pcap_pkthdr *header = nullptr;
    const u_char *bytes = nullptr;
    const int r = pcap_next_ex(handle_, &header, &bytes);
    if (r == 1) {
        ts->sec = header->ts.tv_sec;
        ts->nsec = static_cast<uint32_t>(header->ts.tv_usec); // nanoseconds, as opened
        *data = bytes;
        *caplen = header->caplen;
        return Next::Packet;
    }
    if (r == PCAP_ERROR_BREAK) return Next::End;
    // pcapng: where the reading stopped, inside or after the bad block.
    FILE *file = pcap_file(handle_);
    *error = name_ + ": unreadable in the block ending before byte offset " +
             std::to_string(file != nullptr ? std::ftell(file) : -1) + ": " + pcap_geterr(handle_);
    return Next::Error;
}

} // namespace qmxreplay
