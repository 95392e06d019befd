// Reading a capture, pcap or pcapng, one packet at a time,
// and each packet's TCP segment found under its link, IPv4 or IPv6 headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct pcap;

namespace qmxreplay {

struct Timestamp {
    int64_t sec = 0;
    uint32_t nsec = 0;
};

struct Address {
    uint8_t family = 4; // 4 or 6
    uint8_t bytes[16] = {};
    bool operator==(const Address &o) const;
};

enum TcpFlag : uint8_t { kFin = 1, kSyn = 2, kRst = 4, kPsh = 8, kAck = 16 };

// One TCP segment; payload points into the packet it came from and holds
// only the bytes the capture kept.
struct Segment {
    Address src;
    Address dst;
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = 0;
    const uint8_t *payload = nullptr;
    size_t length = 0;
};

enum class Decoded { Tcp, NotTcp, Fragment, Malformed };

// linkType: the capture's DLT_* value. Ethernet (with VLAN tags), Linux
// cooked v1 and v2, BSD loopback and raw IP are understood.
Decoded decodeSegment(int linkType, const uint8_t *data, size_t caplen, Segment *out);

// Reads a file in place (mapped): a classic pcap file record by record,
// pcapng through libpcap.
class CaptureReader {
public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;

    // On failure error names the file and the reason.
    bool open(const std::string &path, std::string *error);
    // A capture in memory that outlives the reader; name is for messages.
    bool open(const uint8_t *data, size_t size, const std::string &name, std::string *error);

    enum class Next { Packet, End, Error };
    // Error: the message names the file and the byte offset of the record
    // that could not be read. data stays valid until the next call.
    Next next(Timestamp *ts, const uint8_t **data, size_t *caplen, std::string *error);
    int linkType() const { return linkType_; }

private:
    uint32_t u32(size_t at) const;
    Next fail(size_t at, const std::string &why, std::string *error);

    void *mapped_ = nullptr;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool classic_ = false;
    bool swapped_ = false;
    bool nanos_ = false;
    size_t pos_ = 0;
    size_t released_ = 0;    // mapped bytes before this are given back
    pcap *handle_ = nullptr; // pcapng
    std::string name_;
    int linkType_ = 0;
};

} // namespace qmxreplay
