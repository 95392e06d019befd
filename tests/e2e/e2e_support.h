// Shared pieces of the end-to-end tests: the configuration they run the
// proxy with, and audit-line matching.
#pragma once

#include "proxy_process.h"

#include "imsim/net.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace e2e {

struct Upstream {
    uint16_t port;
    const char *protocol; // "oscar", "msn", "ymsg"
};

// Denies logins of mallory*, messages to or from eve*, and file transfers;
// replaces the word "darn".
inline std::string policyText() {
    return R"(
[audit]
path = "@AUDIT@"
log_text = true

[policy]
default = "allow"

[[policy.rules]]
action = "login"
local = "mallory*"
decision = "deny"

[[policy.rules]]
action = "im_*"
remote = "eve*"
decision = "deny"

[[policy.rules]]
action = "file_*"
decision = "deny"

[[replace]]
pattern = "\\bdarn\\b"
replacement = "[bleep]"
ignore_case = true
)";
}

// One SOCKS5 listener mapping every upstream's port, and one fixed forward
// per upstream, in order.
inline std::string configFor(const std::vector<Upstream> &upstreams,
                             const std::string &extra = "") {
    std::string text =
        policyText() + extra + "\n[[socks5]]\nlisten = \"127.0.0.1:0\"\n[socks5.ports]\n";
    for (const Upstream &u : upstreams) {
        text += std::to_string(u.port) + " = \"" + u.protocol + "\"\n";
    }
    for (const Upstream &u : upstreams) {
        text += "\n[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:" +
                std::to_string(u.port) + "\"\nprotocol = \"" + u.protocol + "\"\n";
    }
    return text;
}

inline bool hasLine(const std::vector<std::string> &lines,
                    std::initializer_list<std::string> fields) {
    for (const std::string &line : lines) {
        bool all = true;
        for (const std::string &f : fields) all = all && line.find(f) != std::string::npos;
        if (all) return true;
    }
    return false;
}

} // namespace e2e
