// The socket side of the host: what the library's slots 0 to 9 do with real
// sockets, and the per-connection state they share.
#pragma once

#include "audit.h"
#include "config.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qmxproxy {

struct Counters {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refusedAtLimit{0};
    std::atomic<uint64_t> handshakeFailures{0};
    std::atomic<uint64_t> upstreamFailures{0};
    std::atomic<uint64_t> rawRelays{0};
    std::atomic<uint64_t> instancesDeleted{0};
    std::atomic<uint64_t> heldCapEnded{0};
    std::atomic<uint64_t> msnRelayRestarts{0};
    std::atomic<uint64_t> proxyHeaderRejected{0}; // untrusted peer or no valid PROXY header
    std::atomic<uint64_t> unknownCookies{0};      // OSCAR sign-ons whose login was not seen here
    std::atomic<uint64_t> bytesToServer{0};
    std::atomic<uint64_t> bytesToClient{0};
    std::atomic<uint64_t> maskFallbacks{0};
    std::atomic<uint64_t> unparsedDropped{0};
    std::atomic<uint64_t> unparsedDroppedBytes{0};
    std::atomic<uint64_t> reloads{0};
    std::atomic<uint64_t> reloadFailures{0};
    std::atomic<uint64_t> lastReloadUnixSeconds{0};

    // By label, for the metrics and the summary's totals: protocol is
    // QMX_PROTO_* (kRaw for raw relays).
    static constexpr size_t kProtocols = 3;
    static constexpr size_t kRaw = 3;
    static constexpr size_t kActions = 7;
    static constexpr size_t kEvents = 4;
    std::atomic<uint64_t> relaysBy[kProtocols] = {};
    std::atomic<uint64_t> decisionsBy[kProtocols][kActions][2] = {}; // [..][..][allow]
    std::atomic<uint64_t> eventsBy[kProtocols][kEvents] = {};
    std::atomic<uint64_t> replacedBy[kProtocols] = {};
    std::atomic<uint64_t> bytesBy[kProtocols + 1][2] = {}; // [..][0 to servers, 1 to clients]
};

// What the library callbacks need of the running proxy. There is one per
// process because the library's slots carry no context pointer.
struct HostContext {
    // Replaced whole by a reload; read with currentConfig().
    std::shared_ptr<const Config> config;
    AuditLog *audit = nullptr;
    Counters *counters = nullptr;
};
HostContext &hostContext();
// The configuration in force: each decision takes it anew, so a reload
// reaches running relays at their next decision.
std::shared_ptr<const Config> currentConfig();
void setCurrentConfig(std::shared_ptr<const Config> config);

struct Connection;

// One side of a relayed connection. Its address is the QMX_Socket handle the
// library passes back to slots 3 to 7.
struct HostSocket {
    // Under bulk traffic 256 KiB per receive took less CPU per byte than
    // 64 KiB; an idle connection touches only the pages a receive filled.
    static constexpr size_t kReadAhead = size_t{256} * 1024;
    static constexpr size_t kOutputLimit = size_t{64} * 1024;

    int fd = -1;
    bool isClient = false;
    Connection *conn = nullptr;
    HostSocket *peer = nullptr;
    std::unique_ptr<uint8_t[]> buffer;
    size_t begin = 0;
    size_t end = 0;
    bool ended = false; // end of stream (or a failure) seen by a receive
    // Bytes handed to the library from this side since the library last sent
    // anything to the other side.
    uint64_t held = 0;
    // Bytes the library sent that the kernel has not taken yet: sends made
    // while the other side still has bytes read ahead wait here, to go out
    // together. Allocated only while it holds bytes.
    std::unique_ptr<uint8_t[]> output;
    size_t outBegin = 0;
    size_t outEnd = 0;
    bool sendFailed = false; // what was queued is lost; later sends fail

    size_t buffered() const { return end - begin; }
    size_t pending() const { return outEnd - outBegin; }
};

struct Connection {
    uint32_t id = 0;
    uint32_t protocol = 0;
    std::string client;   // the client's address
    std::string upstream; // the server's address as asked for
    std::string via;      // the listener that accepted the client
    HostSocket clientSide;
    HostSocket serverSide;
    bool capLogged = false;
    // MSN: bytes the library received since its relay (re)started, and
    // whether the wait slot has just failed to have the relay restarted.
    uint64_t relayedSinceStart = 0;
    bool restartRequested = false;
    bool eventReplaced = false; // the last text event got a replacement
    // A receive refilled a read-ahead buffer since the wait slot last polled.
    bool refilledSincePoll = false;
    // The relay thread's copy of the configuration in force (socket_host.cpp).
    std::shared_ptr<const Config> config;
    uint64_t configGeneration = 0;

    Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
};

// Reads up to size bytes, served from the read-ahead buffer, which one
// receive of up to kReadAhead bytes refills when it is empty. Waits at most
// timeoutMs (-1: no limit) for data and gives up on a stop request.
// >0 bytes, 0 end of stream, -1 failure, timeout or stop.
intptr_t hostRead(HostSocket &s, uint8_t *out, size_t size, int timeoutMs);

// Sends everything, waiting for room at most timeoutMs at a time.
bool hostWriteAll(HostSocket &s, const uint8_t *data, size_t size, int timeoutMs);

// Hands the kernel what the output buffer holds: with wait, all of it
// (waiting for room as a blocked send would); without, what it takes now.
// False once a send failed.
bool hostFlush(HostSocket &s, bool wait);

// The host's own rules, shared with qmx-replay, which drives the same slots
// from a capture.
// Counts bytes the kernel took for a side.
void countSent(const HostSocket &s, size_t n);
// Past [limits] max_held_bytes from one side with nothing sent to the other:
// logged and counted once, and the relay must end.
bool overCap(Connection *conn);
// An MSN relay that has taken msn_relay_bytes is due to end and be started
// again on its instance; true once per restart.
bool msnRelayDue(Connection *conn);
// The fields every audit record of a relay carries.
AuditRecord auditRecord(const char *kind, uint32_t id, uint32_t protocol, Connection *conn);
const char *directionOf(bool fromClient);

// Registers slots 0 to 9 for all three protocols (MSN's log slot only at
// debug level). Call after QMX_init and once the log level is set.
bool installHostCallbacks();

} // namespace qmxproxy
