// libFuzzer target "capture": one input is a capture file (pcap or pcapng)
// read by qmx-replay's reader, reassembled with small limits, and each
// direction's bytes framed as all three protocols. Invariants: nothing
// reaches a side after its end or a stream after its close, the open-stream
// cap holds, and every stream is closed once the capture ends.
#include "framing.h"
#include "reassembly.h"

#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

using namespace qmxreplay;

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken in capture: %s\n", what);
    std::abort();
}

struct Sink : StreamSink {
    std::set<uint64_t> open, closed;
    std::set<std::pair<uint64_t, int>> ended;
    void seen(const TcpStream &s, int from) {
        require(closed.count(s.index) == 0 && ended.count({s.index, from}) == 0, "after the end");
        open.insert(s.index);
    }
    void onData(TcpStream &s, int from, const uint8_t *data, size_t n) override {
        seen(s, from);
        for (Proto p : {Proto::Oscar, Proto::Msn, Proto::Ymsg}) {
            UnitCounter(p).feed(data, n);
            require(findBoundary(p, data, n, true).skip <= n, "boundary past the data");
        }
    }
    void onGap(TcpStream &s, int from, uint64_t n) override {
        seen(s, from);
        require(n > 0, "empty gap");
    }
    void onEnd(TcpStream &s, int from) override {
        seen(s, from);
        ended.insert({s.index, from});
    }
    void onClose(TcpStream &s) override {
        require(closed.insert(s.index).second, "closed twice");
        open.erase(s.index);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CaptureReader reader;
    std::string error;
    if (!reader.open(data, size, "input", &error)) return 0;
    Sink sink;
    const ReassemblyLimits limits{4, 4096, 8, 600, 4}; // streams, pending bytes and segments
    Reassembler reassembler(sink, limits);
    Timestamp ts;
    const uint8_t *packet = nullptr;
    size_t caplen = 0;
    while (reader.next(&ts, &packet, &caplen, &error) == CaptureReader::Next::Packet) {
        Segment seg;
        if (decodeSegment(reader.linkType(), packet, caplen, &seg) == Decoded::Tcp) {
            require(seg.payload + seg.length <= packet + caplen, "payload past the packet");
            reassembler.add(seg, ts);
        }
        require(reassembler.openStreams() <= limits.maxStreams, "too many open streams");
    }
    reassembler.finish();
    require(sink.open.empty() && reassembler.openStreams() == 0, "stream left open");
    return 0;
}
