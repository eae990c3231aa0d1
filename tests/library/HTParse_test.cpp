#include "HTParse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
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

// The decoding rules written as plainly as possible, to check the fast decoder
// against: "+" to blank first (when asked), then escapes.
std::string reference(std::string s, bool plus)
{
    if (plus)
        for (char &c : s)
            if (c == '+')
                c = ' ';
    auto hex = [](char c) {
        return std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0';
    };
    auto val = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() + 0 && hex(s[i + 1]) && hex(s[i + 2])) {
            out += static_cast<char>(val(s[i + 1]) * 16 + val(s[i + 2]));
            i += 2;
        } else if (s[i] == '%' && i + 2 == s.size() && hex(s[i + 1])) {
            out += static_cast<char>(val(s[i + 1]) * 16);
            i += 1;
        } else {
            out += s[i];
        }
    }
    return out.substr(0, out.find('\0'));
}

std::string unescape_span(const std::string &s, bool plus)
{
    char *buf = new char[s.size() + 1];
    s.copy(buf, s.size());
    buf[s.size()] = '\0';
    char *end = HTUnEscapeSpan(buf, s.size(), plus);
    std::string out(buf, static_cast<std::size_t>(end - buf));
    EXPECT_EQ(out, std::string(buf));
    delete[] buf;
    return out;
}

TEST(HTUnEscape, MatchesThePlainRulesOnRandomText)
{
    std::mt19937 rng(7);
    const char alphabet[] = "%%%%++aZ09fF gG\xc3\xa9";
    for (int round = 0; round < 20000; ++round) {
        std::string s(rng() % 70, ' ');
        for (char &c : s)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        ASSERT_EQ(unescape(s), reference(s, false)) << s;
        ASSERT_EQ(unescape_span(s, false), reference(s, false)) << s;
        ASSERT_EQ(unescape_span(s, true), reference(s, true)) << s;
    }
}

TEST(HTUnEscapeSpan, DecodesFormValues)
{
    EXPECT_EQ(unescape_span("Ann+Lee", true), "Ann Lee");
    EXPECT_EQ(unescape_span("a%2Bb+c", true), "a+b c");
    EXPECT_EQ(unescape_span("a%2Bb+c", false), "a+b+c");
    EXPECT_EQ(unescape_span("0123456789abcdef+%41%42+0123456789abcdef%", true),
              "0123456789abcdef AB 0123456789abcdef%");
    EXPECT_EQ(unescape_span("ab%00cd", true), "ab");
}

TEST(HTUnEscapeSpan, StopsAtTheGivenLength)
{
    // The separator after the span is never decoded into it.
    char text[] = "%4&%41";
    char *end = HTUnEscapeSpan(text, 2, 0);
    EXPECT_STREQ(text, "\x40");
    EXPECT_EQ(end, text + 1);
    EXPECT_EQ(HTUnEscapeSpan(nullptr, 3, 1)[0], '\0');
}

TEST(HTUnEscape, NullGivesEmptyText)
{
    const char *r = HTUnEscape(nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "");
}

} // namespace
