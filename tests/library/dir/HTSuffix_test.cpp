// The suffix table: which names get which format and encoding.

#include "HTSuffix.h"

#include "htc_start.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char *name;
    const char *format;    // null: none
    const char *encoding;  // null: none
};

const Case kCases[] = {
    {"index.html", "text/html", nullptr},
    {"INDEX.HTM", "text/html", nullptr},
    {"notes.txt", "text/plain", nullptr},
    {"a.gif", "image/gif", nullptr},
    {"a.jpg", "image/jpeg", nullptr},
    {"a.jpeg", "image/jpeg", nullptr},
    {"a.png", "image/png", nullptr},
    {"site.css", "text/css", nullptr},
    {"app.js", "application/javascript", nullptr},
    {"paper.pdf", "application/pdf", nullptr},
    {"paper.ps", "application/postscript", nullptr},
    {"src.tar", "application/x-tar", nullptr},
    {"src.zip", "application/zip", nullptr},
    {"src.tar.gz", "application/x-tar", "x-gzip"},
    {"src.tgz", "application/x-tar", "x-gzip"},
    {"notes.txt.Z", "text/plain", "x-compress"},
    {"blob.gz", nullptr, "x-gzip"},
    {"blob.z", nullptr, nullptr},          // pack, not compress
    {"README", nullptr, nullptr},
    {".html", nullptr, nullptr},           // a dot file, not a suffix
    {"dir.d/file", nullptr, nullptr},      // only the last segment counts
    {"/srv/www/page.html", "text/html", nullptr},
    {"trailing.", nullptr, nullptr},
    {"a.unknownsuffix", nullptr, nullptr},
    {"", nullptr, nullptr},
};

std::string name_of(const HTAtom *a) { return a ? a->name : "(none)"; }

TEST(HTSuffix, NamesGetTheirFormatAndEncoding)
{
    ASSERT_TRUE(htc_test_start());
    for (const Case &c : kCases) {
        HTAtom *format = reinterpret_cast<HTAtom *>(1), *encoding = reinterpret_cast<HTAtom *>(1);
        const int found = HTSuffix_lookup(c.name, &format, &encoding);
        EXPECT_EQ(name_of(format), c.format ? c.format : "(none)") << c.name;
        EXPECT_EQ(name_of(encoding), c.encoding ? c.encoding : "(none)") << c.name;
        EXPECT_EQ(found, c.format || c.encoding ? 1 : 0) << c.name;
    }
}

TEST(HTSuffix, FormatsAreTheLibrarysAtoms)
{
    ASSERT_TRUE(htc_test_start());
    HTAtom *format = nullptr;
    HTSuffix_lookup("x.html", &format, nullptr);
    EXPECT_EQ(format, WWW_HTML);
    EXPECT_STREQ(HTSuffix_contentType(format), "text/html");
    EXPECT_STREQ(HTSuffix_contentType(nullptr), HT_SUFFIX_DEFAULT_TYPE);
    EXPECT_EQ(HTSuffix_lookup(nullptr, &format, nullptr), 0);
    EXPECT_EQ(format, nullptr);
}

} // namespace
