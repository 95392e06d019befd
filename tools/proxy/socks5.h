// The server side of a SOCKS5 handshake (RFC 1928 CONNECT, with RFC 1929
// username/password authentication when the listener has credentials).
#pragma once

#include "config.h"
#include "socket_host.h"

#include <string>

namespace qmxproxy {

enum Socks5Reply : uint8_t {
    kSocksSucceeded = 0,
    kSocksGeneralFailure = 1,
    kSocksNotAllowed = 2,
    kSocksNetworkUnreachable = 3,
    kSocksHostUnreachable = 4,
    kSocksConnectionRefused = 5,
    kSocksTtlExpired = 6,
    kSocksCommandNotSupported = 7,
    kSocksAddressNotSupported = 8,
};

struct Socks5Request {
    std::string host;
    uint16_t port = 0;
};

// Reads the greeting, the authentication and the request. On failure the
// client has been sent the refusal the RFCs prescribe, and why says what
// went wrong.
bool socks5Accept(HostSocket &client, const Socks5Listener &config, int timeoutMs,
                  Socks5Request *request, std::string *why);

// The final reply; boundFd (or -1) supplies BND.ADDR and BND.PORT.
bool socks5Reply(HostSocket &client, Socks5Reply code, int boundFd, int timeoutMs);

// The reply that describes a failed connect's errno.
Socks5Reply socks5ReplyForErrno(int err);

} // namespace qmxproxy
