#include "regex_rule.h"

#include <re2/re2.h>

namespace qmxhost {

namespace {

constexpr int kGroups = 10;

void expand(const std::string &replacement, const re2::StringPiece *groups, int groupCount,
            std::string *out) {
    for (size_t i = 0; i < replacement.size(); ++i) {
        const char c = replacement[i];
        if (c != '$' || i + 1 == replacement.size()) {
            *out += c;
            continue;
        }
        const char next = replacement[i + 1];
        if (next == '$') {
            *out += '$';
            ++i;
        } else if (next == '&' || (next >= '0' && next <= '9')) {
            const int g = next == '&' ? 0 : next - '0';
            if (g < groupCount && groups[g].data() != nullptr) {
                out->append(groups[g].data(), groups[g].size());
            }
            ++i;
        } else {
            *out += c;
        }
    }
}

// Past the UTF-8 character at pos, so that an empty match moves on by a
// whole character.
size_t nextCharacter(std::string_view text, size_t pos) {
    ++pos;
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
    return pos;
}

} // namespace

CompiledRegex::CompiledRegex() = default;
CompiledRegex::~CompiledRegex() = default;

std::shared_ptr<const CompiledRegex> compileRegex(const std::string &pattern, bool ignoreCase,
                                                  std::string *error) {
    RE2::Options options;
    options.set_case_sensitive(!ignoreCase);
    options.set_log_errors(false);
    auto compiled = std::make_shared<CompiledRegex>();
    compiled->re = std::make_unique<RE2>(pattern, options);
    if (!compiled->re->ok()) {
        *error = compiled->re->error();
        return nullptr;
    }
    return compiled;
}

std::vector<VisibleEdit> findReplacements(const CompiledRegex &regex,
                                          const std::string &replacement, std::string_view text) {
    std::vector<VisibleEdit> edits;
    const RE2 &re = *regex.re;
    const int groupCount = std::min(kGroups, re.NumberOfCapturingGroups() + 1);
    re2::StringPiece groups[kGroups];
    const re2::StringPiece subject(text.data(), text.size());
    size_t pos = 0;
    while (pos <= text.size() &&
           re.Match(subject, pos, text.size(), RE2::UNANCHORED, groups, groupCount)) {
        const auto start = static_cast<size_t>(groups[0].data() - text.data());
        const size_t end = start + groups[0].size();
        VisibleEdit edit{start, end, {}};
        expand(replacement, groups, groupCount, &edit.text);
        edits.push_back(std::move(edit));
        pos = end > start ? end : nextCharacter(text, start);
    }
    return edits;
}

} // namespace qmxhost
