#include "reassembly.h"

#include <algorithm>
#include <cstring>

namespace qmxreplay {

namespace {

constexpr uint64_t kNoTarget = ~uint64_t{0};

// Offset in the direction's stream of sequence number seq, taken as the
// nearer of the two readings around the direction's next byte.
int64_t offsetOf(uint32_t seq, uint32_t next, uint64_t offset) {
    return static_cast<int64_t>(offset) + static_cast<int32_t>(seq - next);
}

} // namespace

bool Reassembler::Key::operator==(const Key &o) const {
    return std::memcmp(bytes, o.bytes, sizeof bytes) == 0;
}

size_t Reassembler::KeyHash::operator()(const Key &k) const {
    uint64_t h = 0x9E3779B97F4A7C15ULL;
    uint64_t word = 0;
    for (size_t i = 0; i < sizeof k.bytes; i += sizeof word) {
        word = 0;
        std::memcpy(&word, k.bytes + i, std::min(sizeof word, sizeof k.bytes - i));
        h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    return static_cast<size_t>(h);
}

Reassembler::~Reassembler() = default;

Reassembler::Key Reassembler::keyOf(const Segment &seg) {
    uint8_t a[18];
    uint8_t b[18];
    std::memcpy(a, seg.src.bytes, 16);
    std::memcpy(b, seg.dst.bytes, 16);
    a[16] = static_cast<uint8_t>(seg.srcPort >> 8);
    a[17] = static_cast<uint8_t>(seg.srcPort);
    b[16] = static_cast<uint8_t>(seg.dstPort >> 8);
    b[17] = static_cast<uint8_t>(seg.dstPort);
    const bool swap = std::memcmp(a, b, sizeof a) > 0;
    Key k;
    k.bytes[0] = seg.src.family;
    std::memcpy(k.bytes + 1, swap ? b : a, sizeof a);
    std::memcpy(k.bytes + 19, swap ? a : b, sizeof b);
    return k;
}

Reassembler::Entry *Reassembler::open(const Key &key, const Segment &seg) {
    auto slot = table_.try_emplace(key).first;
    Entry &e = slot->second; // always a new one: a stream it replaces is gone
    e.key = &slot->first;
    // A SYN-ACK seen first: its receiver opened the connection.
    const bool reply = (seg.flags & kSyn) && (seg.flags & kAck);
    e.stream.index = nextIndex_++;
    e.stream.addr[0] = reply ? seg.dst : seg.src;
    e.stream.port[0] = reply ? seg.dstPort : seg.srcPort;
    e.stream.addr[1] = reply ? seg.src : seg.dst;
    e.stream.port[1] = reply ? seg.srcPort : seg.dstPort;
    e.stream.sawSyn = (seg.flags & kSyn) != 0;
    e.lru = lru_.insert(lru_.end(), &e);
    ++stats_.streams;
    return &e;
}

void Reassembler::add(const Segment &seg, Timestamp ts) {
    expire(ts);
    const Key key = keyOf(seg);
    auto it = table_.find(key);
    const bool syn = (seg.flags & kSyn) != 0;
    Entry *e = nullptr;
    if (it == table_.end()) {
        if ((seg.flags & kRst) || (!syn && seg.length == 0)) return;
        // Only a fresh SYN opens a connection on the addresses of one that
        // closed or was refused; the rest of that one is late.
        const bool fresh = syn && !(seg.flags & kAck);
        if (!fresh && closed_.count(key) != 0) return;
        if (table_.size() >= limits_.maxStreams) {
            ++stats_.refusedStreams;
            remember(key);
            return;
        }
        e = open(key, seg);
    } else {
        e = &it->second;
        // A new connection on the same addresses and ports.
        if (syn && !(seg.flags & kAck) && (e->dir[0].ended || e->dir[1].ended)) {
            close(key, false);
            e = open(key, seg);
        }
    }
    e->last = ts;
    lru_.splice(lru_.end(), lru_, e->lru);
    const int d = seg.src == e->stream.addr[0] && seg.srcPort == e->stream.port[0] ? 0 : 1;
    Direction &here = e->dir[d];
    Direction &there = e->dir[1 - d];

    // The SYN takes one sequence number before the first byte.
    const uint32_t first = syn ? seg.seq + 1 : seg.seq;
    if (!here.known && (syn || seg.length > 0 || (seg.flags & kFin))) {
        here.known = true;
        here.next = first;
    }
    if ((seg.flags & kAck) && there.known) {
        const int64_t acked = offsetOf(seg.ack, there.next, there.offset);
        if (acked > 0 && (!there.ackKnown || static_cast<uint64_t>(acked) > there.acked)) {
            there.ackKnown = true;
            there.acked = static_cast<uint64_t>(acked);
            checkHole(*e, 1 - d, false);
        }
    }
    if (here.known) {
        const int64_t at = offsetOf(first, here.next, here.offset);
        if (seg.length > 0) {
            if (at >= 0) {
                deliver(*e, d, static_cast<uint64_t>(at), seg.payload, seg.length);
            } else if (at + static_cast<int64_t>(seg.length) > 0) {
                const auto cut = static_cast<size_t>(-at);
                deliver(*e, d, 0, seg.payload + cut, seg.length - cut);
            }
        }
        if ((seg.flags & kFin) && !here.finKnown) {
            const int64_t fin = at + static_cast<int64_t>(seg.length);
            here.finKnown = true;
            here.fin = fin > 0 ? static_cast<uint64_t>(fin) : 0;
        }
        checkHole(*e, d, false);
    }
    if ((seg.flags & kRst) || (e->dir[0].ended && e->dir[1].ended)) close(key, true);
}

void Reassembler::deliver(Entry &e, int d, uint64_t at, const uint8_t *data, size_t n) {
    Direction &dir = e.dir[d];
    if (dir.ended) return;
    if (dir.finKnown && at + n > dir.fin) n = at < dir.fin ? static_cast<size_t>(dir.fin - at) : 0;
    if (at + n <= dir.offset) return;
    if (at < dir.offset) {
        const auto cut = static_cast<size_t>(dir.offset - at);
        data += cut;
        n -= cut;
        at = dir.offset;
    }
    if (at == dir.offset) {
        sink_.onData(e.stream, d, data, n);
        dir.offset += n;
        dir.next += static_cast<uint32_t>(n);
        drain(e, d);
        return;
    }
    std::vector<uint8_t> &slot = dir.pending[at];
    if (slot.size() < n) {
        dir.pendingBytes += n - slot.size();
        slot.assign(data, data + n);
    }
    if (dir.pendingBytes > limits_.maxPendingBytes ||
        dir.pending.size() > limits_.maxPendingSegments) {
        checkHole(e, d, true);
    }
}

void Reassembler::drain(Entry &e, int d) {
    Direction &dir = e.dir[d];
    while (!dir.pending.empty()) {
        auto it = dir.pending.begin();
        if (it->first > dir.offset) break;
        const std::vector<uint8_t> &bytes = it->second;
        const uint64_t end = it->first + bytes.size();
        if (end > dir.offset) {
            const auto skip = static_cast<size_t>(dir.offset - it->first);
            sink_.onData(e.stream, d, bytes.data() + skip, bytes.size() - skip);
            dir.next += static_cast<uint32_t>(end - dir.offset);
            dir.offset = end;
        }
        dir.pendingBytes -= bytes.size();
        dir.pending.erase(it);
    }
}

uint64_t Reassembler::holeEnd(const Direction &dir) {
    uint64_t target = kNoTarget;
    if (!dir.pending.empty()) {
        target = dir.pending.begin()->first;
    } else if (dir.finKnown) {
        target = dir.fin;
    }
    return target != kNoTarget && target > dir.offset ? target : kNoTarget;
}

void Reassembler::skipHole(Entry &e, int d, uint64_t target) {
    Direction &dir = e.dir[d];
    const uint64_t missing = target - dir.offset;
    sink_.onGap(e.stream, d, missing);
    dir.next += static_cast<uint32_t>(missing);
    dir.offset = target;
    drain(e, d);
}

void Reassembler::checkHole(Entry &e, int d, bool force) {
    Direction &dir = e.dir[d];
    for (uint64_t target; !dir.ended && (target = holeEnd(dir)) != kNoTarget; force = false) {
        if (!force && !(dir.ackKnown && dir.acked >= target)) break;
        skipHole(e, d, target);
    }
    checkEnd(e, d);
}

void Reassembler::checkEnd(Entry &e, int d) {
    Direction &dir = e.dir[d];
    if (!dir.ended && dir.finKnown && dir.offset >= dir.fin && dir.pending.empty()) {
        dir.ended = true;
        sink_.onEnd(e.stream, d);
    }
}

void Reassembler::flush(Entry &e, int d) {
    Direction &dir = e.dir[d];
    drain(e, d);
    for (uint64_t target; !dir.ended && (target = holeEnd(dir)) != kNoTarget;) {
        skipHole(e, d, target);
    }
    if (!dir.ended) {
        dir.ended = true;
        sink_.onEnd(e.stream, d);
    }
}

void Reassembler::close(const Key &key, bool rememberIt) {
    auto it = table_.find(key);
    if (it == table_.end()) return;
    Entry &e = it->second;
    flush(e, 0);
    flush(e, 1);
    sink_.onClose(e.stream);
    lru_.erase(e.lru);
    table_.erase(it);
    if (rememberIt) remember(key);
}

void Reassembler::expire(Timestamp now) {
    while (!lru_.empty() && lru_.front()->last.sec + limits_.idleSeconds <= now.sec) {
        const Key key = *lru_.front()->key;
        close(key, true);
    }
}

void Reassembler::remember(const Key &key) {
    if (!closed_.insert(key).second) return;
    closedOrder_.push_back(key);
    if (closedOrder_.size() > limits_.rememberClosed) {
        closed_.erase(closedOrder_.front());
        closedOrder_.pop_front();
    }
}

void Reassembler::finish() {
    while (!lru_.empty()) {
        const Key key = *lru_.front()->key;
        close(key, false);
    }
}

} // namespace qmxreplay
