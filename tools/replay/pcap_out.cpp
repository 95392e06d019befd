#include "pcap_out.h"

#include <pcap/pcap.h>

#include <cstring>

namespace qmxreplay {

namespace {

constexpr size_t kMss = 1460;
constexpr size_t kIpv4Header = 20;
constexpr size_t kIpv6Header = 40;
constexpr size_t kTcpHeader = 20;
constexpr uint16_t kWindow = 65535;
constexpr uint8_t kTtl = 64;
constexpr uint8_t kProtoTcp = 6;
constexpr int kSnapLen = 262144;

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v & 0xFFFF);
}

// The ones'-complement sum of 16-bit words (RFC 1071), not yet inverted.
uint32_t sum16(const uint8_t *p, size_t n, uint32_t sum) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t{p[i]} << 8 | p[i + 1];
    if (n & 1) sum += uint32_t{p[n - 1]} << 8;
    return sum;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

} // namespace

PcapOut::~PcapOut() {
    std::string ignored;
    close(&ignored);
}

bool PcapOut::open(const std::string &path, std::string *error) {
    dead_ = pcap_open_dead_with_tstamp_precision(DLT_RAW, kSnapLen, PCAP_TSTAMP_PRECISION_NANO);
    if (dead_ != nullptr) dumper_ = pcap_dump_open(dead_, path.c_str());
    if (dumper_ == nullptr) {
        *error = path + ": cannot write: " + (dead_ ? pcap_geterr(dead_) : "out of memory");
        return false;
    }
    return true;
}

bool PcapOut::close(std::string *error) {
    bool ok = true;
    if (dumper_ != nullptr) {
        if (pcap_dump_flush(dumper_) != 0) {
            *error = "cannot write the output capture";
            ok = false;
        }
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    if (dead_ != nullptr) pcap_close(dead_);
    dead_ = nullptr;
    return ok;
}

void PcapOut::segment(Flow &f, int from, uint8_t flags, const uint8_t *payload, size_t n,
                      Timestamp ts) {
    const int to = 1 - from;
    const bool v6 = f.addr[from].family == 6;
    const size_t ipHeader = v6 ? kIpv6Header : kIpv4Header;
    const size_t tcpLength = kTcpHeader + n;
    packet_.assign(ipHeader + tcpLength, 0);
    uint8_t *ip = packet_.data();
    if (v6) {
        ip[0] = 0x60;
        put16(ip + 4, static_cast<uint32_t>(tcpLength));
        ip[6] = kProtoTcp;
        ip[7] = kTtl;
        std::memcpy(ip + 8, f.addr[from].bytes, 16);
        std::memcpy(ip + 24, f.addr[to].bytes, 16);
    } else {
        ip[0] = 0x45;
        put16(ip + 2, static_cast<uint32_t>(ipHeader + tcpLength));
        put16(ip + 4, ipId_++);
        put16(ip + 6, 0x4000); // don't fragment
        ip[8] = kTtl;
        ip[9] = kProtoTcp;
        std::memcpy(ip + 12, f.addr[from].bytes, 4);
        std::memcpy(ip + 16, f.addr[to].bytes, 4);
        put16(ip + 10, fold(sum16(ip, kIpv4Header, 0)));
    }
    uint8_t *tcp = ip + ipHeader;
    put16(tcp, f.port[from]);
    put16(tcp + 2, f.port[to]);
    put32(tcp + 4, f.seq[from]);
    put32(tcp + 8, (flags & kAck) ? f.seq[to] : 0);
    tcp[12] = (kTcpHeader / 4) << 4;
    tcp[13] = flags;
    put16(tcp + 14, kWindow);
    if (n > 0) std::memcpy(tcp + kTcpHeader, payload, n);
    // The pseudo-header: both addresses, the protocol and the TCP length.
    uint32_t sum = 0;
    sum = v6 ? sum16(ip + 8, 32, sum) : sum16(ip + 12, 8, sum);
    sum += kProtoTcp + static_cast<uint32_t>(tcpLength);
    put16(tcp + 16, fold(sum16(tcp, tcpLength, sum)));

    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(ts.sec);
    header.ts.tv_usec = static_cast<suseconds_t>(ts.nsec); // nanoseconds, as opened
    header.caplen = header.len = static_cast<uint32_t>(packet_.size());
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &header, packet_.data());
    f.seq[from] += static_cast<uint32_t>(n) + ((flags & (kSyn | kFin)) ? 1 : 0);
}

void PcapOut::handshake(Flow &f, Timestamp ts) {
    if (f.opened) return;
    f.opened = true;
    f.seq[0] = nextIsn_;
    f.seq[1] = nextIsn_ ^ 0x5A5A5A5AU;
    nextIsn_ += 0x01000193;
    segment(f, 0, kSyn, nullptr, 0, ts);
    segment(f, 1, kSyn | kAck, nullptr, 0, ts);
    segment(f, 0, kAck, nullptr, 0, ts);
}

void PcapOut::data(Flow &f, int from, const uint8_t *bytes, size_t n, Timestamp ts) {
    handshake(f, ts);
    if (f.closed) return;
    for (size_t at = 0; at < n; at += kMss) {
        const size_t piece = n - at < kMss ? n - at : kMss;
        segment(f, from, kAck | kPsh, bytes + at, piece, ts);
    }
}

void PcapOut::finish(Flow &f, Timestamp ts) {
    handshake(f, ts);
    if (f.closed) return;
    f.closed = true;
    segment(f, 0, kFin | kAck, nullptr, 0, ts);
    segment(f, 1, kFin | kAck, nullptr, 0, ts);
    segment(f, 0, kAck, nullptr, 0, ts);
}

} // namespace qmxreplay
