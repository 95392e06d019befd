// Text utilities of the MSN framer: tokenising command lines and cutting the
// pending bytes of a direction into a command and what follows it.
#pragma once

#include <cstdint>

#include "containers/darray.h"

// A token list is a DArray of 8-byte items, each a DArray* byte string.
// NOLINTNEXTLINE(bugprone-sizeof-expression): the items are pointers, not arrays
constexpr int32_t kMsnReferenceSize = static_cast<int32_t>(sizeof(DArray *));

// Splits zero-terminated text at any of the separator characters into new
// byte strings appended to list (emptied first). NULL separators mean space
// and tab; "" keeps the whole text as one token. Runs of separators give no
// empty tokens. 1 on success; 0 for a NULL text or list, a list whose items
// are not references, or memory exhaustion (tokens made so far stay listed).
int splitTokens(const char *text, const char *separators, DArray *list);

// Frees every byte string the list refers to and empties the list.
void freeTokenList(DArray *list);

// head = the bytes before the first separator in the zero-terminated text,
// tail = the bytes after it up to text + length. 0 when an argument is NULL
// or the separator does not occur before the first zero byte.
int cutAtSeparator(const char *text, int32_t length, const char *separator, DArray *head,
                   DArray *tail);

// head = the first k bytes, tail = the other length - k. 0 when text, head
// or tail is NULL, k < 1 or k > length.
int cutAtLength(const char *text, int32_t length, int32_t k, DArray *head, DArray *tail);

// Helpers of the MSN filter.

// The value of leading decimal digits after optional white space and an
// optional sign, clamped to the 32-bit signed range; 0 when there are none.
int32_t msnParseDecimal(const char *text);

// A new empty byte string with the growth policy every MSN string uses.
DArray *msnNewByteString();

// Item i of a reference list (token list, command items).
DArray *msnListItem(const DArray *list, int32_t index);

// Zero-terminated token i of a token list; NULL when there is no such token.
const char *msnTokenText(const DArray *tokens, int32_t index);

// Zero-terminated view of a byte string; "" when it cannot be terminated.
const char *msnText(DArray *bytes);

// Offset of the first occurrence of needle in the n bytes at haystack, zero
// bytes included; -1 when there is none.
int64_t msnFindBytes(const uint8_t *haystack, int64_t n, const void *needle, int64_t needleLength);

// What strstr would find in a zero-terminated copy of the n bytes: the first
// occurrence of the zero-terminated needle before any zero byte; -1 when
// there is none.
int64_t msnFindText(const uint8_t *haystack, int64_t n, const char *needle);

// Writes value as decimal digits (a minus sign first when negative) and
// returns how many characters it wrote; out must hold 11.
int32_t msnFormatDecimal(int32_t value, char *out);
