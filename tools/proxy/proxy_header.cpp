#include "proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace qmxproxy {

namespace {

constexpr char kV1Signature[] = "PROXY ";
constexpr size_t kV1Max = 107; // the longest TCP6 line, CRLF included
constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// Addresses take at most 216 bytes (AF_UNIX); the rest would be TLVs, which
// qmx does not use. A bound keeps a lying length from holding a thread.
constexpr size_t kV2MaxBody = kProxyHeaderMax - 16;

bool isPrefix(const uint8_t *data, size_t size, const void *signature, size_t length) {
    return std::memcmp(data, signature, std::min(size, length)) == 0;
}

// Decimal without sign or leading zeros, as the format writes it.
bool portAt(std::string_view text, uint16_t *port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > 65535) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

ProxyParse parseV1(std::string_view line, ProxyHeader *out, const char **why) {
    // "PROXY TCP4 src dst sport dport" with single spaces, CRLF stripped.
    std::string_view parts[7];
    size_t count = 0;
    for (size_t start = 0; count < 7;) {
        const size_t space = line.find(' ', start);
        parts[count++] =
            line.substr(start, space == std::string_view::npos ? space : space - start);
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    if (count >= 2 && parts[1] == "UNKNOWN") {
        out->hasAddress = false;
        return ProxyParse::Done;
    }
    const bool v6 = count >= 2 && parts[1] == "TCP6";
    if (count != 6 || (!v6 && parts[1] != "TCP4")) {
        *why = "malformed v1 header";
        return ProxyParse::Invalid;
    }
    const int family = v6 ? AF_INET6 : AF_INET;
    uint8_t source[16];
    uint8_t destination[16];
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    const std::string src(parts[2]);
    const std::string dst(parts[3]);
    if (inet_pton(family, src.c_str(), source) != 1 ||
        inet_pton(family, dst.c_str(), destination) != 1 || !portAt(parts[4], &sourcePort) ||
        !portAt(parts[5], &destinationPort)) {
        *why = "bad address or port in v1 header";
        return ProxyParse::Invalid;
    }
    out->hasAddress = true;
    out->client = endpointText(family, source, sourcePort);
    return ProxyParse::Done;
}

ProxyParse parseV2(const uint8_t *data, size_t length, ProxyHeader *out, const char **why) {
    const uint8_t version = data[12] >> 4;
    const uint8_t command = data[12] & 0x0F;
    if (version != 2 || command > 1) {
        *why = "unknown v2 version or command";
        return ProxyParse::Invalid;
    }
    out->hasAddress = false;
    if (command == 0) return ProxyParse::Done; // LOCAL: the balancer itself
    const uint8_t family = data[13] >> 4;
    const uint8_t transport = data[13] & 0x0F;
    const uint8_t *body = data + 16;
    if (family == 0 || family == 3) return ProxyParse::Done; // unspecified or AF_UNIX
    if (transport != 1 || family > 3) {
        *why = "v2 header for something other than TCP";
        return ProxyParse::Invalid;
    }
    const size_t addressLength = family == 1 ? 4 : 16;
    if (length < 2 * addressLength + 4) {
        *why = "v2 header shorter than its addresses";
        return ProxyParse::Invalid;
    }
    const auto port =
        static_cast<uint16_t>((body[2 * addressLength] << 8) | body[2 * addressLength + 1]);
    out->hasAddress = true;
    out->client = endpointText(family == 1 ? AF_INET : AF_INET6, body, port);
    return ProxyParse::Done;
}

} // namespace

std::string endpointText(int family, const void *address, uint16_t port) {
    char host[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family, address, host, sizeof host);
    const std::string text(host);
    return (family == AF_INET6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

ProxyParse parseProxyHeader(const uint8_t *data, size_t size, ProxyHeader *out, size_t *used,
                            size_t *need, const char **why) {
    *need = 1;
    if (size == 0) return ProxyParse::NeedMore;
    if (isPrefix(data, size, kV2Signature, sizeof kV2Signature)) {
        if (size < 16) {
            *need = 16 - size;
            return ProxyParse::NeedMore;
        }
        const size_t length = (size_t{data[14]} << 8) | data[15];
        if (length > kV2MaxBody) {
            *why = "v2 header too long";
            return ProxyParse::Invalid;
        }
        if (size < 16 + length) {
            *need = 16 + length - size;
            return ProxyParse::NeedMore;
        }
        *used = 16 + length;
        return parseV2(data, length, out, why);
    }
    if (!isPrefix(data, size, kV1Signature, sizeof kV1Signature - 1)) {
        *why = "no PROXY protocol header";
        return ProxyParse::Invalid;
    }
    const std::string_view text(reinterpret_cast<const char *>(data), std::min(size, kV1Max));
    const size_t crlf = text.find("\r\n");
    if (crlf == std::string_view::npos) {
        if (size >= kV1Max) {
            *why = "v1 header too long";
            return ProxyParse::Invalid;
        }
        return ProxyParse::NeedMore;
    }
    *used = crlf + 2;
    return parseV1(text.substr(0, crlf), out, why);
}

} // namespace qmxproxy
