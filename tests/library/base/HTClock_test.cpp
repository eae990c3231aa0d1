// Cached clock: snapshots, ring wrap, texts and the HTTP date.

#include "HTClock.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// Switches the process time zone for one test.
class ZoneGuard {
public:
    explicit ZoneGuard(const char *tz)
    {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

// Shape check: '9' a digit, 'A' an upper-case letter, 'a' a lower-case one,
// anything else itself.
bool shape(const std::string &s, const std::string &pattern)
{
    if (s.size() != pattern.size())
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const char p = pattern[i];
        if (p == '9' ? !std::isdigit(c) : p == 'A' ? !std::isupper(c) : p == 'a' ? !std::islower(c) : c != static_cast<unsigned char>(p))
            return false;
    }
    return true;
}

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TEST(HTClock, BeforeFirstSnapshotGivesSystemTimeAndEmptyTexts)
{
    // Whatever ran before in this process, the ring is seen as it is before
    // the host's first update.
    const int saved = timeRepIndex;
    timeRepIndex = -1;
    char buf[HT_TIME_TEXT_MAX];
    EXPECT_EQ(HTtime_strcpy_HTTPtime(buf), 0);
    EXPECT_STREQ(buf, "");
    const time_t now = time(nullptr);
    EXPECT_LE(std::labs(static_cast<long>(HTtime() - now)), 1);
    std::strcpy(buf, "junk");
    EXPECT_EQ(HTtime_strcpy(buf), 0);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "junk");
    HTtime_strcpy_gmtime(buf);
    EXPECT_STREQ(buf, "");
    struct tm t;
    HTtm_gmtime(&t); // reads the system clock, never the ring
    EXPECT_GE(t.tm_year, 100);
    timeRepIndex = saved;
}

TEST(HTClock, SnapshotTimeAndRingWrap)
{
    // Each update takes the next slot; after 128 the ring comes back to the
    // slot it started from and overwrites it. The slots are marked first so
    // that a slot the ring never rewrote would show.
    updatetimeRep(1);
    const int start = timeRepIndex;
    ASSERT_GE(start, 0);
    for (HTTimeSnapshot &slot : timeRep) {
        slot.seconds = 1;
        std::strcpy(slot.http, "stale");
    }
    for (int i = 1; i <= HT_TIMEREP_RING + 3; ++i) {
        const time_t before = time(nullptr);
        updatetimeRep(1);
        const time_t after = time(nullptr);
        ASSERT_EQ(timeRepIndex, (start + i) % HT_TIMEREP_RING) << i;
        // The newest snapshot is the one readers get.
        ASSERT_GE(HTtime(), before);
        ASSERT_LE(HTtime(), after);
        char http[HT_TIME_TEXT_MAX], expect[HT_TIME_TEXT_MAX];
        ASSERT_EQ(HTtime_strcpy_HTTPtime(http), HTtime());
        ASSERT_STREQ(http, http_time(HTtime(), expect));
    }
    for (const HTTimeSnapshot &slot : timeRep) {
        EXPECT_NE(slot.seconds, 1);
        EXPECT_STRNE(slot.http, "stale");
    }
}

TEST(HTClock, LogTextZoneSuffix)
{
    ZoneGuard zone("EST5EDT");
    char buf[HT_TIME_TEXT_MAX];
    updatetimeRep(1);
    HTtime_strcpy(buf);
    EXPECT_TRUE(ends_with(buf, " +0000")) << buf;
    // Five hours west, with or without daylight saving in force.
    updatetimeRep(0);
    HTtime_strcpy(buf);
    EXPECT_TRUE(ends_with(buf, " -0500")) << buf;
    HTtime_strcpy_localtime(buf);
    EXPECT_TRUE(ends_with(buf, " -0500")) << buf;
    {
        ZoneGuard east("IST-5:30");
        updatetimeRep(0);
        HTtime_strcpy(buf);
        EXPECT_TRUE(ends_with(buf, " +0530")) << buf;
    }
}

TEST(HTClock, LogTextDateForms)
{
    char buf[HT_TIME_TEXT_MAX];
    HTClock_setLogMonthNames(1);
    updatetimeRep(1);
    HTtime_strcpy(buf);
    EXPECT_TRUE(shape(buf, "99/Aaa/9999:99:99:99 +0000"))
        << buf;
    HTClock_setLogMonthNames(0);
    updatetimeRep(1);
    HTtime_strcpy(buf);
    HTClock_setLogMonthNames(1);
    EXPECT_TRUE(shape(buf, "99/99/9999:99:99:99 +0000")) << buf;
}

TEST(HTClock, HttpTime)
{
    char buf[HT_TIME_TEXT_MAX];
    EXPECT_STREQ(http_time(0, buf), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_STREQ(http_time(784111777, buf), "Sun, 06 Nov 1994 08:49:37 GMT");
    // Past 2038 on every target.
    EXPECT_STREQ(http_time(static_cast<time_t>(4102444800LL), buf), "Fri, 01 Jan 2100 00:00:00 GMT");
}

TEST(HTClock, BrokenDownCopiesAndElapsed)
{
    ZoneGuard zone("UTC0");
    updatetimeRep(0);
    struct tm g, l;
    HTtm_gmtime(&g);
    HTtm_localtime(&l);
    EXPECT_EQ(g.tm_hour, l.tm_hour);
    EXPECT_EQ(HTtm_yday(), l.tm_yday);
    EXPECT_EQ(HTtime_sinceMidnight(), l.tm_hour * 3600L + l.tm_min * 60 + l.tm_sec);
    struct timeval a = {10, 900000}, b = {12, 100000};
    EXPECT_EQ(getElapsedTime(&a, &b), 1200000);
}
