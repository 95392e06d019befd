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

std::optional<TextRewrite> rewriteText(const Config &config, uint32_t protocol, bool wide,
                                       std::string_view bytes) {
    const qmxhost::TextEncoding encoding = qmxhost::detectEncoding(protocol, wide, bytes);
    const bool markup = qmxhost::protocolHasMarkup(protocol);
    TextRewrite result{std::string(bytes), 0};
    bool changed = false;
    // Decoded once, and again only after a rule changed the text.
    qmxhost::VisibleText visible = qmxhost::visibleText(result.bytes, encoding, markup);
    for (const ReplaceRule &r : config.replacements) {
        if (!r.regex || !matches(r.protocol, protocolName(protocol))) continue;
        const auto edits = qmxhost::findReplacements(*r.regex, r.replacement, visible.utf8);
        if (edits.empty()) continue;
        qmxhost::WireRewrite w = qmxhost::applyEdits(result.bytes, encoding, visible, edits);
        if (w.bytes == result.bytes) continue;
        result.bytes.swap(w.bytes);
        result.masked += w.masked;
        changed = true;
        visible = qmxhost::visibleText(result.bytes, encoding, markup);
    }
    if (!changed) return std::nullopt;
    return result;
}

} // namespace qmxproxy
