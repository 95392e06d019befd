// A deterministic in-memory host for relay tests and fuzz harnesses: slots 0
// to 9 over scripts keyed by socket and instance id. Relays may run at once
// on different threads, each with its own sockets. A wait answers with the
// scripted results first, then with the bits of the watched sockets that have
// a receive or out-of-band bytes queued, or -1 (the relay ends) when none
// has. A receive gets the next chunk, cut to the buffer and the read limit.
#pragma once

#include <qmx/qmx.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qmxtest {

using Bytes = std::string;

struct LogLine {
    uint32_t id, level;
    std::string text;
};
struct EventCall {
    uint32_t id, type, fromClient, wideText;
    std::optional<std::string> from, to, text; // textLength bytes of text
    uint64_t textLength;
    bool hadReplacement; // a replacement was already attached on entry
};
struct PolicyCall {
    uint32_t id, action;
    std::optional<std::string> local, remote;
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

class ScriptedHost {
public:
    static ScriptedHost &get();
    // Forgets every script and record (the filters' caches keep pointing at
    // the same slot functions, so they stay valid).
    void reset() { s_ = State(); }
    void install(); // slots 0 to 9 of every protocol table

    void addConnection(QMX_Socket client, QMX_Socket server) {
        s_.connections.push_back({client, server, {}});
    }
    void pushWaits(QMX_Socket anySocketOfConnection, int32_t result, int count) {
        if (Connection *c = connectionOf(anySocketOfConnection))
            c->waits.insert(c->waits.end(), count, result);
    }
    void pushWait(QMX_Socket s, int32_t result) { pushWaits(s, result, 1); }
    void pushRecv(QMX_Socket s, const Bytes &chunk) { s_.sockets[s].recv.push_back({chunk, 1}); }
    void pushEof(QMX_Socket s) { s_.sockets[s].recv.push_back({{}, 0}); }
    void pushRecvError(QMX_Socket s) { s_.sockets[s].recv.push_back({{}, -1}); }
    void pushOob(QMX_Socket s, const Bytes &bytes) { s_.sockets[s].oob.push_back({bytes, 1}); }
    void setReadLimit(QMX_Socket s, size_t n) { s_.sockets[s].readLimit = n; }
    void setSendLimit(QMX_Socket s, size_t n) { s_.sockets[s].sendLimit = n; }
    void pushSendResult(QMX_Socket s, int32_t r) { s_.sockets[s].sendResults.push_back(r); }
    void pushEventAnswer(uint32_t id, EventAnswer a) { s_.eventAnswers[id].push_back(a); }
    void pushPolicyAnswer(uint32_t id, int32_t r) { s_.policyAnswers[id].push_back(r); }
    void pushRawAnswer(uint32_t id, int32_t r) { s_.rawAnswers[id].push_back(r); }
    void setDefaultEventAnswer(EventAnswer a) { s_.defaultEvent = std::move(a); }
    void setDefaultPolicyAnswer(int32_t r) { s_.defaultPolicy = r; }
    void setEventHook(std::function<int32_t(uint32_t, FilterEvent *)> h) { s_.eventHook = h; }

    Bytes sent(QMX_Socket s) { return s_.sockets[s].sent; }       // ordinary bytes taken
    Bytes sentOob(QMX_Socket s) { return s_.sockets[s].sentOob; } // out-of-band bytes taken
    std::vector<SendCall> sendCalls() const { return s_.sends; }
    std::vector<WaitCall> waitCalls() const { return s_.waits; }
    std::vector<std::pair<QMX_Socket, int32_t>> halfCloses() const { return s_.halfCloses; }
    std::vector<LogLine> logs() const { return s_.logs; }
    std::vector<EventCall> events() const { return s_.events; }
    std::vector<PolicyCall> policies() const { return s_.policies; }
    std::vector<RawCall> raws() const { return s_.raws; }
    std::vector<uint32_t> instanceDeletes() const { return s_.deletes; }

    // The slot functions install() sets.
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
    struct Socket {
        // Bytes and what the receive answers: 1 (their count), 0 or -1.
        std::deque<std::pair<Bytes, int32_t>> recv, oob;
        size_t readLimit = 0, sendLimit = 0; // 0: no limit
        std::deque<int32_t> sendResults;     // forced results, used first
        Bytes sent, sentOob;
    };
    struct Connection {
        QMX_Socket client, server;
        std::deque<int32_t> waits;
    };
    struct State {
        std::map<QMX_Socket, Socket> sockets;
        std::vector<Connection> connections;
        std::map<uint32_t, std::deque<EventAnswer>> eventAnswers;
        std::map<uint32_t, std::deque<int32_t>> policyAnswers, rawAnswers;
        EventAnswer defaultEvent;
        int32_t defaultPolicy = 1;
        std::function<int32_t(uint32_t, FilterEvent *)> eventHook; // replaces the answers
        std::vector<SendCall> sends;
        std::vector<WaitCall> waits;
        std::vector<std::pair<QMX_Socket, int32_t>> halfCloses;
        std::vector<LogLine> logs;
        std::vector<EventCall> events;
        std::vector<PolicyCall> policies;
        std::vector<RawCall> raws;
        std::vector<uint32_t> deletes;
    } s_;
    std::mutex mutex_; // held by the slot functions only
    Connection *connectionOf(QMX_Socket s) {
        for (Connection &c : s_.connections)
            if (s != 0 && (c.client == s || c.server == s)) return &c;
        return nullptr;
    }
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
