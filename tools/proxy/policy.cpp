#include "policy.h"

#include "regex_rule.h"

#include <fnmatch.h>

namespace qmxproxy {

namespace {

bool matches(const std::string &glob, const char *value) {
    return fnmatch(glob.c_str(), value ? value : "", FNM_CASEFOLD) == 0;
}

} // namespace

Verdict decide(const Config &config, uint32_t protocol, uint32_t action, const char *local,
               const char *remote) {
    for (size_t i = 0; i < config.rules.size(); ++i) {
        const PolicyRule &r = config.rules[i];
        if (matches(r.protocol, protocolName(protocol)) && matches(r.action, actionName(action)) &&
            matches(r.local, local) && matches(r.remote, remote)) {
            return {r.allow, static_cast<int>(i)};
        }
    }
    return {config.defaultAllow, -1};
}

std::optional<std::string> rewriteText(const Config &config, uint32_t protocol,
                                       const std::string &text) {
    std::string current = text;
    bool changed = false;
    for (const ReplaceRule &r : config.replacements) {
        if (!matches(r.protocol, protocolName(protocol))) continue;
        std::string next;
        if (r.regex && replaceAll(*r.regex, r.replacement, current, &next) && next != current) {
            current.swap(next);
            changed = true;
        }
    }
    if (!changed) return std::nullopt;
    return current;
}

} // namespace qmxproxy
