#include "HTAtom.h"
#include "HTBTree.h"
#include "HTString.h"

#include "htc_oom.h"

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

// An atom that cannot be made goes to out_of_memory with the table as it
// was (no half-made atom, the insertion lock free again); start-up's pair of
// steps, run again after a failure, leaves every global atom in the table.
TEST(HTAtom, RunningOutOfMemoryInsertsNothingHalfMade)
{
    HTAtom *volatile made = nullptr;
    htc_each_failure([&] { made = HTAtom_for("x-oom/fresh-name"); },
                     [&](const HtcOomRound &r) {
                         const unsigned b = ElfHash(HT_ATOM_BUCKETS, "x-oom/fresh-name");
                         HTAtom *seen = HTAtom_lookup("x-oom/fresh-name", b);
                         if (r.raised) {
                             EXPECT_EQ(seen, nullptr) << "round " << r.n;
                         } else {
                             EXPECT_EQ(seen, made);
                             EXPECT_STREQ(HTAtom_getName(made), "x-oom/fresh-name");
                         }
                     });

    htc_each_failure([&] {
                         HTAtom_Init();
                         HTLoadGlobalAtoms();
                     },
                     [&](const HtcOomRound &r) {
                         if (r.raised)
                             return;
                         EXPECT_EQ(WWW_HTML, HTAtom_for("text/html"));
                         EXPECT_EQ(WWW_PLAINTEXT, HTAtom_for("text/plain"));
                         EXPECT_EQ(HTWSRCConvert_name, HTAtom_for("HTWSRCConvert"));
                         EXPECT_EQ(WWW_ENC_EBCDIC, HTAtom_for("ebcdic"));
                     });
}

} // namespace
