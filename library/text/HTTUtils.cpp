// HTTUtils: date helpers for header and listing parsers.

#include "HTTUtils.h"

#include "HTTrace.h"

#include <strings.h>

namespace {

const char *const month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const weekday_names[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

} // namespace

extern "C" int make_month(const char *text) noexcept
{
    if (text == nullptr)
        return 0;
    for (int m = 0; m < 12; ++m)
        if (strncasecmp(text, month_names[m], 3) == 0)
            return m;
    return 0;
}

extern "C" int ParseWeekday(const char *text) noexcept
{
    if (text == nullptr)
        return -1;
    for (int d = 0; d < 7; ++d)
        if (strncasecmp(text, weekday_names[d], 3) == 0)
            return d;
    return -1;
}

extern "C" const char *DayOfWeekString(int day) noexcept
{
    return day >= 0 && day < 7 ? weekday_names[day] : "???";
}

extern "C" time_t HTgmt_to_local(struct tm *tm) noexcept
{
    if (tm == nullptr)
        return static_cast<time_t>(-1);
    tzset();
    // mktime reads the fields as local time; the zone's offset turns that
    // back into the GMT reading.
    time_t t = mktime(tm);
    if (t == static_cast<time_t>(-1))
        return t;
    t -= timezone;
    if (tm->tm_isdst > 0)
        t += 3600;
    if (HT_TRACE_ON(HT_TRACE_TIME))
        tfprintf(stderr, "TimeZone.... %02d hours from GMT\n", static_cast<int>(timezone / 3600));
    return t;
}
