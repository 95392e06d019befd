// Compiled replacement patterns and their application.
#pragma once

#include "config.h"

#include <regex.h>

#include <memory>
#include <string>

namespace qmxproxy {

struct CompiledRegex {
    regex_t re{};
    CompiledRegex() = default;
    ~CompiledRegex() { regfree(&re); }
    CompiledRegex(const CompiledRegex &) = delete;
    CompiledRegex &operator=(const CompiledRegex &) = delete;
};

std::shared_ptr<const CompiledRegex> compileRegex(const std::string &pattern, bool ignoreCase,
                                                  std::string *error);

// Replaces every match in text; false when nothing matched.
bool replaceAll(const CompiledRegex &regex, const std::string &replacement, const std::string &text,
                std::string *out);

} // namespace qmxproxy
