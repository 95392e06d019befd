// The PROXY protocol header (versions 1 and 2) that a load balancer such as
// HAProxy puts in front of a connection to name the client it accepted.
// Only the C library is used here, so the parser can be fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmxproxy {

struct ProxyHeader {
    // False for v1 "UNKNOWN", v2 LOCAL (the balancer's own health checks)
    // and families without an address: the connection's own peer then stands.
    bool hasAddress = false;
    std::string client; // as endpointText() writes it
};

// How the proxy writes a peer everywhere: "host:port", brackets around IPv6.
// family is AF_INET or AF_INET6, address its 4 or 16 bytes.
std::string endpointText(int family, const void *address, uint16_t port);

enum class ProxyParse { NeedMore, Invalid, Done };

// The longest header accepted: 16 bytes and a v2 body of at most 1 KiB.
constexpr size_t kProxyHeaderMax = 16 + 1024;

// Parses a header at the start of data. NeedMore: *need is how many more
// bytes must arrive before another attempt can decide. Done: *used bytes
// were the header; what follows belongs to the relayed protocol.
// Invalid: *why says what was wrong.
ProxyParse parseProxyHeader(const uint8_t *data, size_t size, ProxyHeader *out, size_t *used,
                            size_t *need, const char **why);

} // namespace qmxproxy
