#include "HTParse.h"

#include "HTMPool.h"
#include "HTTrace.h"

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

TEST(HTUnEscape, NullGivesEmptyTextTracedUnderUrl)
{
    ::testing::internal::CaptureStderr();
    const char *r = HTUnEscape(nullptr); // tracing off: silent
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    const uint32_t level = tc[HT_TRACE_LEVEL_WORD];
    const uint32_t url = tc[HT_TRACE_URL];
    tc[HT_TRACE_LEVEL_WORD] = 22;
    tc[HT_TRACE_URL] = 1;
    ::testing::internal::CaptureStderr();
    EXPECT_STREQ(HTUnEscape(nullptr), "");
    const std::string err = ::testing::internal::GetCapturedStderr();
    tc[HT_TRACE_LEVEL_WORD] = level;
    tc[HT_TRACE_URL] = url;
    EXPECT_NE(err.find("]: HTUnEscape.. Called with NULL argument.\n"), std::string::npos) << err;
}

} // namespace

// ---------------------------------------------------------------------------
// URL toolkit. Pool strings come from the test thread's fall-back pool.

namespace {

struct Scanned {
    const char *scheme, *host, *absolute, *relative, *fragment;
};

std::string opt(const char *s)
{
    return s ? std::string("\"") + s + "\"" : std::string("null");
}

void expect_scan(const char *url, Scanned want)
{
    std::string buf(url);
    HTParseParts parts;
    HTParse_scan(buf.data(), &parts, buf.size());
    SCOPED_TRACE(url);
    EXPECT_EQ(opt(parts.scheme), opt(want.scheme));
    EXPECT_EQ(opt(parts.host), opt(want.host));
    EXPECT_EQ(opt(parts.absolute), opt(want.absolute));
    EXPECT_EQ(opt(parts.relative), opt(want.relative));
    EXPECT_EQ(opt(parts.fragment), opt(want.fragment));
}

TEST(HTParseScan, SplitsIntoFiveParts)
{
    expect_scan("http://h:80/a/b?q#f", {"http", "h:80", "a/b?q", nullptr, "f"});
    expect_scan("a:b", {nullptr, nullptr, nullptr, "a:b", nullptr});
    expect_scan("ab:c", {"ab", nullptr, nullptr, "c", nullptr});
    expect_scan("x#1#2", {nullptr, nullptr, nullptr, "x", "1"});
    expect_scan("URL:http://h/p", {"http", "h", "p", nullptr, nullptr});
    expect_scan("url:x", {nullptr, nullptr, nullptr, "x", nullptr});
    expect_scan("//x/y", {nullptr, nullptr, "/x/y", nullptr, nullptr});
    expect_scan("/", {nullptr, nullptr, "", nullptr, nullptr});
    expect_scan("http://h", {"http", "h", nullptr, nullptr, nullptr});
    expect_scan("#only", {nullptr, nullptr, nullptr, nullptr, "only"});
    expect_scan("", {nullptr, nullptr, nullptr, nullptr, nullptr});
    expect_scan("c:/dos/path", {nullptr, nullptr, nullptr, "c:/dos/path", nullptr});
    expect_scan("a/b:c", {nullptr, nullptr, nullptr, "a/b:c", nullptr});
}

struct ParseCase {
    const char *name, *related;
    int wanted;
    const char *want;
};

const ParseCase parse_corpus[] = {
    {"b/c", "http://h/a/x?q", 31, "http://h/a/b/c"},
    {"http://h:80/p", "", 31, "http://h/p"},
    {"http://h:8080/p", "", 31, "http://h:8080/p"},
    {"https://h:443/", "", 31, "https://h:443/"},
    {"URL:http://h/p", "", 16, "http"},
    {"/x", "ftp://h/y", 31, "ftp://h/x"},
    {"gopher://g/", "http://h/a#f", 31, "gopher://g/"},
    {"gopher://g:70/1x", "", 31, "gopher://g/1x"},
    {"file://h:21/x", "", 31, "file://h/x"},
    {"http://h.:8080/p", "", 31, "http://h:8080/p"},
    {"http://h/p", "", 8, "h"},
    {"http://h/p", "", 9, "//h"},
    {"http://h/p", "", 4, "p"},
    {"http://h/p", "", 5, "/p"},
    {"http://h", "", 31, "http://h/"},
    {"http://h", "", 31 | 32, "http://h"},
    {"#frag", "http://h/a/b", 31, "http://h/a/b#frag"},
    {"../c", "http://h/a/b/x", 31, "http://h/a/c"},
    {"./c", "http://h:80/a/", 31, "http://h/a/c"},
    {"c", "http://h/a\\b/x?u/v", 31, "http://h/a/b/c"},
    // Without a scheme "//" is no host marker: the path is "//other/p".
    {"//other/p", "http://h/a", 31, "http://h//other/p"},
    {"q", "http://other/p", 4, "/q"},
    {"", "", 31, "/"},
    {"http://a/x", "http://b/y#f", 31, "http://a/x"},
    {"x", "http://b/y#f", 31, "http://b/x#f"},
};

TEST(HTParse, UrlCorpus)
{
    for (const ParseCase &c : parse_corpus) {
        const char *r = HTParse(c.name, c.related, c.wanted, nullptr);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r, c.want) << c.name << " relative to " << c.related << " mask " << c.wanted;
    }
}

TEST(HTParse, InputsAreUnchangedAndLengthsAreHonoured)
{
    const char name[] = "b/c#x";
    const char related[] = "http://h/a/x?q";
    EXPECT_STREQ(HTParse(name, related, 31, nullptr), "http://h/a/b/c#x");
    EXPECT_STREQ(name, "b/c#x");
    EXPECT_STREQ(related, "http://h/a/x?q");
    // Only the given lengths are read: "b/c" of "b/cdef" and "http://h/a/" of the base.
    EXPECT_STREQ(HTParseWithLen("b/cdef", 3, "http://h/a/xyz", 11, 31, nullptr), "http://h/a/b/c");
    EXPECT_STREQ(HTParse(nullptr, nullptr, 31, nullptr), "/");
}

TEST(HTParse, ResultIsNeverCutByItsBuffer)
{
    // Every name against every base under every mask. HTParse sizes its
    // result from the two lengths; the same parts formatted into a buffer
    // far larger than any result must give the same text, so a result that
    // outgrew its size (and was cut) would show as a difference.
    const char *urls[] = {"", "/", "//", "a", "a:", "ab:", "ab://", "http://h:80", "http://h.:1/",
                          "#", "?#", "x/./../y", "URL:", "../../..", "file://h:9/p#f#g",
                          "https://u@h:443/p?q=/../#f", "\\\\h\\p", ".\\a\\..\\b",
                          "h:/#", "a:b:c", "///x", "news:"};
    for (const char *n : urls)
        for (const char *r : urls)
            for (int wanted = 0; wanted < 64; ++wanted) {
                const char *res = HTParse(n, r, wanted, nullptr);
                std::string name = n, base = r;
                HTParseParts given, related;
                HTParse_scan(name.data(), &given, name.size());
                HTParse_scan(base.data(), &related, base.size());
                char wide[4096];
                HTParse_format(&given, &related, wide, wanted, nullptr);
                ASSERT_STREQ(res, wide) << "\"" << n << "\" against \"" << r << "\", mask " << wanted;
            }
}

std::string simplify(const std::string &url)
{
    char *buf = new char[url.size() + 1];
    std::memcpy(buf, url.c_str(), url.size() + 1);
    char *r = HTSimplify(buf, nullptr);
    EXPECT_EQ(r, buf);
    std::string out(buf);
    delete[] buf;
    return out;
}

TEST(HTSimplify, UrlCorpus)
{
    const std::pair<const char *, const char *> corpus[] = {
        {"http://h:80/a/./b/../c//d/", "http://h/a/c/d/"},
        {"/..", "/.."},
        {"a/..", "a/.."},
        {"a/b/..", "a"},
        {"a/b/../", "a/"},
        {"/a/b/../../c", "/c"},
        {"/a/../", "/"},
        {"http://h/a/../", "http://h/"},
        {"https://h:443/x", "https://h/x"},
        {"https://h:4430/x", "https://h:4430/x"},
        {"gopher://g:70/1/./x", "gopher://g/1/x"},
        {"ftp://h:21/a/../b", "ftp://h:21/b"},
        {"HTTP://h:80/", "HTTP://h/"},
        {"http://h:80", "http://h"},
        {"http://h/a\\b\\..\\c", "http://h/a/c"},
        {"./a/../b", "./b"},
        {".\\a\\..\\b", ".\\b"},
        {"file:///etc/../x", "file:///x"},
        {"http://proxy/http://h:80/a/../b", "http://proxy/http://h/b"},
        {"http://h/a?x=/../y", "http://h/y"},
        {"a//b", "a/b"},
        {"a/./b", "a/b"},
        {"abc", "abc"},
        {"a\\b", "a\\b"},
        {"./", "./"},
        {"../a", "../a"},
        {"x/../../a", "../a"},
        {"./../x", "./../x"},
        {"http://h:80x/", "http://h:80x/"},
    };
    for (const auto &[in, want] : corpus)
        EXPECT_EQ(simplify(in), want) << in;
}

TEST(HTSimplify, NeverLonger)
{
    std::mt19937 rng(11);
    const char alphabet[] = "//..\\\\:ab8h0p";
    for (int round = 0; round < 20000; ++round) {
        std::string s(rng() % 24, ' ');
        for (char &c : s)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        if (rng() % 3 == 0)
            s = "http://h:80/" + s;
        ASSERT_LE(simplify(s).size(), s.size()) << s;
    }
    EXPECT_EQ(HTSimplify(nullptr, nullptr), nullptr);
}

TEST(HTRelative, ExpressesOneUrlAgainstAnother)
{
    EXPECT_STREQ(HTRelative("http://h/a/b/c", "http://h/a/x/y", nullptr), "../b/c");
    EXPECT_STREQ(HTRelative("http://h/a/b", "http://h/a/c", nullptr), "b");
    EXPECT_STREQ(HTRelative("http://h/p", "http://g/p", nullptr), "//h/p");
    EXPECT_STREQ(HTRelative("abc", "abd", nullptr), "abc");
    EXPECT_STREQ(HTRelative("http://h/a/b", "http://h/x/y/z#a/b", nullptr), "../../a/b");
}

TEST(HTEscape, Classes)
{
    EXPECT_STREQ(HTEscape("a b/c", URL_XPALPHAS, nullptr), "a%20b%2Fc");
    EXPECT_STREQ(HTEscape("a b/c", URL_PATH, nullptr), "a%20b/c");
    EXPECT_STREQ(HTEscape("a+b", URL_XALPHAS, nullptr), "a%2Bb");
    EXPECT_STREQ(HTEscape("a+b", URL_XPALPHAS, nullptr), "a+b");
    EXPECT_STREQ(HTEscape("*-.@_~", URL_XALPHAS, nullptr), "*-.@_%7E");
    EXPECT_STREQ(HTEscape("\x01\x7f\x80\xff", URL_PATH, nullptr), "%01%7F%80%FF");
    EXPECT_STREQ(HTEscape("", URL_PATH, nullptr), "");
    EXPECT_EQ(HTEscape(nullptr, URL_PATH, nullptr), nullptr);
}

TEST(HTEscape, RoundTripsThroughHTUnEscape)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 2000; ++round) {
        std::string s(rng() % 40, ' ');
        for (char &c : s)
            c = static_cast<char>(1 + rng() % 255);
        char *e = HTEscape(s.c_str(), static_cast<unsigned char>(1 + rng() % 7), nullptr);
        ASSERT_EQ(std::string(HTUnEscape(e)), s);
    }
}

TEST(HTStrip, TrimsBothEnds)
{
    char a[] = " \t a b \r\n";
    EXPECT_STREQ(HTStrip(a), "a b");
    char b[] = " \n ";
    EXPECT_STREQ(HTStrip(b), "");
    EXPECT_EQ(HTStrip(nullptr), nullptr);
}

TEST(HTCleanTelnetString, CutsAtTheFirstControlByte)
{
    char ok[] = "host\tname";
    EXPECT_EQ(HTCleanTelnetString(ok), 0);
    EXPECT_STREQ(ok, "host\tname");
    char lf[] = "host\nrm -rf";
    EXPECT_EQ(HTCleanTelnetString(lf), 1);
    EXPECT_STREQ(lf, "host");
    char c1[] = "ab\x85z";
    EXPECT_EQ(HTCleanTelnetString(c1), 1);
    EXPECT_STREQ(c1, "ab");
    char ff[] = "a\xff";
    EXPECT_EQ(HTCleanTelnetString(ff), 1);
    char latin[] = "caf\xe9";
    EXPECT_EQ(HTCleanTelnetString(latin), 0);
    EXPECT_EQ(HTCleanTelnetString(nullptr), 0);
}

std::string port_of(const char *url)
{
    // Exactly sized, so that stepping past the terminator is caught.
    const std::size_t n = std::strlen(url);
    char *buf = new char[n + 1];
    std::memcpy(buf, url, n + 1);
    const char *p = HTParse_getPort(buf);
    std::string out = p ? p : "(null)";
    delete[] buf;
    return out;
}

TEST(HTParseGetPort, ExplicitOrSchemeDefault)
{
    EXPECT_EQ(port_of("ftp://h/x"), "21");
    EXPECT_EQ(port_of("h:8080/x"), "8080");
    EXPECT_EQ(port_of("h"), "80");
    EXPECT_EQ(port_of("https://h"), "443");
    EXPECT_EQ(port_of("gopher://h/1"), "70");
    EXPECT_EQ(port_of("http://h:81/a:b"), "81");
    EXPECT_EQ(port_of("ab:/"), "80");
    EXPECT_EQ(port_of("ab:"), "");
    EXPECT_EQ(port_of("https:/h:9"), "9");
    EXPECT_EQ(HTParse_getPort(nullptr), nullptr);
}

} // namespace
