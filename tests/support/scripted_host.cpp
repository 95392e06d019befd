#include "support/scripted_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace qmxtest {
namespace {

std::optional<std::string> name(const char *s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}

Bytes copy(const void *data, intptr_t count) {
    return count > 0 ? Bytes(static_cast<const char *>(data), size_t(count)) : Bytes();
}

template <typename T>
std::optional<T> pop(std::deque<T> &queue) {
    if (queue.empty()) return std::nullopt;
    T value = queue.front();
    queue.pop_front();
    return value;
}

using Lock = std::unique_lock<std::mutex>;

} // namespace

void ScriptedHost::slotLog(uint32_t id, uint32_t level, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format ? format : "", args);
    va_end(args);
    Lock lock(get().mutex_);
    get().s_.logs.push_back({id, level, line});
}

int32_t ScriptedHost::slotPolicy(uint32_t id, const char *local, uint32_t action,
                                 const char *remote) {
    Lock lock(get().mutex_);
    get().s_.policies.push_back({id, action, name(local), name(remote)});
    return pop(get().s_.policyAnswers[id]).value_or(get().s_.defaultPolicy);
}

int32_t ScriptedHost::slotEvent(uint32_t id, FilterEvent *e) {
    Lock lock(get().mutex_);
    get().s_.events.push_back(
        {id, e->type, e->fromClient, e->wideText, name(e->from), name(e->to),
         e->text ? std::optional<Bytes>(copy(e->text, e->textLength)) : std::nullopt, e->textLength,
         e->replacement != nullptr});
    const auto hook = get().s_.eventHook;
    const EventAnswer answer =
        hook ? EventAnswer() : pop(get().s_.eventAnswers[id]).value_or(get().s_.defaultEvent);
    lock.unlock(); // the hook and the replacement call back into the library
    if (hook) return hook(id, e);
    if (answer.replacement)
        QMX_setReplacementText(0, e, answer.replacement->data(), answer.replacement->size());
    return answer.result;
}

int32_t ScriptedHost::slotRawData(uint32_t id, uintptr_t from, uintptr_t to, const uint8_t *data,
                                  intptr_t count) {
    Lock lock(get().mutex_);
    get().s_.raws.push_back({id, from, to, copy(data, count)});
    return pop(get().s_.rawAnswers[id]).value_or(0);
}

int32_t ScriptedHost::slotWait(QMX_Socket ra, QMX_Socket rb, QMX_Socket ea, QMX_Socket eb,
                               int32_t seconds, int32_t microseconds) {
    Lock lock(get().mutex_);
    State &s = get().s_;
    auto has = [&](QMX_Socket k, bool oob) {
        return k != 0 && !(oob ? s.sockets[k].oob : s.sockets[k].recv).empty();
    };
    const int32_t ready =
        has(ra, false) | (has(rb, false) << 1) | (has(ea, true) << 2) | (has(eb, true) << 3);
    auto *c = get().connectionOf(ra ? ra : rb ? rb : ea ? ea : eb);
    const int32_t result = c ? pop(c->waits).value_or(ready ? ready : -1) : -1;
    s.waits.push_back({ra, rb, ea, eb, seconds, microseconds, result});
    return result;
}

int32_t ScriptedHost::slotSend(QMX_Socket socket, const uint8_t *bytes, intptr_t count,
                               uint32_t flags) {
    Lock lock(get().mutex_);
    Socket &s = get().s_.sockets[socket];
    const auto size = static_cast<int32_t>(std::max<intptr_t>(count, 0));
    const int32_t limit = s.sendLimit ? static_cast<int32_t>(s.sendLimit) : size;
    const int32_t result = std::min(pop(s.sendResults).value_or(limit), size);
    get().s_.sends.push_back({socket, copy(bytes, count), flags, result});
    if (result > 0) (flags == QMX_FLAG_OOB ? s.sentOob : s.sent).append(copy(bytes, result));
    return result;
}

int32_t ScriptedHost::slotRecv(QMX_Socket socket, uint8_t *buffer, intptr_t size, uint32_t flags) {
    Lock lock(get().mutex_);
    Socket &s = get().s_.sockets[socket];
    auto &queue = flags == QMX_FLAG_OOB ? s.oob : s.recv;
    if (buffer == nullptr || size <= 0) return -1;
    if (queue.empty()) return flags == QMX_FLAG_OOB ? -1 : 0;
    auto &[bytes, answer] = queue.front();
    const size_t n =
        std::min({size_t(size), bytes.size(), s.readLimit ? s.readLimit : bytes.size()});
    std::copy_n(bytes.data(), n, buffer);
    bytes.erase(0, n);
    const int32_t result = answer < 1 ? answer : static_cast<int32_t>(n);
    if (bytes.empty()) queue.pop_front();
    return result;
}

int32_t ScriptedHost::slotHalfClose(QMX_Socket socket, int32_t how) {
    Lock lock(get().mutex_);
    get().s_.halfCloses.emplace_back(socket, how);
    return 0;
}

uintptr_t ScriptedHost::slotInstanceNew(uint32_t, QMX_Socket, QMX_Socket, uintptr_t arg) {
    return arg;
}

void ScriptedHost::slotInstanceDelete(uint32_t id) {
    Lock lock(get().mutex_);
    get().s_.deletes.push_back(id);
}

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

} // namespace qmxtest
