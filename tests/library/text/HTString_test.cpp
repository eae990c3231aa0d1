#include "HTString.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(HTString, CaseInsensitiveComparison)
{
    EXPECT_EQ(strcasecomp("Content-Type", "content-type"), 0);
    EXPECT_LT(strcasecomp("abc", "ABD"), 0);
    EXPECT_GT(strcasecomp("abcd", "ABC"), 0);
    EXPECT_EQ(strncasecomp("HTTP/1.0", "http/1.1", 7), 0);
    EXPECT_NE(strncasecomp("HTTP/1.0", "http/1.1", 8), 0);
    EXPECT_EQ(strncasecomp("a", "A", 5), 0);
    EXPECT_EQ(strUcasecomp("Keep-Alive", "KEEP-ALIVE"), 0);
    EXPECT_EQ(strUcasecomp("Keep-Alive", "keep-alive"), 1);
    EXPECT_EQ(strnUcasecomp("closed", "CLOSE", 5), 0);
    EXPECT_EQ(strnUcasecomp("clo", "CLOSE", 5), 1);
    // Bytes above 127 index the tables as unsigned and have no case here.
    EXPECT_EQ(useToUpperTable('\xe9'), 0xe9);
    EXPECT_EQ(useToLowerTable('Q'), 'q');
    EXPECT_TRUE(useIsDigitTable('7'));
    EXPECT_TRUE(useIsSpaceTable('\t'));
    EXPECT_FALSE(useIsAlphaTable('\xff'));
    // Rebuilt from the runtime's current locale: ASCII letters keep their case pairs.
    HTString_buildCaseTables();
    EXPECT_EQ(useToUpperTable('a'), 'A');
    EXPECT_EQ(strcasecomp("Host", "hOST"), 0);
}

TEST(HTString, AssignAndConcatenateHeapTexts)
{
    char *s = nullptr;
    EXPECT_STREQ(HTSACopy(&s, "abc"), "abc");
    EXPECT_EQ(HTSACopy(&s, s), s);
    // A source inside the destination is copied before the old text goes.
    EXPECT_STREQ(HTSACopy(&s, s + 1), "bc");
    EXPECT_STREQ(HTSACat(&s, "de"), "bcde");
    EXPECT_STREQ(HTSACat(&s, s), "bcdebcde");
    EXPECT_STREQ(HTSACat(&s, s + 6), "bcdebcdede");
    EXPECT_STREQ(HTSACat(&s, ""), "bcdebcdede");
    EXPECT_STREQ(HTSACat(&s, nullptr), "bcdebcdede");
    EXPECT_EQ(HTSACopy(&s, nullptr), nullptr);
    EXPECT_EQ(s, nullptr);
    EXPECT_STREQ(HTSACat(&s, "x"), "x");
    std::free(s);
}

TEST(HTString, SmallHelpers)
{
    char t[] = "MiXeD-1";
    EXPECT_STREQ(strlwr(t), "mixed-1");
    EXPECT_EQ(count("a/b/c/", '/'), 3);
    char u[] = "a_b_c";
    EXPECT_EQ(translate(u, '-', '_'), 0);
    EXPECT_STREQ(u, "a-b-c");
    char buf[8];
    EXPECT_EQ(AssemblePathAndFile(buf, sizeof buf, "/a", "bc"), 5);
    EXPECT_STREQ(buf, "/a/bc");
    EXPECT_EQ(AssemblePathAndFile(buf, sizeof buf, "/a/", "bc"), 5);
    EXPECT_STREQ(buf, "/a/bc");
    EXPECT_EQ(AssemblePathAndFile(buf, sizeof buf, "/ab", "def"), 7);
    EXPECT_EQ(AssemblePathAndFile(buf, sizeof buf, "/abc", "def"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(HTString, ElfHashAndHostNames)
{
    EXPECT_EQ(ElfHash(0, ""), 0u);
    EXPECT_EQ(ElfHash(0, "a"), 0x61u);
    EXPECT_EQ(ElfHash(0, "ab"), 0x672u);
    // The top nibble folds back into bits 4 to 7 and is cleared.
    EXPECT_EQ(ElfHash(0, "abcdefgh"), 0x89abaa8u);
    EXPECT_EQ(ElfHash(437, "text/html"), ElfHash(0, "text/html") % 437);
    EXPECT_LT(ElfHash(0, "\xff\xff\xff\xff\xff\xff\xff\xff\xff"), 0x10000000u);
    EXPECT_EQ(compare_host_names("WWW.Example.com", "www.example.COM"), 0);
    EXPECT_EQ(compare_host_names("a.example", "b.example"), 1);
    const std::string longname(65, 'a');
    EXPECT_EQ(compare_host_names(longname.c_str(), longname.c_str()), 1);
    EXPECT_EQ(compare_host_names(longname.substr(1).c_str(), longname.substr(1).c_str()), 0);
}

std::vector<std::string> fields(std::string text, char *(*next)(char **))
{
    // Exactly sized so that a cursor past the terminator shows under ASan.
    char *buf = new char[text.size() + 1];
    std::memcpy(buf, text.c_str(), text.size() + 1);
    std::vector<std::string> out;
    char *cursor = buf;
    for (char *f; (f = next(&cursor)) != nullptr;) {
        out.emplace_back(f);
        EXPECT_LE(cursor, buf + text.size());
    }
    EXPECT_EQ(next(&cursor), nullptr); // again at the end: still nothing
    delete[] buf;
    return out;
}

using V = std::vector<std::string>;

TEST(HTString, NextField)
{
    EXPECT_EQ(fields("  GET /a  HTTP/1.0", HTNextField), (V{"GET", "/a", "HTTP/1.0"}));
    EXPECT_EQ(fields("a \"b c\" d", HTNextField), (V{"a", "b c", "d"}));
    EXPECT_EQ(fields("\"x\\\"y\" z", HTNextField), (V{"x\\\"y", "z"}));
    EXPECT_EQ(fields("\"open", HTNextField), (V{"open"}));
    EXPECT_EQ(fields("\"end\\", HTNextField), (V{"end\\"}));
    EXPECT_EQ(fields("last", HTNextField), (V{"last"}));
    EXPECT_EQ(fields("", HTNextField), V{});
    EXPECT_EQ(fields("\x01\x1f \t", HTNextField), V{});
}

TEST(HTString, Words)
{
    EXPECT_EQ(fields(" \tone  two\tthree", get_word), (V{"one", "two", "three"}));
    EXPECT_EQ(fields("x ", get_word), (V{"x"}));
    EXPECT_EQ(fields("", get_word), V{});
}

TEST(HTString, CacheControlDirectives)
{
    EXPECT_EQ(fields("max-age=60, private,no-cache=\"a, b\"  must-revalidate", get_cc_directive),
              (V{"max-age=60", "private", "no-cache=\"a, b\"", "must-revalidate"}));
    EXPECT_EQ(fields(" , ,", get_cc_directive), V{});
    EXPECT_EQ(fields("a=\"open", get_cc_directive), (V{"a=\"open"}));
    EXPECT_EQ(fields("\"Set-Cookie\", X", get_cc_directive_value), (V{"Set-Cookie", "X"}));
    EXPECT_EQ(fields("60", get_cc_directive_value), (V{"60"}));
    EXPECT_EQ(fields("\"", get_cc_directive_value), V{});
}

V args(std::string line, int *n_out = nullptr)
{
    char *buf = new char[line.size() + 1];
    std::memcpy(buf, line.c_str(), line.size() + 1);
    char *a[HT_MAX_ARGS];
    const int n = parse_args(buf, a);
    V out;
    for (int i = 0; i < n; ++i)
        out.emplace_back(a[i]);
    for (int i = n; i < HT_MAX_ARGS; ++i)
        EXPECT_EQ(a[i], buf + line.size()) << i;
    if (n_out)
        *n_out = n;
    delete[] buf;
    return out;
}

TEST(HTString, ParseArgs)
{
    EXPECT_EQ(args("Proxy  http://*  \"a b\"  # comment"), (V{"Proxy", "http://*", "a b"}));
    EXPECT_EQ(args("a#b c"), (V{"a"}));
    EXPECT_EQ(args("a\\ b \\#c d"), (V{"a b", "#c", "d"}));
    EXPECT_EQ(args("x\"y z\"w"), (V{"xy zw"}));
    EXPECT_EQ(args("a \"b c"), (V{"a", "b", "c"}));
    EXPECT_EQ(args("\"unclosed"), (V{"unclosed"}));
    EXPECT_EQ(args("  "), V{});
    EXPECT_EQ(args("# only"), V{});
    EXPECT_EQ(args("\"\" x"), (V{"", "x"}));
    std::string many;
    for (int i = 0; i < 60; ++i)
        many += "w" + std::to_string(i) + " ";
    int n = 0;
    const V got = args(many, &n);
    EXPECT_EQ(n, HT_MAX_ARGS);
    EXPECT_EQ(got.back(), "w49");
}

TEST(HTString, Keywords)
{
    char t[] = "No_Limit-X";
    EXPECT_STREQ(standardize(t), "nolimitx");
    EXPECT_TRUE(positive("Enabled"));
    EXPECT_TRUE(positive("YES"));
    EXPECT_TRUE(positive("always-on"));
    EXPECT_FALSE(positive("yesterday"));
    EXPECT_FALSE(positive(nullptr));
    EXPECT_TRUE(negative("Dis-able"));
    EXPECT_TRUE(negative("NONE"));
    EXPECT_FALSE(negative("nobody"));
    EXPECT_TRUE(unlimited("no_limit"));
    EXPECT_TRUE(unlimited("Unlimited"));
    EXPECT_TRUE(is_use("UseProxy"));
    EXPECT_FALSE(is_use("abuse"));
    // The caller's text is left alone, and a long text is no keyword.
    const char keep[] = "On";
    EXPECT_TRUE(positive(keep));
    EXPECT_STREQ(keep, "On");
    EXPECT_FALSE(positive("ok-------------------------------------x"));
    EXPECT_TRUE(positive("enable-------------------------------------x"));
}

TEST(HTString, Numbers)
{
    char b[24];
    int n = -1;
    EXPECT_STREQ(HTitoa(-2147483647 - 1, b, &n), "-2147483648");
    EXPECT_EQ(n, 11);
    EXPECT_STREQ(HTitoa(0, b, &n), "0");
    EXPECT_EQ(n, 1);
    EXPECT_STREQ(HTltoa(-5, b, &n), "-5");
    EXPECT_STREQ(HTlutoa(4294967295UL, b, &n), "4294967295");
    EXPECT_STREQ(HTitox(255, b, &n), "FF");
    EXPECT_STREQ(HTitox(-1, b, &n), "FFFFFFFF");
    EXPECT_EQ(n, 8);
    EXPECT_STREQ(HTi0toa(7, 3, b, &n), "007");
    EXPECT_STREQ(HTi0toa(1234, 2, b, &n), "1234");
    EXPECT_STREQ(HTi0toa(-7, 3, b, &n), "-007");
    EXPECT_STREQ(HTi0toa(1, 99, b, &n), "00000000000000000001");
    EXPECT_EQ(n, 20);
}

} // namespace
