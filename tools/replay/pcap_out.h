// Writing TCP connections into a new capture (raw IPv4/IPv6, nanosecond
// timestamps): a handshake, data segments with valid sequence numbers,
// acknowledgements and checksums, and a closing FIN exchange.
#pragma once

#include "capture.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace qmxreplay {

class PcapOut {
public:
    PcapOut() = default;
    ~PcapOut();
    PcapOut(const PcapOut &) = delete;
    PcapOut &operator=(const PcapOut &) = delete;

    bool open(const std::string &path, std::string *error);
    bool close(std::string *error);

    // One connection; side 0 is the client.
    struct Flow {
        Address addr[2];
        uint16_t port[2] = {0, 0};
        uint32_t seq[2] = {0, 0}; // next sequence number of each side
        bool opened = false;
        bool closed = false;
    };
    // The handshake, written before the first data or the close.
    void handshake(Flow &f, Timestamp ts);
    // Bytes sent by side from, in segments of at most one MSS.
    void data(Flow &f, int from, const uint8_t *bytes, size_t n, Timestamp ts);
    void finish(Flow &f, Timestamp ts);

private:
    void segment(Flow &f, int from, uint8_t flags, const uint8_t *payload, size_t n, Timestamp ts);

    pcap *dead_ = nullptr;
    pcap_dumper *dumper_ = nullptr;
    std::vector<uint8_t> packet_;
    uint16_t ipId_ = 0;
    uint32_t nextIsn_ = 0x10000000;
};

} // namespace qmxreplay
