// qmx-proxy configuration: what a TOML file may say, already validated.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qmxhost {
struct CompiledRegex;
}

namespace qmxproxy {

// A SOCKS5 destination port's fate: one of the three protocols, a plain
// byte relay without filtering, or a refusal.
enum class PortUse { Oscar, Msn, Ymsg, Raw, Refuse };

struct Endpoint {
    std::string host;
    uint16_t port = 0;
    std::string text() const; // "host:port", with brackets around IPv6
};

// An address range such as "10.0.0.0/8" or "::1/128".
struct Cidr {
    int family = 0; // AF_INET or AF_INET6
    uint8_t bytes[16] = {};
    unsigned bits = 0;
};

// A listener behind a load balancer: each connection must come from one of
// the trusted ranges and open with a PROXY protocol header naming the client.
struct ProxyProtocol {
    bool on = false;
    std::vector<Cidr> trusted;
};

struct Socks5Listener {
    Endpoint listen;
    ProxyProtocol proxyProtocol;
    std::string username; // empty: no authentication
    std::string password;
    std::map<uint16_t, PortUse> ports;
    PortUse otherPorts = PortUse::Refuse;
};

struct Forward {
    Endpoint listen;
    ProxyProtocol proxyProtocol;
    Endpoint upstream;
    uint32_t protocol = 0; // QMX_PROTO_*
};

struct PolicyRule {
    std::string protocol = "*"; // globs, matched case-insensitively
    std::string action = "*";
    std::string local = "*";
    std::string remote = "*";
    bool allow = true;
};

// An RE2 pattern over the visible text of a message. RE2 matches in linear
// time without deep recursion, so hostile text can neither stall a relay nor
// exhaust its thread's small stack.
struct ReplaceRule {
    std::string pattern;
    std::string replacement; // $1..$9 groups, $& the match, $$ a dollar
    std::string protocol = "*";
    std::shared_ptr<const qmxhost::CompiledRegex> regex;
};

// What a full queue of audit records for the database does to the relays.
enum class AuditOverflow { Block, Drop };

// [audit.postgresql]: the central store several proxies write to.
// The most records in one insert, spooled ones included; each column goes
// as one array parameter, so this bounds the statement's size, not its count
// of parameters.
constexpr uint32_t kAuditMaxBatch = 3000;

struct AuditDatabaseConfig {
    std::string conninfo;            // libpq's; secrets come from a passfile or the environment
    std::string table = "qmx_audit"; // "name" or "schema.name"
    uint32_t batch = 500;            // records per insert...
    uint32_t batchMs = 200;          // ...or the oldest queued record's age
    std::string spool;               // where records wait while the database is away

    bool operator==(const AuditDatabaseConfig &o) const {
        return conninfo == o.conninfo && table == o.table && batch == o.batch &&
               batchMs == o.batchMs && spool == o.spool;
    }
    bool operator!=(const AuditDatabaseConfig &o) const { return !(*this == o); }
};

struct Config {
    std::string source = "<config>";
    std::string logLevel = "info";
    uint32_t maxConnections = 512;
    uint64_t maxHeldBytes = 4U << 20;
    // Bytes an MSN relay may receive before the host restarts it, so that
    // the histories the relay keeps stay bounded; 0: never restart.
    uint64_t msnRelayBytes = 8U << 20;
    uint32_t connectTimeoutSeconds = 10;
    uint32_t handshakeTimeoutSeconds = 30;
    // After a stop request, how long running relays may go on before they
    // are ended; 0 ends them at once.
    uint32_t drainTimeoutSeconds = 30;
    std::vector<Socks5Listener> socks5;
    std::vector<Forward> forwards;
    bool defaultAllow = true;
    // Bytes that do not parse as the connection's protocol are dropped, not
    // passed on.
    bool strict = false;
    std::vector<PolicyRule> rules;
    std::vector<ReplaceRule> replacements;
    std::string auditPath; // empty: no audit log
    bool auditText = false;
    std::string auditProxy; // names this proxy in every record; default: the host name
    std::string auditGroup; // empty: the file is 0600; else 0640 with this group
    AuditOverflow auditOverflow = AuditOverflow::Block;
    std::optional<AuditDatabaseConfig> auditDatabase; // read at start only
    std::optional<Endpoint> metricsListen;            // [metrics]; read at start only
    std::string dnsServers;                           // [dns] servers, as c-ares' "host:port,..."
};

// Parses and validates; on failure returns nothing and sets error to a
// message that names the offending key (and its line when known).
std::optional<Config> loadConfigFile(const std::string &path, std::string *error);
std::optional<Config> loadConfigText(const std::string &text, const std::string &name,
                                     std::string *error);

// "oscar", "msn", "ymsg" for QMX_PROTO_*.
const char *protocolName(uint32_t protocol);
// "login", "im_out", ... for QMX_ACTION_*.
const char *actionName(uint32_t action);
// "login", "text", "file", "datacast" for QMX_EVENT_*.
const char *eventName(uint32_t type);

std::optional<Endpoint> parseEndpoint(const std::string &text);

} // namespace qmxproxy
