// Reading and validating the TOML configuration.
//
// Every table is checked against the keys it may hold, so that a misspelt
// key is an error instead of a silently ignored line.
#include "config.h"
#include "audit_pg.h"
#include "net.h"
#include "regex_rule.h"

#include <qmx/qmx.h>

#include <fnmatch.h>
#include <grp.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <toml.hpp>

namespace qmxproxy {

namespace {

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char *const kProtocols[] = {"oscar", "msn", "ymsg"};
const char *const kActions[] = {"login",        "im_out",       "im_in",      "file_send",
                                "file_receive", "datacast_out", "datacast_in"};

std::string where(const toml::value &v) {
    const auto loc = v.location();
    if (loc.line() == 0 || loc.file_name() == "unknown file") return "";
    return " (line " + std::to_string(loc.line()) + ")";
}

[[noreturn]] void fail(const std::string &key, const toml::value &v, const std::string &what) {
    throw ConfigError(key + ": " + what + where(v));
}

const toml::table &tableAt(const std::string &key, const toml::value &v) {
    if (!v.is_table()) fail(key, v, "must be a table");
    return v.as_table();
}

void onlyKeys(const std::string &key, const toml::value &v, const std::set<std::string> &allowed) {
    for (const auto &[name, value] : tableAt(key, v)) {
        if (allowed.count(name) == 0) {
            fail(key.empty() ? name : std::string(key).append(".").append(name), value,
                 "unknown key");
        }
    }
}

const toml::value *member(const toml::value &v, const std::string &name) {
    const auto &t = v.as_table();
    auto it = t.find(name);
    return it == t.end() ? nullptr : &it->second;
}

std::string stringAt(const std::string &key, const toml::value &v) {
    if (!v.is_string()) fail(key, v, "must be a string");
    return v.as_string().str;
}

bool boolAt(const std::string &key, const toml::value &v) {
    if (!v.is_boolean()) fail(key, v, "must be true or false");
    return v.as_boolean();
}

uint64_t uintAt(const std::string &key, const toml::value &v, uint64_t min, uint64_t max) {
    if (!v.is_integer()) fail(key, v, "must be an integer");
    const auto n = v.as_integer();
    if (n < 0 || static_cast<uint64_t>(n) < min || static_cast<uint64_t>(n) > max) {
        fail(key, v, "must be between " + std::to_string(min) + " and " + std::to_string(max));
    }
    return static_cast<uint64_t>(n);
}

Endpoint endpointAt(const std::string &key, const toml::value &v, bool allowPortZero) {
    const std::string text = stringAt(key, v);
    auto ep = parseEndpoint(text);
    if (!ep) fail(key, v, "\"" + text + "\" is not host:port");
    if (ep->port == 0 && !allowPortZero) fail(key, v, "port 0 is not a destination");
    return *ep;
}

uint32_t protocolAt(const std::string &key, const toml::value &v) {
    const std::string name = stringAt(key, v);
    for (uint32_t p = 0; p < QMX_PROTO_COUNT; ++p) {
        if (name == kProtocols[p]) return p;
    }
    fail(key, v, "unknown protocol \"" + name + "\" (expected oscar, msn or ymsg)");
}

PortUse portUseAt(const std::string &key, const toml::value &v) {
    const std::string name = stringAt(key, v);
    if (name == "oscar") return PortUse::Oscar;
    if (name == "msn") return PortUse::Msn;
    if (name == "ymsg") return PortUse::Ymsg;
    if (name == "raw") return PortUse::Raw;
    if (name == "refuse") return PortUse::Refuse;
    fail(key, v, "unknown use \"" + name + "\" (expected oscar, msn, ymsg, raw or refuse)");
}

// A glob that can never match any protocol or action is almost surely a typo.
std::string globAt(const std::string &key, const toml::value &v, const char *const *names,
                   size_t count) {
    std::string glob = stringAt(key, v);
    if (names == nullptr) return glob;
    for (size_t i = 0; i < count; ++i) {
        if (fnmatch(glob.c_str(), names[i], FNM_CASEFOLD) == 0) return glob;
    }
    std::string known;
    for (size_t i = 0; i < count; ++i) known += (i ? ", " : "") + std::string(names[i]);
    fail(key, v, "\"" + glob + "\" matches nothing (known: " + known + ")");
}

// Accepts both [name] (one table) and [[name]] (an array of tables).
std::vector<const toml::value *> tablesAt(const std::string &key, const toml::value &v) {
    std::vector<const toml::value *> out;
    if (v.is_table()) {
        out.push_back(&v);
    } else if (v.is_array()) {
        for (const auto &item : v.as_array()) {
            if (!item.is_table()) fail(key, item, "must be a table or an array of tables");
            out.push_back(&item);
        }
    } else {
        fail(key, v, "must be a table or an array of tables");
    }
    return out;
}

// [name] tables are named plainly, [[name]] entries with their index.
std::string indexed(const std::string &key, const toml::value &v, size_t i) {
    return v.is_array() ? key + "[" + std::to_string(i) + "]" : key;
}

void readLimits(const toml::value &v, Config &c) {
    onlyKeys("limits", v,
             {"max_connections", "max_held_bytes", "msn_relay_bytes", "connect_timeout",
              "handshake_timeout", "drain_timeout"});
    if (const auto *m = member(v, "drain_timeout")) {
        c.drainTimeoutSeconds = static_cast<uint32_t>(uintAt("limits.drain_timeout", *m, 0, 86400));
    }
    if (const auto *m = member(v, "max_connections")) {
        c.maxConnections = static_cast<uint32_t>(uintAt("limits.max_connections", *m, 1, 100000));
    }
    if (const auto *m = member(v, "max_held_bytes")) {
        c.maxHeldBytes = uintAt("limits.max_held_bytes", *m, 1024, uint64_t(1) << 40);
    }
    if (const auto *m = member(v, "msn_relay_bytes")) {
        c.msnRelayBytes = uintAt("limits.msn_relay_bytes", *m, 0, uint64_t(1) << 40);
        if (c.msnRelayBytes != 0 && c.msnRelayBytes < 1024) {
            fail("limits.msn_relay_bytes", *m, "must be 0 (off) or at least 1024");
        }
    }
    if (const auto *m = member(v, "connect_timeout")) {
        c.connectTimeoutSeconds =
            static_cast<uint32_t>(uintAt("limits.connect_timeout", *m, 1, 3600));
    }
    if (const auto *m = member(v, "handshake_timeout")) {
        c.handshakeTimeoutSeconds =
            static_cast<uint32_t>(uintAt("limits.handshake_timeout", *m, 1, 3600));
    }
}

// proxy_protocol and trusted_proxies, which both kinds of listener take.
ProxyProtocol proxyProtocolAt(const std::string &key, const toml::value &t) {
    ProxyProtocol p;
    if (const auto *m = member(t, "proxy_protocol")) p.on = boolAt(key + ".proxy_protocol", *m);
    const toml::value *trusted = member(t, "trusted_proxies");
    if (p.on && trusted == nullptr) {
        fail(key + ".trusted_proxies", t,
             "is missing (with proxy_protocol, name the balancers' addresses)");
    }
    if (trusted == nullptr) return p;
    if (!trusted->is_array()) fail(key + ".trusted_proxies", *trusted, "must be an array");
    const auto &items = trusted->as_array();
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string itemKey = key + ".trusted_proxies[" + std::to_string(i) + "]";
        Cidr cidr;
        if (!parseCidr(stringAt(itemKey, items[i]), &cidr)) {
            fail(itemKey, items[i], "is not an address or an address/prefix");
        }
        p.trusted.push_back(cidr);
    }
    return p;
}

void readSocks5(const toml::value &v, Config &c) {
    const auto tables = tablesAt("socks5", v);
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string key = indexed("socks5", v, i);
        const toml::value &t = *tables[i];
        onlyKeys(key, t,
                 {"listen", "username", "password", "ports", "other_ports", "proxy_protocol",
                  "trusted_proxies"});
        Socks5Listener s;
        s.proxyProtocol = proxyProtocolAt(key, t);
        const toml::value *listen = member(t, "listen");
        if (listen == nullptr) fail(key + ".listen", t, "is missing");
        s.listen = endpointAt(key + ".listen", *listen, true);
        const toml::value *user = member(t, "username");
        const toml::value *pass = member(t, "password");
        if ((user == nullptr) != (pass == nullptr)) {
            fail(key + (user ? ".password" : ".username"), t,
                 "is missing (username and password go together)");
        }
        if (user) {
            s.username = stringAt(key + ".username", *user);
            s.password = stringAt(key + ".password", *pass);
            if (s.username.empty() || s.username.size() > 255 || s.password.size() > 255) {
                fail(key + ".username", *user,
                     "username must be 1 to 255 bytes, password at most 255");
            }
        }
        if (const auto *ports = member(t, "ports")) {
            for (const auto &[name, use] : tableAt(key + ".ports", *ports)) {
                const std::string portKey = std::string(key).append(".ports.").append(name);
                char *end = nullptr;
                const unsigned long port = std::strtoul(name.c_str(), &end, 10);
                if (name.empty() || *end != '\0' || port == 0 || port > 65535) {
                    fail(portKey, use, "\"" + name + "\" is not a port number");
                }
                s.ports[static_cast<uint16_t>(port)] = portUseAt(portKey, use);
            }
        } else {
            s.ports = {{5190, PortUse::Oscar}, {1863, PortUse::Msn}, {5050, PortUse::Ymsg}};
        }
        if (const auto *other = member(t, "other_ports")) {
            s.otherPorts = portUseAt(key + ".other_ports", *other);
            if (s.otherPorts != PortUse::Raw && s.otherPorts != PortUse::Refuse) {
                fail(key + ".other_ports", *other, R"(must be "raw" or "refuse")");
            }
        }
        c.socks5.push_back(std::move(s));
    }
}

void readForwards(const toml::value &v, Config &c) {
    const auto tables = tablesAt("forward", v);
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string key = indexed("forward", v, i);
        const toml::value &t = *tables[i];
        onlyKeys(key, t, {"listen", "upstream", "protocol", "proxy_protocol", "trusted_proxies"});
        Forward f;
        f.proxyProtocol = proxyProtocolAt(key, t);
        for (const char *required : {"listen", "upstream", "protocol"}) {
            if (member(t, required) == nullptr) fail(key + "." + required, t, "is missing");
        }
        f.listen = endpointAt(key + ".listen", *member(t, "listen"), true);
        f.upstream = endpointAt(key + ".upstream", *member(t, "upstream"), false);
        f.protocol = protocolAt(key + ".protocol", *member(t, "protocol"));
        c.forwards.push_back(std::move(f));
    }
}

bool decisionAt(const std::string &key, const toml::value &v) {
    const std::string d = stringAt(key, v);
    if (d == "allow") return true;
    if (d == "deny") return false;
    fail(key, v, R"(must be "allow" or "deny")");
}

void readPolicy(const toml::value &v, Config &c) {
    onlyKeys("policy", v, {"default", "rules", "strict"});
    if (const auto *d = member(v, "default")) c.defaultAllow = decisionAt("policy.default", *d);
    if (const auto *m = member(v, "strict")) c.strict = boolAt("policy.strict", *m);
    const toml::value *rules = member(v, "rules");
    if (rules == nullptr) return;
    if (!rules->is_array())
        fail("policy.rules", *rules, "must be an array of tables ([[policy.rules]])");
    const auto &items = rules->as_array();
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string key = "policy.rules[" + std::to_string(i) + "]";
        const toml::value &t = items[i];
        onlyKeys(key, t, {"protocol", "action", "local", "remote", "decision"});
        PolicyRule r;
        if (const auto *m = member(t, "protocol"))
            r.protocol = globAt(key + ".protocol", *m, kProtocols, 3);
        if (const auto *m = member(t, "action"))
            r.action = globAt(key + ".action", *m, kActions, 7);
        if (const auto *m = member(t, "local")) r.local = globAt(key + ".local", *m, nullptr, 0);
        if (const auto *m = member(t, "remote")) r.remote = globAt(key + ".remote", *m, nullptr, 0);
        const toml::value *decision = member(t, "decision");
        if (decision == nullptr) fail(key + ".decision", t, "is missing");
        r.allow = decisionAt(key + ".decision", *decision);
        c.rules.push_back(std::move(r));
    }
}

void readReplacements(const toml::value &v, Config &c) {
    if (!v.is_array()) fail("replace", v, "must be an array of tables ([[replace]])");
    const auto &items = v.as_array();
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string key = "replace[" + std::to_string(i) + "]";
        const toml::value &t = items[i];
        onlyKeys(key, t, {"pattern", "replacement", "ignore_case", "protocol"});
        ReplaceRule r;
        const toml::value *pattern = member(t, "pattern");
        const toml::value *replacement = member(t, "replacement");
        if (pattern == nullptr) fail(key + ".pattern", t, "is missing");
        if (replacement == nullptr) fail(key + ".replacement", t, "is missing");
        r.pattern = stringAt(key + ".pattern", *pattern);
        r.replacement = stringAt(key + ".replacement", *replacement);
        bool ignoreCase = false;
        if (const auto *m = member(t, "ignore_case")) ignoreCase = boolAt(key + ".ignore_case", *m);
        if (const auto *m = member(t, "protocol"))
            r.protocol = globAt(key + ".protocol", *m, kProtocols, 3);
        if (r.pattern.empty()) fail(key + ".pattern", *pattern, "must not be empty");
        std::string why;
        r.regex = qmxhost::compileRegex(r.pattern, ignoreCase, &why);
        if (!r.regex)
            fail(key + ".pattern", *pattern,
                 "bad regular expression \"" + r.pattern + "\": " + why);
        c.replacements.push_back(std::move(r));
    }
}

// Plain identifiers only, so that the name needs no escaping anywhere and
// the index names derived from it stay within PostgreSQL's 63 bytes.
bool tableNameValid(const std::string &name) {
    size_t part = 0;
    int parts = 1;
    for (const char ch : name) {
        if (ch == '.' && part > 0 && parts == 1) {
            part = 0;
            ++parts;
            continue;
        }
        const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
        if (!letter && !(part > 0 && ch >= '0' && ch <= '9')) return false;
        if (++part > 48) return false;
    }
    return part > 0;
}

void readAuditDatabase(const toml::value &v, Config &c) {
    const std::string key = "audit.postgresql";
    onlyKeys(key, v, {"conninfo", "table", "batch", "batch_ms", "spool"});
    AuditDatabaseConfig d;
    for (const char *required : {"conninfo", "spool"}) {
        if (member(v, required) == nullptr) fail(key + "." + required, v, "is missing");
    }
    const toml::value &conninfo = *member(v, "conninfo");
    d.conninfo = stringAt(key + ".conninfo", conninfo);
    std::string why;
    if (!auditConninfoValid(d.conninfo, &why)) fail(key + ".conninfo", conninfo, why);
    if (const auto *m = member(v, "table")) {
        d.table = stringAt(key + ".table", *m);
        if (!tableNameValid(d.table)) {
            fail(key + ".table", *m,
                 "must be a plain name or schema.name (letters, digits, _; at most 48 each)");
        }
    }
    if (const auto *m = member(v, "batch"))
        d.batch = static_cast<uint32_t>(uintAt(key + ".batch", *m, 1, kAuditMaxBatch));
    if (const auto *m = member(v, "batch_ms"))
        d.batchMs = static_cast<uint32_t>(uintAt(key + ".batch_ms", *m, 1, 60000));
    const toml::value &spool = *member(v, "spool");
    d.spool = stringAt(key + ".spool", spool);
    if (d.spool.empty()) fail(key + ".spool", spool, "must not be empty");
    if (d.spool == c.auditPath) fail(key + ".spool", spool, "must not be the audit log's path");
    c.auditDatabase = std::move(d);
}

void readAudit(const toml::value &v, Config &c) {
    onlyKeys("audit", v, {"path", "log_text", "group", "proxy", "on_overflow", "postgresql"});
    if (const auto *m = member(v, "proxy")) c.auditProxy = stringAt("audit.proxy", *m);
    if (const auto *m = member(v, "group")) {
        c.auditGroup = stringAt("audit.group", *m);
        if (getgrnam(c.auditGroup.c_str()) == nullptr) fail("audit.group", *m, "no such group");
    }
    if (const auto *m = member(v, "path")) c.auditPath = stringAt("audit.path", *m);
    if (const auto *m = member(v, "log_text")) c.auditText = boolAt("audit.log_text", *m);
    if (const auto *m = member(v, "on_overflow")) {
        const std::string what = stringAt("audit.on_overflow", *m);
        if (what != "block" && what != "drop")
            fail("audit.on_overflow", *m, R"(must be "block" or "drop")");
        c.auditOverflow = what == "block" ? AuditOverflow::Block : AuditOverflow::Drop;
    }
    if (const auto *m = member(v, "postgresql")) readAuditDatabase(*m, c);
}

void readMetrics(const toml::value &v, Config &c) {
    onlyKeys("metrics", v, {"listen"});
    if (const auto *m = member(v, "listen"))
        c.metricsListen = endpointAt("metrics.listen", *m, true);
}

// Name servers for upstream host names, instead of /etc/resolv.conf's.
void readDns(const toml::value &v, Config &c) {
    onlyKeys("dns", v, {"servers"});
    const toml::value *servers = member(v, "servers");
    if (servers == nullptr) return;
    if (!servers->is_array()) fail("dns.servers", *servers, "must be an array of \"host:port\"");
    const auto &items = servers->as_array();
    for (size_t i = 0; i < items.size(); ++i) {
        const Endpoint ep = endpointAt("dns.servers[" + std::to_string(i) + "]", items[i], false);
        if (!c.dnsServers.empty()) c.dnsServers += ',';
        c.dnsServers += ep.text();
    }
}

void readLog(const toml::value &v, Config &c) {
    onlyKeys("log", v, {"level"});
    if (const auto *m = member(v, "level")) {
        c.logLevel = stringAt("log.level", *m);
        static const std::set<std::string> levels = {"trace", "debug",    "info", "warn",
                                                     "error", "critical", "off"};
        if (levels.count(c.logLevel) == 0) {
            fail("log.level", *m, "must be one of trace, debug, info, warn, error, critical, off");
        }
    }
}

Config build(const toml::value &root, const std::string &name) {
    Config c;
    c.source = name;
    onlyKeys(
        "", root,
        {"limits", "socks5", "forward", "policy", "replace", "audit", "log", "metrics", "dns"});
    if (const auto *m = member(root, "log")) readLog(*m, c);
    if (const auto *m = member(root, "limits")) readLimits(*m, c);
    if (const auto *m = member(root, "socks5")) readSocks5(*m, c);
    if (const auto *m = member(root, "forward")) readForwards(*m, c);
    if (const auto *m = member(root, "policy")) readPolicy(*m, c);
    if (const auto *m = member(root, "replace")) readReplacements(*m, c);
    if (const auto *m = member(root, "audit")) readAudit(*m, c);
    if (const auto *m = member(root, "metrics")) readMetrics(*m, c);
    if (const auto *m = member(root, "dns")) readDns(*m, c);
    if (c.auditProxy.empty()) {
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        c.auditProxy = host;
    }
    return c;
}

std::optional<Config> parse(std::istream &in, const std::string &name, std::string *error) {
    try {
        const toml::value root = toml::parse(in, name);
        return build(root, name);
    } catch (const ConfigError &e) {
        *error = name + ": " + e.what();
    } catch (const toml::exception &e) {
        *error = name + ": " + e.what();
    } catch (const std::exception &e) {
        *error = name + ": " + e.what();
    }
    return std::nullopt;
}

} // namespace

std::string Endpoint::text() const {
    if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

std::optional<Endpoint> parseEndpoint(const std::string &text) {
    Endpoint ep;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        ep.host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return std::nullopt;
        ep.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (ep.host.empty() || portText.empty() || portText.size() > 5) return std::nullopt;
    for (char ch : portText) {
        if (ch < '0' || ch > '9') return std::nullopt;
    }
    const unsigned long port = std::stoul(portText);
    if (port > 65535) return std::nullopt;
    ep.port = static_cast<uint16_t>(port);
    return ep;
}

std::optional<Config> loadConfigFile(const std::string &path, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    return parse(in, path, error);
}

std::optional<Config> loadConfigText(const std::string &text, const std::string &name,
                                     std::string *error) {
    std::istringstream in(text);
    return parse(in, name, error);
}

const char *protocolName(uint32_t protocol) {
    return protocol < QMX_PROTO_COUNT ? kProtocols[protocol] : "unknown";
}

const char *actionName(uint32_t action) {
    return action < sizeof(kActions) / sizeof(kActions[0]) ? kActions[action] : "unknown";
}

const char *eventName(uint32_t type) {
    static const char *const names[] = {"login", "text", "file", "datacast"};
    return type < 4 ? names[type] : "other";
}

} // namespace qmxproxy
