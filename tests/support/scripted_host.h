// A deterministic in-memory host for relay tests and fuzz harnesses: slots 0
// to 9 as plain functions over scripts keyed by socket (4 to 7) and by
// instance id (0 to 3, 8, 9). No threads, no sleeps, no clock. Scripts are
// set up before a relay runs and records read after it; several relays may
// run at once on different threads as long as each uses its own sockets.
//
// Waiting (slot 4): scripted results for the connection come first. Then
// the host answers by itself: the read bit of every watched socket with a
// scripted receive left, the out-of-band bit of every watched socket with
// out-of-band bytes queued, and -1 when there is nothing, which ends a relay.
// Receiving (slot 6): chunks in order, cut to the buffer and the socket's
// read limit; a socket with nothing queued reads as end of stream.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qmxtest {

using Bytes = std::string;

struct LogLine {
    uint32_t id, level;
    std::string text;
};
struct EventCall {
    uint32_t id, type, fromClient;
    std::optional<std::string> from, to;
    uint32_t wideText;
    std::optional<Bytes> text; // textLength bytes of text
    uint64_t textLength;
    bool hadReplacement; // a replacement was already attached on entry
};
struct PolicyCall {
    uint32_t id;
    std::optional<std::string> local;
    uint32_t action;
    std::optional<std::string> remote;
};
struct RawCall {
    uint32_t id;
    uintptr_t from, to;
    Bytes data;
};
struct WaitCall {
    QMX_Socket readA, readB, exceptA, exceptB;
    int32_t seconds, microseconds, result;
};
struct SendCall {
    QMX_Socket socket;
    Bytes offered;
    uint32_t flags;
    int32_t result;
};
// How the host answers one slot 2 call.
struct EventAnswer {
    int32_t result = 1;
    std::optional<Bytes> replacement; // attached with QMX_setReplacementText
};

struct HostState {
    enum Kind { kData, kEof, kError };
    struct Socket {
        std::deque<std::pair<Kind, Bytes>> recv;
        std::deque<Bytes> oob;
        size_t readLimit = 0, sendLimit = 0; // 0: no limit
        std::deque<int32_t> sendResults;     // forced results, used first
        Bytes sent, sentOob;
        int recvCalls = 0;
    };
    struct Connection {
        QMX_Socket client, server;
        std::deque<int32_t> waits;
    };
    std::map<QMX_Socket, Socket> sockets;
    std::vector<Connection> connections;
    std::map<uint32_t, std::deque<EventAnswer>> eventAnswers;
    std::map<uint32_t, std::deque<int32_t>> policyAnswers, rawAnswers;
    EventAnswer defaultEvent;
    int32_t defaultPolicy = 1;
    std::function<int32_t(uint32_t, FilterEvent *)> eventHook; // replaces the answers
    std::vector<SendCall> sends;
    std::vector<WaitCall> waits;
    std::vector<QMX_Socket> halfClosed;
    std::vector<LogLine> logLines;
    std::vector<EventCall> eventCalls;
    std::vector<PolicyCall> policyCalls;
    std::vector<RawCall> rawCalls;
    std::vector<uint32_t> deleted;
};

class ScriptedHost : private HostState {
public:
    static ScriptedHost &get();
    // Forgets every script and record (the filters' caches keep pointing at
    // the same slot functions, so they stay valid).
    void reset() { static_cast<HostState &>(*this) = HostState(); }
    void install(); // slots 0 to 9 of every protocol table

    void addConnection(QMX_Socket client, QMX_Socket server);
    void pushWaits(QMX_Socket anySocketOfConnection, int32_t result, int count);
    void pushWait(QMX_Socket s, int32_t result) { pushWaits(s, result, 1); }
    void pushRecv(QMX_Socket s, const Bytes &chunk) { sockets[s].recv.push_back({kData, chunk}); }
    void pushEof(QMX_Socket s) { sockets[s].recv.push_back({kEof, {}}); }
    void pushRecvError(QMX_Socket s) { sockets[s].recv.push_back({kError, {}}); }
    void pushOob(QMX_Socket s, const Bytes &bytes) { sockets[s].oob.push_back(bytes); }
    void setReadLimit(QMX_Socket s, size_t n) { sockets[s].readLimit = n; }
    void setSendLimit(QMX_Socket s, size_t n) { sockets[s].sendLimit = n; }
    void pushSendResult(QMX_Socket s, int32_t r) { sockets[s].sendResults.push_back(r); }
    void pushEventAnswer(uint32_t id, EventAnswer a) { eventAnswers[id].push_back(std::move(a)); }
    void pushPolicyAnswer(uint32_t id, int32_t r) { policyAnswers[id].push_back(r); }
    void pushRawAnswer(uint32_t id, int32_t r) { rawAnswers[id].push_back(r); }
    void setDefaultEventAnswer(EventAnswer a) { defaultEvent = std::move(a); }
    void setDefaultPolicyAnswer(int32_t r) { defaultPolicy = r; }
    void setEventHook(std::function<int32_t(uint32_t, FilterEvent *)> h) { eventHook = h; }

    Bytes sent(QMX_Socket s) { return sockets[s].sent; }       // ordinary bytes taken
    Bytes sentOob(QMX_Socket s) { return sockets[s].sentOob; } // out-of-band bytes taken
    int recvCalls(QMX_Socket s) { return sockets[s].recvCalls; }
    std::vector<SendCall> sendCalls() const { return sends; }
    std::vector<WaitCall> waitCalls() const { return waits; }
    std::vector<QMX_Socket> halfCloses() const { return halfClosed; }
    std::vector<LogLine> logs() const { return logLines; }
    std::vector<EventCall> events() const { return eventCalls; }
    std::vector<PolicyCall> policies() const { return policyCalls; }
    std::vector<RawCall> raws() const { return rawCalls; }
    std::vector<uint32_t> instanceDeletes() const { return deleted; }
    // True when every queued receive, out-of-band chunk and wait was used.
    bool scriptUsedUp(QMX_Socket anySocketOfConnection);

    static void slotLog(uint32_t id, uint32_t level, const char *format, ...);
    static int32_t slotPolicy(uint32_t id, const char *local, uint32_t action, const char *remote);
    static int32_t slotEvent(uint32_t id, FilterEvent *event);
    static int32_t slotRawData(uint32_t id, uintptr_t from, uintptr_t to, const uint8_t *data,
                               intptr_t count);
    static int32_t slotWait(QMX_Socket ra, QMX_Socket rb, QMX_Socket ea, QMX_Socket eb,
                            int32_t seconds, int32_t microseconds);
    static int32_t slotSend(QMX_Socket s, const uint8_t *bytes, intptr_t count, uint32_t flags);
    static int32_t slotRecv(QMX_Socket s, uint8_t *buffer, intptr_t size, uint32_t flags);
    static int32_t slotHalfClose(QMX_Socket s, int32_t how);
    static uintptr_t slotInstanceNew(uint32_t id, QMX_Socket c, QMX_Socket s, uintptr_t arg);
    static void slotInstanceDelete(uint32_t id);

private:
    ScriptedHost() = default;
    Connection *connectionOf(QMX_Socket s);
    std::mutex mutex_; // held by the slot functions only
};

// A byte string from a literal that may hold NULs: bytes("ab\0c") keeps all four.
template <size_t N>
Bytes bytes(const char (&literal)[N]) {
    return Bytes(literal, N - 1);
}

// The exported callback pointer for a slot function.
template <typename F>
QMX_Callback cb(F *f) {
    return reinterpret_cast<QMX_Callback>(f);
}

} // namespace qmxtest
