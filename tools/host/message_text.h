// Message text as the recipient sees it. Rules must match what a person
// reads, not the bytes on the wire: a wide OSCAR message, a word split by
// HTML tags or spelled with character entities, and a YMSG colour escape all
// read as plain text on the other side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qmxhost {

enum class TextEncoding { Ascii, Latin1, Utf16Be, Utf8 };

// How a message's bytes are encoded: OSCAR says so with its wide flag (UCS-2
// big-endian) or sends a single-byte set, ASCII or ISO-8859-1, told apart by
// the bytes; MSN is UTF-8; YMSG is UTF-8 with Latin-1 for what is not.
TextEncoding detectEncoding(uint32_t protocol, bool wide, std::string_view bytes);

// Whether the protocol's clients render markup: HTML in OSCAR, font tags and
// colour escapes in YMSG. MSN carries its formatting outside the text.
bool protocolHasMarkup(uint32_t protocol);

// Length of the valid UTF-8 sequence at s (at most n bytes, n > 0) with its
// code point in *cp, or 0 when the bytes are not UTF-8.
size_t utf8Sequence(const unsigned char *s, size_t n, uint32_t *cp);
void appendUtf8(std::string &out, uint32_t cp);

// The whole text (markup included) in UTF-8, for the audit log.
std::string toUtf8(std::string_view bytes, TextEncoding encoding);

// The visible text in UTF-8, with the wire bytes each character came from.
struct VisibleText {
    struct Char {
        uint32_t visibleBegin; // offset in utf8
        uint32_t wireBegin;    // the wire bytes of this character
        uint32_t wireEnd;
    };
    struct Markup {
        uint32_t wireBegin;
        uint32_t wireEnd;
    };
    std::string utf8;
    std::vector<Char> chars;
    std::vector<Markup> markup; // tags and colour escapes, in wire order
    bool sawTag = false;
};

VisibleText visibleText(std::string_view bytes, TextEncoding encoding, bool markup);

// One replacement over the visible text: [visibleBegin, visibleEnd) in utf8
// becomes `text` (UTF-8).
struct VisibleEdit {
    size_t visibleBegin;
    size_t visibleEnd;
    std::string text;
};

struct WireRewrite {
    std::string bytes;
    uint32_t masked = 0; // characters the encoding could not carry
};

// Applies non-overlapping edits, in order, to the wire bytes. Markup inside
// a replaced span is kept after the replacement, so tags stay balanced;
// characters the encoding cannot carry become '*'. In a message that holds
// HTML tags, '<', '>' and '&' of a replacement are written as entities.
WireRewrite applyEdits(std::string_view bytes, TextEncoding encoding, const VisibleText &visible,
                       const std::vector<VisibleEdit> &edits);

} // namespace qmxhost
