#include "proxy.h"

#include "audit_pg.h"
#include "net.h"
#include "proxy_header.h"
#include "resolver.h"
#include "service_notify.h"
#include "socks5.h"

#include <qmx/qmx.h>

#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace qmxproxy {

namespace {

// The relay loops keep a few kilobytes on the stack; the default 8 MiB per
// thread would cap the connection count long before memory runs out.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kThreadStack = 2u << 20; // sanitizers need room for their redzones
#else
constexpr size_t kThreadStack = 256U << 10;
#endif
constexpr int kStallTimeoutMs = 300 * 1000;

uint32_t protocolOf(PortUse use) {
    switch (use) {
    case PortUse::Msn: return QMX_PROTO_MSN;
    case PortUse::Ymsg: return QMX_PROTO_YMSG;
    default: return QMX_PROTO_OSCAR;
    }
}

PortUse useOf(uint32_t protocol) {
    switch (protocol) {
    case QMX_PROTO_MSN: return PortUse::Msn;
    case QMX_PROTO_YMSG: return PortUse::Ymsg;
    default: return PortUse::Oscar;
    }
}

} // namespace

struct Proxy::Accepted {
    Proxy *proxy;
    Listener listener;
    int fd;
    sockaddr_storage address;
};

namespace {

// Takes exactly the header from the client side, within timeoutMs in all.
bool readProxyHeader(HostSocket &s, int timeoutMs, ProxyHeader *out, std::string *why) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t header[kProxyHeaderMax];
    size_t have = 0;
    for (;;) {
        size_t used = 0;
        size_t need = 0;
        const char *reason = "";
        const ProxyParse r = parseProxyHeader(header, have, out, &used, &need, &reason);
        if (r == ProxyParse::Done) return true;
        if (r == ProxyParse::Invalid) {
            *why = reason;
            return false;
        }
        // Only what the header still lacks is taken: the bytes after it stay
        // in the read-ahead for the SOCKS5 handshake or the relay.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const intptr_t got = left.count() <= 0
                                 ? -1
                                 : hostRead(s, header + have, need, static_cast<int>(left.count()));
        if (got <= 0) {
            *why = got == 0 ? "closed before its PROXY header" : "no PROXY header in time";
            return false;
        }
        have += static_cast<size_t>(got);
    }
}

bool isLoopback(const std::string &host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Anyone who reaches such a listener can use the proxy to reach any port.
void warnOfOpenProxies(const Config &config) {
    for (const Socks5Listener &s : config.socks5) {
        if (!isLoopback(s.listen.host) && s.username.empty() && s.otherPorts == PortUse::Raw) {
            spdlog::warn("socks5 {} relays unmapped ports raw without authentication: it is an "
                         "open proxy to anyone who can reach it; set username and password, or "
                         "other_ports = \"refuse\"",
                         s.listen.text());
        }
    }
}

} // namespace

Proxy::Proxy(Config config, std::string configPath)
    : config_(std::make_shared<const Config>(std::move(config))),
      configPath_(std::move(configPath)) {}

Proxy::~Proxy() {
    for (Listener &l : listeners_) {
        if (l.fd >= 0) ::close(l.fd);
    }
    if (libraryUp_) QMX_shutdown();
}

bool Proxy::start(std::string *error) {
    stopSignalInit();
    drainSignalInit();
    hangupSignalInit();
    if (stopSignalFd() < 0 || drainSignalFd() < 0 || hangupSignalFd() < 0) {
        *error = "cannot create the signal pipes";
        return false;
    }
    const Config &config = *config_;
    if (!config.auditPath.empty() && !audit_.open(config.auditPath, config.auditGroup, error)) {
        return false;
    }
    if (config.auditDatabase &&
        !audit_.startDatabase(*config.auditDatabase, config.auditOverflow, error)) {
        return false;
    }
    if (!bindListeners(config, &listeners_, error)) return false;
    if (listeners_.empty()) {
        *error = config.source + ": no [[socks5]] or [[forward]] listener is configured";
        return false;
    }
    if (!resolverInit(error)) return false;
    if (QMX_init() != 0) {
        *error = "the qmx library failed to start";
        return false;
    }
    libraryUp_ = true;
    HostContext &ctx = hostContext();
    setCurrentConfig(config_);
    ctx.audit = &audit_;
    ctx.counters = &counters_;
    if (!installHostCallbacks()) {
        *error = "cannot register the host callbacks";
        return false;
    }
    for (const Listener &l : listeners_) spdlog::info("listening: {}", l.name);
    warnOfOpenProxies(config);
    if (config.metricsListen) {
        const auto snapshot = [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            MetricsSnapshot s;
            s.counters = &counters_;
            s.openConnections = active_;
            s.stopping = drainSignalRaised() || stopSignalRaised();
            s.auditDatabase = audit_.databaseStats();
            return s;
        };
        if (!metrics_.start(*config.metricsListen, snapshot, error)) return false;
        spdlog::info("listening: metrics {}",
                     Endpoint{config.metricsListen->host, metrics_.port()}.text());
    }
    return true;
}

bool Proxy::bindListeners(const Config &config, std::vector<Listener> *out, std::string *error) {
    std::vector<Listener> next;
    std::vector<int> opened;
    const auto add = [&](bool socks, size_t index, const Endpoint &listen) {
        Listener l;
        l.socks = socks;
        l.index = index;
        l.listen = (socks ? "socks5 " : "forward ") + listen.text();
        if (socks) l.socks5 = config.socks5[index];
        if (!socks) l.forward = config.forwards[index];
        const auto kept =
            std::find_if(listeners_.begin(), listeners_.end(),
                         [&](const Listener &o) { return o.fd >= 0 && o.listen == l.listen; });
        if (kept != listeners_.end()) {
            l.fd = kept->fd;
            l.port = kept->port;
        } else {
            l.fd = listenOn(listen, &l.port, error);
            if (l.fd < 0) {
                *error = (socks ? "socks5 listener " : "forward listener ") + *error;
                return false;
            }
            opened.push_back(l.fd);
        }
        l.name = (socks ? "socks5 " : "forward ") + Endpoint{listen.host, l.port}.text();
        next.push_back(std::move(l));
        return true;
    };
    bool ok = true;
    for (size_t i = 0; ok && i < config.socks5.size(); ++i)
        ok = add(true, i, config.socks5[i].listen);
    for (size_t i = 0; ok && i < config.forwards.size(); ++i) {
        ok = add(false, i, config.forwards[i].listen);
    }
    if (!ok) {
        for (int fd : opened) ::close(fd);
        return false;
    }
    *out = std::move(next);
    return true;
}

bool Proxy::reload() {
    hangupSignalDrain();
    notifyService("RELOADING=1");
    std::string error;
    bool ok = true;
    if (!configPath_.empty()) {
        auto fresh = loadConfigFile(configPath_, &error);
        std::vector<Listener> next;
        ok = fresh && bindListeners(*fresh, &next, &error);
        if (ok && next.empty()) {
            error = fresh->source + ": no [[socks5]] or [[forward]] listener is configured";
            ok = false;
        }
        // The same path is opened anew: that is the log rotation.
        ok = ok && audit_.switchTo(fresh->auditPath, fresh->auditGroup, &error);
        const auto holds = [](const std::vector<Listener> &list, int fd) {
            return std::any_of(list.begin(), list.end(),
                               [fd](const Listener &l) { return l.fd == fd; });
        };
        if (ok) {
            for (const Listener &old : listeners_) {
                if (holds(next, old.fd)) continue;
                ::close(old.fd);
                spdlog::info("reload: closed {}; its connections go on", old.name);
            }
            for (const Listener &l : next) {
                if (!holds(listeners_, l.fd)) spdlog::info("reload: listening: {}", l.name);
            }
            listeners_ = std::move(next);
            warnOfOpenProxies(*fresh);
            if (fresh->auditDatabase != config_->auditDatabase ||
                fresh->auditOverflow != config_->auditOverflow) {
                spdlog::warn("reload: [audit.postgresql] and audit.on_overflow take effect at "
                             "the next start");
            }
            setCurrentConfig(std::make_shared<const Config>(std::move(*fresh)));
        } else {
            // What this attempt bound and did not keep.
            for (const Listener &l : next) {
                if (!holds(listeners_, l.fd)) ::close(l.fd);
            }
        }
    } else if (!audit_.reopen(&error)) {
        ok = false;
    }
    if (ok) {
        counters_.reloads++;
        counters_.lastReloadUnixSeconds = static_cast<uint64_t>(std::time(nullptr));
        if (configPath_.empty()) {
            spdlog::info("reload: audit log reopened");
        } else {
            spdlog::info("reload: {} in force", configPath_);
        }
    } else {
        counters_.reloadFailures++;
        spdlog::error("reload failed, the running configuration stays: {}", error);
    }
    notifyService("READY=1");
    return ok;
}

uint16_t Proxy::socksPort(size_t index) const {
    for (const Listener &l : listeners_) {
        if (l.socks && l.index == index) return l.port;
    }
    return 0;
}

uint16_t Proxy::forwardPort(size_t index) const {
    for (const Listener &l : listeners_) {
        if (!l.socks && l.index == index) return l.port;
    }
    return 0;
}

void Proxy::run() {
    std::vector<pollfd> pfds;
    // Out of descriptors, a pending client would wake poll() forever: the
    // spare descriptor makes room to accept and close it.
    int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    spdlog::info("ready: {} listener(s)", listeners_.size());
    notifyService("READY=1");
    while (!stopSignalRaised()) {
        // Rebuilt each turn: a reload may have changed the listeners.
        pfds.clear();
        for (const Listener &l : listeners_) pfds.push_back({l.fd, POLLIN, 0});
        pfds.push_back({hangupSignalFd(), POLLIN, 0});
        pfds.push_back({drainSignalFd(), POLLIN, 0});
        pfds.push_back({stopSignalFd(), POLLIN, 0});
        const int n = poll(pfds.data(), pfds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            spdlog::error("poll on the listeners failed: {}", std::strerror(errno));
            break;
        }
        if (pfds.back().revents != 0 || pfds[pfds.size() - 2].revents != 0) break;
        if (pfds[pfds.size() - 3].revents != 0) {
            reload();
            continue;
        }
        for (size_t i = 0; i < listeners_.size(); ++i) {
            if (pfds[i].revents == 0) continue;
            for (;;) {
                sockaddr_storage ss{};
                socklen_t len = sizeof ss;
                const int fd = accept4(listeners_[i].fd, reinterpret_cast<sockaddr *>(&ss), &len,
                                       SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0 && (errno == EMFILE || errno == ENFILE) && spare >= 0) {
                    ::close(spare);
                    const int victim = accept4(listeners_[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (victim >= 0) ::close(victim);
                    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                    spdlog::error("{}: out of file descriptors; a client was closed at accept",
                                  listeners_[i].name);
                    continue;
                }
                if (fd < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                        errno != ECONNABORTED) {
                        spdlog::error("{}: accept failed: {}", listeners_[i].name,
                                      std::strerror(errno));
                    }
                    break;
                }
                spawn(listeners_[i], fd, ss);
            }
        }
    }
    notifyService("STOPPING=1");
    // Closed listeners make a balancer's connects fail at once, and
    // /healthz already answers 503, so new clients go to the other proxies.
    if (spare >= 0) ::close(spare);
    for (Listener &l : listeners_) {
        ::close(l.fd);
        l.fd = -1;
    }
    drain();
    if (libraryUp_) {
        QMX_shutdown();
        libraryUp_ = false;
    }
    metrics_.stop();
    audit_.close();
}

void Proxy::drain() {
    const uint32_t seconds = stopSignalRaised() ? 0 : currentConfig()->drainTimeoutSeconds;
    std::unique_lock<std::mutex> lock(mutex_);
    spdlog::info("stopping: no new clients; {} running relay(s) may go on for up to {} s", active_,
                 seconds);
    const auto done = [&] { return active_ == 0 || stopSignalRaised(); };
    if (!idle_.wait_for(lock, std::chrono::seconds(seconds), done) || stopSignalRaised()) {
        if (active_ > 0) spdlog::info("stopping: ending {} running relay(s)", active_);
        lock.unlock();
        stopSignalRaise();
        lock.lock();
    }
    idle_.wait(lock, [&] { return active_ == 0; });
}

void Proxy::spawn(const Listener &listener, int fd, const sockaddr_storage &address) {
    counters_.accepted++;
    // The thread works out the client's text itself; here it is only for
    // the two refusals.
    const auto peer = [&] { return addressText(reinterpret_cast<const sockaddr *>(&address)); };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint32_t limit = currentConfig()->maxConnections;
        if (active_ >= limit) {
            counters_.refusedAtLimit++;
            spdlog::warn("{}: connection limit ({}) reached; closing {}", listener.name, limit,
                         peer());
            ::close(fd);
            return;
        }
        ++active_;
    }
    auto *job = new Accepted{this, listener, fd, address};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kThreadStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Signals belong to the main thread; workers learn of a stop through the
    // stop descriptor.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &Proxy::threadMain, job);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        spdlog::error("{}: cannot start a thread for {}: {}", listener.name, peer(),
                      std::strerror(rc));
        ::close(fd);
        delete job;
        finished();
    }
}

void *Proxy::threadMain(void *arg) {
    std::unique_ptr<Accepted> job(static_cast<Accepted *>(arg));
    job->proxy->serve(job->listener, job->fd, job->address);
    job->proxy->finished();
    return nullptr;
}

void Proxy::finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    --active_;
    if (active_ == 0) idle_.notify_all();
}

void Proxy::serve(const Listener &listener, int fd, const sockaddr_storage &address) {
    Connection conn;
    conn.clientSide.fd = fd;
    conn.client = addressText(reinterpret_cast<const sockaddr *>(&address));
    conn.via = listener.name;
    setNoDelay(fd);
    const auto config = currentConfig();
    const int handshakeMs = static_cast<int>(config->handshakeTimeoutSeconds) * 1000;
    const ProxyProtocol &behind =
        listener.socks ? listener.socks5.proxyProtocol : listener.forward.proxyProtocol;
    if (behind.on) {
        // From here on the client is the one the balancer names, in logs,
        // audit records and policy alike.
        ProxyHeader header;
        std::string why = "not a trusted proxy";
        if (!cidrContains(behind.trusted, reinterpret_cast<const sockaddr *>(&address)) ||
            !readProxyHeader(conn.clientSide, handshakeMs, &header, &why)) {
            counters_.proxyHeaderRejected++;
            spdlog::warn("{}: {}: {}; closing", listener.name, conn.client, why);
            ::close(fd);
            return;
        }
        if (header.hasAddress) conn.client = header.client;
    }
    const std::string &peer = conn.client;

    PortUse use = PortUse::Refuse;
    std::string host;
    uint16_t port = 0;
    if (listener.socks) {
        const Socks5Listener &socks = listener.socks5;
        Socks5Request request;
        std::string why;
        if (!socks5Accept(conn.clientSide, socks, handshakeMs, &request, &why)) {
            counters_.handshakeFailures++;
            spdlog::warn("{}: client {}: {}; closing", listener.name, peer, why);
            ::close(fd);
            return;
        }
        auto it = socks.ports.find(request.port);
        use = it != socks.ports.end() ? it->second : socks.otherPorts;
        host = request.host;
        port = request.port;
        conn.upstream = Endpoint{host, port}.text();
        if (use == PortUse::Refuse) {
            counters_.handshakeFailures++;
            spdlog::warn("{}: client {}: destination {} is not allowed (port {} is not mapped to a "
                         "protocol); refused",
                         listener.name, peer, conn.upstream, port);
            socks5Reply(conn.clientSide, kSocksNotAllowed, -1, handshakeMs);
            ::close(fd);
            return;
        }
    } else {
        const Forward &f = listener.forward;
        use = useOf(f.protocol);
        host = f.upstream.host;
        port = f.upstream.port;
        conn.upstream = f.upstream.text();
    }

    std::string error;
    int err = 0;
    const int up = connectTo(host, port, static_cast<int>(config->connectTimeoutSeconds), &error,
                             &err, config->dnsServers);
    if (up < 0) {
        counters_.upstreamFailures++;
        spdlog::warn("{}: client {}: cannot connect to upstream {}: {}; closing the client",
                     listener.name, peer, conn.upstream, error);
        if (listener.socks) socks5Reply(conn.clientSide, socks5ReplyForErrno(err), -1, handshakeMs);
        ::close(fd);
        return;
    }
    conn.serverSide.fd = up;
    if (!listener.socks || socks5Reply(conn.clientSide, kSocksSucceeded, up, handshakeMs)) {
        if (use == PortUse::Raw) {
            relayRaw(conn);
        } else {
            conn.protocol = protocolOf(use);
            relayWithLibrary(conn);
        }
        // What the relay sent last may still be queued.
        hostFlush(conn.clientSide, true);
        hostFlush(conn.serverSide, true);
    }
    ::close(up);
    ::close(fd);
}

void Proxy::relayWithLibrary(Connection &conn) {
    const uint32_t id = QMX_newInstance(
        conn.protocol, reinterpret_cast<QMX_Socket>(&conn.clientSide),
        reinterpret_cast<QMX_Socket>(&conn.serverSide), reinterpret_cast<uintptr_t>(&conn));
    if (id == 0) {
        spdlog::error("{}: client {}: the library refused a new {} instance; closing", conn.via,
                      conn.client, protocolName(conn.protocol));
        return;
    }
    counters_.relaysBy[conn.protocol]++;
    spdlog::info("[#{} {} {}] relaying to {} ({})", id, protocolName(conn.protocol), conn.client,
                 conn.upstream, conn.via);
    // An MSN relay that the wait slot ended to bound its memory is started
    // again on the same instance; sides that had ended read as ended again.
    for (;;) {
        QMX_processInstance(id);
        if (!conn.restartRequested || stopSignalRaised()) break;
        conn.restartRequested = false;
        conn.relayedSinceStart = 0;
        counters_.msnRelayRestarts++;
        spdlog::debug("[#{} {} {}] relay restarted after {} bytes", id, protocolName(conn.protocol),
                      conn.client, currentConfig()->msnRelayBytes);
    }
    QMX_deleteInstance(id);
    spdlog::info("[#{} {} {}] relay ended", id, protocolName(conn.protocol), conn.client);
}

// Ports mapped to "raw" carry no IM protocol the library knows: bytes go
// across unchanged, and each end of stream is passed on as a half-close.
void Proxy::relayRaw(Connection &conn) {
    counters_.rawRelays++;
    spdlog::info("[raw {}] relaying to {} unfiltered ({})", conn.client, conn.upstream, conn.via);
    HostSocket *sides[2] = {&conn.clientSide, &conn.serverSide};
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[HostSocket::kReadAhead]);
    while (!(sides[0]->ended && sides[1]->ended)) {
        pollfd pfds[3];
        nfds_t n = 0;
        int which[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            if (sides[i]->ended) continue;
            which[i] = static_cast<int>(n);
            pfds[n++] = {sides[i]->fd, static_cast<short>(sides[i]->buffered() ? 0 : POLLIN), 0};
        }
        pfds[n++] = {stopSignalFd(), POLLIN, 0};
        const bool buffered = sides[0]->buffered() || sides[1]->buffered();
        const int r = poll(pfds, n, buffered ? 0 : kStallTimeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || pfds[n - 1].revents != 0 || (r == 0 && !buffered)) break;
        bool failed = false;
        for (int i = 0; i < 2 && !failed; ++i) {
            if (which[i] < 0) continue;
            if (!sides[i]->buffered() && pfds[which[i]].revents == 0) continue;
            const intptr_t got = hostRead(*sides[i], chunk.get(), HostSocket::kReadAhead, 0);
            if (got < 0) failed = true;
            if (got > 0 && !hostWriteAll(*sides[i]->peer, chunk.get(), static_cast<size_t>(got),
                                         kStallTimeoutMs)) {
                failed = true;
            }
            if (got > 0) counters_.bytesBy[Counters::kRaw][i] += static_cast<uint64_t>(got);
        }
        if (failed) break;
    }
}

std::string Proxy::summary() const {
    const Counters &c = counters_;
    uint64_t relays = 0;
    uint64_t events = 0;
    uint64_t allowed = 0;
    uint64_t denied = 0;
    uint64_t replaced = 0;
    for (size_t p = 0; p < Counters::kProtocols; ++p) {
        relays += c.relaysBy[p];
        replaced += c.replacedBy[p];
        for (const auto &e : c.eventsBy[p]) events += e;
        for (const auto &a : c.decisionsBy[p]) {
            denied += a[0];
            allowed += a[1];
        }
    }
    return fmt::format("qmx-proxy summary:\n"
                       "  clients accepted        {}\n"
                       "  refused at the limit    {}\n"
                       "  handshake failures      {}\n"
                       "  upstream failures       {}\n"
                       "  filtered relays         {}\n"
                       "  raw relays              {}\n"
                       "  instances deleted       {}\n"
                       "  events                  {}\n"
                       "  decisions allowed       {}\n"
                       "  decisions denied        {}\n"
                       "  texts replaced          {}\n"
                       "  characters masked       {}\n"
                       "  reloads (failed)        {} ({})\n"
                       "  relays ended by limit   {}\n"
                       "  msn relay restarts      {}\n"
                       "  proxy headers rejected  {}\n"
                       "  unknown oscar cookies   {}\n"
                       "  bytes to servers        {}\n"
                       "  bytes to clients        {}\n",
                       c.accepted.load(), c.refusedAtLimit.load(), c.handshakeFailures.load(),
                       c.upstreamFailures.load(), relays, c.rawRelays.load(),
                       c.instancesDeleted.load(), events, allowed, denied, replaced,
                       c.maskFallbacks.load(), c.reloads.load(), c.reloadFailures.load(),
                       c.heldCapEnded.load(), c.msnRelayRestarts.load(),
                       c.proxyHeaderRejected.load(), c.unknownCookies.load(),
                       c.bytesToServer.load(), c.bytesToClient.load());
}

} // namespace qmxproxy
