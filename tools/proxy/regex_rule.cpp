#include "regex_rule.h"

namespace qmxproxy {

namespace {

constexpr size_t kGroups = 10;

void expand(const std::string &replacement, const std::string &text, const regmatch_t *m,
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
            const size_t g = next == '&' ? 0 : static_cast<size_t>(next - '0');
            if (m[g].rm_so >= 0) {
                out->append(text, static_cast<size_t>(m[g].rm_so),
                            static_cast<size_t>(m[g].rm_eo - m[g].rm_so));
            }
            ++i;
        } else {
            *out += c;
        }
    }
}

} // namespace

std::shared_ptr<const CompiledRegex> compileRegex(const std::string &pattern, bool ignoreCase,
                                                  std::string *error) {
    auto compiled = std::make_shared<CompiledRegex>();
    const int rc =
        regcomp(&compiled->re, pattern.c_str(), REG_EXTENDED | (ignoreCase ? REG_ICASE : 0));
    if (rc != 0) {
        char buf[256];
        regerror(rc, &compiled->re, buf, sizeof buf);
        *error = buf;
        // regcomp leaves nothing to free on failure; keep the destructor away.
        compiled->re = regex_t{};
        return nullptr;
    }
    return compiled;
}

bool replaceAll(const CompiledRegex &regex, const std::string &replacement, const std::string &text,
                std::string *out) {
    out->clear();
    bool matched = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        regmatch_t m[kGroups];
        m[0].rm_so = static_cast<regoff_t>(pos);
        m[0].rm_eo = static_cast<regoff_t>(text.size());
        // REG_STARTEND: the text may hold NUL bytes, and the context before pos
        // still counts for \\b and \\<.
        if (regexec(&regex.re, text.data(), kGroups, m, REG_STARTEND) != 0) break;
        matched = true;
        const auto start = static_cast<size_t>(m[0].rm_so);
        const auto end = static_cast<size_t>(m[0].rm_eo);
        out->append(text, pos, start - pos);
        expand(replacement, text, m, out);
        if (end == start) {
            // An empty match moves on by one byte so that the loop ends.
            if (start < text.size()) *out += text[start];
            pos = start + 1;
        } else {
            pos = end;
        }
    }
    if (!matched) return false;
    if (pos < text.size()) out->append(text, pos, std::string::npos);
    return true;
}

} // namespace qmxproxy
