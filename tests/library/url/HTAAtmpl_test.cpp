// One-star name templates.

#include "HTAAtmpl.h"

#include <gtest/gtest.h>

namespace {

TEST(HTAAtmpl, OneStarTemplates)
{
    EXPECT_EQ(HTAA_templateMatch("*.html", "index.html"), 1);
    EXPECT_EQ(HTAA_templateMatch("a*b", "axxb"), 1);
    EXPECT_EQ(HTAA_templateMatch("abc", "abcd"), 0);
    EXPECT_EQ(HTAA_templateMatch("abc", "abc"), 1);
    EXPECT_EQ(HTAA_templateMatch("a*", "a"), 1);
    EXPECT_EQ(HTAA_templateMatch("*", ""), 1);
    EXPECT_EQ(HTAA_templateMatch("*.html", "index.htm"), 0);
    // The suffix must fit in the rest of the name.
    EXPECT_EQ(HTAA_templateMatch("ab*b", "ab"), 0);
    EXPECT_EQ(HTAA_templateMatch("ab*b", "abb"), 1);
    EXPECT_EQ(HTAA_templateMatch("x*.verylongsuffix", "x.s"), 0);
    EXPECT_EQ(HTAA_templateMatch("*.HTML", "index.html"), 0);
    EXPECT_EQ(HTAA_templateCaseMatch("*.HTML", "INDEX.html"), 1);
    EXPECT_EQ(HTAA_templateCaseMatch("AB*", "abc"), 1);
    EXPECT_EQ(HTAA_templateMatch(nullptr, "x"), 0);
    EXPECT_EQ(HTAA_templateMatch("x", nullptr), 0);
    EXPECT_EQ(HTAA_templateCaseMatch(nullptr, nullptr), 0);
}

} // namespace
