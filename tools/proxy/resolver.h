// Name lookups that end by a deadline. glibc's getaddrinfo cannot be given
// one, so a DNS server that never answers would hold a relay thread past
// connect_timeout; c-ares runs the lookup on descriptors the proxy polls.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qmxproxy {

struct ResolvedAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Once at start-up, before any lookup.
bool resolverInit(std::string *error);

// Addresses of host:port, or an empty list and a reason. servers: c-ares'
// "host:port,..." list; empty for the system's resolver configuration.
std::vector<ResolvedAddress> resolve(const std::string &host, uint16_t port,
                                     std::chrono::steady_clock::time_point deadline,
                                     const std::string &servers, std::string *error);

} // namespace qmxproxy
