#include "nls.h"

#include "htc_oom.h"
#include "needs_icu.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Each test uses its own bundle index: the table loads a bundle at most once
// per process, and the cases may share one.
void use_test_catalogue()
{
    setenv("ORVANE_MSG_DIR", NLS_TEST_DIR, 1);
}

#define SKIP_WITHOUT_BUNDLES()                                             \
    do {                                                                   \
        HT_SKIP_WITHOUT_ICU();                                             \
        if (!NLS_TEST_BUNDLES)                                             \
            GTEST_SKIP() << "test bundles not built (genrb missing)";      \
    } while (0)

TEST(nls, MissingDirectoryGivesDefaultsAndIsNotRetried)
{
    const char *dflt = "%s: Error: %s\n";
    setenv("ORVANE_MSG_DIR", "/nonexistent/orvane-msg", 1);
    EXPECT_EQ(nlsGetString(NLS_CACHEAGT, 1, 1, dflt), dflt);
    EXPECT_EQ(nlsLoadResources(NLS_CACHEAGT, nullptr), 0);
    // The directory now holds the bundle, but one attempt was all it got.
    use_test_catalogue();
    EXPECT_EQ(nlsGetString(NLS_CACHEAGT, 1, 1, dflt), dflt);
    EXPECT_EQ(nlsGetString(NLS_CACHEAGT, 1, 1, nullptr), nullptr);
}

TEST(nls, BadIndexesAndNumbers)
{
    const char *d = "d";
    EXPECT_EQ(nlsGetString(-1, 1, 1, d), d);
    EXPECT_EQ(nlsGetString(NLS_BUNDLES, 1, 1, d), d);
    EXPECT_EQ(nlsLoadResources(-1, nullptr), 0);
    EXPECT_EQ(nlsLoadResources(7, nullptr), 0);
    nlsFreeResources(-1);
    nlsFreeResources(7);
}

TEST(nls, ReferenceCounting)
{
    SKIP_WITHOUT_BUNDLES();
    use_test_catalogue();
    nlsFreeResources(NLS_CONFIG); // nothing loaded: ignored
    ASSERT_EQ(nlsLoadResources(NLS_CONFIG, nullptr), 1);
    ASSERT_EQ(nlsLoadResources(NLS_CONFIG, nullptr), 1);
    nlsFreeResources(NLS_CONFIG);
    EXPECT_STREQ(nlsGetString(NLS_CONFIG, 1, 2, "d"), "two");
    nlsFreeResources(NLS_CONFIG);
    EXPECT_STREQ(nlsGetString(NLS_CONFIG, 1, 2, "d"), "d");
    // Released down to zero: not loaded again.
    EXPECT_EQ(nlsLoadResources(NLS_CONFIG, nullptr), 0);
    nlsFreeResources(NLS_CONFIG);
    EXPECT_STREQ(nlsGetString(NLS_CONFIG, 1, 1, "d"), "d");
}

TEST(nls, SetsNumbersAndGaps)
{
    SKIP_WITHOUT_BUNDLES();
    use_test_catalogue();
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 1, 1, "d"), "first");
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 1, 2, "d"), ""); // an empty text is a text
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 1, 3, "d"), "third");
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 1, 4, "d"), "d");
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 1, 0, "d"), "d"); // message 0 is never found
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 2, 1, "d"), "single");
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 2, 2, "d"), "d");
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 10, 1, "d"), "ten-one");
    EXPECT_STREQ(nlsGetString(NLS_HTMLFORM, 5, 1, "d"), "d");
    // The same pointer every time: converted once, then cached.
    EXPECT_EQ(nlsGetString(NLS_HTMLFORM, 1, 1, "d"), nlsGetString(NLS_HTMLFORM, 1, 1, "d"));
}

TEST(nls, PrimedBundle)
{
    SKIP_WITHOUT_BUNDLES();
    use_test_catalogue();
    EXPECT_STREQ(nlsGetString(NLS_ORVANEHTC, 1, 2, "d"), "beta");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEHTC, 7, 1, "d"), "seven");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEHTC, 1, 3, "d"), "d");
}

TEST(nls, FormatsOnlyWithMatchingConversions)
{
    SKIP_WITHOUT_BUNDLES();
    use_test_catalogue();
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 1, "%s items"), "%s items");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 2, "%s: Error: %s\n"), "%s: Fehler: %s\n");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 3, "%s"), "%s");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 4, "100%% certain"), "100%% sure");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 5, "%s|%ld"), "%-10s|%5.2ld");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 6, "%1$s %2$s"), "%1$s %2$s");
    EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 7, "plain"), "plain");
}

TEST(nls, ConversionShapes)
{
    EXPECT_TRUE(nls__sameConversions("a %s b %d", "%s: %i"));
    EXPECT_TRUE(nls__sameConversions("%x", "%u"));
    EXPECT_TRUE(nls__sameConversions("%08.3f%%", "%g"));
    EXPECT_TRUE(nls__sameConversions("no format", "none either"));
    EXPECT_TRUE(nls__sameConversions("%*d", "%*i"));
    EXPECT_TRUE(nls__sameConversions("anything", nullptr));
    EXPECT_FALSE(nls__sameConversions("%d", "%ld"));
    EXPECT_FALSE(nls__sameConversions("%s %s", "%s"));
    EXPECT_FALSE(nls__sameConversions("%*d", "%d"));
    EXPECT_FALSE(nls__sameConversions("%s%n", "%s%n"));
    EXPECT_FALSE(nls__sameConversions("%", "%"));
    EXPECT_FALSE(nls__sameConversions("%y", "%y"));
    EXPECT_FALSE(nls__sameConversions(nullptr, "%s"));
}

// A catalogue whose load runs out of memory is unloaded for good, as any
// failed load: its lookups give their defaults, nothing of it stays in the
// heap, and the table (its lock free) goes on loading the other bundles.
TEST(nls, RunningOutOfMemoryAtLoadGivesDefaults)
{
    SKIP_WITHOUT_BUNDLES();
    use_test_catalogue();
    const char *volatile text = nullptr;
    const unsigned long rounds =
        htc_each_failure([&] { text = nlsGetString(NLS_HTMLPROX, 1, 1, "d"); },
                         [&](const HtcOomRound &r) {
                             EXPECT_FALSE(r.raised);
                             EXPECT_STREQ(text, "d") << "round " << r.n;
                             EXPECT_STREQ(nlsGetString(NLS_ORVANEKQ, 1, 1, "%d x"), "%d items");
                         });
    // One failed attempt: the bundle is not tried again.
    EXPECT_EQ(rounds, 2u);
    EXPECT_EQ(nlsLoadResources(NLS_HTMLPROX, nullptr), 0);
}

} // namespace
