#include "Locale.h"

#include "htc_oom.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string created(const char *name)
{
    HTLocale *l = Locale_Create(name);
    EXPECT_NE(l, nullptr);
    char buf[HT_LOCALE_NAME_SIZE];
    std::string out = Locale_ToString(l, buf);
    Locale_Destroy(l);
    return out;
}

TEST(Locale, CreateMapsCharsetsAndCodePages)
{
    EXPECT_EQ(created("Shift_JIS"), "ja_JP");
    EXPECT_EQ(created("ksc_5601"), "ko_KR");
    EXPECT_EQ(created("ISO-8859-1"), "en_US");
    EXPECT_EQ(created("big5"), "zh_TW");
    EXPECT_EQ(created("DE_de"), "de_DE");
    EXPECT_EQ(created(nullptr), "en_US");
    EXPECT_EQ(created("fr_CA"), "fr_CA");
    // Names longer than 31 characters are cut, never overflow the block.
    EXPECT_EQ(created("en_US.UTF-8@a-very-long-modifier-beyond-the-block"),
              std::string("en_US.UTF-8@a-very-long-modifier-beyond-the-block").substr(0, 31));
}

TEST(Locale, CodePageNumbers)
{
    EXPECT_EQ(Locale_GetCodepage("zh_HK"), 0);
    EXPECT_EQ(Locale_GetCodepage("pt_PT"), 1252);
    EXPECT_EQ(Locale_GetCodepage("de_DE"), 1252);
    EXPECT_EQ(Locale_GetCodepage("ja_JP"), 932);
    EXPECT_EQ(Locale_GetCodepage("ko"), 949);
    EXPECT_EQ(Locale_GetCodepage("zh_CN"), 936);
    EXPECT_EQ(Locale_GetCodepage("zh_TW"), 950);
    EXPECT_EQ(Locale_GetCodepage("xx_YY"), 0);
}

TEST(Locale, DefaultCodesetFitsTheBuffer)
{
    char buf[HT_CODESET_SIZE];
    EXPECT_STREQ(Locale_GetDefaultCodeset("de_DE", buf, sizeof buf), "ibm-850");
    EXPECT_STREQ(Locale_GetDefaultCodeset("ZH_tw", buf, sizeof buf), "BIG5");
    EXPECT_STREQ(Locale_GetDefaultCodeset("ko_KR", buf, sizeof buf), "ksc_5601");
    EXPECT_STREQ(Locale_GetDefaultCodeset("ja_JP", buf, sizeof buf), "ibm-932");
    char tiny[4];
    EXPECT_EQ(Locale_GetDefaultCodeset("de_DE", tiny, sizeof tiny), nullptr);
    EXPECT_STREQ(tiny, "");
    // Outside the table: the runtime's code set, never empty.
    ASSERT_NE(Locale_GetDefaultCodeset("xx_YY", buf, sizeof buf), nullptr);
    EXPECT_GT(std::string(buf).size(), 0u);
}

TEST(Locale, SystemAndDefaultObjects)
{
    HTLocale *sys = Locale_GetFromSystem();
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(Locale_Copy(sys), sys);
    Locale_Destroy(sys); // ignored
    EXPECT_EQ(Locale_GetFromSystem(), sys);
    HTLocale *fr = Locale_Create("fr_FR");
    HTLocale *copy = Locale_Copy(fr);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, fr);
    EXPECT_NE(copy, sys);
    Locale_Destroy(fr);
    HTLocale *mine = Locale_Create("C");
    Locale_SetDefault(mine);
    EXPECT_EQ(Locale_GetDefault(), mine);
    Locale_Destroy(mine);
    EXPECT_EQ(Locale_GetDefault(), sys);
    Locale_SetDefault(nullptr);
    EXPECT_EQ(Locale_GetDefault(), sys);
    Locale_Destroy(copy);
}

} // namespace

// With no memory at all, the process locale still starts with its system
// object; a locale object that cannot be made is null, and one made later is
// whole.
TEST(Locale, RunningOutOfMemory)
{
    HTAlloc_failAt(1, 1);
    HTLocale *sys = Locale_GetFromSystem();
    HTLocale *none = Locale_Create("Shift_JIS");
    HTAlloc_failAt(0, 0);
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(Locale_GetDefault(), sys);
    EXPECT_EQ(none, nullptr);
    HTLocale *volatile made = nullptr;
    htc_each_failure([&] { made = Locale_Create("Shift_JIS"); },
                     [&](const HtcOomRound &r) {
                         EXPECT_FALSE(r.raised);
                         if (made == nullptr)
                             return;
                         char name[HT_LOCALE_NAME_SIZE];
                         EXPECT_STREQ(Locale_ToString(made, name), "ja_JP");
                         Locale_Destroy(made);
                     });
}
