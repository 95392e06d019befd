// Slots 0 to 9 over real sockets.
//
// Sockets are non-blocking; every wait is a poll() that also watches the
// stop descriptor, so a shutdown reaches a relay wherever it is blocked.
#include "socket_host.h"

#include "message_text.h"
#include "net.h"
#include "policy.h"

#include <qmx/qmx.h>

#include <poll.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <vector>

namespace qmxproxy {

namespace {

// Filled by Proxy::start before the callbacks are registered, so every slot
// finds it complete.
HostContext theHostContext;

// A peer that stops mid-frame, or stops reading, holds a relay thread at most
// this long; the relay loops themselves give up after 300 idle seconds.
constexpr int kStallTimeoutMs = 300 * 1000;
// Longer replacements would not fit the 16-bit length fields of OSCAR and YMSG.
constexpr size_t kMaxReplacementBytes = size_t{32} * 1024;

// The library hands back the handles this host gave it: integers by the ABI,
// addresses of our own objects in fact.
// Bumped after each reload has stored its configuration.
std::atomic<uint64_t> configGeneration{0};

// The configuration in force, as the relay's own snapshot: the shared
// pointer is loaded again only after a reload, not on every wait of the
// relay loop.
const Config &configFor(Connection *conn) {
    if (conn == nullptr) {
        thread_local std::shared_ptr<const Config> unowned;
        unowned = currentConfig();
        return *unowned;
    }
    const uint64_t generation = configGeneration.load(std::memory_order_acquire);
    if (!conn->config || conn->configGeneration != generation) {
        conn->config = currentConfig();
        conn->configGeneration = generation;
    }
    return *conn->config;
}

HostSocket *asSocket(QMX_Socket handle) {
    return reinterpret_cast<HostSocket *>(handle); // NOLINT(performance-no-int-to-ptr)
}

Connection *connectionOf(uint32_t id) {
    return reinterpret_cast<Connection *>( // NOLINT(performance-no-int-to-ptr)
        QMX_getInstanceUserData(id));
}

// Waits for one descriptor event or the stop request; false on stop,
// timeout or failure.
bool waitFor(int fd, short events, int timeoutMs) {
    for (;;) {
        pollfd pfds[2] = {{fd, events, 0}, {stopSignalFd(), POLLIN, 0}};
        const int n = poll(pfds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 && pfds[1].revents == 0;
    }
}

void endSide(HostSocket &s) {
    s.ended = true;
    // The OSCAR and YMSG relays never half-close, so the end of one stream
    // reaches the other peer only through the host, after what is queued.
    if (s.peer != nullptr && s.peer->fd >= 0) {
        hostFlush(*s.peer, true);
        shutdown(s.peer->fd, SHUT_WR);
    }
}

} // namespace

void countSent(const HostSocket &s, size_t n) {
    auto &c = *hostContext().counters;
    (s.isClient ? c.bytesToClient : c.bytesToServer) += n;
    if (s.conn != nullptr && s.conn->protocol < Counters::kProtocols) {
        c.bytesBy[s.conn->protocol][s.isClient ? 1 : 0] += n;
    }
}

namespace {

void dropOutput(HostSocket &s) {
    s.output.reset();
    s.outBegin = 0;
    s.outEnd = 0;
}

void takeOutput(HostSocket &s, size_t n) {
    s.outBegin += n;
    if (s.outBegin == s.outEnd) dropOutput(s);
}

// The caller has checked that it fits.
void queueOutput(HostSocket &s, const uint8_t *data, size_t n) {
    if (n == 0) return;
    if (!s.output) s.output.reset(new uint8_t[HostSocket::kOutputLimit]);
    if (s.outEnd + n > HostSocket::kOutputLimit) {
        std::memmove(s.output.get(), s.output.get() + s.outBegin, s.pending());
        s.outEnd -= s.outBegin;
        s.outBegin = 0;
    }
    std::memcpy(s.output.get() + s.outEnd, data, n);
    s.outEnd += n;
}

void failOutput(HostSocket &s) {
    s.sendFailed = true;
    dropOutput(s);
}

// What is queued, then data, in one system call. What the kernel does not
// take now stays queued when it fits, for the wait slot to send once the
// socket is writable; otherwise this waits for room, as a blocking send would.
int32_t sendNow(HostSocket &s, const uint8_t *data, size_t n) {
    size_t done = 0;
    for (;;) {
        iovec iov[2] = {{s.output.get() + s.outBegin, s.pending()},
                        {const_cast<uint8_t *>(data + done), n - done}};
        msghdr msg{};
        msg.msg_iov = s.pending() > 0 ? iov : iov + 1;
        msg.msg_iovlen = s.pending() > 0 ? 2 : 1;
        const ssize_t r = sendmsg(s.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failOutput(s);
            return -1;
        }
        if (r > 0) {
            countSent(s, static_cast<size_t>(r));
            const size_t fromQueue = std::min(static_cast<size_t>(r), s.pending());
            takeOutput(s, fromQueue);
            done += static_cast<size_t>(r) - fromQueue;
            if (done == n) return static_cast<int32_t>(n);
        }
        if (s.pending() + (n - done) <= HostSocket::kOutputLimit) {
            queueOutput(s, data + done, n - done);
            return static_cast<int32_t>(n);
        }
        if (!waitFor(s.fd, POLLOUT, kStallTimeoutMs)) {
            return done > 0 ? static_cast<int32_t>(done) : -1;
        }
    }
}

} // namespace

bool overCap(Connection *conn) {
    const uint64_t cap = configFor(conn).maxHeldBytes;
    HostSocket *sides[2] = {&conn->clientSide, &conn->serverSide};
    auto *over = std::find_if(std::begin(sides), std::end(sides),
                              [cap](const HostSocket *s) { return s->held > cap; });
    if (over != std::end(sides)) {
        const HostSocket *s = *over;
        if (!conn->capLogged) {
            conn->capLogged = true;
            hostContext().counters->heldCapEnded++;
            spdlog::warn("[#{} {} {}] ending relay: {} bytes received from the {} without anything "
                         "sent to the {} (limit {})",
                         conn->id, protocolName(conn->protocol), conn->client, s->held,
                         s->isClient ? "client" : "server", s->isClient ? "server" : "client", cap);
        }
        return true;
    }
    return false;
}

// At debug level an MSN relay keeps every byte it relays until it ends (see
// installHostCallbacks); below it a restart costs next to nothing, so the
// rule stays the same at every level. Failing its wait
// once ends it between two reads, when everything read has been framed and
// sent; the framing state stays in the instance and the relay is started
// again on it.
bool msnRelayDue(Connection *conn) {
    if (conn == nullptr || conn->protocol != QMX_PROTO_MSN) return false;
    const uint64_t limit = configFor(conn).msnRelayBytes;
    if (limit == 0 || conn->relayedSinceStart < limit || conn->restartRequested) {
        return false;
    }
    conn->restartRequested = true;
    return true;
}

namespace {

// ---- slot 4 ----
int32_t hostWait(QMX_Socket readA, QMX_Socket readB, QMX_Socket exceptA, QMX_Socket exceptB,
                 int32_t seconds, int32_t microseconds) {
    HostSocket *reads[2] = {asSocket(readA), asSocket(readB)};
    HostSocket *excepts[2] = {asSocket(exceptA), asSocket(exceptB)};
    HostSocket *any = nullptr;
    for (HostSocket *s : {reads[0], reads[1], excepts[0], excepts[1]}) {
        if (s != nullptr) any = s;
    }
    // Both sides ended: nothing can ever become ready again.
    if (any == nullptr) return -1;
    if (stopSignalRaised()) return -1;
    if (any->conn != nullptr && overCap(any->conn)) return -1;
    if (msnRelayDue(any->conn)) return -1;

    int32_t bits = 0;
    for (int i = 0; i < 2; ++i) {
        if (reads[i] != nullptr && (reads[i]->buffered() > 0 || reads[i]->ended)) bits |= 1 << i;
    }
    // Frames already read ahead need no system call to be found. The other
    // side, out-of-band bytes and queued sends are looked at again once
    // per refill, so a busy direction holds the rest up by one buffer at most.
    Connection *conn = any->conn;
    if (bits != 0 && conn != nullptr && !conn->refilledSincePoll) return bits;
    if (conn != nullptr) conn->refilledSincePoll = false;
    // Queued sends go out before the relay would block: a message never
    // waits for input that has not arrived yet.
    HostSocket *outs[2] = {nullptr, nullptr};
    if (conn != nullptr) {
        outs[0] = &conn->clientSide;
        outs[1] = &conn->serverSide;
    }
    if (bits == 0) {
        for (HostSocket *o : outs) {
            if (o != nullptr) hostFlush(*o, false);
        }
    }

    int timeoutMs = 0;
    if (bits == 0) {
        const int64_t ms = int64_t(seconds) * 1000 + microseconds / 1000;
        timeoutMs = ms < 0 ? 0 : (ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd pfds[7];
        int count = 0;
        auto slotFor = [&](int fd) -> pollfd & {
            for (int k = 0; k < count; ++k) {
                if (pfds[k].fd == fd) return pfds[k];
            }
            pfds[count] = {fd, 0, 0};
            return pfds[count++];
        };
        for (int i = 0; i < 2; ++i) {
            if (reads[i] != nullptr && (bits & (1 << i)) == 0) {
                slotFor(reads[i]->fd).events |= POLLIN;
            }
            if (excepts[i] != nullptr) slotFor(excepts[i]->fd).events |= POLLPRI;
        }
        bool watched[2] = {false, false};
        for (int i = 0; i < 2; ++i) {
            // Not while input is at hand: that would break up the batch.
            watched[i] = bits == 0 && outs[i] != nullptr && outs[i]->pending() > 0;
            if (watched[i]) slotFor(outs[i]->fd).events |= POLLOUT;
        }
        pfds[count++] = {stopSignalFd(), POLLIN, 0};

        const int n = poll(pfds, static_cast<nfds_t>(count), timeoutMs);
        if (n < 0) return errno == EINTR ? bits : -1;
        if (pfds[count - 1].revents != 0) return -1;
        for (int i = 0; i < 2; ++i) {
            if (watched[i] && (slotFor(outs[i]->fd).revents & (POLLOUT | POLLHUP | POLLERR))) {
                hostFlush(*outs[i], false);
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (reads[i] != nullptr && (bits & (1 << i)) == 0) {
                if (slotFor(reads[i]->fd).revents & (POLLIN | POLLHUP | POLLERR)) bits |= 1 << i;
            }
            if (excepts[i] != nullptr && (slotFor(excepts[i]->fd).revents & POLLPRI)) {
                bits |= 4 << i;
            }
        }
        if (bits != 0 || n == 0) return bits;
        // Only room to send came: wait on for the rest of the time.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        timeoutMs = static_cast<int>(left.count());
    }
}

// ---- slot 5 ----
int32_t hostSend(QMX_Socket socket, const uint8_t *bytes, intptr_t count, uint32_t flags) {
    HostSocket *s = asSocket(socket);
    if (s == nullptr || bytes == nullptr || count <= 0) return -1;
    const auto n = static_cast<size_t>(count > INT32_MAX ? INT32_MAX : count);
    if (flags & 1) {
        hostFlush(*s, true);
        const ssize_t r = send(s->fd, bytes, n, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT);
        return r > 0 ? static_cast<int32_t>(r) : -1;
    }
    if (s->sendFailed) return -1;
    auto r = static_cast<int32_t>(n);
    // More input from the other side is already here, and the frames cut
    // from it will follow this one: they go out together.
    if (s->peer != nullptr && s->peer->buffered() > 0 &&
        s->pending() + n <= HostSocket::kOutputLimit) {
        queueOutput(*s, bytes, n);
    } else {
        r = sendNow(*s, bytes, n);
    }
    if (r > 0 && s->peer != nullptr) s->peer->held = 0;
    return r;
}

// ---- slot 6 ----
int32_t hostRecv(QMX_Socket socket, uint8_t *buffer, intptr_t size, uint32_t flags) {
    HostSocket *s = asSocket(socket);
    if (s == nullptr || buffer == nullptr || size <= 0) return -1;
    const auto n = static_cast<size_t>(size > INT32_MAX ? INT32_MAX : size);
    if (flags & 1) {
        const ssize_t r = recv(s->fd, buffer, n, MSG_OOB | MSG_DONTWAIT);
        return r > 0 ? static_cast<int32_t>(r) : -1;
    }
    if (s->conn != nullptr && overCap(s->conn)) return -1;
    const intptr_t r = hostRead(*s, buffer, n, kStallTimeoutMs);
    if (r > 0) {
        s->held += static_cast<uint64_t>(r);
        if (s->conn != nullptr) s->conn->relayedSinceStart += static_cast<uint64_t>(r);
    }
    return static_cast<int32_t>(r);
}

// ---- slot 7 ----
int32_t hostHalfClose(QMX_Socket socket, int32_t) {
    HostSocket *s = asSocket(socket);
    if (s != nullptr && s->fd >= 0) {
        hostFlush(*s, true);
        shutdown(s->fd, SHUT_WR);
    }
    return 0;
}

// ---- slot 0 ----
void hostLog(uint32_t id, uint32_t level, const char *format, ...) {
    spdlog::level::level_enum to = spdlog::level::debug;
    switch (level) {
    case QMX_LOG_BLOCKED: to = spdlog::level::warn; break;
    case QMX_LOG_CONNECTION: to = spdlog::level::info; break;
    case QMX_LOG_ERROR: to = spdlog::level::err; break;
    default: to = spdlog::level::debug; break;
    }
    if (!spdlog::should_log(to) || format == nullptr) return;
    std::vector<char> text(256);
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    if (needed >= static_cast<int>(text.size())) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
    }
    va_end(again);
    if (needed < 0) text[0] = '\0';
    Connection *conn = connectionOf(id);
    if (conn != nullptr) {
        spdlog::log(to, "[#{} {} {}] {}", id, protocolName(conn->protocol), conn->client,
                    text.data());
    } else {
        spdlog::log(to, "[#{}] {}", id, text.data());
    }
}

} // namespace

// The fields every audit record of a relay carries.
AuditRecord auditRecord(const char *kind, uint32_t id, uint32_t protocol, Connection *conn) {
    AuditRecord r;
    r.record = kind;
    r.instance = id;
    r.protocol = protocol;
    r.proxy = configFor(conn).auditProxy;
    r.client = conn ? std::string_view(conn->client) : std::string_view();
    return r;
}

const char *directionOf(bool fromClient) {
    return fromClient ? "client_to_server" : "server_to_client";
}

namespace {

// ---- slot 1 ----
int32_t hostPolicy(uint32_t id, const char *local, uint32_t action, const char *remote) {
    HostContext &ctx = hostContext();
    Connection *conn = connectionOf(id);
    const uint32_t protocol = conn ? conn->protocol : 0;
    const Verdict v = decide(configFor(conn), protocol, action, local, remote);
    if (protocol < Counters::kProtocols && action < Counters::kActions) {
        ctx.counters->decisionsBy[protocol][action][v.allow ? 1 : 0]++;
    }
    const bool outgoing = action == QMX_ACTION_LOGIN || action == QMX_ACTION_IM_OUT ||
                          action == QMX_ACTION_FILE_SEND || action == QMX_ACTION_DATACAST_OUT;
    if (ctx.audit->enabled()) {
        AuditRecord r = auditRecord("decision", id, protocol, conn);
        r.direction = directionOf(outgoing);
        r.from = outgoing ? (local ? local : "") : (remote ? remote : "");
        r.to = outgoing ? remote : local;
        if (action == QMX_ACTION_LOGIN) r.to = nullptr;
        r.action = actionName(action);
        r.decision = v.allow ? "allow" : "deny";
        r.rule = v.rule;
        r.replaced = conn != nullptr && conn->eventReplaced &&
                     (action == QMX_ACTION_IM_OUT || action == QMX_ACTION_IM_IN);
        ctx.audit->write(r);
    }
    if (conn != nullptr) conn->eventReplaced = false;
    if (!v.allow) {
        spdlog::info("[#{} {} {}] policy denies {} {} -> {}", id, protocolName(protocol),
                     conn ? conn->client : std::string("?"), actionName(action), local ? local : "",
                     remote ? remote : "");
    }
    return v.allow ? 1 : 0;
}

// ---- slot 2 ----
int32_t hostEvent(uint32_t id, FilterEvent *event) {
    if (event == nullptr) return 1;
    HostContext &ctx = hostContext();
    Connection *conn = connectionOf(id);
    const uint32_t protocol = conn ? conn->protocol : 0;
    if (protocol < Counters::kProtocols && event->type < Counters::kEvents) {
        ctx.counters->eventsBy[protocol][event->type]++;
    }
    std::string_view wire;
    if (event->text != nullptr && event->textLength > 0) {
        wire = std::string_view(event->text, static_cast<size_t>(event->textLength));
    }
    const bool wide = event->wideText != 0;
    std::string replacement;
    bool replaced = false;
    const Config &config = configFor(conn);
    if (event->type == QMX_EVENT_TEXT && !config.replacements.empty()) {
        if (auto rewritten = rewriteText(config, protocol, wide, wire)) {
            if (rewritten->bytes.size() > kMaxReplacementBytes) {
                spdlog::warn("[#{}] replacement of {} bytes is too long; message left as sent", id,
                             rewritten->bytes.size());
            } else {
                replacement.swap(rewritten->bytes);
                replaced = true;
                QMX_setReplacementText(0, event, replacement.data(), replacement.size());
                if (protocol < Counters::kProtocols) ctx.counters->replacedBy[protocol]++;
                ctx.counters->maskFallbacks += rewritten->masked;
            }
        }
    }
    if (conn != nullptr) conn->eventReplaced = replaced;
    // A sign-on from the client that names nobody carried a cookie whose
    // login this proxy never relayed: behind a balancer, the user's login
    // went through another proxy.
    const bool unknownCookie = protocol == QMX_PROTO_OSCAR && event->type == QMX_EVENT_LOGIN &&
                               event->fromClient != 0 &&
                               (event->from == nullptr || event->from[0] == '\0');
    if (unknownCookie) {
        ctx.counters->unknownCookies++;
        spdlog::warn("[#{} oscar {}] sign-on with a cookie from a login this proxy did not see; "
                     "the user stays unnamed",
                     id, conn ? conn->client : std::string("?"));
    }
    if (ctx.audit->enabled()) {
        AuditRecord r = auditRecord("event", id, protocol, conn);
        if (unknownCookie) r.cookie = "unknown";
        r.event = eventName(event->type);
        r.direction = directionOf(event->fromClient != 0);
        r.from = event->from ? event->from : "";
        r.to = event->to;
        r.replaced = replaced;
        // The audit log is UTF-8 whatever the wire carried.
        std::string text;
        std::string replacementText;
        if (config.auditText && event->type != QMX_EVENT_LOGIN) {
            const qmxhost::TextEncoding encoding = qmxhost::detectEncoding(protocol, wide, wire);
            text = qmxhost::toUtf8(wire, encoding);
            r.text = &text;
            if (replaced) {
                replacementText = qmxhost::toUtf8(replacement, encoding);
                r.replacement = &replacementText;
            }
        }
        ctx.audit->write(r);
    }
    return 1;
}

// ---- slot 3 ----
int32_t hostRawData(uint32_t id, uintptr_t from, uintptr_t, const uint8_t *, intptr_t count) {
    HostContext &ctx = hostContext();
    Connection *conn = connectionOf(id);
    const uint32_t protocol = conn ? conn->protocol : 0;
    const std::string client = conn ? conn->client : std::string("?");
    if (!configFor(conn).strict) {
        spdlog::debug("[#{} {} {}] {} bytes do not look like the protocol; passed on unfiltered",
                      id, protocolName(protocol), client, static_cast<long long>(count));
        return 0;
    }
    // MSN hands over its relay side, whose first member is the socket.
    QMX_Socket fromSocket = from;
    if (protocol == QMX_PROTO_MSN && from != 0) {
        const auto *side =
            reinterpret_cast<const void *>(from); // NOLINT(performance-no-int-to-ptr)
        std::memcpy(&fromSocket, side, sizeof fromSocket);
    }
    const bool fromClient =
        conn != nullptr && fromSocket == reinterpret_cast<QMX_Socket>(&conn->clientSide);
    ctx.counters->unparsedDropped++;
    ctx.counters->unparsedDroppedBytes += static_cast<uint64_t>(count > 0 ? count : 0);
    spdlog::warn("[#{} {} {}] {} bytes do not look like the protocol; dropped (strict)", id,
                 protocolName(protocol), client, static_cast<long long>(count));
    if (ctx.audit->enabled()) {
        AuditRecord r = auditRecord("unparsed", id, protocol, conn);
        r.direction = directionOf(fromClient);
        r.bytes = count;
        ctx.audit->write(r);
    }
    return QMX_RAW_DO_NOT_FORWARD;
}

// ---- slot 8 ----
uintptr_t hostInstanceNew(uint32_t id, QMX_Socket, QMX_Socket, uintptr_t userArg) {
    auto *conn = reinterpret_cast<Connection *>(userArg); // NOLINT(performance-no-int-to-ptr)
    if (conn != nullptr) conn->id = id;
    return userArg;
}

// ---- slot 9 ----
void hostInstanceDelete(uint32_t id) {
    hostContext().counters->instancesDeleted++;
    Connection *conn = connectionOf(id);
    if (conn != nullptr) {
        spdlog::debug("[#{} {} {}] instance deleted", id, protocolName(conn->protocol),
                      conn->client);
    }
}

} // namespace

HostContext &hostContext() { return theHostContext; }

std::shared_ptr<const Config> currentConfig() { return std::atomic_load(&theHostContext.config); }

void setCurrentConfig(std::shared_ptr<const Config> config) {
    std::atomic_store(&theHostContext.config, std::move(config));
    configGeneration.fetch_add(1, std::memory_order_release);
}

Connection::Connection() {
    clientSide.isClient = true;
    clientSide.conn = this;
    clientSide.peer = &serverSide;
    serverSide.conn = this;
    serverSide.peer = &clientSide;
}

intptr_t hostRead(HostSocket &s, uint8_t *out, size_t size, int timeoutMs) {
    if (s.buffered() == 0) {
        if (s.ended) return 0;
        if (!s.buffer) s.buffer.reset(new uint8_t[HostSocket::kReadAhead]);
        for (;;) {
            const ssize_t r = recv(s.fd, s.buffer.get(), HostSocket::kReadAhead, MSG_DONTWAIT);
            if (r > 0) {
                s.begin = 0;
                s.end = static_cast<size_t>(r);
                if (s.conn != nullptr) s.conn->refilledSincePoll = true;
                break;
            }
            if (r == 0) {
                endSide(s);
                return 0;
            }
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Mid-frame: what was queued must not wait for the rest.
                if (s.conn != nullptr) {
                    hostFlush(s.conn->clientSide, true);
                    hostFlush(s.conn->serverSide, true);
                }
                if (waitFor(s.fd, POLLIN, timeoutMs)) continue;
                if (stopSignalRaised()) return -1;
            }
            endSide(s);
            return -1;
        }
    }
    const size_t n = size < s.buffered() ? size : s.buffered();
    std::memcpy(out, s.buffer.get() + s.begin, n);
    s.begin += n;
    return static_cast<intptr_t>(n);
}

bool hostWriteAll(HostSocket &s, const uint8_t *data, size_t size, int timeoutMs) {
    while (size > 0) {
        const ssize_t r = send(s.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            data += r;
            size -= static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitFor(s.fd, POLLOUT, timeoutMs)) {
            continue;
        }
        return false;
    }
    return true;
}

bool hostFlush(HostSocket &s, bool wait) {
    while (s.pending() > 0) {
        const ssize_t r =
            send(s.fd, s.output.get() + s.outBegin, s.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            countSent(s, static_cast<size_t>(r));
            takeOutput(s, static_cast<size_t>(r));
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait) return true;
            if (waitFor(s.fd, POLLOUT, kStallTimeoutMs)) continue;
            return false;
        }
        failOutput(s);
        return false;
    }
    return !s.sendFailed;
}

bool installHostCallbacks() {
    struct Entry {
        uint32_t slot;
        QMX_Callback f;
    };
    const Entry entries[] = {
        {QMX_CB_LOG, reinterpret_cast<QMX_Callback>(&hostLog)},
        {QMX_CB_POLICY, reinterpret_cast<QMX_Callback>(&hostPolicy)},
        {QMX_CB_EVENT, reinterpret_cast<QMX_Callback>(&hostEvent)},
        {QMX_CB_RAW_DATA, reinterpret_cast<QMX_Callback>(&hostRawData)},
        {QMX_CB_WAIT, reinterpret_cast<QMX_Callback>(&hostWait)},
        {QMX_CB_SEND, reinterpret_cast<QMX_Callback>(&hostSend)},
        {QMX_CB_RECV, reinterpret_cast<QMX_Callback>(&hostRecv)},
        {QMX_CB_HALF_CLOSE, reinterpret_cast<QMX_Callback>(&hostHalfClose)},
        {QMX_CB_INSTANCE_NEW, reinterpret_cast<QMX_Callback>(&hostInstanceNew)},
        {QMX_CB_INSTANCE_DELETE, reinterpret_cast<QMX_Callback>(&hostInstanceDelete)},
    };
    if (!std::all_of(std::begin(entries), std::end(entries),
                     [](const Entry &e) { return QMX_setCallback(e.slot, e.f) == 0; })) {
        return false;
    }
    // MSN logs only at debug level, and an MSN relay with a log slot keeps
    // every byte it relays so that it can log the differences at its end.
    // Below debug that memory would buy nothing.
    return spdlog::should_log(spdlog::level::debug) ||
           QMX_setProtoCallback(QMX_PROTO_MSN, QMX_CB_LOG, nullptr) == 0;
}

} // namespace qmxproxy
