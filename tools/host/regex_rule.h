// Replacement patterns: RE2, which matches in time linear in the text, since
// the text is whatever a stranger chose to send.
#pragma once

#include "message_text.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace qmxhost {

struct CompiledRegex {
    std::unique_ptr<re2::RE2> re;
    CompiledRegex();
    ~CompiledRegex();
    CompiledRegex(const CompiledRegex &) = delete;
    CompiledRegex &operator=(const CompiledRegex &) = delete;
};

// Null with the engine's reason when RE2 rejects the pattern.
std::shared_ptr<const CompiledRegex> compileRegex(const std::string &pattern, bool ignoreCase,
                                                  std::string *error);

// Every match in UTF-8 text, left to right, with the replacement expanded:
// $1..$9 the groups, $& the match, $$ a dollar.
std::vector<VisibleEdit> findReplacements(const CompiledRegex &regex,
                                          const std::string &replacement, std::string_view text);

} // namespace qmxhost
