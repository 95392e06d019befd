// Small socket helpers: listening, connecting with a deadline, addresses.
#pragma once

#include "config.h"

#include <sys/socket.h>

#include <string>
#include <vector>

namespace qmxproxy {

// Process-wide stop request: a pipe whose read end becomes readable, and
// stays readable, once a stop is requested. Every blocking wait of the proxy
// includes it, so one write ends them all.
void stopSignalInit();
int stopSignalFd();
void stopSignalRaise(); // async-signal-safe
bool stopSignalRaised();

// SIGTERM: stop accepting and let running relays finish (drain); the accept
// loop watches this pipe. A second request, or the drain timeout, raises
// the stop request, which ends the relays too.
void drainSignalInit();
int drainSignalFd();
void drainSignalRaise(); // async-signal-safe; a repeat raises the stop request
bool drainSignalRaised();

// SIGHUP: a pipe that becomes readable when a hangup arrives; the accept loop
// drains it and reopens the audit log.
void hangupSignalInit();
int hangupSignalFd();
void hangupSignalRaise(); // async-signal-safe
void hangupSignalDrain();

// Binds and listens; on success returns the descriptor and the bound port.
int listenOn(const Endpoint &ep, uint16_t *boundPort, std::string *error);

// Connects to host:port, the name lookup (resolver.h, through dnsServers
// when given) and the connection together taking at most timeoutSeconds, and
// giving up early on a stop request. The returned socket is non-blocking
// with TCP_NODELAY set. errnoOut gets the failure's errno: EHOSTUNREACH when
// the name did not resolve in time.
int connectTo(const std::string &host, uint16_t port, int timeoutSeconds, std::string *error,
              int *errnoOut, const std::string &dnsServers = {});

void setNoDelay(int fd);
void setNonBlocking(int fd);
std::string addressText(const sockaddr *sa);
std::string peerText(int fd);

// "10.0.0.0/8", "::1/128" or a bare address (one host).
bool parseCidr(const std::string &text, Cidr *out);
// IPv4-mapped IPv6 peers match IPv4 ranges.
bool cidrContains(const std::vector<Cidr> &list, const sockaddr *peer);

} // namespace qmxproxy
