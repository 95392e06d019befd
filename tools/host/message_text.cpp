#include "message_text.h"

#include <qmx/qmx.h>

#include <algorithm>
#include <cstring>

namespace qmxhost {

namespace {

constexpr uint32_t kReplacementChar = 0xFFFD;
// A tag or escape longer than this is taken as text: a stray '<' must not
// hide the rest of a long message from the rules.
constexpr size_t kMaxTagChars = 1024;
constexpr size_t kMaxEntityChars = 10;
constexpr size_t kMaxEscapeChars = 32;
constexpr uint32_t kEscape = 0x1B;

struct Decoded {
    uint32_t cp;
    uint32_t wireBegin;
    uint32_t wireEnd;
};

// One character at pos; never fails, never reads past the end.
Decoded decodeAt(std::string_view bytes, size_t pos, TextEncoding encoding) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t left = bytes.size() - pos;
    const auto at = static_cast<uint32_t>(pos);
    switch (encoding) {
    case TextEncoding::Ascii:
    case TextEncoding::Latin1: return {s[pos], at, at + 1};
    case TextEncoding::Utf16Be: {
        if (left < 2) return {kReplacementChar, at, static_cast<uint32_t>(bytes.size())};
        const uint32_t unit = (uint32_t{s[pos]} << 8) | s[pos + 1];
        if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
            const uint32_t low = (uint32_t{s[pos + 2]} << 8) | s[pos + 3];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                return {0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), at, at + 4};
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) return {kReplacementChar, at, at + 2};
        return {unit, at, at + 2};
    }
    case TextEncoding::Utf8: {
        uint32_t cp = 0;
        const size_t len = utf8Sequence(s + pos, left, &cp);
        // Not UTF-8: the byte is read as Latin-1, as the clients do.
        if (len == 0) return {s[pos], at, at + 1};
        return {cp, at, static_cast<uint32_t>(at + len)};
    }
    }
    return {s[pos], at, at + 1};
}

std::vector<Decoded> decodeAll(std::string_view bytes, TextEncoding encoding) {
    std::vector<Decoded> out;
    out.reserve(bytes.size());
    for (size_t pos = 0; pos < bytes.size();) {
        out.push_back(decodeAt(bytes, pos, encoding));
        pos = out.back().wireEnd;
    }
    return out;
}

bool isAsciiLetter(uint32_t cp) { return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z'); }

// Index one past the markup starting at chars[i], or i when there is none.
size_t markupEnd(const std::vector<Decoded> &chars, size_t i) {
    const size_t n = chars.size();
    if (chars[i].cp == '<' && i + 1 < n) {
        size_t j = i + 1;
        if (chars[j].cp == '/') ++j;
        const bool opens =
            j < n && (isAsciiLetter(chars[j].cp) || (j == i + 1 && chars[j].cp == '!'));
        if (!opens) return i;
        for (size_t k = j; k < n && k - i <= kMaxTagChars; ++k) {
            if (chars[k].cp == '<') return i;
            if (chars[k].cp == '>') return k + 1;
        }
        return i;
    }
    // YMSG colour and style escapes: ESC [ ... m
    if (chars[i].cp == kEscape && i + 1 < n && chars[i + 1].cp == '[') {
        for (size_t k = i + 2; k < n && k - i <= kMaxEscapeChars; ++k) {
            if (chars[k].cp == 'm') return k + 1;
        }
    }
    return i;
}

// The code point of the character entity at chars[i] and the index past it,
// or {0, i} when there is none.
std::pair<uint32_t, size_t> entityAt(const std::vector<Decoded> &chars, size_t i) {
    static const struct {
        const char *name;
        uint32_t cp;
    } kNamed[] = {{"amp", '&'},  {"lt", '<'},    {"gt", '>'},
                  {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}};
    std::string name;
    size_t k = i + 1;
    for (; k < chars.size() && k - i <= kMaxEntityChars && chars[k].cp != ';'; ++k) {
        if (chars[k].cp > 0x7F) return {0, i};
        name += static_cast<char>(chars[k].cp);
    }
    if (k >= chars.size() || chars[k].cp != ';' || name.empty()) return {0, i};
    uint32_t cp = 0;
    if (name[0] == '#') {
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        const std::string digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 7) return {0, i};
        for (char c : digits) {
            uint32_t d = 0;
            if (c >= '0' && c <= '9') {
                d = static_cast<uint32_t>(c - '0');
            } else if (hex && std::strchr("abcdefABCDEF", c) != nullptr) {
                d = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
            } else {
                return {0, i};
            }
            cp = cp * (hex ? 16 : 10) + d;
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, i};
    } else {
        const auto *named = std::find_if(std::begin(kNamed), std::end(kNamed),
                                         [&](const auto &e) { return name == e.name; });
        if (named == std::end(kNamed)) return {0, i};
        cp = named->cp;
    }
    return {cp, k + 1};
}

bool encodable(uint32_t cp, TextEncoding encoding) {
    switch (encoding) {
    case TextEncoding::Ascii: return cp < 0x80;
    case TextEncoding::Latin1: return cp < 0x100;
    default: return true;
    }
}

void appendEncoded(std::string &out, uint32_t cp, TextEncoding encoding) {
    switch (encoding) {
    case TextEncoding::Ascii:
    case TextEncoding::Latin1: out += static_cast<char>(cp); break;
    case TextEncoding::Utf16Be:
        if (cp >= 0x10000) {
            const uint32_t v = cp - 0x10000;
            appendEncoded(out, 0xD800 + (v >> 10), encoding);
            appendEncoded(out, 0xDC00 + (v & 0x3FF), encoding);
        } else {
            out += static_cast<char>(cp >> 8);
            out += static_cast<char>(cp & 0xFF);
        }
        break;
    case TextEncoding::Utf8: appendUtf8(out, cp); break;
    }
}

// Appends UTF-8 text in the wire encoding; returns how many characters had
// to be masked.
uint32_t appendText(std::string &out, std::string_view utf8, TextEncoding encoding, bool html) {
    uint32_t masked = 0;
    for (const Decoded &d : decodeAll(utf8, TextEncoding::Utf8)) {
        if (html && (d.cp == '<' || d.cp == '>' || d.cp == '&')) {
            const char *entity = d.cp == '<' ? "&lt;" : d.cp == '>' ? "&gt;" : "&amp;";
            for (const char *p = entity; *p != '\0'; ++p) {
                appendEncoded(out, static_cast<unsigned char>(*p), encoding);
            }
        } else if (encodable(d.cp, encoding)) {
            appendEncoded(out, d.cp, encoding);
        } else {
            appendEncoded(out, '*', encoding);
            ++masked;
        }
    }
    return masked;
}

} // namespace

size_t utf8Sequence(const unsigned char *s, size_t n, uint32_t *cp) {
    const unsigned char c = s[0];
    size_t len = 0;
    uint32_t min = 0;
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (len > n) return 0;
    uint32_t v = c & (0x3FU >> (len - 1));
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3FU);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

void appendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

TextEncoding detectEncoding(uint32_t protocol, bool wide, std::string_view bytes) {
    if (protocol != QMX_PROTO_OSCAR) return TextEncoding::Utf8;
    if (wide) return TextEncoding::Utf16Be;
    const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? TextEncoding::Ascii : TextEncoding::Latin1;
}

bool protocolHasMarkup(uint32_t protocol) {
    return protocol == QMX_PROTO_OSCAR || protocol == QMX_PROTO_YMSG;
}

std::string toUtf8(std::string_view bytes, TextEncoding encoding) {
    std::string out;
    out.reserve(bytes.size());
    for (const Decoded &d : decodeAll(bytes, encoding)) appendUtf8(out, d.cp);
    return out;
}

VisibleText visibleText(std::string_view bytes, TextEncoding encoding, bool markup) {
    const std::vector<Decoded> chars = decodeAll(bytes, encoding);
    VisibleText v;
    v.utf8.reserve(bytes.size());
    v.chars.reserve(chars.size());
    for (size_t i = 0; i < chars.size();) {
        if (markup) {
            const size_t end = markupEnd(chars, i);
            if (end > i) {
                v.sawTag = v.sawTag || chars[i].cp == '<';
                v.markup.push_back({chars[i].wireBegin, chars[end - 1].wireEnd});
                i = end;
                continue;
            }
            if (chars[i].cp == '&') {
                const auto [cp, next] = entityAt(chars, i);
                if (next > i) {
                    v.chars.push_back({static_cast<uint32_t>(v.utf8.size()), chars[i].wireBegin,
                                       chars[next - 1].wireEnd});
                    appendUtf8(v.utf8, cp);
                    i = next;
                    continue;
                }
            }
        }
        v.chars.push_back(
            {static_cast<uint32_t>(v.utf8.size()), chars[i].wireBegin, chars[i].wireEnd});
        appendUtf8(v.utf8, chars[i].cp);
        ++i;
    }
    return v;
}

WireRewrite applyEdits(std::string_view bytes, TextEncoding encoding, const VisibleText &visible,
                       const std::vector<VisibleEdit> &edits) {
    WireRewrite out;
    out.bytes.reserve(bytes.size());
    const auto &chars = visible.chars;
    const auto firstAtOrAfter = [&](size_t offset) {
        return static_cast<size_t>(std::lower_bound(chars.begin(), chars.end(), offset,
                                                    [](const VisibleText::Char &c, size_t o) {
                                                        return c.visibleBegin < o;
                                                    }) -
                                   chars.begin());
    };
    size_t cursor = 0;
    for (const VisibleEdit &edit : edits) {
        const size_t first = firstAtOrAfter(edit.visibleBegin);
        const size_t pastLast = firstAtOrAfter(edit.visibleEnd);
        size_t begin = 0;
        size_t end = 0;
        if (pastLast > first) {
            begin = chars[first].wireBegin;
            end = chars[pastLast - 1].wireEnd;
        } else {
            // An empty match sits before the next character, or after the last.
            begin = first < chars.size() ? chars[first].wireBegin
                    : chars.empty()      ? 0
                                         : chars.back().wireEnd;
            end = begin;
        }
        if (begin < cursor) continue; // overlapping edits are not applied twice
        out.bytes.append(bytes.substr(cursor, begin - cursor));
        out.masked += appendText(out.bytes, edit.text, encoding, visible.sawTag);
        for (const VisibleText::Markup &m : visible.markup) {
            if (m.wireBegin >= begin && m.wireEnd <= end) {
                out.bytes.append(bytes.substr(m.wireBegin, m.wireEnd - m.wireBegin));
            }
        }
        cursor = end;
    }
    out.bytes.append(bytes.substr(cursor));
    return out;
}

} // namespace qmxhost
