#include "HTParse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string unescape(std::string s)
{
    // Decode from a heap copy of exactly the text's size so that the sanitizer
    // sees any read past the terminator.
    char *buf = new char[s.size() + 1];
    s.copy(buf, s.size());
    buf[s.size()] = '\0';
    char *r = HTUnEscape(buf);
    EXPECT_EQ(r, buf);
    std::string out(r);
    delete[] buf;
    return out;
}

TEST(HTUnEscape, DecodesEscapesOfEitherCase)
{
    EXPECT_EQ(unescape("a%2Fb%41"), "a/bA");
    EXPECT_EQ(unescape("%2b"), "+");
    EXPECT_EQ(unescape("%e2%82%AC"), "\xe2\x82\xac");
    EXPECT_EQ(unescape("%25%25"), "%%");
}

TEST(HTUnEscape, TextWithoutPercentIsUnchanged)
{
    char text[] = "plain+text";
    EXPECT_EQ(HTUnEscape(text), text);
    EXPECT_STREQ(text, "plain+text");
    EXPECT_EQ(unescape(""), "");
}

TEST(HTUnEscape, PercentAtTheEnd)
{
    EXPECT_EQ(unescape("50%"), "50%");
    EXPECT_EQ(unescape("%"), "%");
    // One hexadecimal digit that ends the text counts as the high digit.
    EXPECT_EQ(unescape("%4"), "\x40");
    EXPECT_EQ(unescape("x%a"), "x\xa0");
}

TEST(HTUnEscape, MalformedEscapesAreKeptLiterally)
{
    // "%g0" used to decode to a zero byte that cut the value short.
    EXPECT_EQ(unescape("a%g0b"), "a%g0b");
    EXPECT_EQ(unescape("%4z"), "%4z");
    EXPECT_EQ(unescape("%%41"), "%A");
    EXPECT_EQ(unescape("%-1"), "%-1");
    EXPECT_EQ(unescape("%\xff" "1"), "%\xff" "1");
    EXPECT_EQ(unescape("%z"), "%z");
}

TEST(HTUnEscape, ZeroEscapeEndsTheText)
{
    char text[] = "ab%00cd";
    HTUnEscape(text);
    EXPECT_STREQ(text, "ab");
    // The rest is still decoded and terminated behind the zero byte.
    EXPECT_STREQ(text + 3, "cd");
}

TEST(HTUnEscape, NullGivesEmptyText)
{
    const char *r = HTUnEscape(nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "");
}

} // namespace
