#include "capture.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

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
constexpr int64_t kPcapHeader = 24;
constexpr int64_t kRecordHeader = 16;
constexpr size_t kReadBuffer = size_t{1} << 20;
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

std::string addressText(const Address &a, uint16_t port) {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(a.family == 6 ? AF_INET6 : AF_INET, a.bytes, text, sizeof text);
    return a.family == 6 ? "[" + std::string(text) + "]:" + std::to_string(port)
                         : std::string(text) + ":" + std::to_string(port);
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
}

bool CaptureReader::open(const std::string &path, std::string *error) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    return open(file, path, error);
}

bool CaptureReader::open(FILE *file, const std::string &name, std::string *error) {
    name_ = name;
    // Reads in large blocks: libpcap asks for one record header and one
    // record at a time.
    buffer_.reset(new char[kReadBuffer]);
    std::setvbuf(file, buffer_.get(), _IOFBF, kReadBuffer);
    // A classic pcap file's records follow each other from its 24-byte
    // header on, so a record's offset is known without asking the file.
    uint8_t magic[4] = {};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::rewind(file);
    const uint8_t classic[][4] = {{0xD4, 0xC3, 0xB2, 0xA1},
                                  {0xA1, 0xB2, 0xC3, 0xD4},
                                  {0x4D, 0x3C, 0xB2, 0xA1},
                                  {0xA1, 0xB2, 0x3C, 0x4D}};
    offset_ = -1;
    for (const auto &m : classic) {
        if (got == sizeof magic && std::memcmp(magic, m, sizeof magic) == 0) offset_ = kPcapHeader;
    }
    char reason[PCAP_ERRBUF_SIZE] = "";
    handle_ = pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, reason);
    if (handle_ == nullptr) {
        std::fclose(file);
        *error = name + ": cannot read as a capture: " + reason;
        return false;
    }
    linkType_ = pcap_datalink(handle_);
    return true;
}

CaptureReader::Next CaptureReader::next(Timestamp *ts, const uint8_t **data, size_t *caplen,
                                        std::string *error) {
    pcap_pkthdr *header = nullptr;
    const u_char *bytes = nullptr;
    const int r = pcap_next_ex(handle_, &header, &bytes);
    if (r == 1) {
        ts->sec = header->ts.tv_sec;
        ts->nsec = static_cast<uint32_t>(header->ts.tv_usec); // nanoseconds, as opened
        *data = bytes;
        *caplen = header->caplen;
        if (offset_ >= 0) offset_ += kRecordHeader + header->caplen;
        return Next::Packet;
    }
    if (r == PCAP_ERROR_BREAK) return Next::End;
    // pcapng: where the reading stopped, inside or after the bad block.
    std::string where = "byte offset " + std::to_string(offset_);
    if (offset_ < 0) {
        FILE *file = pcap_file(handle_);
        where = "the block ending before byte offset " +
                std::to_string(file != nullptr ? std::ftell(file) : -1);
    }
    *error = name_ + ": unreadable at " + where + ": " + pcap_geterr(handle_);
    return Next::Error;
}

} // namespace qmxreplay
