#include "support/scripted_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

namespace qmxtest {
namespace {

enum class ChunkKind { Data, Eof, Error };

struct Chunk {
    ChunkKind kind;
    Bytes data;
};

struct SocketState {
    std::deque<Chunk> recv;
    std::deque<Bytes> oob;
    size_t readLimit = 0;
    size_t sendLimit = 0;
    std::deque<int32_t> sendResults;
    Bytes sent;
    Bytes sentOob;
    int recvCalls = 0;
};

struct Connection {
    QMX_Socket client = 0;
    QMX_Socket server = 0;
    std::deque<int32_t> waits;
};

struct State {
    std::mutex mutex;
    std::map<QMX_Socket, SocketState> sockets;
    std::vector<Connection> connections;

    std::map<uint32_t, std::deque<EventAnswer>> eventAnswers;
    std::map<uint32_t, std::deque<int32_t>> policyAnswers;
    std::map<uint32_t, std::deque<int32_t>> rawAnswers;
    EventAnswer defaultEvent;
    int32_t defaultPolicy = 1;
    std::function<int32_t(uint32_t, FilterEvent *)> eventHook;
    std::optional<uintptr_t> userData;

    std::vector<SendCall> sendCalls;
    std::vector<WaitCall> waitCalls;
    std::vector<QMX_Socket> halfCloses;
    std::vector<LogLine> logs;
    std::vector<EventCall> events;
    std::vector<PolicyCall> policies;
    std::vector<RawCall> raws;
    std::vector<uint32_t> news;
    std::vector<uint32_t> deletes;
};

State &state() {
    static State s;
    return s;
}

Connection *connectionOf(State &s, QMX_Socket socket) {
    if (socket == 0) return nullptr;
    for (Connection &c : s.connections) {
        if (c.client == socket || c.server == socket) return &c;
    }
    return nullptr;
}

std::optional<std::string> copyName(const char *name) {
    if (name == nullptr) return std::nullopt;
    return std::string(name);
}

template <typename T>
std::optional<T> popFront(std::map<uint32_t, std::deque<T>> &queues, uint32_t id) {
    auto it = queues.find(id);
    if (it == queues.end() || it->second.empty()) return std::nullopt;
    T value = it->second.front();
    it->second.pop_front();
    return value;
}

} // namespace

ScriptedHost &ScriptedHost::get() {
    static ScriptedHost host;
    return host;
}

void ScriptedHost::reset() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets.clear();
    s.connections.clear();
    s.eventAnswers.clear();
    s.policyAnswers.clear();
    s.rawAnswers.clear();
    s.defaultEvent = EventAnswer{};
    s.defaultPolicy = 1;
    s.eventHook = nullptr;
    s.userData.reset();
    s.sendCalls.clear();
    s.waitCalls.clear();
    s.halfCloses.clear();
    s.logs.clear();
    s.events.clear();
    s.policies.clear();
    s.raws.clear();
    s.news.clear();
    s.deletes.clear();
}

void ScriptedHost::installFor(uint32_t protocol) {
    QMX_setProtoCallback(protocol, QMX_CB_LOG, cb(slotLog));
    QMX_setProtoCallback(protocol, QMX_CB_POLICY, cb(slotPolicy));
    QMX_setProtoCallback(protocol, QMX_CB_EVENT, cb(slotEvent));
    QMX_setProtoCallback(protocol, QMX_CB_RAW_DATA, cb(slotRawData));
    QMX_setProtoCallback(protocol, QMX_CB_WAIT, cb(slotWait));
    QMX_setProtoCallback(protocol, QMX_CB_SEND, cb(slotSend));
    QMX_setProtoCallback(protocol, QMX_CB_RECV, cb(slotRecv));
    QMX_setProtoCallback(protocol, QMX_CB_HALF_CLOSE, cb(slotHalfClose));
    QMX_setProtoCallback(protocol, QMX_CB_INSTANCE_NEW, cb(slotInstanceNew));
    QMX_setProtoCallback(protocol, QMX_CB_INSTANCE_DELETE, cb(slotInstanceDelete));
}

void ScriptedHost::install() {
    for (uint32_t p = 0; p < QMX_PROTO_COUNT; ++p) installFor(p);
}

void ScriptedHost::addConnection(QMX_Socket client, QMX_Socket server) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Connection c;
    c.client = client;
    c.server = server;
    s.connections.push_back(c);
    s.sockets[client];
    s.sockets[server];
}

void ScriptedHost::pushWait(QMX_Socket socket, int32_t result) { pushWaits(socket, result, 1); }

void ScriptedHost::pushWaits(QMX_Socket socket, int32_t result, int count) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (Connection *c = connectionOf(s, socket)) c->waits.insert(c->waits.end(), count, result);
}

void ScriptedHost::pushRecv(QMX_Socket socket, const Bytes &chunk) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].recv.push_back({ChunkKind::Data, chunk});
}

void ScriptedHost::pushEof(QMX_Socket socket) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].recv.push_back({ChunkKind::Eof, {}});
}

void ScriptedHost::pushRecvError(QMX_Socket socket) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].recv.push_back({ChunkKind::Error, {}});
}

void ScriptedHost::pushOob(QMX_Socket socket, const Bytes &bytes) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].oob.push_back(bytes);
}

void ScriptedHost::setReadLimit(QMX_Socket socket, size_t n) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].readLimit = n;
}

void ScriptedHost::setSendLimit(QMX_Socket socket, size_t n) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].sendLimit = n;
}

void ScriptedHost::pushSendResult(QMX_Socket socket, int32_t result) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sockets[socket].sendResults.push_back(result);
}

void ScriptedHost::pushEventAnswer(uint32_t id, EventAnswer answer) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.eventAnswers[id].push_back(std::move(answer));
}

void ScriptedHost::pushPolicyAnswer(uint32_t id, int32_t result) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.policyAnswers[id].push_back(result);
}

void ScriptedHost::pushRawAnswer(uint32_t id, int32_t result) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.rawAnswers[id].push_back(result);
}

void ScriptedHost::setDefaultEventAnswer(EventAnswer answer) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.defaultEvent = std::move(answer);
}

void ScriptedHost::setDefaultPolicyAnswer(int32_t result) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.defaultPolicy = result;
}

void ScriptedHost::setEventHook(std::function<int32_t(uint32_t, FilterEvent *)> hook) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.eventHook = std::move(hook);
}

void ScriptedHost::setUserData(uintptr_t value) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.userData = value;
}

Bytes ScriptedHost::sent(QMX_Socket socket) const {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sockets.find(socket);
    return it == s.sockets.end() ? Bytes() : it->second.sent;
}

Bytes ScriptedHost::sentOob(QMX_Socket socket) const {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sockets.find(socket);
    return it == s.sockets.end() ? Bytes() : it->second.sentOob;
}

int ScriptedHost::recvCalls(QMX_Socket socket) const {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sockets.find(socket);
    return it == s.sockets.end() ? 0 : it->second.recvCalls;
}

#define QMX_RECORD_GETTER(Type, name, member)                                                      \
    Type ScriptedHost::name() const {                                                              \
        State &s = state();                                                                        \
        std::lock_guard<std::mutex> lock(s.mutex);                                                 \
        return s.member;                                                                           \
    }
QMX_RECORD_GETTER(std::vector<SendCall>, sendCalls, sendCalls)
QMX_RECORD_GETTER(std::vector<WaitCall>, waitCalls, waitCalls)
QMX_RECORD_GETTER(std::vector<QMX_Socket>, halfCloses, halfCloses)
QMX_RECORD_GETTER(std::vector<LogLine>, logs, logs)
QMX_RECORD_GETTER(std::vector<EventCall>, events, events)
QMX_RECORD_GETTER(std::vector<PolicyCall>, policies, policies)
QMX_RECORD_GETTER(std::vector<RawCall>, raws, raws)
QMX_RECORD_GETTER(std::vector<uint32_t>, instanceNews, news)
QMX_RECORD_GETTER(std::vector<uint32_t>, instanceDeletes, deletes)
#undef QMX_RECORD_GETTER

bool ScriptedHost::scriptUsedUp(QMX_Socket socket) const {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const Connection *c = connectionOf(s, socket);
    if (c == nullptr) return true;
    for (QMX_Socket side : {c->client, c->server}) {
        auto it = s.sockets.find(side);
        if (it != s.sockets.end() && (!it->second.recv.empty() || !it->second.oob.empty())) {
            return false;
        }
    }
    return c->waits.empty();
}

// --- slot functions ---------------------------------------------------------

void ScriptedHost::slotLog(uint32_t id, uint32_t level, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format ? format : "", args);
    va_end(args);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.logs.push_back({id, level, line});
}

int32_t ScriptedHost::slotPolicy(uint32_t id, const char *local, uint32_t action,
                                 const char *remote) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.policies.push_back({id, copyName(local), action, copyName(remote)});
    return popFront(s.policyAnswers, id).value_or(s.defaultPolicy);
}

int32_t ScriptedHost::slotEvent(uint32_t id, FilterEvent *event) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    EventCall call{};
    call.id = id;
    if (event != nullptr) {
        call.type = event->type;
        call.fromClient = event->fromClient;
        call.from = copyName(event->from);
        call.to = copyName(event->to);
        call.wideText = event->wideText;
        if (event->text != nullptr) {
            call.text = Bytes(event->text, static_cast<size_t>(event->textLength));
        }
        call.textLength = event->textLength;
        call.hadReplacement = event->replacement != nullptr;
    }
    s.events.push_back(call);

    if (s.eventHook) {
        auto hook = s.eventHook;
        lock.unlock();
        return hook(id, event);
    }
    EventAnswer answer = popFront(s.eventAnswers, id).value_or(s.defaultEvent);
    lock.unlock();
    if (answer.replacement) {
        QMX_setReplacementText(0, event, answer.replacement->data(), answer.replacement->size());
    }
    return answer.result;
}

int32_t ScriptedHost::slotRawData(uint32_t id, uintptr_t from, uintptr_t to, const uint8_t *data,
                                  intptr_t count) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    RawCall call{id, from, to, {}};
    if (data != nullptr && count > 0) {
        call.data.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(count));
    }
    s.raws.push_back(std::move(call));
    return popFront(s.rawAnswers, id).value_or(0);
}

int32_t ScriptedHost::slotWait(QMX_Socket ra, QMX_Socket rb, QMX_Socket ea, QMX_Socket eb,
                               int32_t seconds, int32_t microseconds) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    int32_t result = -1;
    Connection *c = connectionOf(s, ra ? ra : rb ? rb : ea ? ea : eb);
    if (c != nullptr && !c->waits.empty()) {
        result = c->waits.front();
        c->waits.pop_front();
    } else if (c != nullptr) {
        auto pending = [&](QMX_Socket socket, bool oob) {
            if (socket == 0) return false;
            const SocketState &st = s.sockets[socket];
            return oob ? !st.oob.empty() : !st.recv.empty();
        };
        int32_t bits = 0;
        if (pending(ra, false)) bits |= 1;
        if (pending(rb, false)) bits |= 2;
        if (pending(ea, true)) bits |= 4;
        if (pending(eb, true)) bits |= 8;
        result = bits != 0 ? bits : -1;
    }
    s.waitCalls.push_back({ra, rb, ea, eb, seconds, microseconds, result});
    return result;
}

int32_t ScriptedHost::slotSend(QMX_Socket socket, const uint8_t *bytes, intptr_t count,
                               uint32_t flags) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    SocketState &st = s.sockets[socket];
    SendCall call{socket, {}, flags, 0};
    if (bytes != nullptr && count > 0) {
        call.offered.assign(reinterpret_cast<const char *>(bytes), static_cast<size_t>(count));
    }
    int32_t result;
    if (!st.sendResults.empty()) {
        result = st.sendResults.front();
        st.sendResults.pop_front();
        result = std::min<int32_t>(result, static_cast<int32_t>(call.offered.size()));
    } else {
        size_t take = call.offered.size();
        if (st.sendLimit != 0) take = std::min(take, st.sendLimit);
        result = static_cast<int32_t>(take);
    }
    if (result > 0) {
        (flags == 1 ? st.sentOob : st.sent).append(call.offered, 0, static_cast<size_t>(result));
    }
    call.result = result;
    s.sendCalls.push_back(std::move(call));
    return result;
}

int32_t ScriptedHost::slotRecv(QMX_Socket socket, uint8_t *buffer, intptr_t size, uint32_t flags) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    SocketState &st = s.sockets[socket];
    ++st.recvCalls;
    if (buffer == nullptr || size <= 0) return -1;
    size_t room = static_cast<size_t>(size);
    if (st.readLimit != 0) room = std::min(room, st.readLimit);

    if (flags == 1) {
        if (st.oob.empty()) return -1;
        Bytes &head = st.oob.front();
        size_t n = std::min(room, head.size());
        std::copy_n(head.data(), n, buffer);
        head.erase(0, n);
        if (head.empty()) st.oob.pop_front();
        return static_cast<int32_t>(n);
    }

    if (st.recv.empty()) return 0; // a finished script reads as end of stream
    Chunk &head = st.recv.front();
    if (head.kind != ChunkKind::Data) {
        int32_t result = head.kind == ChunkKind::Eof ? 0 : -1;
        st.recv.pop_front();
        return result;
    }
    size_t n = std::min(room, head.data.size());
    std::copy_n(head.data.data(), n, buffer);
    head.data.erase(0, n);
    if (head.data.empty()) st.recv.pop_front();
    return static_cast<int32_t>(n);
}

int32_t ScriptedHost::slotHalfClose(QMX_Socket socket, int32_t) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.halfCloses.push_back(socket);
    return 0;
}

uintptr_t ScriptedHost::slotInstanceNew(uint32_t id, QMX_Socket, QMX_Socket, uintptr_t arg) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.news.push_back(id);
    return s.userData.value_or(arg);
}

void ScriptedHost::slotInstanceDelete(uint32_t id) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.deletes.push_back(id);
}

} // namespace qmxtest
