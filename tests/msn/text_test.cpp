#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "msn/text.h"

namespace {

struct ByteString {
    DArray *a = msnNewByteString();
    ~ByteString() { DArray_free(a); }
    std::string str() const {
        return std::string(static_cast<const char *>(DArray_data(a)),
                           static_cast<size_t>(DArray_count(a)));
    }
};

std::vector<std::string> split(const char *text, const char *separators, int *result) {
    DArray *list = DArray_create(1, kMsnReferenceSize, 2, 0);
    *result = splitTokens(text, separators, list);
    std::vector<std::string> tokens;
    for (int32_t i = 0; i < DArray_count(list); ++i) tokens.push_back(msnTokenText(list, i));
    freeTokenList(list);
    EXPECT_EQ(DArray_count(list), 0);
    DArray_free(list);
    return tokens;
}

TEST(MsnText, SplitTokensNeverYieldsEmptyTokensAndRefusesWhatItCannotSplit) {
    struct Case {
        const char *text;
        const char *separators;
        std::vector<std::string> tokens;
    } cases[] = {
        {"USR  1 TWN I alice@example.com", " ", {"USR", "1", "TWN", "I", "alice@example.com"}},
        {"a\tb c", " ", {"a\tb", "c"}},
        {" \ta\t b \t", nullptr, {"a", "b"}},
        {"1:bob@example.com;{guid}", ";:", {"1", "bob@example.com", "{guid}"}},
        {";;::;", ";:", {}},
        {"   ", " ", {}},
        {"", " ", {}},
        {"a b", "", {"a b"}},
    };
    for (const Case &c : cases) {
        int result = 0;
        EXPECT_EQ(split(c.text, c.separators, &result), c.tokens) << c.text;
        EXPECT_EQ(result, 1) << c.text;
    }
    // Missing text and lists of anything but references are refused.
    int result = 1;
    split(nullptr, " ", &result);
    EXPECT_EQ(result, 0);
    DArray *bytes = msnNewByteString();
    EXPECT_EQ(splitTokens("a b", " ", bytes), 0);
    EXPECT_EQ(DArray_count(bytes), 0);
    DArray_free(bytes);
}

TEST(MsnText, CutsAtASeparatorBeforeTheFirstZeroByteOrAtALengthWithinTheText) {
    ByteString head, tail;
    const char text[] = "VER 1\r\nCVR 2\r\n";
    ASSERT_EQ(cutAtSeparator(text, 14, "\r\n", head.a, tail.a), 1);
    EXPECT_EQ(head.str(), "VER 1");
    EXPECT_EQ(tail.str(), "CVR 2\r\n");

    ASSERT_EQ(cutAtSeparator(text, 7, "\r\n", head.a, tail.a), 1);
    EXPECT_EQ(tail.str(), "") << "the tail ends at the given length";

    const char hidden[] = "VER\0 1\r\n";
    EXPECT_EQ(cutAtSeparator(hidden, 8, "\r\n", head.a, tail.a), 0);
    EXPECT_EQ(cutAtSeparator("no line end", 11, "\r\n", head.a, tail.a), 0);
    EXPECT_EQ(cutAtSeparator(text, 14, nullptr, head.a, tail.a), 0);

    // Cutting at a length needs between one and all of the bytes.
    const char binary[] = "ab\0cd";
    EXPECT_EQ(cutAtLength(binary, 5, 0, head.a, tail.a) + cutAtLength(binary, 5, 6, head.a, tail.a),
              0);
    ASSERT_EQ(cutAtLength(binary, 5, 3, head.a, tail.a), 1);
    EXPECT_EQ(head.str() + "|" + tail.str(), std::string("ab\0|cd", 6));
    ASSERT_EQ(cutAtLength(binary, 5, 5, head.a, tail.a), 1);
    EXPECT_EQ(tail.str(), "");
}

TEST(MsnText, DecimalLengthsClampToTheSignedRange) {
    struct Case {
        const char *text;
        int32_t value;
    } cases[] = {
        {"120", 120},
        {" \t-5", -5},
        {"+7trailer", 7},
        {"word", 0},
        {"", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483649", INT32_MIN},
    };
    for (const Case &c : cases) EXPECT_EQ(msnParseDecimal(c.text), c.value) << c.text;
}

} // namespace
