#include "socks5.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace qmxproxy {

namespace {

constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kAuthVersion = 1;
constexpr uint8_t kMethodNone = 0x00;
constexpr uint8_t kMethodPassword = 0x02;
constexpr uint8_t kMethodUnacceptable = 0xFF;
constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kAddressIpv4 = 1;
constexpr uint8_t kAddressDomain = 3;
constexpr uint8_t kAddressIpv6 = 4;

bool readExact(HostSocket &s, uint8_t *out, size_t n, int timeoutMs) {
    while (n > 0) {
        const intptr_t r = hostRead(s, out, n, timeoutMs);
        if (r <= 0) return false;
        out += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool sameSecret(const std::string &given, const std::string &expected) {
    if (given.size() != expected.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return diff == 0;
}

} // namespace

Socks5Reply socks5ReplyForErrno(int err) {
    switch (err) {
    case ECONNREFUSED: return kSocksConnectionRefused;
    case ENETUNREACH: return kSocksNetworkUnreachable;
    case EHOSTUNREACH: return kSocksHostUnreachable;
    case ETIMEDOUT: return kSocksTtlExpired;
    default: return kSocksGeneralFailure;
    }
}

bool socks5Reply(HostSocket &client, Socks5Reply code, int boundFd, int timeoutMs) {
    uint8_t reply[22] = {kSocksVersion, code, 0, kAddressIpv4};
    size_t size = 10; // IPv4 0.0.0.0:0 unless the bound address is known
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (boundFd >= 0 && getsockname(boundFd, reinterpret_cast<sockaddr *>(&ss), &len) == 0) {
        if (ss.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
            std::memcpy(reply + 4, &in->sin_addr, 4);
            std::memcpy(reply + 8, &in->sin_port, 2);
        } else if (ss.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
            reply[3] = kAddressIpv6;
            std::memcpy(reply + 4, &in6->sin6_addr, 16);
            std::memcpy(reply + 20, &in6->sin6_port, 2);
            size = 22;
        }
    }
    return hostWriteAll(client, reply, size, timeoutMs);
}

bool socks5Accept(HostSocket &client, const Socks5Listener &config, int timeoutMs,
                  Socks5Request *request, std::string *why) {
    uint8_t head[2];
    if (!readExact(client, head, 2, timeoutMs)) {
        *why = "client left during the SOCKS5 greeting";
        return false;
    }
    if (head[0] != kSocksVersion) {
        *why = "not a SOCKS5 greeting (version byte " + std::to_string(head[0]) + ")";
        return false;
    }
    uint8_t methods[255];
    if (head[1] == 0 || !readExact(client, methods, head[1], timeoutMs)) {
        *why = "SOCKS5 greeting without methods";
        const uint8_t refuse[2] = {kSocksVersion, kMethodUnacceptable};
        hostWriteAll(client, refuse, 2, timeoutMs);
        return false;
    }
    const bool wantPassword = !config.username.empty();
    const uint8_t wanted = wantPassword ? kMethodPassword : kMethodNone;
    bool offered = false;
    for (uint8_t i = 0; i < head[1]; ++i) offered |= methods[i] == wanted;
    const uint8_t choice[2] = {kSocksVersion, offered ? wanted : kMethodUnacceptable};
    if (!hostWriteAll(client, choice, 2, timeoutMs)) {
        *why = "client left during the SOCKS5 greeting";
        return false;
    }
    if (!offered) {
        *why = wantPassword ? "client offers no username/password authentication"
                            : "client offers no method without authentication";
        return false;
    }
    if (wantPassword) {
        uint8_t ver[2];
        uint8_t field[256];
        std::string user;
        std::string pass;
        bool ok = readExact(client, ver, 2, timeoutMs) && ver[0] == kAuthVersion &&
                  readExact(client, field, ver[1], timeoutMs);
        if (ok) user.assign(reinterpret_cast<char *>(field), ver[1]);
        uint8_t plen = 0;
        ok = ok && readExact(client, &plen, 1, timeoutMs) &&
             readExact(client, field, plen, timeoutMs);
        if (ok) pass.assign(reinterpret_cast<char *>(field), plen);
        const bool good =
            ok && sameSecret(user, config.username) && sameSecret(pass, config.password);
        const uint8_t status[2] = {kAuthVersion, static_cast<uint8_t>(good ? 0 : 1)};
        hostWriteAll(client, status, 2, timeoutMs);
        if (!good) {
            *why = ok ? "SOCKS5 authentication failed for user \"" + user + "\""
                      : "malformed SOCKS5 authentication";
            return false;
        }
    }
    uint8_t req[4];
    if (!readExact(client, req, 4, timeoutMs) || req[0] != kSocksVersion) {
        *why = "malformed SOCKS5 request";
        socks5Reply(client, kSocksGeneralFailure, -1, timeoutMs);
        return false;
    }
    if (req[1] != kCommandConnect) {
        *why = "SOCKS5 command " + std::to_string(req[1]) + " is not supported (only CONNECT)";
        socks5Reply(client, kSocksCommandNotSupported, -1, timeoutMs);
        return false;
    }
    char text[INET6_ADDRSTRLEN] = "";
    uint8_t addr[256];
    switch (req[3]) {
    case kAddressIpv4:
        if (!readExact(client, addr, 4, timeoutMs)) break;
        inet_ntop(AF_INET, addr, text, sizeof text);
        request->host = text;
        break;
    case kAddressIpv6:
        if (!readExact(client, addr, 16, timeoutMs)) break;
        inet_ntop(AF_INET6, addr, text, sizeof text);
        request->host = text;
        break;
    case kAddressDomain: {
        uint8_t len = 0;
        if (!readExact(client, &len, 1, timeoutMs) || len == 0 ||
            !readExact(client, addr, len, timeoutMs))
            break;
        request->host.assign(reinterpret_cast<char *>(addr), len);
        break;
    }
    default:
        *why = "SOCKS5 address type " + std::to_string(req[3]) + " is not supported";
        socks5Reply(client, kSocksAddressNotSupported, -1, timeoutMs);
        return false;
    }
    uint8_t port[2];
    if (request->host.empty() || !readExact(client, port, 2, timeoutMs)) {
        *why = "malformed SOCKS5 request";
        socks5Reply(client, kSocksGeneralFailure, -1, timeoutMs);
        return false;
    }
    request->port = static_cast<uint16_t>(port[0] << 8 | port[1]);
    return true;
}

} // namespace qmxproxy
