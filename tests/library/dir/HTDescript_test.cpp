// Descriptions from the directory's file and from HTML titles.

#include "HTDescript.h"

#include "HTConfig.h"
#include "dir_tree.hpp"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HTDescript, LinesTemplatesAndTitles)
{
    ASSERT_TRUE(htc_test_start());
    TempTree t;
    ASSERT_FALSE(t.root.empty());
    t.file(".www_descript", "Description *.txt   Plain <b>notes</b>\r\n"
                            "   d report.pdf The report\n"
                            "Dx onlytemplate\n"
                            "Describe\n"
                            "x a.txt never used\n"
                            "D a.txt second match, never used\n"
                            "D long " + std::string(300, 'L') + "\n"
                            "D last no newline");
    t.file("page.html", "<html><head><TitLe>\n\t A  <i>title</i>\n\nhere </TITLE>");
    t.file("open.html", "<TITLE>  never closed");
    t.file("none.html", "<p>no title</p>");
    htc_as_worker([&](HTThdGlobals *g) {
        HTStaticConfig cfg{};
        g->config = &cfg;
        HTDirDescription *d = HTReadDescriptions(t.root.c_str(), g);
        std::vector<std::string> lines;
        for (HTDirDescription *e = d; e; e = e->next)
            lines.push_back(e->line);
        // The 300-character line is read in pieces: only its first piece is a description.
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0], "*.txt Plain <b>notes</b>");
        EXPECT_EQ(lines[1], "report.pdf The report");
        EXPECT_EQ(lines[2], "a.txt second match, never used");
        EXPECT_EQ(lines[3].substr(0, 6), "long L");
        EXPECT_EQ(lines[3].size(), 5u + 256 - 7);
        EXPECT_EQ(lines[4], "last no newline");
        const HTAtom *html = WWW_HTML;
        EXPECT_STREQ(HTGetDescription(d, t.root.c_str(), "a.txt", nullptr, g), "Plain <b>notes</b>");
        EXPECT_STREQ(HTGetDescription(d, t.root.c_str(), "report.pdf", nullptr, g), "The report");
        EXPECT_EQ(HTGetDescription(d, t.root.c_str(), "page.html", html, g), nullptr);   // peeking is off
        cfg.dir_peek_title = 1;
        EXPECT_STREQ(HTGetDescription(d, t.root.c_str(), "page.html", html, g), "A &lt;i&gt;title&lt;/i&gt; here ");
        cfg.dir_max_description = 5;
        EXPECT_STREQ(HTGetDescription(d, t.root.c_str(), "page.html", html, g), "A &lt");
        EXPECT_STREQ(HTPeekTitle(t.root.c_str(), "open.html", g), "never closed");
        EXPECT_EQ(HTPeekTitle(t.root.c_str(), "none.html", g), nullptr);
        EXPECT_EQ(HTPeekTitle(t.root.c_str(), "absent.html", g), nullptr);
        EXPECT_EQ(HTGetDescription(d, t.root.c_str(), "page.html", nullptr, g), nullptr);
        TempTree empty;
        EXPECT_EQ(HTReadDescriptions(empty.root.c_str(), g), nullptr);
        g->config = nullptr;
    });
}

} // namespace
