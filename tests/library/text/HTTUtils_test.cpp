#include "HTTUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

TEST(HTTUtils, MonthsAndWeekdays)
{
    EXPECT_EQ(make_month("DEC"), 11);
    EXPECT_EQ(make_month("jan"), 0);
    EXPECT_EQ(make_month("Sept"), 8);
    EXPECT_EQ(make_month("Foo"), 0);
    EXPECT_EQ(make_month("De"), 0);
    const char text[] = "Oct";
    make_month(text);
    EXPECT_STREQ(text, "Oct");
    EXPECT_EQ(ParseWeekday("tuesday"), 2);
    EXPECT_EQ(ParseWeekday("SAT,"), 6);
    EXPECT_EQ(ParseWeekday("Su"), -1);
    EXPECT_EQ(ParseWeekday(nullptr), -1);
    EXPECT_STREQ(DayOfWeekString(0), "Sun");
    EXPECT_STREQ(DayOfWeekString(7), "???");
    EXPECT_STREQ(DayOfWeekString(-1), "???");
}

// Runs the body with TZ set, restoring the old value afterwards.
template <typename F> void with_tz(const char *tz, F body)
{
    const char *old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    body();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(HTTUtils, GmtToSeconds)
{
    // 2001-09-09 01:46:40 GMT is 1000000000.
    auto gmt = [] {
        struct tm t = {};
        t.tm_year = 101;
        t.tm_mon = 8;
        t.tm_mday = 9;
        t.tm_hour = 1;
        t.tm_min = 46;
        t.tm_sec = 40;
        return t;
    };
    with_tz("UTC0", [&] {
        struct tm t = gmt();
        EXPECT_EQ(HTgmt_to_local(&t), 1000000000);
    });
    with_tz("EST5", [&] {
        struct tm t = gmt();
        EXPECT_EQ(HTgmt_to_local(&t), 1000000000);
    });
    with_tz("CET-1CEST,M3.5.0,M10.5.0/3", [&] {
        // September: daylight saving; mktime marks the structure so.
        struct tm t = gmt();
        t.tm_isdst = -1;
        EXPECT_EQ(HTgmt_to_local(&t), 1000000000);
    });
}

} // namespace
