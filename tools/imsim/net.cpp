#include "imsim/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace imsim {

namespace {

[[noreturn]] void failErrno(const std::string &what) {
    throw Error(what + ": " + std::strerror(errno));
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

} // namespace

Socket::~Socket() { close(); }

Socket::Socket(Socket &&other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
    other.fd_ = -1;
}

Socket &Socket::operator=(Socket &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        pending_ = std::move(other.pending_);
        other.fd_ = -1;
    }
    return *this;
}

void Socket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Socket::shutdownWrite() const {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Socket::reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

void Socket::write(std::string_view bytes) const {
    while (!bytes.empty()) {
        const ssize_t r = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            failErrno("send");
        }
        bytes.remove_prefix(static_cast<size_t>(r));
    }
}

bool Socket::fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failErrno("poll");
        if (n == 0)
            throw Error("timed out after " + std::to_string(timeoutMs) + " ms waiting for data");
        break;
    }
    char buf[65536];
    for (;;) {
        const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == ECONNRESET) return false;
        if (r < 0) failErrno("recv");
        if (r == 0) return false;
        pending_.append(buf, static_cast<size_t>(r));
        return true;
    }
}

std::string Socket::readExact(size_t n, int timeoutMs) {
    while (pending_.size() < n) {
        if (!fill(timeoutMs)) {
            throw Error("end of stream after " + std::to_string(pending_.size()) + " of " +
                        std::to_string(n) + " bytes");
        }
    }
    std::string out = pending_.substr(0, n);
    pending_.erase(0, n);
    return out;
}

std::string Socket::readUntil(std::string_view delimiter, int timeoutMs) {
    for (;;) {
        const auto at = pending_.find(delimiter);
        if (at != std::string::npos) return readExact(at + delimiter.size(), timeoutMs);
        if (!fill(timeoutMs)) throw Error("end of stream before a delimiter");
    }
}

std::string Socket::readSome(int timeoutMs) {
    if (pending_.empty() && !fill(timeoutMs)) return {};
    std::string out;
    out.swap(pending_);
    return out;
}

bool Socket::waitForEnd(int timeoutMs, std::string *skipped) {
    try {
        for (;;) {
            if (!fill(timeoutMs)) break;
        }
    } catch (const Error &) {
        return false;
    }
    if (skipped != nullptr) *skipped = pending_;
    pending_.clear();
    return true;
}

Listener::Listener() {
    socket_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_.valid()) failErrno("socket");
    int one = 1;
    setsockopt(socket_.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = loopback(0);
    if (bind(socket_.fd(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) failErrno("bind");
    if (listen(socket_.fd(), 512) != 0) failErrno("listen");
    socklen_t len = sizeof sa;
    getsockname(socket_.fd(), reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
}

Socket Listener::accept(int timeoutMs) {
    pollfd p{socket_.fd(), POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw Error("no connection arrived within " + std::to_string(timeoutMs) + " ms");
        break;
    }
    const int fd = ::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) failErrno("accept");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Socket(fd);
}

Socket connectLoopback(uint16_t port, const std::string &source) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) failErrno("socket");
    if (!source.empty()) {
        sockaddr_in from = loopback(0);
        if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
            ::bind(s.fd(), reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            failErrno("bind to " + source);
        }
    }
    sockaddr_in sa = loopback(port);
    if (::connect(s.fd(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        failErrno("connect to 127.0.0.1:" + std::to_string(port));
    }
    int one = 1;
    setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

int socks5Connect(Socket &s, uint16_t proxyPort, const std::string &host, uint16_t port,
                  const std::string &user, const std::string &password) {
    if (!s.valid()) s = connectLoopback(proxyPort);
    const bool auth = !user.empty();
    s.write(std::string("\x05\x01", 2) + (auth ? "\x02" : std::string(1, '\0')));
    const std::string choice = s.readExact(2);
    if (choice[0] != 5 || static_cast<uint8_t>(choice[1]) == 0xFF) return 0xFF;
    if (auth) {
        s.write(u8(1) + u8(static_cast<uint8_t>(user.size())) + user +
                u8(static_cast<uint8_t>(password.size())) + password);
        const std::string status = s.readExact(2);
        if (status[1] != 0) return 0xFE;
    }
    std::string request = std::string("\x05\x01\x00", 3);
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        request += u8(1) + std::string(reinterpret_cast<char *>(&v4), 4);
    } else {
        request += u8(3) + u8(static_cast<uint8_t>(host.size())) + host;
    }
    request += u16(port);
    s.write(request);
    const std::string head = s.readExact(4);
    const size_t addr = head[3] == 4   ? 16
                        : head[3] == 3 ? static_cast<uint8_t>(s.readExact(1)[0])
                                       : 4;
    s.readExact(addr + 2);
    return static_cast<uint8_t>(head[1]);
}

Socket socks5Open(uint16_t proxyPort, const std::string &host, uint16_t port,
                  const std::string &user, const std::string &password) {
    Socket s;
    const int reply = socks5Connect(s, proxyPort, host, port, user, password);
    if (reply != 0) throw Error("SOCKS5 connect refused with reply " + std::to_string(reply));
    return s;
}

std::string u8(uint8_t v) { return {static_cast<char>(v)}; }

std::string u16(uint16_t v) {
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

std::string u32(uint32_t v) {
    return u16(static_cast<uint16_t>(v >> 16)) + u16(static_cast<uint16_t>(v));
}

uint16_t readU16(std::string_view b, size_t at) {
    if (at + 2 > b.size()) throw Error("short read of a 16-bit field");
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) << 8 |
                                 static_cast<uint8_t>(b[at + 1]));
}

uint32_t readU32(std::string_view b, size_t at) {
    return static_cast<uint32_t>(readU16(b, at)) << 16 | readU16(b, at + 2);
}

} // namespace imsim
