// A deterministic in-memory host for relay tests: slots 0 to 9 as plain
// functions over scripts keyed by socket (4 to 7) and by instance id (0 to 3,
// 8, 9). No threads, no sleeps, no clock. Several instances may be relayed at
// once on different threads as long as each uses its own sockets.
//
// Waiting (slot 4): scripted results for the connection are returned first,
// in order. When none are left the host answers by itself: the read bit of
// every watched socket that still has a scripted receive (data, end of
// stream or failure), the out-of-band bit of every watched socket with
// out-of-band bytes queued; and -1 when there is nothing left, so that a
// relay whose script is used up ends.
//
// Receiving (slot 6): chunks are served in order, cut to the buffer size and
// to the socket's read limit; the uncut rest stays at the head of the queue.
// A socket with nothing queued reads as end of stream (0).
#pragma once

#include <qmx/qmx.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qmxtest {

using Bytes = std::string;

struct LogLine {
    uint32_t id;
    uint32_t level;
    std::string text;
};

struct EventCall {
    uint32_t id;
    uint32_t type;
    uint32_t fromClient;
    std::optional<std::string> from;
    std::optional<std::string> to;
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
    uintptr_t from;
    uintptr_t to;
    Bytes data;
};

struct WaitCall {
    QMX_Socket readA, readB, exceptA, exceptB;
    int32_t seconds, microseconds;
    int32_t result;
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

    // Forgets every script and record (not the filters' caches: the slot
    // functions never change, so cached pointers stay valid).
    void reset();

    // Stores slots 0 to 9 of every protocol table (QMX_setCallback).
    void install();
    // Stores slots 0 to 9 of one protocol table only.
    void installFor(uint32_t protocol);

    // --- connection scripts (sockets must be non-zero and unique) ---
    void addConnection(QMX_Socket client, QMX_Socket server);
    void pushWait(QMX_Socket anySocketOfConnection, int32_t result);
    void pushWaits(QMX_Socket anySocketOfConnection, int32_t result, int count);

    void pushRecv(QMX_Socket s, const Bytes &chunk);
    void pushEof(QMX_Socket s);
    void pushRecvError(QMX_Socket s);
    void pushOob(QMX_Socket s, const Bytes &bytes);
    void setReadLimit(QMX_Socket s, size_t maxBytesPerRecv); // 0: no limit

    void setSendLimit(QMX_Socket s, size_t maxBytesPerSend); // 0: take all
    void pushSendResult(QMX_Socket s, int32_t result);       // forced results first

    // --- id-keyed answers (default: event 1, policy 1, raw 0) ---
    void pushEventAnswer(uint32_t id, EventAnswer answer);
    void pushPolicyAnswer(uint32_t id, int32_t result);
    void pushRawAnswer(uint32_t id, int32_t result);
    void setDefaultEventAnswer(EventAnswer answer);
    void setDefaultPolicyAnswer(int32_t result);
    // Called inside slot 2 after recording, instead of the queued answers.
    void setEventHook(std::function<int32_t(uint32_t, FilterEvent *)> hook);
    void setUserData(uintptr_t value); // what slot 8 returns (default: userArg)

    // --- records ---
    Bytes sent(QMX_Socket s) const;    // ordinary bytes taken by slot 5
    Bytes sentOob(QMX_Socket s) const; // out-of-band bytes taken by slot 5
    std::vector<SendCall> sendCalls() const;
    std::vector<WaitCall> waitCalls() const;
    std::vector<QMX_Socket> halfCloses() const;
    int recvCalls(QMX_Socket s) const;
    std::vector<LogLine> logs() const;
    std::vector<EventCall> events() const;
    std::vector<PolicyCall> policies() const;
    std::vector<RawCall> raws() const;
    std::vector<uint32_t> instanceNews() const;
    std::vector<uint32_t> instanceDeletes() const;
    // True when every queued receive, out-of-band chunk and wait was used.
    bool scriptUsedUp(QMX_Socket anySocketOfConnection) const;

    // The raw slot functions, for tests that install them one by one.
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
};

// A host byte string from a C string literal that may hold NULs:
// bytes("ab\0c") keeps all four bytes.
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
