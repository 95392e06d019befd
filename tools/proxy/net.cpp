#include "net.h"

#include "proxy_header.h"
#include "resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qmxproxy {

namespace {

int stopPipe[2] = {-1, -1};
std::atomic<bool> stopRaised{false};
int hangupPipe[2] = {-1, -1};
int drainPipe[2] = {-1, -1};
std::atomic<bool> drainRaised{false};

} // namespace

void stopSignalInit() {
    if (stopPipe[0] >= 0) return;
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        stopPipe[0] = stopPipe[1] = -1;
    }
}

int stopSignalFd() { return stopPipe[0]; }

void stopSignalRaise() {
    stopRaised.store(true);
    if (stopPipe[1] >= 0) {
        const char byte = 'x';
        ssize_t ignored = ::write(stopPipe[1], &byte, 1);
        (void)ignored;
    }
}

bool stopSignalRaised() { return stopRaised.load(); }

void drainSignalInit() {
    if (drainPipe[0] >= 0) return;
    if (pipe2(drainPipe, O_CLOEXEC | O_NONBLOCK) != 0) drainPipe[0] = drainPipe[1] = -1;
}

int drainSignalFd() { return drainPipe[0]; }

void drainSignalRaise() {
    if (drainRaised.exchange(true)) {
        stopSignalRaise();
        return;
    }
    if (drainPipe[1] >= 0) {
        const char byte = 'd';
        ssize_t ignored = ::write(drainPipe[1], &byte, 1);
        (void)ignored;
    }
}

bool drainSignalRaised() { return drainRaised.load(); }

void hangupSignalInit() {
    if (hangupPipe[0] >= 0) return;
    if (pipe2(hangupPipe, O_CLOEXEC | O_NONBLOCK) != 0) hangupPipe[0] = hangupPipe[1] = -1;
}

int hangupSignalFd() { return hangupPipe[0]; }

void hangupSignalRaise() {
    if (hangupPipe[1] >= 0) {
        const char byte = 'h';
        ssize_t ignored = ::write(hangupPipe[1], &byte, 1);
        (void)ignored;
    }
}

void hangupSignalDrain() {
    char bytes[64];
    while (hangupPipe[0] >= 0 && ::read(hangupPipe[0], bytes, sizeof bytes) > 0) {
    }
}

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::string addressText(const sockaddr *sa) {
    if (sa->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        return endpointText(AF_INET, &in->sin_addr, ntohs(in->sin_port));
    }
    if (sa->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        return endpointText(AF_INET6, &in6->sin6_addr, ntohs(in6->sin6_port));
    }
    return "?";
}

std::string peerText(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return "?";
    return addressText(reinterpret_cast<sockaddr *>(&ss));
}

int listenOn(const Endpoint &ep, uint16_t *boundPort, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    const std::string port = std::to_string(ep.port);
    const int rc = getaddrinfo(ep.host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        *error = ep.text() + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    std::string lastError = "no address";
    for (addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 512) == 0) break;
        lastError = std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        *error = ep.text() + ": " + lastError;
        return -1;
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    const auto *sa = reinterpret_cast<const sockaddr *>(&ss);
    *boundPort =
        ntohs(sa->sa_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port
                                        : reinterpret_cast<const sockaddr_in *>(sa)->sin_port);
    return fd;
}

int connectTo(const std::string &host, uint16_t port, int timeoutSeconds, std::string *error,
              int *errnoOut, const std::string &dnsServers) {
    *errnoOut = 0;
    // The lookup and the connection share one deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    const std::vector<ResolvedAddress> addresses = resolve(host, port, deadline, dnsServers, error);
    if (addresses.empty()) {
        *errnoOut = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    for (const ResolvedAddress &a : addresses) {
        const auto *sa = reinterpret_cast<const sockaddr *>(&a.address);
        fd = socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            *errnoOut = errno;
            continue;
        }
        int err = 0;
        if (connect(fd, sa, a.length) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                err = ETIMEDOUT;
                for (;;) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count();
                    if (left <= 0) break;
                    pollfd pfds[2] = {{fd, POLLOUT, 0}, {stopSignalFd(), POLLIN, 0}};
                    const int n = poll(pfds, 2, static_cast<int>(left));
                    if (n < 0 && errno == EINTR) continue;
                    if (pfds[1].revents != 0) {
                        err = ECANCELED;
                        break;
                    }
                    if (n > 0) {
                        socklen_t len = sizeof err;
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                        break;
                    }
                }
            }
        }
        if (err == 0) break;
        *errnoOut = err;
        ::close(fd);
        fd = -1;
        if (err == ECANCELED) break;
    }
    if (fd < 0) {
        *error = *errnoOut == ECANCELED ? std::string("proxy is stopping")
                                        : std::string(std::strerror(*errnoOut));
        return -1;
    }
    setNoDelay(fd);
    return fd;
}

bool parseCidr(const std::string &text, Cidr *out) {
    const size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    Cidr c;
    if (inet_pton(AF_INET, host.c_str(), c.bytes) == 1) {
        c.family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), c.bytes) == 1) {
        c.family = AF_INET6;
    } else {
        return false;
    }
    const unsigned max = c.family == AF_INET ? 32 : 128;
    c.bits = max;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        char *end = nullptr;
        const unsigned long value = std::strtoul(bits.c_str(), &end, 10);
        if (bits.empty() || bits.size() > 3 || *end != '\0' || !std::isdigit(bits[0]) ||
            value > max) {
            return false;
        }
        c.bits = static_cast<unsigned>(value);
    }
    *out = c;
    return true;
}

bool cidrContains(const std::vector<Cidr> &list, const sockaddr *peer) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    int family = peer->sa_family;
    const uint8_t *address = nullptr;
    if (family == AF_INET) {
        address = reinterpret_cast<const uint8_t *>(
            &reinterpret_cast<const sockaddr_in *>(peer)->sin_addr);
    } else if (family == AF_INET6) {
        address = reinterpret_cast<const uint8_t *>(
            &reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_addr);
        if (std::memcmp(address, kMapped, sizeof kMapped) == 0) {
            family = AF_INET;
            address += sizeof kMapped;
        }
    } else {
        return false;
    }
    return std::any_of(list.begin(), list.end(), [&](const Cidr &c) {
        if (c.family != family) return false;
        const unsigned whole = c.bits / 8;
        const unsigned rest = c.bits % 8;
        if (std::memcmp(c.bytes, address, whole) != 0) return false;
        if (rest == 0) return true;
        const auto mask = static_cast<uint8_t>(0xFF00 >> rest);
        return (c.bytes[whole] & mask) == (address[whole] & mask);
    });
}

} // namespace qmxproxy
