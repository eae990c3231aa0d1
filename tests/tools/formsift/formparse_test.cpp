#include "formsift.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string escape(const std::string &s)
{
    char *r = sh_escape(s.c_str());
    std::string out(r);
    EXPECT_EQ(out.size(), sh_escaped_length(s));
    std::free(r);
    return out;
}

TEST(ShEscape, QuotesAndSingleQuotes)
{
    EXPECT_EQ(escape("it's"), "'it'\\''s'");
    EXPECT_EQ(escape(""), "''");
    EXPECT_EQ(escape("'"), "''\\'''");
    EXPECT_EQ(escape("''"), "''\\'''\\'''");
    EXPECT_EQ(sh_escape(nullptr), nullptr);
}

TEST(ShEscape, EveryOtherByteIsKept)
{
    const std::string raw = "a b\nc$d`e\\f\"g\x80\xff!*?;&|<>(){}[]~#";
    EXPECT_EQ(escape(raw), "'" + raw + "'");
}

TEST(ShEscape, LengthIsInputPlusThreePerQuotePlusTwo)
{
    EXPECT_EQ(sh_escaped_length("abc"), 5u);
    EXPECT_EQ(sh_escaped_length("a'b'c"), 5u + 6u + 2u);
    EXPECT_EQ(sh_escaped_length(std::string(1000, '\'')), 4002u);
}

TEST(ShEscape, StreamedFormMatchesAllocatedForm)
{
    const std::string raw = "x'y''z\n$'";
    std::string streamed;
    sh_escape_runs(raw, [&](std::string_view run) { streamed += run; });
    EXPECT_EQ(streamed, escape(raw));
}

TEST(UnPlus, TurnsPlusIntoBlankInPlace)
{
    char text[] = "a+b++c+";
    UnPlus(text);
    EXPECT_STREQ(text, "a b  c ");
    char empty[] = "";
    UnPlus(empty);
    EXPECT_STREQ(empty, "");
    UnPlus(nullptr);
}

TEST(CheckNum, DigitsOnly)
{
    EXPECT_TRUE(CheckNum("0"));
    EXPECT_TRUE(CheckNum("0012"));
    EXPECT_TRUE(CheckNum("99999999999999999999"));
    EXPECT_FALSE(CheckNum(""));
    EXPECT_FALSE(CheckNum(nullptr));
    EXPECT_FALSE(CheckNum("12abc"));
    EXPECT_FALSE(CheckNum("-1"));
    EXPECT_FALSE(CheckNum(" 1"));
    EXPECT_FALSE(CheckNum("\xb9"));  // superscript one in Latin-1
}

TEST(CheckVarName, LettersDigitsUnderscore)
{
    EXPECT_TRUE(CheckVarName("name"));
    EXPECT_TRUE(CheckVarName("_x9"));
    EXPECT_TRUE(CheckVarName("1st"));  // a leading digit is accepted
    EXPECT_FALSE(CheckVarName(""));
    EXPECT_FALSE(CheckVarName(nullptr));
    EXPECT_FALSE(CheckVarName("my+name"));
    EXPECT_FALSE(CheckVarName("a.b"));
    EXPECT_FALSE(CheckVarName("a b"));
    EXPECT_FALSE(CheckVarName("caf\xc3\xa9"));
}

std::vector<std::pair<std::string, std::string>> pairs_of(std::string data, std::size_t stop_after = 0)
{
    std::vector<std::pair<std::string, std::string>> out;
    scan_form(data.data(), [&](char *name, std::size_t name_len, char *value, std::size_t value_len) {
        EXPECT_EQ(std::strlen(name), name_len);
        EXPECT_EQ(std::strlen(value), value_len);
        out.emplace_back(name, value);
        return stop_after == 0 || out.size() < stop_after;
    });
    return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ScanForm, SplitsAtEqualsAndAmpersand)
{
    EXPECT_EQ(pairs_of("a=1&b=2"), (Pairs{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(pairs_of("=x&y="), (Pairs{{"", "x"}, {"y", ""}}));
    EXPECT_EQ(pairs_of("a=1=2"), (Pairs{{"a", "1=2"}}));
    EXPECT_EQ(pairs_of(""), Pairs{});
    EXPECT_EQ(pairs_of("keyword"), Pairs{});
}

TEST(ScanForm, SegmentWithoutEqualsJoinsTheNextName)
{
    EXPECT_EQ(pairs_of("a&b=2"), (Pairs{{"a&b", "2"}}));
    EXPECT_EQ(pairs_of("a=1&junk"), (Pairs{{"a", "1"}}));
    EXPECT_EQ(pairs_of("a=1&"), (Pairs{{"a", "1"}}));
    EXPECT_EQ(pairs_of("a=1&&b=2"), (Pairs{{"a", "1"}, {"&b", "2"}}));
}

TEST(ScanForm, StopsWhenAsked)
{
    EXPECT_EQ(pairs_of("a=1&b=2&c=3", 2), (Pairs{{"a", "1"}, {"b", "2"}}));
}

} // namespace
