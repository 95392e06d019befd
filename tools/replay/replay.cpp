// Slots 4 to 7 over captured bytes.
//
// The relay loops of the library block in their receive slot until a unit
// is whole, which a capture read packet by packet cannot do. So a stream's
// relay runs only while a whole unit (as framing.h reads the protocol) is
// queued: the wait slot reports a side ready once its next unit is complete,
// and ends the relay (-1) when none is; the instance keeps its state, and
// the relay is started on it again when the next packet completes a unit.
// Everything else, slots 0 to 3, 8 and 9, is qmx-proxy's own.
#include "replay.h"

#include "audit.h"
#include "pcap_out.h"
#include "proxy_header.h"

#include <qmx/qmx.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <sstream>

namespace qmxreplay {

namespace {

// An input byte buffer grown past this is given back once it empties.
constexpr size_t kKeepCapacity = size_t{256} * 1024;
// The first bytes that decide a stream's protocol.
constexpr size_t kSniffBytes = 16;

const char *protoName(Proto p) { return qmxproxy::protocolName(static_cast<uint32_t>(p)); }

} // namespace

// One side's bytes, received from the capture and not yet read by the relay.
struct Side {
    std::vector<uint8_t> bytes;
    size_t head = 0;
    // While the side holds nothing else, a packet's bytes are read in place;
    // what the relay leaves of them is copied before the packet goes.
    const uint8_t *view = nullptr;
    size_t viewLength = 0;
    bool ended = false;
    // Looking for the first unit boundary: at the start of a stream the
    // capture joined late, and after a gap.
    bool syncing = false;
    bool lineStart = true;
    UnitCounter counter;

    size_t queued() const {
        if (syncing) return 0;
        return view != nullptr ? viewLength : bytes.size() - head;
    }
    const uint8_t *data() const { return view != nullptr ? view : bytes.data() + head; }
    void consume(size_t n) {
        if (view != nullptr) {
            view += n;
            viewLength -= n;
        } else {
            head += n;
        }
    }
    void keep() {
        if (view == nullptr) return;
        bytes.assign(view, view + viewLength);
        head = 0;
        view = nullptr;
        viewLength = 0;
    }
};

struct ReplayStream {
    qmxproxy::Connection conn; // what qmx-proxy's slots read
    uint64_t index = 0;
    Proto proto = Proto::Oscar;
    bool decided = false;
    bool skipped = false;
    int clientSide = 0; // the reassembler's side number of the client
    Side side[2];       // [0] client, [1] server
    uint32_t instance = 0;
    uint32_t lastInstance = 0;
    bool over = false; // the relay ended and no gap has started another
    bool limited = false;
    // Why the last relay run returned.
    enum class Why { None, Suspended, Limit } why = Why::None;
    PcapOut::Flow flow;
    std::vector<std::pair<bool, uint64_t>> earlyGaps; // before the protocol was known
};

namespace {

ReplayStream *current = nullptr; // the stream whose relay runs now
Timestamp now;                   // the time of the packet being replayed
PcapOut *output = nullptr;
uint64_t *starvedReads = nullptr;

qmxproxy::HostSocket *asSocket(QMX_Socket handle) {
    return reinterpret_cast<qmxproxy::HostSocket *>(handle); // NOLINT(performance-no-int-to-ptr)
}

int sideOf(const ReplayStream &st, QMX_Socket socket) {
    return socket == reinterpret_cast<QMX_Socket>(&st.conn.clientSide) ? 0 : 1;
}

// qmx-proxy's cap on bytes received from one side with nothing sent to the
// other, which bounds what a relay holds.
bool overCap(ReplayStream &st) {
    if (!qmxproxy::overCap(&st.conn)) return false;
    st.why = ReplayStream::Why::Limit;
    st.limited = true;
    return true;
}

bool sideReady(const ReplayStream &st, const Side &s) {
    return s.ended || readyLength(st.proto, s.data(), s.queued()) > 0;
}

// ---- slot 4 ----
int32_t replayWait(QMX_Socket readA, QMX_Socket readB, QMX_Socket, QMX_Socket, int32_t, int32_t) {
    ReplayStream *st = current;
    if (st == nullptr) return -1;
    if (overCap(*st) || qmxproxy::msnRelayDue(&st->conn)) return -1;
    // OSCAR asks for one side twice after a header without the FLAP marker,
    // and takes whatever follows it.
    if (readA != 0 && readA == readB) {
        const Side &s = st->side[sideOf(*st, readA)];
        return s.queued() > 0 || s.ended ? QMX_READY_A : 0;
    }
    if (readA == 0 && readB == 0) {
        st->why = ReplayStream::Why::None;
        return -1;
    }
    const QMX_Socket reads[2] = {readA, readB};
    for (int i = 0; i < 2; ++i) {
        if (reads[i] != 0 && sideReady(*st, st->side[sideOf(*st, reads[i])])) return 1 << i;
    }
    st->why = ReplayStream::Why::Suspended;
    return -1;
}

// ---- slot 6 ----
int32_t replayRecv(QMX_Socket socket, uint8_t *buffer, intptr_t size, uint32_t flags) {
    ReplayStream *st = current;
    if (st == nullptr || buffer == nullptr || size <= 0 || (flags & QMX_FLAG_OOB)) return -1;
    if (overCap(*st)) return -1;
    const int which = sideOf(*st, socket);
    Side &s = st->side[which];
    size_t n = std::min(s.queued(), static_cast<size_t>(std::min<intptr_t>(size, INT32_MAX)));
    if (n == 0) {
        if (s.ended) return 0;
        ++*starvedReads;
        return -1;
    }
    // One line at a time, so that every read the MSN relay starts a
    // command with begins at one.
    if (st->proto == Proto::Msn) {
        const size_t line = readyLength(Proto::Msn, s.data(), s.queued());
        if (line > 0) n = std::min(n, line);
    }
    std::memcpy(buffer, s.data(), n);
    s.consume(n);
    qmxproxy::HostSocket &hs = which == 0 ? st->conn.clientSide : st->conn.serverSide;
    hs.held += n;
    st->conn.relayedSinceStart += n;
    return static_cast<int32_t>(n);
}

// ---- slot 5 ----
int32_t replaySend(QMX_Socket socket, const uint8_t *bytes, intptr_t count, uint32_t flags) {
    ReplayStream *st = current;
    qmxproxy::HostSocket *to = asSocket(socket);
    if (st == nullptr || to == nullptr || bytes == nullptr || count <= 0) return -1;
    const auto n = static_cast<size_t>(std::min<intptr_t>(count, INT32_MAX));
    if (flags & QMX_FLAG_OOB) return static_cast<int32_t>(n);
    if (to->peer != nullptr) to->peer->held = 0;
    qmxproxy::countSent(*to, n);
    if (output != nullptr) output->data(st->flow, to->isClient ? 1 : 0, bytes, n, now);
    return static_cast<int32_t>(n);
}

// ---- slot 7: the output capture closes both sides together ----
int32_t replayHalfClose(QMX_Socket, int32_t) { return 0; }

ReplayStream *streamFor(TcpStream &s) {
    if (s.user == nullptr) {
        auto *st = new ReplayStream();
        st->index = s.index;
        s.user = st;
    }
    return static_cast<ReplayStream *>(s.user);
}

void endRelay(ReplayStream &st) {
    if (st.instance == 0) return;
    QMX_deleteInstance(st.instance);
    st.instance = 0;
}

std::string jsonString(std::string_view text) {
    std::string out;
    qmxproxy::appendJsonString(out, text);
    return out;
}

} // namespace

std::optional<std::map<uint16_t, Proto>> parsePorts(const std::string &text, std::string *error) {
    std::map<uint16_t, Proto> ports;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const size_t eq = item.find('=');
        const std::string name = eq == std::string::npos ? "" : item.substr(eq + 1);
        char *end = nullptr;
        const unsigned long port = std::strtoul(item.c_str(), &end, 10);
        std::optional<Proto> proto;
        for (Proto p : {Proto::Oscar, Proto::Msn, Proto::Ymsg}) {
            if (name == protoName(p)) proto = p;
        }
        if (eq == 0 || end != item.c_str() + eq || port == 0 || port > 65535 || !proto) {
            *error = "--ports: \"" + item + "\" is not PORT=oscar|msn|ymsg";
            return std::nullopt;
        }
        ports[static_cast<uint16_t>(port)] = *proto;
    }
    return ports;
}

Replayer::Replayer(std::shared_ptr<const qmxproxy::Config> config, ReplayOptions options)
    : config_(std::move(config)), options_(std::move(options)) {}

Replayer::~Replayer() {
    if (started_) QMX_shutdown();
    output = nullptr;
}

bool Replayer::start(std::string *error) {
    qmxproxy::HostContext &ctx = qmxproxy::hostContext();
    qmxproxy::setCurrentConfig(config_);
    ctx.audit = &audit_;
    ctx.counters = &counters_;
    starvedReads = &starved_;
    if (!options_.auditPath.empty() && !audit_.open(options_.auditPath, "", error)) return false;
    if (!options_.pcapPath.empty()) {
        out_ = std::make_unique<PcapOut>();
        if (!out_->open(options_.pcapPath, error)) return false;
        output = out_.get();
    }
    if (QMX_init() != 0 || !qmxproxy::installHostCallbacks()) {
        *error = "the library did not start";
        return false;
    }
    started_ = true;
    for (uint32_t p = 0; p < QMX_PROTO_COUNT; ++p) {
        const bool ok = QMX_setProtoCallback(p, QMX_CB_WAIT,
                                             reinterpret_cast<QMX_Callback>(&replayWait)) == 0 &&
                        QMX_setProtoCallback(p, QMX_CB_SEND,
                                             reinterpret_cast<QMX_Callback>(&replaySend)) == 0 &&
                        QMX_setProtoCallback(p, QMX_CB_RECV,
                                             reinterpret_cast<QMX_Callback>(&replayRecv)) == 0 &&
                        QMX_setProtoCallback(p, QMX_CB_HALF_CLOSE,
                                             reinterpret_cast<QMX_Callback>(&replayHalfClose)) == 0;
        if (!ok) {
            *error = "the library refused a callback";
            return false;
        }
    }
    return true;
}

int Replayer::run(const std::vector<std::string> &files) {
    ReassemblyLimits limits;
    limits.maxStreams = config_->maxConnections;
    limits.maxPendingBytes = static_cast<size_t>(config_->maxHeldBytes);
    Reassembler reassembler(*this, limits);
    for (const std::string &file : files) {
        CaptureReader reader;
        std::string error;
        if (!reader.open(file, &error)) {
            errors_.push_back(error);
            continue;
        }
        const uint8_t *data = nullptr;
        size_t caplen = 0;
        for (;;) {
            const CaptureReader::Next r = reader.next(&now, &data, &caplen, &error);
            if (r == CaptureReader::Next::End) break;
            if (r == CaptureReader::Next::Error) {
                errors_.push_back(error);
                break;
            }
            ++packets_;
            Segment seg;
            if (decodeSegment(reader.linkType(), data, caplen, &seg) == Decoded::Tcp) {
                ++tcpPackets_;
                reassembler.add(seg, now);
            }
        }
    }
    reassembler.finish();
    reassembly_ = reassembler.stats();
    if (out_) {
        std::string error;
        if (!out_->close(&error)) errors_.push_back(error);
    }
    for (const std::string &e : errors_) std::fprintf(stderr, "qmx-replay: %s\n", e.c_str());
    if (!errors_.empty()) return kExitUnreadable;
    return limitStreams_ > 0 || reassembly_.refusedStreams > 0 ? kExitLimit : kExitOk;
}

void Replayer::skip(ReplayStream &st, const std::string &reason) {
    st.skipped = true;
    ++skipReasons_[reason];
    if (skips_.size() < kListedMax) {
        skips_.push_back({st.index, st.conn.client, st.conn.upstream, reason});
    }
}

// The server is the side that answered a SYN; without one, the side on a
// mapped port, or else the lower port. The protocol is the server port's,
// unless the first bytes are TLS; an unmapped port is replayed only when its
// first bytes are unmistakably one of the three protocols.
bool Replayer::decide(ReplayStream &st, const TcpStream &s, const uint8_t *data, size_t n) {
    int server = 1;
    if (!s.sawSyn) {
        const bool mapped0 = options_.ports.count(s.port[0]) != 0;
        const bool mapped1 = options_.ports.count(s.port[1]) != 0;
        if (mapped0 != mapped1) {
            server = mapped0 ? 0 : 1;
        } else {
            server = s.port[0] < s.port[1] ? 0 : 1;
        }
    }
    st.clientSide = 1 - server;
    const auto text = [&](int side) {
        const Address &a = s.addr[side];
        return qmxproxy::endpointText(a.family == 6 ? AF_INET6 : AF_INET, a.bytes, s.port[side]);
    };
    st.conn.client = text(st.clientSide);
    st.conn.upstream = text(server);
    st.conn.via = "capture";
    st.decided = true;
    const Content content = sniffContent(data, std::min(n, kSniffBytes));
    const auto mapped = options_.ports.find(s.port[server]);
    if (content == Content::Tls) {
        skip(st, "tls");
        return false;
    }
    if (mapped != options_.ports.end()) {
        st.proto = mapped->second;
    } else if (content == Content::Oscar) {
        st.proto = Proto::Oscar;
    } else if (content == Content::Msn) {
        st.proto = Proto::Msn;
    } else if (content == Content::Ymsg) {
        st.proto = Proto::Ymsg;
    } else {
        skip(st, "not an IM protocol");
        return false;
    }
    st.conn.protocol = static_cast<uint32_t>(st.proto);
    for (Side &side : st.side) {
        side.counter = UnitCounter(st.proto);
        side.syncing = !s.sawSyn;
    }
    st.flow.addr[0] = s.addr[st.clientSide];
    st.flow.port[0] = s.port[st.clientSide];
    st.flow.addr[1] = s.addr[server];
    st.flow.port[1] = s.port[server];
    ++totals_[static_cast<size_t>(st.proto)].streams;
    for (const auto &[fromClient, bytes] : st.earlyGaps) noteGap(st, fromClient, bytes);
    st.earlyGaps.clear();
    return true;
}

void Replayer::append(ReplayStream &st, int which, const uint8_t *data, size_t n) {
    Side &s = st.side[which];
    if (s.head == s.bytes.size()) {
        s.bytes.clear();
        s.head = 0;
        if (s.bytes.capacity() > kKeepCapacity) s.bytes.shrink_to_fit();
    } else if (s.head > 0 && s.head >= s.bytes.size() / 2) {
        s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(s.head));
        s.head = 0;
    }
    if (!s.syncing && s.head == s.bytes.size()) {
        s.view = data;
        s.viewLength = n;
        s.counter.feed(data, n);
        return;
    }
    s.bytes.insert(s.bytes.end(), data, data + n);
    if (!s.syncing) {
        s.counter.feed(data, n);
        return;
    }
    const size_t waiting = s.bytes.size() - s.head;
    const Boundary b = findBoundary(st.proto, s.bytes.data() + s.head, waiting, s.lineStart);
    if (b.skip > 0) {
        s.lineStart = s.bytes[s.head + b.skip - 1] == '\n';
        s.head += b.skip;
        resyncBytes_ += b.skip;
    }
    if (b.found) {
        s.syncing = false;
        s.counter.restart();
        s.counter.feed(s.data(), s.queued());
    }
}

void Replayer::relay(ReplayStream &st) {
    if (st.over || st.skipped || !st.decided) return;
    qmxproxy::Connection &c = st.conn;
    if (st.instance == 0) {
        st.instance = QMX_newInstance(c.protocol, reinterpret_cast<QMX_Socket>(&c.clientSide),
                                      reinterpret_cast<QMX_Socket>(&c.serverSide),
                                      reinterpret_cast<uintptr_t>(&c));
        if (st.instance == 0) {
            spdlog::error("[{}] the library refused a new {} instance", c.client,
                          protoName(st.proto));
            st.over = true;
            return;
        }
        st.lastInstance = st.instance;
        ++totals_[static_cast<size_t>(st.proto)].relays;
        counters_.relaysBy[c.protocol]++;
        if (output != nullptr) output->handshake(st.flow, now);
    }
    current = &st;
    for (;;) {
        st.why = ReplayStream::Why::None;
        QMX_processInstance(st.instance);
        if (!c.restartRequested) break;
        c.restartRequested = false;
        c.relayedSinceStart = 0;
        counters_.msnRelayRestarts++;
    }
    current = nullptr;
    if (st.why == ReplayStream::Why::Suspended) return;
    // The relay ended for good: both sides closed, a cap, or bytes the
    // protocol's framing could not follow.
    if (st.why == ReplayStream::Why::Limit) ++limitStreams_;
    endRelay(st);
    st.over = true;
}

void Replayer::noteGap(ReplayStream &st, bool fromClient, uint64_t n) {
    ++gapCount_;
    gapBytes_ += n;
    if (gaps_.size() < kListedMax) {
        gaps_.push_back({st.index, st.proto, st.conn.client, st.conn.upstream, fromClient, n});
    }
    if (audit_.enabled()) {
        qmxproxy::AuditRecord r =
            qmxproxy::auditRecord("gap", st.lastInstance, st.conn.protocol, &st.conn);
        r.direction = qmxproxy::directionOf(fromClient);
        r.bytes = static_cast<int64_t>(n);
        audit_.write(r);
    }
}

void Replayer::onData(TcpStream &s, int from, const uint8_t *data, size_t n) {
    ReplayStream &st = *streamFor(s);
    if (!st.decided && !decide(st, s, data, n)) return;
    if (st.skipped || st.over) return;
    const int which = from == st.clientSide ? 0 : 1;
    totals_[static_cast<size_t>(st.proto)].bytesIn += n;
    append(st, which, data, n);
    Side &side = st.side[which];
    if (side.queued() > config_->maxHeldBytes) {
        // The relay is not reading this side: what qmx-proxy would have
        // held is past its cap.
        spdlog::warn("[{} {}] replay ended: {} bytes queued unread", st.conn.client,
                     protoName(st.proto), side.queued());
        ++limitStreams_;
        st.limited = true;
        endRelay(st);
        st.over = true;
    } else if (readyLength(st.proto, side.data(), side.queued()) > 0) {
        relay(st);
    }
    side.keep();
}

void Replayer::onGap(TcpStream &s, int from, uint64_t n) {
    ReplayStream &st = *streamFor(s);
    if (st.skipped) return;
    if (!st.decided) {
        st.earlyGaps.emplace_back(from == 0, n); // side 0 opened the stream
        return;
    }
    const bool fromClient = from == st.clientSide;
    noteGap(st, fromClient, n);
    // The relay stops at the gap: whatever it has not read of either side
    // is no whole unit and goes; both sides start again at a unit boundary.
    if (st.instance != 0) relay(st);
    endRelay(st);
    if (!st.limited) st.over = false;
    for (Side &side : st.side) {
        resyncBytes_ += side.bytes.size() - side.head;
        side.bytes.clear();
        side.head = 0;
        side.syncing = true;
        side.lineStart = true;
    }
}

void Replayer::onEnd(TcpStream &s, int from) {
    if (s.user == nullptr) return;
    ReplayStream &st = *static_cast<ReplayStream *>(s.user);
    if (!st.decided || st.skipped) return;
    st.side[from == st.clientSide ? 0 : 1].ended = true;
    if (st.instance != 0 || st.side[0].queued() + st.side[1].queued() > 0) relay(st);
}

void Replayer::onClose(TcpStream &s) {
    auto *st = static_cast<ReplayStream *>(s.user);
    if (st == nullptr) return;
    if (st->decided && !st->skipped) {
        st->side[0].ended = st->side[1].ended = true;
        if (st->instance != 0) relay(*st);
        endRelay(*st);
        ProtoTotals &t = totals_[static_cast<size_t>(st->proto)];
        t.units += st->side[0].counter.units() + st->side[1].counter.units();
        if (output != nullptr && st->flow.opened) output->finish(st->flow, now);
    }
    delete st;
    s.user = nullptr;
}

namespace {

// Allowed and denied decisions of one protocol, over every action.
std::pair<uint64_t, uint64_t> decisionTotals(const qmxproxy::Counters &c, size_t protocol) {
    uint64_t allowed = 0;
    uint64_t denied = 0;
    for (const auto &a : c.decisionsBy[protocol]) {
        denied += a[0];
        allowed += a[1];
    }
    return {allowed, denied};
}

} // namespace

std::string Replayer::summaryText() const {
    std::string out = fmt::format(
        "qmx-replay summary: {} packets ({} TCP), {} streams, {} gaps ({} bytes missing)\n",
        packets_, tcpPackets_, reassembly_.streams, gapCount_, gapBytes_);
    out += fmt::format("  {:<9}{:>8}{:>8}{:>9}{:>7}{:>7}{:>6}{:>9}{:>9}{:>8}{:>9}\n", "protocol",
                       "streams", "relays", "units", "login", "text", "file", "datacast", "allowed",
                       "denied", "replaced");
    for (size_t p = 0; p < kProtoCount; ++p) {
        const ProtoTotals &t = totals_[p];
        const auto [allowed, denied] = decisionTotals(counters_, p);
        const auto &e = counters_.eventsBy[p];
        out += fmt::format("  {:<9}{:>8}{:>8}{:>9}{:>7}{:>7}{:>6}{:>9}{:>9}{:>8}{:>9}\n",
                           protoName(static_cast<Proto>(p)), t.streams, t.relays, t.units,
                           e[0].load(), e[1].load(), e[2].load(), e[3].load(), allowed, denied,
                           counters_.replacedBy[p].load());
    }
    for (const GapNote &g : gaps_) {
        out += fmt::format("  gap: stream {} {} {} -> {} {}: {} bytes missing\n", g.stream,
                           protoName(g.proto), g.client, g.server,
                           qmxproxy::directionOf(g.fromClient), g.bytes);
    }
    for (const auto &[reason, count] : skipReasons_) {
        out += fmt::format("  skipped ({}): {} streams\n", reason, count);
    }
    if (limitStreams_ > 0 || reassembly_.refusedStreams > 0) {
        out += fmt::format("  limits: {} replays ended at the held-bytes cap, {} streams refused "
                           "(more than {} open)\n",
                           limitStreams_, reassembly_.refusedStreams, config_->maxConnections);
    }
    if (starved_ > 0) out += fmt::format("  reads the capture could not serve: {}\n", starved_);
    return out;
}

std::string Replayer::summaryJson() const {
    std::string out = fmt::format(R"({{"packets":{},"tcp_packets":{},"streams":{},"protocols":{{)",
                                  packets_, tcpPackets_, reassembly_.streams);
    static const char *const kEvents[] = {"login", "text", "file", "datacast"};
    for (size_t p = 0; p < kProtoCount; ++p) {
        const ProtoTotals &t = totals_[p];
        const auto [allowed, denied] = decisionTotals(counters_, p);
        out +=
            fmt::format(R"({}"{}":{{"streams":{},"relays":{},"units":{},"events":{{)", p ? "," : "",
                        protoName(static_cast<Proto>(p)), t.streams, t.relays, t.units);
        for (size_t e = 0; e < 4; ++e) {
            out += fmt::format(R"({}"{}":{})", e ? "," : "", kEvents[e],
                               counters_.eventsBy[p][e].load());
        }
        out += fmt::format(
            R"(}},"decisions":{{"allowed":{},"denied":{},"replaced":{}}},"bytes_in":{},"bytes_out":{}}})",
            allowed, denied, counters_.replacedBy[p].load(), t.bytesIn,
            counters_.bytesBy[p][0].load() + counters_.bytesBy[p][1].load());
    }
    out += fmt::format(R"(}},"gaps":{{"count":{},"bytes":{},"list":[)", gapCount_, gapBytes_);
    for (size_t i = 0; i < gaps_.size(); ++i) {
        const GapNote &g = gaps_[i];
        out += fmt::format(
            R"({}{{"stream":{},"protocol":"{}","client":{},"server":{},"direction":"{}","bytes":{}}})",
            i ? "," : "", g.stream, protoName(g.proto), jsonString(g.client), jsonString(g.server),
            qmxproxy::directionOf(g.fromClient), g.bytes);
    }
    out += R"(]},"skipped":{"reasons":{)";
    bool first = true;
    for (const auto &[reason, count] : skipReasons_) {
        out += fmt::format(R"({}{}:{})", first ? "" : ",", jsonString(reason), count);
        first = false;
    }
    out += R"(},"list":[)";
    for (size_t i = 0; i < skips_.size(); ++i) {
        const SkipNote &s = skips_[i];
        out +=
            fmt::format(R"({}{{"stream":{},"client":{},"server":{},"reason":{}}})", i ? "," : "",
                        s.stream, jsonString(s.client), jsonString(s.server), jsonString(s.reason));
    }
    out += fmt::format(
        R"(]}},"limits":{{"held_bytes":{},"refused_streams":{}}},"resync_bytes":{},"starved_reads":{}}})",
        limitStreams_, reassembly_.refusedStreams, resyncBytes_, starved_);
    out += "\n";
    return out;
}

} // namespace qmxreplay
