#include "msn/text.h"

#include <climits>
#include <cstring>

namespace {

constexpr const char *kDefaultSeparators = " \t";

bool msnAppendToken(const char *start, size_t length, DArray *list) {
    if (length > static_cast<size_t>(INT32_MAX - 1)) {
        return false;
    }
    const auto n = static_cast<int32_t>(length);
    DArray *token = DArray_create(n + 1, 1, 2, 0);
    if (token == nullptr) {
        return false;
    }
    if (DArray_appendRun(start, n, token) != 0 || DArray_append(&token, list) != 0) {
        DArray_free(token);
        return false;
    }
    return true;
}

bool msnReplaceBytes(DArray *target, const char *start, int64_t n) {
    DArray_clear(target);
    return n <= 0 || DArray_appendRun(start, static_cast<int32_t>(n), target) == 0;
}

} // namespace

int splitTokens(const char *text, const char *separators, DArray *list) {
    if (text == nullptr || list == nullptr || DArray_itemSize(list) != kMsnReferenceSize) {
        return 0;
    }
    if (separators == nullptr) {
        separators = kDefaultSeparators;
    }
    DArray_clear(list);
    if (*separators == '\0') {
        const size_t length = std::strlen(text);
        return length == 0 || msnAppendToken(text, length, list) ? 1 : 0;
    }
    const char *cursor = text;
    for (;;) {
        const char *hit = std::strpbrk(cursor, separators);
        const size_t length =
            hit != nullptr ? static_cast<size_t>(hit - cursor) : std::strlen(cursor);
        if (length > 0 && !msnAppendToken(cursor, length, list)) {
            return 0;
        }
        if (hit == nullptr) {
            return 1;
        }
        cursor = hit + 1;
    }
}

void freeTokenList(DArray *list) {
    const int32_t count = DArray_count(list);
    for (int32_t i = 0; i < count; ++i) {
        DArray_free(msnListItem(list, i));
    }
    DArray_clear(list);
}

int cutAtSeparator(const char *text, int32_t length, const char *separator, DArray *head,
                   DArray *tail) {
    if (text == nullptr || separator == nullptr || head == nullptr || tail == nullptr) {
        return 0;
    }
    const char *hit = std::strstr(text, separator);
    if (hit == nullptr) {
        return 0;
    }
    const int64_t before = hit - text;
    const int64_t after = before + static_cast<int64_t>(std::strlen(separator));
    if (!msnReplaceBytes(head, text, before)) {
        return 0;
    }
    if (!msnReplaceBytes(tail, text + after, static_cast<int64_t>(length) - after)) {
        return 0;
    }
    return 1;
}

int cutAtLength(const char *text, int32_t length, int32_t k, DArray *head, DArray *tail) {
    if (text == nullptr || head == nullptr || tail == nullptr || k < 1 || k > length) {
        return 0;
    }
    if (!msnReplaceBytes(head, text, k) || !msnReplaceBytes(tail, text + k, length - k)) {
        return 0;
    }
    return 1;
}

int32_t msnParseDecimal(const char *text) {
    if (text == nullptr) {
        return 0;
    }
    const char *cursor = text;
    while (*cursor == ' ' || (*cursor >= '\t' && *cursor <= '\r')) {
        ++cursor;
    }
    bool negative = false;
    if (*cursor == '+' || *cursor == '-') {
        negative = *cursor == '-';
        ++cursor;
    }
    int64_t value = 0;
    for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
        value = value * 10 + (*cursor - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) {
            value = static_cast<int64_t>(INT32_MAX) + 1; // clamped; more digits change nothing
        }
    }
    if (negative) {
        return static_cast<int32_t>(-value);
    }
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

DArray *msnNewByteString() { return DArray_create(1, 1, 2, 0); }

DArray *msnListItem(const DArray *list, int32_t index) {
    if (list == nullptr || index < 0 || index >= DArray_count(list)) {
        return nullptr;
    }
    DArray *item = nullptr;
    DArray_get(index, &item, list);
    return item;
}

const char *msnTokenText(const DArray *tokens, int32_t index) {
    DArray *token = msnListItem(tokens, index);
    return token != nullptr ? DArray_cstr(token) : nullptr;
}

const char *msnText(DArray *bytes) {
    const char *text = DArray_cstr(bytes);
    return text != nullptr ? text : "";
}

int64_t msnFindBytes(const uint8_t *haystack, int64_t n, const void *needle, int64_t needleLength) {
    if (haystack == nullptr || needle == nullptr || needleLength < 1 || n < needleLength) {
        return -1;
    }
    const auto *pattern = static_cast<const uint8_t *>(needle);
    const int64_t last = n - needleLength;
    for (int64_t offset = 0; offset <= last;) {
        const void *hit =
            std::memchr(haystack + offset, pattern[0], static_cast<size_t>(last - offset + 1));
        if (hit == nullptr) {
            return -1;
        }
        offset = static_cast<const uint8_t *>(hit) - haystack;
        // The needles are a few bytes long: comparing them here is cheaper
        // than a call.
        int64_t matched = 1;
        while (matched < needleLength && haystack[offset + matched] == pattern[matched]) {
            ++matched;
        }
        if (matched == needleLength) {
            return offset;
        }
        ++offset;
    }
    return -1;
}

int64_t msnFindText(const uint8_t *haystack, int64_t n, const char *needle) {
    const int64_t found =
        msnFindBytes(haystack, n, needle, static_cast<int64_t>(std::strlen(needle)));
    if (found < 0 || std::memchr(haystack, 0, static_cast<size_t>(found)) != nullptr) {
        return -1;
    }
    return found;
}

int32_t msnFormatDecimal(int32_t value, char *out) {
    char digits[10];
    int32_t count = 0;
    int64_t rest = value < 0 ? -static_cast<int64_t>(value) : value;
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest > 0);
    int32_t written = 0;
    if (value < 0) {
        out[written++] = '-';
    }
    while (count > 0) {
        out[written++] = digits[--count];
    }
    return written;
}
