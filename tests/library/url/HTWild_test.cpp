// Wildcard patterns, rule trees, address patterns and name templates.

#include "HTWild.h"

#include "HTGlobals.h"
#include "htc_oom.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

HTThdGlobals *ctx()
{
    static HTThdGlobals *c = [] {
        htc_test_start();
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return c;
}

void reset_pool() { HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx()); }

struct PatternDeleter {
    void operator()(HTPattern *p) const { HTPattern_free(p); }
};
using Pat = std::unique_ptr<HTPattern, PatternDeleter>;

Pat pat(const char *text) { return Pat(HTPattern_new(text)); }

// The match result as a string; "<null>" for no match.
std::string match(const char *pattern, const char *tmpl, const char *subject, int cs = 1)
{
    Pat p = pat(pattern), t = pat(tmpl);
    const char *r = HTPattern_match(p.get(), t.get(), subject, cs, ctx());
    return r ? r : "<null>";
}

std::string url_match(const char *pattern, const char *tmpl, const char *url, int cs = -1)
{
    Pat p = pat(pattern), t = pat(tmpl);
    // The URL in a heap block of exactly its size, so that a read past its
    // end is seen by the address sanitizer.
    const size_t n = std::strlen(url) + 1;
    std::unique_ptr<char[]> copy(new char[n]);
    std::memcpy(copy.get(), url, n);
    const char *r = cs < 0 ? HTPattern_url_match(p.get(), t.get(), copy.get(), ctx())
                           : HTPattern_url_matchEx(p.get(), t.get(), copy.get(), cs, ctx());
    return r ? r : "<null>";
}

std::vector<std::string> captures(const char *pattern, const char *subject)
{
    Pat p = pat(pattern);
    std::vector<std::string> out;
    for (HTPatternCapture *c = HTPattern_captures(p.get(), subject, 1, ctx()); c; c = c->next)
        out.push_back(c->text ? c->text : "");
    return out;
}

std::string stringitize(const char *pattern)
{
    Pat p = pat(pattern);
    char *s = HTPattern_stringitize(p.get());
    std::string r = s;
    std::free(s);
    return r;
}

} // namespace

TEST(HTPattern, SyntaxAndSegments)
{
    EXPECT_EQ(HTPattern_new(""), nullptr);
    EXPECT_EQ(HTPattern_new(nullptr), nullptr);
    Pat p = pat("/a/*.gif*");
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(p->wild);
    EXPECT_STREQ(p->text, "/a/");
    ASSERT_NE(p->next, nullptr);
    EXPECT_TRUE(p->next->wild);
    EXPECT_STREQ(p->next->text, ".gif");
    EXPECT_EQ(p->next->length, 4);
    ASSERT_NE(p->next->next, nullptr);
    EXPECT_TRUE(p->next->next->wild);
    EXPECT_EQ(p->next->next->length, 0);
    EXPECT_EQ(p->next->next->next, nullptr);

    // Consecutive stars act as one; "\" quotes; a final "\" is a line feed.
    EXPECT_EQ(stringitize("a**b***"), "a*b*");
    EXPECT_EQ(stringitize("**"), "*");
    EXPECT_EQ(stringitize("a\\*b"), "a*b"); // one literal segment
    Pat q = pat("a\\*b");
    EXPECT_EQ(q->next, nullptr);
    EXPECT_EQ(match("a\\*b", nullptr, "a*b"), "a*b");
    EXPECT_EQ(match("a\\*b", nullptr, "axb"), "<null>");
    EXPECT_EQ(match("line\\", nullptr, "line\n"), "line\n");
    EXPECT_EQ(stringitize(nullptr), "");

    char *s = HTPattern_stringitizeThis(p.get()->next, nullptr);
    EXPECT_STREQ(s, "*.gif*");
    s = HTPattern_stringitizeThis(p.get(), s);
    EXPECT_STREQ(s, "*.gif*/a/*.gif*");
    std::free(s);
}

TEST(HTPattern, MatchAndSubstitute)
{
    EXPECT_EQ(match("/cgi-bin/*", "/scripts/*", "/cgi-bin/a/b"), "/scripts/a/b");
    EXPECT_EQ(match("/cgi-bin/*", nullptr, "/cgi-bin/a/b"), "/cgi-bin/a/b");
    EXPECT_EQ(match("/cgi-bin/*", "/scripts/*", "/cgi-bin"), "<null>");
    // The first occurrence that lets the rest match.
    EXPECT_EQ(captures("*.gif*", "a.gif.gif"), (std::vector<std::string>{"a", ".gif"}));
    EXPECT_EQ(match("*.gif*", "x*", "a.gif.gif"), "xa");
    EXPECT_EQ(match("*.gif*", "*-*", "a.gif.gif"), "a-.gif");
    EXPECT_EQ(captures("*a*b", "xaayb"), (std::vector<std::string>{"x", "ay", ""}));
    EXPECT_EQ(captures("*.gif", "a.gif.gif"), (std::vector<std::string>{"a.gif", ""}));
    // More stars in the template than captures: the rest is written as text.
    EXPECT_EQ(match("/a/*", "/b/*/*", "/a/x"), "/b/x/");

    // Without a star only the whole subject matches.
    EXPECT_EQ(match("/index.html", nullptr, "/index.html"), "/index.html");
    EXPECT_EQ(match("/index.html", nullptr, "/index.html5"), "<null>");
    EXPECT_EQ(match("/index.html", nullptr, "/index.htm"), "<null>");
    EXPECT_EQ(captures("/index.html", "/index.html"), (std::vector<std::string>{""}));
    EXPECT_EQ(match("*", nullptr, ""), "");

    // Case.
    EXPECT_EQ(match("/A/*", "/b/*", "/a/X", 0), "/b/X");
    EXPECT_EQ(match("/A/*", "/b/*", "/a/X", 1), "<null>");
    EXPECT_EQ(match("*.GIF", nullptr, "x.gif", 0), "x.gif");

    // Null arguments.
    Pat p = pat("*");
    EXPECT_EQ(HTPattern_match(nullptr, nullptr, "x", 1, ctx()), nullptr);
    EXPECT_EQ(HTPattern_match(p.get(), nullptr, nullptr, 1, ctx()), nullptr);
}

TEST(HTPattern, StarNeverSwallowsAUserDirectory)
{
    EXPECT_EQ(match("/*", nullptr, "/~joe/x"), "<null>");
    EXPECT_EQ(match("/~*", "/home/*", "/~joe/x"), "/home/joe/x");
    EXPECT_EQ(match("*", nullptr, "/~joe"), "<null>");
    EXPECT_EQ(match("*", nullptr, "file:/~joe"), "<null>");
    EXPECT_EQ(match("file:/~*", "*", "file:/~joe/a"), "joe/a");
    EXPECT_EQ(match("/*", nullptr, "/a/~joe"), "/a/~joe"); // not at the start of the rest
    EXPECT_EQ(match("*/x", nullptr, "/~joe/x"), "<null>");
    EXPECT_EQ(match("*/~joe/x", nullptr, "/~joe/x"), "/~joe/x");
}

TEST(HTPattern, UrlMatchDecodesEscapes)
{
    EXPECT_EQ(url_match("/a b", nullptr, "/a%20b"), "/a%20b");
    EXPECT_EQ(url_match("/a b", nullptr, "/a b"), "/a b");
    EXPECT_EQ(url_match("/a/*", "/b/*", "/a/x%20y"), "/b/x%20y"); // captures stay escaped
    EXPECT_EQ(url_match("/A", nullptr, "/%61"), "<null>");
    EXPECT_EQ(url_match("/A", nullptr, "/%61", 0), "/%61");
    EXPECT_EQ(url_match("/A", nullptr, "/a", 0), "/a");
    EXPECT_EQ(url_match("/A", nullptr, "/a", 1), "<null>");
    // A star steps over an escape as one unit: "%2F" is not split.
    EXPECT_EQ(url_match("*/b", "[*]", "a%2F/b"), "[a%2F]");
    EXPECT_EQ(url_match("*/b", "[*]", "a%2Fb"), "[a]");
    // The user-directory rule does not apply here.
    EXPECT_EQ(url_match("/*", "*", "/~joe"), "~joe");

    // A "%" without two hexadecimal digits is a literal "%", and nothing is
    // read past the end of the URL.
    EXPECT_EQ(url_match("/50%", nullptr, "/50%"), "/50%");
    EXPECT_EQ(url_match("/50%zz", nullptr, "/50%zz"), "/50%zz");
    EXPECT_EQ(url_match("/a@", nullptr, "/a%4"), "<null>");
    EXPECT_EQ(url_match("/a*", "*", "/a%4"), "%4");
    EXPECT_EQ(url_match("/a*", "*", "/a%"), "%");
    EXPECT_EQ(url_match("*x", nullptr, "%"), "<null>");
    EXPECT_EQ(url_match("/a\x01", nullptr, "/a%01"), "/a%01");
}

TEST(HTPattern, FirstWild)
{
    const char *s = "/cgi-bin/x";
    Pat a = pat("/cgi-bin/*"), b = pat("*.gif"), c = pat("/plain");
    EXPECT_EQ(HTPattern_firstWild(a.get(), s), s + 9);
    EXPECT_EQ(HTPattern_firstWild(b.get(), s), s);
    EXPECT_EQ(HTPattern_firstWild(c.get(), s), nullptr);
    EXPECT_EQ(HTPattern_firstWild(nullptr, s), nullptr);
}

TEST(HTPattern, ManyStarsStayFast)
{
    // Every combination of star positions would be 10^9 tries.
    std::string subject(3000, 'a');
    EXPECT_EQ(match("*a*a*a*a*a*a*a*a*a*b", nullptr, subject.c_str()), "<null>");
    subject += 'b';
    EXPECT_EQ(match("*a*a*a*a*a*a*a*a*a*b", nullptr, subject.c_str()), subject);
    reset_pool();
}

TEST(HTRanNumPat, RangesPerByte)
{
    HTRanNumPat *p = HTRanNumPat_new("10.[1,5-3].0.[0-255]");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->next->count, 2);
    EXPECT_EQ(p->next->ranges[1].low, 3);
    EXPECT_EQ(p->next->ranges[1].high, 5);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.9"), 1);
    EXPECT_EQ(HTRanNumPat_match(p, "10.1.0.255"), 1);
    EXPECT_EQ(HTRanNumPat_match(p, "10.2.0.9"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "11.4.0.9"), 0);
    // Exactly four numbers of at most 255, nothing else.
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.9.7"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.256"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.99999999999999999999999"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.4294967305"), 0); // 9 after wrapping 32 bits
    EXPECT_EQ(HTRanNumPat_match(p, "10.4..9"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.9 "), 0);
    EXPECT_EQ(HTRanNumPat_match(p, "10.4.0.x"), 0);
    EXPECT_EQ(HTRanNumPat_match(p, ""), 0);
    EXPECT_EQ(HTRanNumPat_match(nullptr, "1.2.3.4"), 0);
    HTRanNumPat_free(p);

    for (const char *bad : {"10.1.1", "300.1.1.1", "1.2.3.4.5", "1.2.3.[1-256]", "1.2.3.[]",
                            "1.2.3.[1,]", "1.2.3.[1", "1.2. 3.4", "1.2.3.4\n", "1.2.3.4\t",
                            "1.2.3.-4", "1.2.3.a", "", "1..2.3", "1.2.3.99999999999999999999",
                            "1.2.3.[4-]"})
        EXPECT_EQ(HTRanNumPat_new(bad), nullptr) << bad;
    p = HTRanNumPat_new("0.0.0.0");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(HTRanNumPat_match(p, "0.0.0.0"), 1);
    EXPECT_EQ(HTRanNumPat_match(p, "00.0.0.000"), 1);
    HTRanNumPat_free(p);
}

// ---- Rule trees ------------------------------------------------------------------------

namespace {

struct RuleSet {
    std::vector<std::unique_ptr<HTPatternRule>> rules;
    std::vector<std::string> texts, addresses;
    std::vector<Pat> templates;
    HTRuleNode *tree = nullptr;

    RuleSet() = default;
    RuleSet(const RuleSet &) = delete;
    ~RuleSet() { HTDestroyRuleTree(tree, 0); }

    void add(int id, const char *pattern, const char *tmpl = nullptr, const char *address = nullptr,
             int port = 0)
    {
        texts.reserve(4096);
        addresses.reserve(4096);
        texts.emplace_back(pattern);
        auto r = std::make_unique<HTPatternRule>();
        r->ruleID = id;
        r->pattern = texts.back().c_str();
        templates.emplace_back(HTPattern_new(tmpl));
        r->replacement = templates.back().get();
        if (address) {
            addresses.emplace_back(address);
            r->address = addresses.back().c_str();
        }
        r->port = static_cast<uint16_t>(port);
        rules.push_back(std::move(r));
    }

    void build()
    {
        std::vector<HTPatternRule *> ptrs;
        for (auto &r : rules)
            ptrs.push_back(r.get());
        tree = HTCreateRuleTree(nullptr, ptrs.data(), static_cast<int>(ptrs.size()), 0, nullptr,
                                nullptr);
    }

    // "<null>" or "<id>:<result>".
    std::string match(const char *subject, const char *address = nullptr, int port = 80,
                      int caseFlag = 1, HTPatternRule *from = nullptr)
    {
        HTPatternRule *r = from;
        const char *out = HTPatternGroup_match(tree, &r, subject, address, port, caseFlag, ctx());
        if (out == nullptr) {
            EXPECT_EQ(r, nullptr);
            return "<null>";
        }
        return std::to_string(r->ruleID) + ":" + out;
    }

    // The plain scan the tree must agree with: the smallest-numbered rule
    // (not below `limit`) whose pattern matches and whose address and port
    // fit, with its template filled in.
    std::string scan(const char *subject, const char *address, int port, int caseFlag, int limit)
    {
        const HTPatternRule *best = nullptr;
        const char *out = nullptr;
        for (size_t i = 0; i < rules.size(); ++i) {
            const HTPatternRule *r = rules[i].get();
            if (r->ruleID < limit || (best && r->ruleID >= best->ruleID))
                continue;
            if (r->port != 0 && r->port != port)
                continue;
            if (r->address && (!address || std::strcmp(r->address, address) != 0))
                continue;
            Pat p = pat(r->pattern);
            const char *m = HTPattern_match(p.get(), r->replacement, subject, caseFlag, ctx());
            if (m) {
                best = r;
                out = m;
            }
        }
        return best ? std::to_string(best->ruleID) + ":" + out : "<null>";
    }
};

} // namespace

TEST(HTRuleTree, PriorityAndPortRestriction)
{
    {
        RuleSet s;
        s.add(5, "/a/*", "/five/*");
        s.add(2, "/a/b", "/two");
        s.build();
        EXPECT_EQ(s.match("/a/b"), "2:/two");
        EXPECT_EQ(s.match("/a/c"), "5:/five/c");
        EXPECT_EQ(s.match("/b"), "<null>");
    }
    {
        RuleSet s;
        s.add(5, "/a/*", "/five/*");
        s.add(2, "/a/b", "/two", nullptr, 8080);
        s.build();
        EXPECT_EQ(s.match("/a/b", nullptr, 80), "5:/five/b");
        EXPECT_EQ(s.match("/a/b", nullptr, 8080), "2:/two");
    }
    {
        // Array order must not matter: the literal child is found first here,
        // yet the "*" rule with the smaller number wins.
        RuleSet s;
        s.add(7, "/a/b");
        s.add(3, "/a/*", "/three/*");
        s.build();
        EXPECT_EQ(s.match("/a/b"), "3:/three/b");
        // Starting from rule 4, only rules numbered 4 and up count.
        HTPatternRule *from = s.rules[1].get(); // number 3
        EXPECT_EQ(s.match("/a/b", nullptr, 80, 1, from), "3:/three/b");
        from = s.rules[0].get(); // number 7
        EXPECT_EQ(s.match("/a/b", nullptr, 80, 1, from), "7:/a/b");
    }
    {
        // After a "*", every character that may follow is tried, not only the first that fits.
        RuleSet s;
        s.add(5, "/*x*", "five");
        s.add(2, "/*y", "two");
        s.build();
        EXPECT_EQ(s.match("/axby"), "2:two");
        EXPECT_EQ(s.match("/axb"), "5:five");
    }
}

TEST(HTRuleTree, IdenticalPatternsChooseByAddressAndPort)
{
    RuleSet s;
    s.add(9, "/x/*", "any/*");
    s.add(4, "/x/*", "addr/*", "10.0.0.1");
    s.add(6, "/x/*", "port/*", nullptr, 8080);
    s.add(1, "/x/*", "both/*", "10.0.0.2", 8080);
    s.build();
    ASSERT_NE(s.tree, nullptr);
    EXPECT_EQ(s.match("/x/p", nullptr, 80), "9:any/p");
    EXPECT_EQ(s.match("/x/p", "10.0.0.1", 80), "4:addr/p");
    EXPECT_EQ(s.match("/x/p", nullptr, 8080), "6:port/p");
    EXPECT_EQ(s.match("/x/p", "10.0.0.2", 8080), "1:both/p");
    EXPECT_EQ(s.match("/x/p", "10.0.0.3", 8080), "6:port/p");
    EXPECT_EQ(s.match("/y", "10.0.0.3", 8080), "<null>");
}

TEST(HTRuleTree, TreeShape)
{
    RuleSet s;
    s.add(1, "/a/b*");
    s.add(2, "/a/c");
    s.add(3, "/a/c");
    s.build();
    ASSERT_NE(s.tree, nullptr);
    EXPECT_STREQ(s.tree->prefix, "/a/");
    EXPECT_EQ(s.tree->groupSize, 3);
    ASSERT_EQ(s.tree->nextCharCount, 2);
    EXPECT_EQ(s.tree->nextChars[0], 'b');
    EXPECT_EQ(s.tree->nextChars[1], 'c');
    const HTRuleNode *b = s.tree->children[0];
    EXPECT_STREQ(b->prefix, "b*");
    EXPECT_EQ(b->owner, s.tree);
    ASSERT_EQ(b->nextCharCount, 1);
    EXPECT_EQ(b->nextChars[0], '\0');
    const HTRuleNode *c = s.tree->children[1];
    EXPECT_STREQ(c->prefix, "c");
    EXPECT_EQ(c->groupSize, 2);
    EXPECT_EQ(c->nextCharCount, 0);
    auto *leaves = static_cast<const HTRuleNode *>(c->leaf);
    EXPECT_EQ(static_cast<const HTPatternRule *>(leaves[0].leaf)->ruleID, 2);
    EXPECT_EQ(static_cast<const HTPatternRule *>(leaves[1].leaf)->ruleID, 3);
    EXPECT_EQ(s.match("/a/c"), "2:/a/c");
    EXPECT_EQ(s.match("/a/bzz"), "1:/a/bzz");

    HTPatternRule *none[2] = {nullptr, nullptr};
    EXPECT_EQ(HTCreateRuleTree(nullptr, none, 2, 0, nullptr, nullptr), nullptr);
}

TEST(HTRuleTree, AgreesWithALinearScan)
{
    std::mt19937 rng(20261209);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const char alphabet[] = "abAB/.";
    auto literal = [&](int len) {
        std::string t;
        for (int i = 0; i < len; ++i)
            t += alphabet[pick(6)];
        return t;
    };
    for (int round = 0; round < 4; ++round) {
        RuleSet s;
        const int n = round == 0 ? 3000 : 700;
        std::vector<int> ids(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            ids[static_cast<size_t>(i)] = i;
        std::shuffle(ids.begin(), ids.end(), rng);
        std::vector<std::string> patterns;
        for (int i = 0; i < n; ++i) {
            std::string p;
            if (!patterns.empty() && pick(8) == 0) {
                p = patterns[static_cast<size_t>(pick(static_cast<int>(patterns.size())))];
            } else {
                const int stars = pick(4);
                p = "/" + literal(pick(4));
                for (int k = 0; k < stars; ++k)
                    p += "*" + literal(pick(3) + (k + 1 < stars ? 1 : 0));
            }
            patterns.push_back(p);
            const char *addr = pick(6) == 0 ? (pick(2) ? "10.0.0.1" : "10.0.0.2") : nullptr;
            const int port = pick(6) == 0 ? (pick(2) ? 80 : 8080) : 0;
            const char *tmpl = pick(2) ? "<*|*|*>" : nullptr;
            s.add(ids[static_cast<size_t>(i)], p.c_str(), tmpl, addr, port);
        }
        s.build();
        ASSERT_NE(s.tree, nullptr);
        int matched = 0;
        for (int u = 0; u < 1500; ++u) {
            std::string url;
            if (pick(2)) {
                url = "/" + literal(pick(8));
            } else {
                // A rule's pattern with its stars filled in, to make hits likely.
                for (char c : patterns[static_cast<size_t>(pick(n))])
                    url += c == '*' ? literal(pick(4)) : std::string(1, c);
            }
            const char *addr = pick(3) == 0 ? "10.0.0.1" : nullptr;
            const int port = pick(2) ? 80 : 8080;
            const int caseFlag = round == 3 ? 0 : 1;
            const int limit = pick(4) == 0 ? pick(n) : -1;
            HTPatternRule *from = nullptr;
            if (limit >= 0)
                for (auto &r : s.rules)
                    if (r->ruleID == limit)
                        from = r.get();
            const std::string expected = s.scan(url.c_str(), addr, port, caseFlag, limit);
            ASSERT_EQ(s.match(url.c_str(), addr, port, caseFlag, from), expected)
                << "url " << url << " addr " << (addr ? addr : "-") << " port " << port
                << " limit " << limit;
            matched += expected != "<null>";
            if (u % 100 == 0)
                reset_pool();
        }
        EXPECT_GT(matched, 300);
        reset_pool();
    }
}

// ---- Running out of memory ---------------------------------------------------------------

// Every allocation of building and matching, failed in turn: a pattern, an
// address pattern or a rule tree is built whole or not at all (the half made
// goes with the failure, which reaches out_of_memory); a match either gives
// its answer or goes to out_of_memory, never a wrong "no match".
TEST(HTWild, RunningOutOfMemoryBuildsWholeOrNothing)
{
    HTThdGlobals *c = ctx();
    HTPattern *volatile p = nullptr;
    char *volatile text = nullptr;
    htc_each_failure(
        [&] {
            p = nullptr;
            text = nullptr;
            p = HTPattern_new("*/a\\*b/*.gif*x*y*\\");
            text = HTPattern_stringitize(p);
        },
        [&](const HtcOomRound &r) {
            if (!r.raised) {
                EXPECT_STREQ(text, "*/a*b/*.gif*x*y*\n");
            }
            HTAlloc_free(text);
            HTPattern_free(p);
        });

    HTRanNumPat *volatile range = nullptr;
    htc_each_failure([&] { range = HTRanNumPat_new("10.[1,5-3].0.[0-255]"); },
                     [&](const HtcOomRound &r) {
                         if (!r.raised) {
                             EXPECT_EQ(HTRanNumPat_match(range, "10.4.0.9"), 1);
                             EXPECT_EQ(HTRanNumPat_match(range, "10.2.0.9"), 0);
                         }
                         HTRanNumPat_free(range);
                     });

    // Matching: a memo for the stars, captures beyond the ones kept on the
    // stack, results from the pool.
    Pat stars = pat("*a*b*c*d*e*f*g*h*i*j*k*l*m*n*o*p*q*");
    Pat tmpl = pat("<*|*|*>");
    char *volatile out = nullptr;
    htc_each_failure(
        [&] {
            out = nullptr;
            out = HTPattern_match(stars.get(), tmpl.get(), "0a1b2c3d4e5f6g7h8i9j0k1l2m3n4o5p6q7", 1, c);
        },
        [&](const HtcOomRound &r) {
            if (!r.raised) {
                EXPECT_STREQ(out, "<0|1|2>");
            }
            reset_pool();
        });

    // A search that remembers its failures, and finds no match.
    Pat three = pat("*a*b*c");
    htc_each_failure(
        [&] {
            out = reinterpret_cast<char *>(1);
            out = HTPattern_match(three.get(), nullptr, "abababababab", 1, c);
        },
        [&](const HtcOomRound &r) {
            if (!r.raised) {
                EXPECT_EQ(out, nullptr);
            }
        });

    RuleSet s;
    s.add(5, "/a/*", "/five/*");
    s.add(2, "/a/b", "/two");
    s.add(7, "/cgi-bin/*", "/scripts/*", nullptr, 8080);
    s.add(8, "/cgi-bin/*", "/other/*", "10.0.0.1");
    s.add(9, "/cgi-bin/*");
    s.add(3, "http://*.example.com/*.html", "/site/*/*");
    std::vector<HTPatternRule *> rules;
    for (auto &rule : s.rules)
        rules.push_back(rule.get());
    HTRuleNode *volatile tree = nullptr;
    htc_each_failure(
        [&] {
            tree = nullptr;
            tree = HTCreateRuleTree(nullptr, rules.data(), static_cast<int>(rules.size()), 0,
                                    nullptr, nullptr);
        },
        [&](const HtcOomRound &r) {
            if (r.raised) {
                EXPECT_EQ(tree, nullptr);
                return;
            }
            ASSERT_NE(tree, nullptr);
            s.tree = tree;
            EXPECT_EQ(s.match("/a/b"), "2:/two");
            EXPECT_EQ(s.match("/a/bc"), "5:/five/bc");
            EXPECT_EQ(s.match("/cgi-bin/x", "10.0.0.1", 8080), "7:/scripts/x");
            EXPECT_EQ(s.match("/cgi-bin/x", "10.0.0.1"), "8:/other/x");
            EXPECT_EQ(s.match("/cgi-bin/x"), "9:/cgi-bin/x");
            EXPECT_EQ(s.match("http://www.example.com/i.html"), "3:/site/www/i");
            reset_pool();
        });

    // Matching through the tree, with its captures in the pool.
    HTPatternRule *volatile hit = nullptr;
    htc_each_failure(
        [&] {
            out = nullptr;
            HTPatternRule *h = nullptr;
            out = HTPatternGroup_match(s.tree, &h, "http://www.example.com/i.html", nullptr, 80, 1, c);
            hit = h;
        },
        [&](const HtcOomRound &r) {
            if (!r.raised) {
                EXPECT_STREQ(out, "/site/www/i");
                EXPECT_EQ(hit->ruleID, 3);
            }
            reset_pool();
        });
}

// Without a recovery frame a rule tree that cannot be built ends the
// process, as every out-of-memory report does.
TEST(HTWild, RuleTreeOutOfMemoryWithoutAFrameEndsTheProcess)
{
    RuleSet s;
    s.add(1, "/a/*");
    s.add(2, "/b/*");
    std::vector<HTPatternRule *> rules{s.rules[0].get(), s.rules[1].get()};
    EXPECT_EXIT(
        {
            HTAlloc_failAt(1, 1);
            HTCreateRuleTree(nullptr, rules.data(), 2, 0, nullptr, nullptr);
        },
        ::testing::ExitedWithCode(1), "Program aborted");
}
