#include "HTAtom.h"
#include "HTBTree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(HTAtom, UniqueAndCaseSensitive)
{
    HTAtom *a = HTAtom_for("text/html");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(HTAtom_for("text/html"), a);
    std::string copy = "text/html";
    EXPECT_EQ(HTAtom_for(copy.c_str()), a);
    EXPECT_NE(HTAtom_for("Text/HTML"), a);
    EXPECT_STREQ(HTAtom_getName(a), "text/html");
    EXPECT_EQ(a->length, 9u);
    EXPECT_STREQ(HTAtom_getName(nullptr), "NULL");
    EXPECT_EQ(HTAtom_for(nullptr), nullptr);
    EXPECT_EQ(HTAtom_lookup("text/html", HT_ATOM_BUCKETS), nullptr);
}

TEST(HTAtom, GlobalAtoms)
{
    HTLoadGlobalAtoms();
    EXPECT_EQ(WWW_HTML, HTAtom_for("text/html"));
    EXPECT_EQ(WWW_PRESENT, HTAtom_for("www/present"));
    EXPECT_STREQ(HTAtom_getName(HTWSRCConvert_name), "HTWSRCConvert");
    EXPECT_STREQ(HTAtom_getName(WWW_ENC_EBCDIC), "ebcdic");
}

} // namespace
