#include "support/scripted_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace qmxtest {
namespace {

std::optional<std::string> copyName(const char *name) {
    return name ? std::optional<std::string>(name) : std::nullopt;
}

template <typename T>
std::optional<T> popFront(std::map<uint32_t, std::deque<T>> &queues, uint32_t id) {
    auto it = queues.find(id);
    if (it == queues.end() || it->second.empty()) return std::nullopt;
    T value = it->second.front();
    it->second.pop_front();
    return value;
}

// Copies up to room bytes from the head of a queue into buffer.
template <typename Queue, typename Get>
int32_t take(Queue &queue, Get bytesOf, uint8_t *buffer, size_t room) {
    Bytes &head = bytesOf(queue.front());
    const size_t n = std::min(room, head.size());
    std::copy_n(head.data(), n, buffer);
    head.erase(0, n);
    if (head.empty()) queue.pop_front();
    return static_cast<int32_t>(n);
}

} // namespace

ScriptedHost &ScriptedHost::get() {
    static ScriptedHost host;
    return host;
}

void ScriptedHost::install() {
    const QMX_Callback slots[] = {cb(slotLog),           cb(slotPolicy),    cb(slotEvent),
                                  cb(slotRawData),       cb(slotWait),      cb(slotSend),
                                  cb(slotRecv),          cb(slotHalfClose), cb(slotInstanceNew),
                                  cb(slotInstanceDelete)};
    for (uint32_t slot = 0; slot < 10; ++slot) QMX_setCallback(slot, slots[slot]);
}

void ScriptedHost::addConnection(QMX_Socket client, QMX_Socket server) {
    connections.push_back({client, server, {}});
    sockets[client];
    sockets[server];
}

ScriptedHost::Connection *ScriptedHost::connectionOf(QMX_Socket s) {
    for (Connection &c : connections)
        if (s != 0 && (c.client == s || c.server == s)) return &c;
    return nullptr;
}

void ScriptedHost::pushWaits(QMX_Socket s, int32_t result, int count) {
    if (Connection *c = connectionOf(s)) c->waits.insert(c->waits.end(), count, result);
}

bool ScriptedHost::scriptUsedUp(QMX_Socket s) {
    const Connection *c = connectionOf(s);
    if (c == nullptr) return true;
    for (QMX_Socket side : {c->client, c->server})
        if (!sockets[side].recv.empty() || !sockets[side].oob.empty()) return false;
    return c->waits.empty();
}

void ScriptedHost::slotLog(uint32_t id, uint32_t level, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format ? format : "", args);
    va_end(args);
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    h.logLines.push_back({id, level, line});
}

int32_t ScriptedHost::slotPolicy(uint32_t id, const char *local, uint32_t action,
                                 const char *remote) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    h.policyCalls.push_back({id, copyName(local), action, copyName(remote)});
    return popFront(h.policyAnswers, id).value_or(h.defaultPolicy);
}

int32_t ScriptedHost::slotEvent(uint32_t id, FilterEvent *e) {
    ScriptedHost &h = get();
    std::unique_lock<std::mutex> lock(h.mutex_);
    h.eventCalls.push_back(
        {id, e->type, e->fromClient, copyName(e->from), copyName(e->to), e->wideText,
         e->text ? std::optional<Bytes>(Bytes(e->text, e->textLength)) : std::nullopt,
         e->textLength, e->replacement != nullptr});
    if (h.eventHook) {
        auto hook = h.eventHook;
        lock.unlock();
        return hook(id, e);
    }
    const EventAnswer answer = popFront(h.eventAnswers, id).value_or(h.defaultEvent);
    lock.unlock();
    if (answer.replacement)
        QMX_setReplacementText(0, e, answer.replacement->data(), answer.replacement->size());
    return answer.result;
}

int32_t ScriptedHost::slotRawData(uint32_t id, uintptr_t from, uintptr_t to, const uint8_t *data,
                                  intptr_t count) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    h.rawCalls.push_back(
        {id, from, to,
         count > 0 ? Bytes(reinterpret_cast<const char *>(data), static_cast<size_t>(count))
                   : Bytes()});
    return popFront(h.rawAnswers, id).value_or(0);
}

int32_t ScriptedHost::slotWait(QMX_Socket ra, QMX_Socket rb, QMX_Socket ea, QMX_Socket eb,
                               int32_t seconds, int32_t microseconds) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    int32_t result = -1;
    Connection *c = h.connectionOf(ra ? ra : rb ? rb : ea ? ea : eb);
    if (c != nullptr && !c->waits.empty()) {
        result = c->waits.front();
        c->waits.pop_front();
    } else if (c != nullptr) {
        auto recv = [&](QMX_Socket s) { return s != 0 && !h.sockets[s].recv.empty(); };
        auto oob = [&](QMX_Socket s) { return s != 0 && !h.sockets[s].oob.empty(); };
        result = (recv(ra) ? 1 : 0) | (recv(rb) ? 2 : 0) | (oob(ea) ? 4 : 0) | (oob(eb) ? 8 : 0);
        if (result == 0) result = -1;
    }
    h.waits.push_back({ra, rb, ea, eb, seconds, microseconds, result});
    return result;
}

int32_t ScriptedHost::slotSend(QMX_Socket s, const uint8_t *bytes, intptr_t count, uint32_t flags) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    Socket &st = h.sockets[s];
    SendCall call{s, count > 0 ? Bytes(reinterpret_cast<const char *>(bytes), size_t(count)) : "",
                  flags, 0};
    const auto size = static_cast<int32_t>(call.offered.size());
    if (!st.sendResults.empty()) {
        call.result = std::min(st.sendResults.front(), size);
        st.sendResults.pop_front();
    } else {
        call.result = st.sendLimit != 0 ? std::min(size, static_cast<int32_t>(st.sendLimit)) : size;
    }
    if (call.result > 0)
        (flags == 1 ? st.sentOob : st.sent).append(call.offered, 0, size_t(call.result));
    h.sends.push_back(call);
    return call.result;
}

int32_t ScriptedHost::slotRecv(QMX_Socket s, uint8_t *buffer, intptr_t size, uint32_t flags) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    Socket &st = h.sockets[s];
    ++st.recvCalls;
    if (buffer == nullptr || size <= 0) return -1;
    const size_t room = st.readLimit != 0 ? std::min(size_t(size), st.readLimit) : size_t(size);
    if (flags == 1)
        return st.oob.empty() ? -1
                              : take(
                                    st.oob, [](Bytes &b) -> Bytes & { return b; }, buffer, room);
    if (st.recv.empty()) return 0;
    const Kind kind = st.recv.front().first;
    if (kind != kData) {
        st.recv.pop_front();
        return kind == kEof ? 0 : -1;
    }
    return take(
        st.recv, [](auto &chunk) -> Bytes & { return chunk.second; }, buffer, room);
}

int32_t ScriptedHost::slotHalfClose(QMX_Socket s, int32_t) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    h.halfClosed.push_back(s);
    return 0;
}

uintptr_t ScriptedHost::slotInstanceNew(uint32_t, QMX_Socket, QMX_Socket, uintptr_t arg) {
    return arg;
}

void ScriptedHost::slotInstanceDelete(uint32_t id) {
    ScriptedHost &h = get();
    std::lock_guard<std::mutex> lock(h.mutex_);
    h.deleted.push_back(id);
}

} // namespace qmxtest
