// Replacement text attached to a FilterEvent.
#include <gtest/gtest.h>

#include <string>

#include "containers/alloc.h"
#include "support/scripted_host.h"

namespace {

std::string replacementOf(const FilterEvent *e) {
    const uint8_t *data = QMX_getReplacementText(e);
    const auto size = static_cast<size_t>(QMX_getReplacementTextSize(e));
    return data == nullptr ? "<none " + std::to_string(size) + ">"
                           : std::string(reinterpret_cast<const char *>(data), size);
}

TEST(ReplacementText, SetKeepsAPrivateCopyReplacingAnyEarlierTextAndIgnoresNullArguments) {
    FilterEvent e{};
    QMX_deleteReplacementText(&e); // nothing to free
    EXPECT_EQ(replacementOf(&e) + replacementOf(nullptr), "<none 0><none 0>");
    char text[] = "first";
    QMX_setReplacementText(0, &e, text, 5);
    text[0] = 'X';
    EXPECT_EQ(replacementOf(&e), "first");
    QMX_setReplacementText(0, &e, "second!", 7);
    QMX_setReplacementText(99, &e, nullptr, 3);
    QMX_setReplacementText(0, nullptr, "x", 1);
    EXPECT_EQ(replacementOf(&e), "second!");
    QMX_setReplacementText(0, &e, "", 0);
    ASSERT_NE(e.replacement, nullptr) << "an empty replacement is a real one";
    EXPECT_EQ(replacementOf(&e), "");
    QMX_deleteReplacementText(&e);
    QMX_deleteReplacementText(nullptr);
    EXPECT_EQ(e.replacement, nullptr);
    for (int64_t n : {0, 1}) {
        QMX_setReplacementText(0, &e, "old", 3);
        qmxAllocFailAfter(n);
        QMX_setReplacementText(0, &e, "new", 3);
        qmxAllocFailAfter(-1);
        EXPECT_EQ(e.replacement, nullptr) << "failing allocation " << n;
    }
}

} // namespace
