#include "proxy.h"

#include "net.h"
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

#include <cerrno>
#include <cstring>

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
    std::string peer;
};

Proxy::Proxy(Config config) : config_(std::move(config)) {}

Proxy::~Proxy() {
    for (Listener &l : listeners_) {
        if (l.fd >= 0) ::close(l.fd);
    }
    if (libraryUp_) QMX_shutdown();
}

bool Proxy::start(std::string *error) {
    stopSignalInit();
    if (stopSignalFd() < 0) {
        *error = "cannot create the stop pipe";
        return false;
    }
    if (!config_.auditPath.empty() && !audit_.open(config_.auditPath, error)) return false;
    for (size_t i = 0; i < config_.socks5.size(); ++i) {
        Listener l;
        l.socks = true;
        l.index = i;
        l.fd = listenOn(config_.socks5[i].listen, &l.port, error);
        if (l.fd < 0) {
            *error = "socks5 listener " + *error;
            return false;
        }
        l.name = "socks5 " + Endpoint{config_.socks5[i].listen.host, l.port}.text();
        listeners_.push_back(l);
    }
    for (size_t i = 0; i < config_.forwards.size(); ++i) {
        Listener l;
        l.index = i;
        l.fd = listenOn(config_.forwards[i].listen, &l.port, error);
        if (l.fd < 0) {
            *error = "forward listener " + *error;
            return false;
        }
        l.name = "forward " + Endpoint{config_.forwards[i].listen.host, l.port}.text();
        listeners_.push_back(l);
    }
    if (listeners_.empty()) {
        *error = config_.source + ": no [[socks5]] or [[forward]] listener is configured";
        return false;
    }
    if (QMX_init() != 0) {
        *error = "the qmx library failed to start";
        return false;
    }
    libraryUp_ = true;
    HostContext &ctx = hostContext();
    ctx.config = &config_;
    ctx.audit = &audit_;
    ctx.counters = &counters_;
    if (!installHostCallbacks()) {
        *error = "cannot register the host callbacks";
        return false;
    }
    for (const Listener &l : listeners_) spdlog::info("listening: {}", l.name);
    return true;
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
    for (const Listener &l : listeners_) pfds.push_back({l.fd, POLLIN, 0});
    pfds.push_back({stopSignalFd(), POLLIN, 0});
    // Out of descriptors, a pending client would wake poll() forever: the
    // spare descriptor makes room to accept and close it.
    int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    spdlog::info("ready: {} listener(s)", listeners_.size());
    while (!stopSignalRaised()) {
        const int n = poll(pfds.data(), pfds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            spdlog::error("poll on the listeners failed: {}", std::strerror(errno));
            break;
        }
        if (pfds.back().revents != 0) break;
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
                spawn(listeners_[i], fd, addressText(reinterpret_cast<sockaddr *>(&ss)));
            }
        }
    }
    spdlog::info("stopping: no new clients; ending {} running relay(s)", [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return active_;
    }());
    if (spare >= 0) ::close(spare);
    for (Listener &l : listeners_) {
        ::close(l.fd);
        l.fd = -1;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [&] { return active_ == 0; });
    }
    if (libraryUp_) {
        QMX_shutdown();
        libraryUp_ = false;
    }
    audit_.close();
}

void Proxy::spawn(const Listener &listener, int fd, const std::string &peer) {
    counters_.accepted++;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (active_ >= config_.maxConnections) {
            counters_.refusedAtLimit++;
            spdlog::warn("{}: connection limit ({}) reached; closing {}", listener.name,
                         config_.maxConnections, peer);
            ::close(fd);
            return;
        }
        ++active_;
    }
    auto *job = new Accepted{this, listener, fd, peer};
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
        spdlog::error("{}: cannot start a thread for {}: {}", listener.name, peer,
                      std::strerror(rc));
        ::close(fd);
        delete job;
        finished();
    }
}

void *Proxy::threadMain(void *arg) {
    std::unique_ptr<Accepted> job(static_cast<Accepted *>(arg));
    job->proxy->serve(job->listener, job->fd, job->peer);
    job->proxy->finished();
    return nullptr;
}

void Proxy::finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    --active_;
    if (active_ == 0) idle_.notify_all();
}

void Proxy::serve(const Listener &listener, int fd, const std::string &peer) {
    Connection conn;
    conn.clientSide.fd = fd;
    conn.client = peer;
    conn.via = listener.name;
    setNoDelay(fd);
    const int handshakeMs = static_cast<int>(config_.handshakeTimeoutSeconds) * 1000;

    PortUse use = PortUse::Refuse;
    std::string host;
    uint16_t port = 0;
    if (listener.socks) {
        const Socks5Listener &socks = config_.socks5[listener.index];
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
        const Forward &f = config_.forwards[listener.index];
        use = useOf(f.protocol);
        host = f.upstream.host;
        port = f.upstream.port;
        conn.upstream = f.upstream.text();
    }

    std::string error;
    int err = 0;
    const int up =
        connectTo(host, port, static_cast<int>(config_.connectTimeoutSeconds), &error, &err);
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
    counters_.relays++;
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
                      conn.client, config_.msnRelayBytes);
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
        }
        if (failed) break;
    }
}

std::string Proxy::summary() const {
    const Counters &c = counters_;
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
                       "  relays ended by limit   {}\n"
                       "  msn relay restarts      {}\n"
                       "  bytes to servers        {}\n"
                       "  bytes to clients        {}\n",
                       c.accepted.load(), c.refusedAtLimit.load(), c.handshakeFailures.load(),
                       c.upstreamFailures.load(), c.relays.load(), c.rawRelays.load(),
                       c.instancesDeleted.load(), c.events.load(), c.allowed.load(),
                       c.denied.load(), c.replaced.load(), c.heldCapEnded.load(),
                       c.msnRelayRestarts.load(), c.bytesToServer.load(), c.bytesToClient.load());
}

} // namespace qmxproxy
