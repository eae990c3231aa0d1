#include "ResBundle.h"

#include "htc_oom.h"
#include "needs_icu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#if HT_WITH_ICU
#include <unicode/uloc.h>
#include <unicode/ures.h>
#endif

namespace {

#define SKIP_WITHOUT_BUNDLES()                                             \
    do {                                                                   \
        HT_SKIP_WITHOUT_ICU();                                             \
        if (!NLS_TEST_BUNDLES)                                             \
            GTEST_SKIP() << "test bundles not built (genrb missing)";      \
    } while (0)

// Sets ICU's default locale for one test and restores it.
class DefaultLocale {
public:
    explicit DefaultLocale(const char *locale)
    {
#if HT_WITH_ICU
        saved_ = uloc_getDefault();
        UErrorCode st = U_ZERO_ERROR;
        uloc_setDefault(locale, &st);
#else
        (void)locale;
#endif
    }
    ~DefaultLocale()
    {
#if HT_WITH_ICU
        UErrorCode st = U_ZERO_ERROR;
        uloc_setDefault(saved_.c_str(), &st);
#endif
    }

private:
    std::string saved_;
};

TEST(ResBundle, KeyFunctions)
{
    const uint32_t a[2] = {1, 893}, b[2] = {1, 893}, c[2] = {2, 893};
    EXPECT_EQ(ResBundle_Compare(a, b), 0);
    EXPECT_EQ(ResBundle_Compare(a, c), 1);
    EXPECT_EQ(ResBundle_Hash(256, a), (51u * 1 + 893) % 256);
    EXPECT_EQ(ResBundle_Hash(256, c), (51u * 2 + 893) % 256);
}

TEST(ResBundle, MissingOrUnusableCatalogues)
{
    int status = 0;
    EXPECT_EQ(ResBundle_LoadCatalog("en_US", "/nonexistent/msg", "orvaneproxy", &status), nullptr);
    EXPECT_GT(status, 0);
    EXPECT_EQ(ResBundle_Load("/nonexistent/msg", "orvaneproxy"), nullptr);
    EXPECT_EQ(ResBundle_LoadSpecific("en_US", "", "config"), nullptr);
    EXPECT_EQ(ResBundle_LoadSpecific("en_US", nullptr, "config"), nullptr);
    const std::string long_dir = std::string(NLS_TEST_DIR) + "/" + std::string(600, 'x');
    EXPECT_EQ(ResBundle_LoadSpecific("en_US", long_dir.c_str(), "config"), nullptr);
    // Lookups in no bundle give the default.
    EXPECT_STREQ(ResBundle_ExtractWithDefault(nullptr, 1, 1, "d"), "d");
}

TEST(ResBundle, CodePageNameThatDoesNotFitOrIsUnknownFailsTheLoad)
{
    SKIP_WITHOUT_BUNDLES();
    EXPECT_EQ(ResBundle_LoadSpecific("en_US", NLS_TEST_DIR, "longenc"), nullptr);
    EXPECT_EQ(ResBundle_LoadSpecific("en_US", NLS_TEST_DIR, "badenc"), nullptr);
}

TEST(ResBundle, ForceEncodingWhateverTheLocale)
{
    SKIP_WITHOUT_BUNDLES();
    ResBundle *b = ResBundle_LoadSpecific("ja_JP", NLS_TEST_DIR, "forced");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->codeset, "windows-1252");
    EXPECT_STREQ(ResBundle_Extract(b, 1, 1), "\x80uro");
    const HTUChar *u = ResBundle_ExtractUnicode(b, 1, 1);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u[0], 0x20AC);
    ResBundle_Destroy(b);
}

TEST(ResBundle, FallBackToTheDefaultLocaleChoosesItsCodePage)
{
    SKIP_WITHOUT_BUNDLES();
    DefaultLocale en("en_US");
    int status = 0;
    void *raw = ResBundle_LoadCatalog("ja_JP", NLS_TEST_DIR, "fallback", &status);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(status, -127); // ICU's "used the default locale" warning
    ResBundle *b = ResBundle_LoadSpecific("ja_JP", NLS_TEST_DIR, "fallback");
    ASSERT_NE(b, nullptr);
    // The code page of en_US, where the bundle was found, not of ja_JP.
    EXPECT_STREQ(b->codeset, "ibm-850");
    EXPECT_STREQ(ResBundle_Extract(b, 1, 1), "caf\x82");
    ResBundle_Destroy(b);
#if HT_WITH_ICU
    ures_close(static_cast<UResourceBundle *>(raw));
#endif
}

TEST(ResBundle, PrimedBundleAndInsert)
{
    SKIP_WITHOUT_BUNDLES();
    ResBundle *b = ResBundle_LoadSpecific("en_US", NLS_TEST_DIR, "orvanehtc");
    ASSERT_NE(b, nullptr);
    const HTUChar hi[] = {'h', 'i', 0};
    EXPECT_EQ(ResBundle_Insert(b, 9, 9, hi), 1);
    EXPECT_STREQ(ResBundle_Extract(b, 9, 9), "hi");
    ResBundle_Prime(b);
    EXPECT_EQ(b->primed, 1);
    ResBundleElement *e = ResBundle_ExtractHashElement(b, 1, 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->set, 1u);
    EXPECT_EQ(e->number, 2u);
    EXPECT_STREQ(e->converted, "beta");
    EXPECT_STREQ(ResBundle_Extract(b, 7, 1), "seven");
    EXPECT_STREQ(ResBundle_Extract(b, 9, 9), "hi");
    EXPECT_EQ(ResBundle_Extract(b, 1, 3), nullptr);
    EXPECT_EQ(ResBundle_Extract(b, 1, 0), nullptr);
    EXPECT_EQ(ResBundle_Insert(b, 9, 10, hi), 0); // a primed cache no longer changes
    EXPECT_STREQ(ResBundle_ExtractWithDefault(b, 9, 10, "d"), "d");
    const HTUChar dflt[] = {'d', 0};
    EXPECT_EQ(ResBundle_ExtractUnicodeWithDefault(b, 9, 10, dflt), dflt);
    ResBundle_Destroy(b);
}

TEST(ResBundle, TheShippedCatalogue)
{
    SKIP_WITHOUT_BUNDLES();
    if (!HT_CATALOG_BUILT)
        GTEST_SKIP() << "catalogue not built";
    ResBundle *en = ResBundle_LoadSpecific("en", HT_CATALOG_BUILD_DIR, "orvaneproxy");
    ASSERT_NE(en, nullptr);
    EXPECT_STREQ(ResBundle_Extract(en, 1, 948), "%s: Error: %s\n");
    EXPECT_STREQ(ResBundle_Extract(en, 1, 893), "\nformsift, version %s\n\n");
    EXPECT_STREQ(ResBundle_Extract(en, 1, 1013), ",");
    EXPECT_STREQ(ResBundle_Extract(en, 1, 896), ""); // an empty element is an empty text
    EXPECT_EQ(ResBundle_Extract(en, 1, 1015), nullptr); // past the end
    ResBundle_Destroy(en);
    ResBundle *de = ResBundle_LoadSpecific("de_DE", HT_CATALOG_BUILD_DIR, "orvaneproxy");
    ASSERT_NE(de, nullptr);
    EXPECT_STREQ(de->codeset, "UTF-8");
    EXPECT_STREQ(ResBundle_Extract(de, 1, 948), "%s: Fehler: %s\n");
    EXPECT_STREQ(ResBundle_Extract(de, 1, 944), "  1        Unzul\xc3\xa4ssige Argumente.");
    // Untranslated messages are the English ones.
    EXPECT_STREQ(ResBundle_Extract(de, 1, 1014), "-");
    ResBundle_Destroy(de);
}

} // namespace

// Every allocation of loading and priming the shipped catalogue (more
// strings than the cache's preallocated entries), failed in turn: the load
// gives null, or a bundle in which every message reads as it does in a bundle
// loaded with memory to spare.
TEST(ResBundle, RunningOutOfMemoryLosesNoMessage)
{
    SKIP_WITHOUT_BUNDLES();
    if (!HT_CATALOG_BUILT)
        GTEST_SKIP() << "catalogue not built";
    ResBundle *full = ResBundle_LoadSpecific("en", HT_CATALOG_BUILD_DIR, "orvaneproxy");
    ASSERT_NE(full, nullptr);
    ResBundle_Prime(full);
    ASSERT_EQ(full->primed, 1);
    ResBundle *volatile b = nullptr;
    htc_each_failure(
        [&] {
            b = ResBundle_LoadSpecific("en", HT_CATALOG_BUILD_DIR, "orvaneproxy");
            if (b != nullptr)
                ResBundle_Prime(b);
        },
        [&](const HtcOomRound &r) {
            EXPECT_FALSE(r.raised);
            if (b == nullptr)
                return;
            int differ = 0;
            for (uint32_t n = 1; n <= 1020; ++n) {
                const char *want = ResBundle_Extract(full, 1, n);
                const char *got = ResBundle_Extract(b, 1, n);
                differ += (want == nullptr) != (got == nullptr) ||
                          (want != nullptr && std::strcmp(want, got) != 0);
            }
            EXPECT_EQ(differ, 0) << "round " << r.n;
            ResBundle_Destroy(b);
        });
    ResBundle_Destroy(full);
}
