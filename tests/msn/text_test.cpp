// The MSN text helpers on their own: tokens, cuts, decimals, header tables.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "msn/payload.h"
#include "msn/text.h"

namespace {

std::string str(const DArray *a) {
    return std::string(static_cast<const char *>(DArray_data(a)), size_t(DArray_count(a)));
}

TEST(MsnText, SplitTokensNeverYieldsEmptyTokensAndRefusesWhatItCannotSplit) {
    DArray *list = DArray_create(1, kMsnReferenceSize, 2, 0), *bytes = msnNewByteString();
    // The result, then each token after a '|'.
    auto split = [&](const char *text, const char *separators) {
        std::string out = std::to_string(splitTokens(text, separators, list));
        for (int32_t i = 0; i < DArray_count(list); ++i) out += "|" + str(msnListItem(list, i));
        freeTokenList(list);
        return DArray_count(list) == 0 ? out : "not emptied";
    };
    EXPECT_EQ(split("USR  1 TWN", " "), "1|USR|1|TWN");
    EXPECT_EQ(split("a\tb c", " "), "1|a\tb|c");
    EXPECT_EQ(split(" \ta\t b \t", nullptr), "1|a|b");
    EXPECT_EQ(split("1:b@x;{g}", ";:"), "1|1|b@x|{g}");
    EXPECT_EQ(split(";;::;", ";:") + split("", " ") + split("a b", "") + split(nullptr, " "),
              "111|a b0");
    EXPECT_EQ(splitTokens("a b", " ", bytes), 0) << "a list of anything but references";
    EXPECT_EQ(DArray_count(bytes), 0);
    DArray_free(list);
    DArray_free(bytes);
}

TEST(MsnText, CutsAtASeparatorBeforeTheFirstZeroByteOrAtALengthWithinTheText) {
    DArray *head = msnNewByteString(), *tail = msnNewByteString();
    auto cut = [&](int result) { return std::to_string(result) + str(head) + "|" + str(tail); };
    EXPECT_EQ(cut(cutAtSeparator("VER 1\r\nCVR 2\r\n", 14, "\r\n", head, tail)),
              "1VER 1|CVR 2\r\n");
    EXPECT_EQ(cut(cutAtSeparator("VER 1\r\nCVR 2\r\n", 7, "\r\n", head, tail)), "1VER 1|");
    EXPECT_EQ(cutAtSeparator("VER\0 1\r\n", 8, "\r\n", head, tail) +
                  cutAtSeparator("VER 1\r\n", 7, nullptr, head, tail) +
                  cutAtLength("ab\0cd", 5, 0, head, tail) + cutAtLength("ab\0cd", 5, 6, head, tail),
              0);
    EXPECT_EQ(cut(cutAtLength("ab\0cd", 5, 1, head, tail)), std::string("1a|b\0cd", 7));
    EXPECT_EQ(cut(cutAtLength("ab\0cd", 5, 5, head, tail)), std::string("1ab\0cd|", 7));
    DArray_free(head);
    DArray_free(tail);
}

TEST(MsnText, DecimalLengthsClampToTheSignedRange) {
    const std::pair<const char *, int32_t> cases[] = {{" \t-5", -5},
                                                      {"+7trailer", 7},
                                                      {"word", 0},
                                                      {"2147483647", INT32_MAX},
                                                      {"99999999999999999999", INT32_MAX},
                                                      {"-2147483649", INT32_MIN}};
    for (const auto &[text, value] : cases) EXPECT_EQ(msnParseDecimal(text), value) << text;
}

TEST(MsnHeaderLines, LastRepeatWinsAndAZeroByteEndsTheBlock) {
    DArray *block = msnNewByteString();
    const std::string lines = "A: 1\r\nB:2\r\n\r\nA: 3\r\n: empty name\r\n" +
                              std::string(200, 'n') + ": long\r\n" + std::string("C: x\0D: y", 9);
    DArray_appendRun(lines.data(), static_cast<int32_t>(lines.size()), block);
    HashTable *headers = parseHeaderLines(block);
    EXPECT_STREQ(msnHeaderValue(headers, "A"), "3");
    EXPECT_STREQ(msnHeaderValue(headers, ""), "empty name");
    EXPECT_EQ(HashTable_count(headers), 2) << "no B, no over-long name, no line with a zero byte";
    freeHeaderTable(headers);
    EXPECT_EQ(parseHeaderLines(nullptr), nullptr);
    DArray_free(block);
}

} // namespace
