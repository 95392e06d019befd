#include "resolver.h"

#include "net.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace qmxproxy {

namespace {

struct Lookup {
    bool done = false;
    int status = ARES_ENOTFOUND;
    std::vector<ResolvedAddress> addresses;
};

void onAddresses(void *arg, int status, int, ares_addrinfo *result) {
    auto *lookup = static_cast<Lookup *>(arg);
    lookup->done = true;
    lookup->status = status;
    if (result == nullptr) return;
    for (const ares_addrinfo_node *n = result->nodes; n != nullptr; n = n->ai_next) {
        ResolvedAddress a;
        if (n->ai_addrlen > sizeof a.address) continue;
        std::memcpy(&a.address, n->ai_addr, n->ai_addrlen);
        a.length = n->ai_addrlen;
        lookup->addresses.push_back(a);
    }
    ares_freeaddrinfo(result);
}

struct ChannelDeleter {
    void operator()(ares_channel channel) const { ares_destroy(channel); }
};

} // namespace

bool resolverInit(std::string *error) {
    const int rc = ares_library_init(ARES_LIB_INIT_ALL);
    if (rc != ARES_SUCCESS) *error = std::string("c-ares: ") + ares_strerror(rc);
    return rc == ARES_SUCCESS;
}

std::vector<ResolvedAddress> resolve(const std::string &host, uint16_t port,
                                     std::chrono::steady_clock::time_point deadline,
                                     const std::string &servers, std::string *error) {
    // An address needs no lookup, and most upstreams are written as one.
    ResolvedAddress numeric;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&numeric.address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&numeric.address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        numeric.length = sizeof *v4;
        return {numeric};
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        numeric.length = sizeof *v6;
        return {numeric};
    }
    ares_channel raw = nullptr;
    int rc = ares_init(&raw);
    std::unique_ptr<ares_channeldata, ChannelDeleter> channel(raw);
    if (rc == ARES_SUCCESS && !servers.empty()) {
        rc = ares_set_servers_ports_csv(channel.get(), servers.c_str());
    }
    if (rc != ARES_SUCCESS) {
        *error = std::string("cannot resolve: ") + ares_strerror(rc);
        return {};
    }
    Lookup lookup;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    ares_getaddrinfo(channel.get(), host.c_str(), service.c_str(), &hints, &onAddresses, &lookup);
    while (!lookup.done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || stopSignalRaised()) break;
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int mask = ares_getsock(channel.get(), sockets, ARES_GETSOCK_MAXNUM);
        pollfd pfds[ARES_GETSOCK_MAXNUM + 1];
        nfds_t n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            const bool reading = ARES_GETSOCK_READABLE(mask, i);
            const bool writing = ARES_GETSOCK_WRITABLE(mask, i);
            if (!reading && !writing) continue;
            pfds[n++] = {sockets[i],
                         static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0};
        }
        pfds[n++] = {stopSignalFd(), POLLIN, 0};
        // c-ares' own retry timer, within what is left of ours.
        timeval maxWait{left / 1000, static_cast<long>((left % 1000) * 1000)};
        timeval wait{};
        const timeval *next = ares_timeout(channel.get(), &maxWait, &wait);
        const int waitMs = static_cast<int>(next->tv_sec * 1000 + next->tv_usec / 1000);
        const int ready = poll(pfds, n, waitMs > 0 ? waitMs : 1);
        if (ready < 0 && errno != EINTR) break;
        bool any = false;
        for (nfds_t i = 0; i + 1 < n; ++i) {
            if (pfds[i].revents == 0) continue;
            any = true;
            const bool readable = (pfds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool writable = (pfds[i].revents & POLLOUT) != 0;
            ares_process_fd(channel.get(), readable ? pfds[i].fd : ARES_SOCKET_BAD,
                            writable ? pfds[i].fd : ARES_SOCKET_BAD);
        }
        if (!any) ares_process_fd(channel.get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
    if (!lookup.done) {
        ares_cancel(channel.get()); // runs the callback, which must not outlive `lookup`
        *error = stopSignalRaised()
                     ? std::string("proxy is stopping")
                     : "lookup of " + host + " did not end within the connect timeout";
        return {};
    }
    if (lookup.status != ARES_SUCCESS || lookup.addresses.empty()) {
        *error = "cannot resolve " + host + ": " + ares_strerror(lookup.status);
        return {};
    }
    return std::move(lookup.addresses);
}

} // namespace qmxproxy
