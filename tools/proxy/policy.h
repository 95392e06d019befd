// The policy rules and text replacements of a configuration, as questions
// the library's slots 1 and 2 can ask.
#pragma once

#include "config.h"

#include <optional>
#include <string>
#include <string_view>

namespace qmxproxy {

struct Verdict {
    bool allow = true;
    int rule = -1; // index of the deciding rule; -1 for the default
};

// First matching rule wins; names are matched case-insensitively because
// screen names and addresses of all three networks are.
Verdict decide(const Config &config, uint32_t protocol, uint32_t action, const char *local,
               const char *remote);

struct TextRewrite {
    std::string bytes;   // the new text, in the message's own encoding
    uint32_t masked = 0; // replacement characters that encoding could not carry
};

// Applies every replacement rule of the protocol in order to the text as the
// recipient sees it (see message_text.h); nothing when no rule changed it.
std::optional<TextRewrite> rewriteText(const Config &config, uint32_t protocol, bool wide,
                                       std::string_view bytes);

} // namespace qmxproxy
