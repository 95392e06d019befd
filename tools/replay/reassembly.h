// TCP reassembly for the replay: each connection's two byte streams, in
// order, with retransmissions and overlaps removed, out-of-order segments
// held until the hole before them fills, and holes the capture never fills
// reported as gaps.
//
// A hole counts as lost from the capture (not from the network) once the
// other side acknowledged bytes past it: it received them, we did not see
// them. A hole is also given up when the out-of-order bytes behind it pass
// the per-direction cap, and when the stream ends.
#pragma once

#include "capture.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qmxreplay {

// What the sink sees of a connection. Side 0 opened it (sent the SYN), or,
// for a connection whose start the capture missed, sent the first data seen.
struct TcpStream {
    uint64_t index = 0; // in order of first appearance
    Address addr[2];
    uint16_t port[2] = {0, 0};
    bool sawSyn = false;
    void *user = nullptr; // the sink's own data
};

class StreamSink {
public:
    virtual ~StreamSink() = default;
    virtual void onData(TcpStream &s, int from, const uint8_t *data, size_t n) = 0;
    // n bytes sent by side from were not captured; data after them follows.
    virtual void onGap(TcpStream &s, int from, uint64_t n) = 0;
    // Side from sent nothing more (FIN or RST reached in order).
    virtual void onEnd(TcpStream &s, int from) = 0;
    // The stream is forgotten after this call.
    virtual void onClose(TcpStream &s) = 0;
};

struct ReassemblyLimits {
    size_t maxStreams = 512;                  // open at once; more are refused
    size_t maxPendingBytes = size_t{1} << 20; // held out of order, per direction
    size_t maxPendingSegments = 1024;         // the same, in segments
    int64_t idleSeconds = 600;                // capture time without a packet
    size_t rememberClosed = 4096;             // late packets of these are ignored
};

struct ReassemblyStats {
    uint64_t streams = 0;
    uint64_t refusedStreams = 0; // the open-stream cap was reached
};

class Reassembler {
public:
    Reassembler(StreamSink &sink, ReassemblyLimits limits) : sink_(sink), limits_(limits) {}
    ~Reassembler();
    Reassembler(const Reassembler &) = delete;
    Reassembler &operator=(const Reassembler &) = delete;

    // Segments must come in capture order; ts is the packet's time.
    void add(const Segment &seg, Timestamp ts);
    // The end of the capture: every open stream is flushed and closed.
    void finish();

    size_t openStreams() const { return table_.size(); }
    const ReassemblyStats &stats() const { return stats_; }

private:
    struct Key {
        uint8_t bytes[37] = {}; // both addresses and ports, the lower end first
        bool operator==(const Key &o) const;
    };
    struct KeyHash {
        size_t operator()(const Key &k) const;
    };
    struct Direction {
        bool known = false;
        uint32_t next = 0;   // sequence number of the next byte to deliver
        uint64_t offset = 0; // stream offset of that byte
        bool finKnown = false;
        uint64_t fin = 0; // stream offset of the FIN
        bool ended = false;
        bool ackKnown = false;
        uint64_t acked = 0; // highest offset the other side acknowledged
        std::map<uint64_t, std::vector<uint8_t>> pending; // by stream offset
        size_t pendingBytes = 0;
    };
    struct Entry {
        TcpStream stream;
        Direction dir[2];
        Timestamp last;
        const Key *key = nullptr; // the table's own copy
        std::list<Entry *>::iterator lru;
    };

    static Key keyOf(const Segment &seg);
    Entry *open(const Key &key, const Segment &seg);
    void deliver(Entry &e, int d, uint64_t at, const uint8_t *data, size_t n);
    void drain(Entry &e, int d);
    // Where the hole at the delivery point ends (the next held segment, or
    // the FIN), or ~0 when there is none.
    static uint64_t holeEnd(const Direction &dir);
    void skipHole(Entry &e, int d, uint64_t target);
    void checkHole(Entry &e, int d, bool force);
    void checkEnd(Entry &e, int d);
    void flush(Entry &e, int d);
    void close(const Key &key, bool remember);
    void expire(Timestamp now);
    void remember(const Key &key);

    StreamSink &sink_;
    ReassemblyLimits limits_;
    ReassemblyStats stats_;
    std::unordered_map<Key, Entry, KeyHash> table_;
    std::list<Entry *> lru_; // least recently seen first
    std::unordered_set<Key, KeyHash> closed_;
    std::deque<Key> closedOrder_;
    uint64_t nextIndex_ = 0;
};

} // namespace qmxreplay
