// The policy rules and text replacements of a configuration, as questions
// the library's slots 1 and 2 can ask.
#pragma once

#include "config.h"

#include <optional>
#include <string>

namespace qmxproxy {

struct Verdict {
    bool allow = true;
    int rule = -1; // index of the deciding rule; -1 for the default
};

// First matching rule wins; names are matched case-insensitively because
// screen names and addresses of all three networks are.
Verdict decide(const Config &config, uint32_t protocol, uint32_t action, const char *local,
               const char *remote);

// Applies every replacement rule of the protocol in order; nothing when no
// rule changed the text.
std::optional<std::string> rewriteText(const Config &config, uint32_t protocol,
                                       const std::string &text);

} // namespace qmxproxy
