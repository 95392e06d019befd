// Replacement text attached to a FilterEvent.
#include <gtest/gtest.h>

#include <string>

#include "containers/alloc.h"
#include "support/scripted_host.h"

namespace {

std::string replacementOf(const FilterEvent &e) {
    const uint8_t *data = QMX_getReplacementText(&e);
    if (data == nullptr) return "<none>";
    return std::string(reinterpret_cast<const char *>(data), QMX_getReplacementTextSize(&e));
}

TEST(ReplacementText, SetReplacesAnyEarlierTextAndIgnoresNullArguments) {
    FilterEvent e{};
    EXPECT_EQ(replacementOf(e), "<none>");
    EXPECT_EQ(QMX_getReplacementTextSize(&e), 0u);
    QMX_deleteReplacementText(&e); // nothing to free

    QMX_setReplacementText(0, &e, "first", 5);
    QMX_setReplacementText(0, &e, "second!", 7);
    EXPECT_EQ(replacementOf(e), "second!");
    QMX_setReplacementText(99, &e, nullptr, 3);
    EXPECT_EQ(replacementOf(e), "second!") << "NULL bytes leave the replacement in place";

    const char source[] = "mutable";
    char copy[sizeof source];
    std::copy(source, source + sizeof source, copy);
    QMX_setReplacementText(0, &e, copy, 7);
    copy[0] = 'X';
    EXPECT_EQ(replacementOf(e), "mutable") << "the event holds a private copy";

    QMX_setReplacementText(0, &e, "", 0);
    ASSERT_NE(e.replacement, nullptr) << "an empty replacement is a real one";
    EXPECT_EQ(replacementOf(e), "");
    QMX_deleteReplacementText(&e);
    EXPECT_EQ(e.replacement, nullptr);

    QMX_setReplacementText(0, nullptr, "x", 1);
    QMX_deleteReplacementText(nullptr);
    EXPECT_EQ(QMX_getReplacementText(nullptr), nullptr);
    EXPECT_EQ(QMX_getReplacementTextSize(nullptr), 0u);
}

TEST(ReplacementText, AllocationFailureLeavesTheEventWithoutReplacement) {
    for (int64_t n : {0, 1}) {
        FilterEvent e{};
        QMX_setReplacementText(0, &e, "old", 3);
        qmxAllocFailAfter(n);
        QMX_setReplacementText(0, &e, "new", 3);
        qmxAllocFailAfter(-1);
        EXPECT_EQ(e.replacement, nullptr) << "failing allocation " << n;
    }
}

} // namespace
