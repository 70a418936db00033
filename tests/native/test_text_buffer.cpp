#include <gtest/gtest.h>

#include <cstring>

#include "TextBuffer.h"

namespace {

TEST(TextBuffer, AppendsWhatFitsAndSaysWhenItCut)
{
    char buffer[8] = "abc";
    EXPECT_EQ(appendText(buffer, sizeof buffer, "defg"), 1);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(appendText(buffer, sizeof buffer, "h"), 0);
    EXPECT_STREQ(buffer, "abcdefg");

    char small[4];
    EXPECT_EQ(copyText(small, sizeof small, "hello"), 0);
    EXPECT_STREQ(small, "hel");
    EXPECT_EQ(copyText(small, sizeof small, ""), 1);
    EXPECT_STREQ(small, "");
}

TEST(TextBuffer, RepairsAnUnterminatedDestinationInsteadOfReadingPastIt)
{
    char buffer[4];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(appendText(buffer, sizeof buffer, "y"), 0);
    EXPECT_EQ(buffer[3], '\0');
}

TEST(TextBuffer, ZeroCapacityWritesNothing)
{
    char untouched = 'u';
    EXPECT_EQ(appendText(&untouched, 0, "a"), 0);
    EXPECT_EQ(appendText(&untouched, 0, ""), 1);
    EXPECT_EQ(untouched, 'u');
}

} // namespace
