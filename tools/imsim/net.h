// Blocking loopback sockets for the simulated IM peers. Every read waits at
// most a timeout, which only guards against hangs; failures throw.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace imsim {

constexpr int kDefaultTimeoutMs = 20000;

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket();
    Socket(Socket &&other) noexcept;
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close();
    void shutdownWrite() const;
    // Closes with a TCP reset instead of an orderly end of stream.
    void reset();

    void write(std::string_view bytes) const;
    std::string readExact(size_t n, int timeoutMs = kDefaultTimeoutMs);
    // Up to and including the delimiter.
    std::string readUntil(std::string_view delimiter, int timeoutMs = kDefaultTimeoutMs);
    // Whatever arrives next (at least one byte); empty at end of stream.
    std::string readSome(int timeoutMs = kDefaultTimeoutMs);
    // True once the peer's end of stream arrives; bytes before it are
    // returned through skipped. False when the timeout passes first.
    bool waitForEnd(int timeoutMs = kDefaultTimeoutMs, std::string *skipped = nullptr);

private:
    bool fill(int timeoutMs); // false at end of stream; throws on timeout
    int fd_ = -1;
    std::string pending_;
};

class Listener {
public:
    // Listens on 127.0.0.1 at an ephemeral port.
    Listener();
    uint16_t port() const { return port_; }
    Socket accept(int timeoutMs = kDefaultTimeoutMs);

private:
    Socket socket_;
    uint16_t port_ = 0;
};

// source: a local address to connect from (127.0.0.x), as many distinct
// clients would; empty for the system's choice.
Socket connectLoopback(uint16_t port, const std::string &source = {});

// SOCKS5 CONNECT through a proxy on 127.0.0.1:proxyPort to host:port, with
// username/password authentication when user is not empty. Returns the
// reply code (0: connected) and leaves the socket connected on success.
// A socket already connected to the proxy is used as it is.
int socks5Connect(Socket &socket, uint16_t proxyPort, const std::string &host, uint16_t port,
                  const std::string &user = "", const std::string &password = "");
Socket socks5Open(uint16_t proxyPort, const std::string &host, uint16_t port,
                  const std::string &user = "", const std::string &password = "");

// Big-endian helpers shared by the protocol builders.
std::string u8(uint8_t v);
std::string u16(uint16_t v);
std::string u32(uint32_t v);
uint16_t readU16(std::string_view bytes, size_t at);
uint32_t readU32(std::string_view bytes, size_t at);

} // namespace imsim
