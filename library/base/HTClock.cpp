// HTClock: the cached clock.

#include "HTClock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

HTTimeSnapshot timeRep[HT_TIMEREP_RING];
int timeRepIndex = -1;

namespace {

const char *const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

using Snapshot = HTTimeSnapshot;

// The exported ring and index, seen through atomic accesses: HTtime() reads
// a slot's seconds without the lock, and a slot is rewritten 128 updates
// later while a slow reader may still look at it. The index is published
// with release after the slot is complete, so a reader that loads it with
// acquire sees the whole slot.
struct TimeRepView {
    HTTimeSnapshot *ring;
    struct Index {
        int load(int order) const { return __atomic_load_n(&timeRepIndex, order); }
        void store(int v, int order) const { __atomic_store_n(&timeRepIndex, v, order); }
    } index;
    int use_gmt;
};

TimeRepView rep{timeRep, {}, 0};
pthread_mutex_t timeRepLock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
std::atomic<int> logMonthNames{1};

int format_http(const struct tm &g, char *buffer)
{
    const int wd = (g.tm_wday >= 0 && g.tm_wday < 7) ? g.tm_wday : 0;
    const int mo = (g.tm_mon >= 0 && g.tm_mon < 12) ? g.tm_mon : 0;
    int n = std::snprintf(buffer, HT_TIME_TEXT_MAX, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                          kWeekdays[wd], g.tm_mday, kMonths[mo], g.tm_year + 1900,
                          g.tm_hour, g.tm_min, g.tm_sec);
    return n < 0 ? 0 : (n >= HT_TIME_TEXT_MAX ? HT_TIME_TEXT_MAX - 1 : n);
}

// Log time text "dd/Mon/yyyy:hh:mm:ss +hhmm". The zone is the standard offset
// of the process time zone: daylight saving is deliberately left out.
int format_log(const struct tm &t, bool gmt, char *buffer)
{
    const char *fmt = logMonthNames.load(std::memory_order_relaxed)
                          ? "%d/%b/%Y:%H:%M:%S "
                          : "%d/%m/%Y:%H:%M:%S ";
    size_t n = std::strftime(buffer, HT_TIME_TEXT_MAX, fmt, &t);
    if (n == 0) {
        buffer[0] = '\0';
        return 0;
    }
    int m;
    if (gmt) {
        m = std::snprintf(buffer + n, HT_TIME_TEXT_MAX - n, "+0000");
    } else {
        long west = timezone; // seconds west of GMT, from tzset()
        char sign = west > 0 ? '-' : '+';
        long off = west > 0 ? west : -west;
        m = std::snprintf(buffer + n, HT_TIME_TEXT_MAX - n, "%c%02d%02d", sign,
                          static_cast<int>(off / 3600), static_cast<int>((off % 3600) / 60));
    }
    if (m < 0)
        m = 0;
    n += static_cast<size_t>(m);
    if (n >= HT_TIME_TEXT_MAX)
        n = HT_TIME_TEXT_MAX - 1;
    return static_cast<int>(n);
}

// Current slot under the lock, or null before the first snapshot.
Snapshot *current_locked()
{
    int i = rep.index.load(__ATOMIC_ACQUIRE);
    return i < 0 ? nullptr : &rep.ring[i];
}

int copy_text(const char *text, int len, char *buffer)
{
    std::memcpy(buffer, text, static_cast<size_t>(len));
    buffer[len] = '\0';
    return len;
}

} // namespace

extern "C" void HTClock_setLogMonthNames(int useNames) noexcept
{
    logMonthNames.store(useNames ? 1 : 0, std::memory_order_relaxed);
}

extern "C" void updatetimeRep(int useGMT) noexcept
{
    pthread_mutex_lock(&timeRepLock);
    tzset();
    const int cur = rep.index.load(__ATOMIC_RELAXED);
    const int next = (cur + 1) % HT_TIMEREP_RING;
    Snapshot &s = rep.ring[next];
    __atomic_store_n(&s.seconds, 0, __ATOMIC_RELAXED);
    std::memset(&s.gmt, 0, sizeof s.gmt);
    std::memset(&s.local, 0, sizeof s.local);
    s.log_gmt[0] = s.log_local[0] = s.http[0] = '\0';
    s.log_gmt_len = s.log_local_len = s.http_len = 0;

    rep.use_gmt = useGMT ? 1 : 0;
    const time_t now = time(nullptr);
    __atomic_store_n(&s.seconds, static_cast<int64_t>(now), __ATOMIC_RELAXED);
    gmtime_r(&now, &s.gmt);
    s.http_len = format_http(s.gmt, s.http);
    localtime_r(&now, &s.local);
    if (useGMT)
        s.log_gmt_len = format_log(s.gmt, true, s.log_gmt);
    else
        s.log_local_len = format_log(s.local, false, s.log_local);

    rep.index.store(next, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&timeRepLock);
}

extern "C" time_t HTtime(void) noexcept
{
    int i = rep.index.load(__ATOMIC_ACQUIRE);
    if (i < 0)
        return time(nullptr);
    return static_cast<time_t>(__atomic_load_n(&rep.ring[i].seconds, __ATOMIC_RELAXED));
}

namespace {

enum class Which { Flag, Gmt, Local };

void copy_tm(struct tm *out, Which which)
{
    if (out == nullptr)
        return;
    pthread_mutex_lock(&timeRepLock);
    Snapshot *s = current_locked();
    bool gmt = which == Which::Gmt || (which == Which::Flag && rep.use_gmt);
    if (s != nullptr) {
        *out = gmt ? s->gmt : s->local;
        pthread_mutex_unlock(&timeRepLock);
        return;
    }
    pthread_mutex_unlock(&timeRepLock);
    const time_t now = time(nullptr);
    if (gmt)
        gmtime_r(&now, out);
    else
        localtime_r(&now, out);
}

} // namespace

extern "C" void HTtm(struct tm *out) noexcept { copy_tm(out, Which::Flag); }
extern "C" void HTtm_gmtime(struct tm *out) noexcept { copy_tm(out, Which::Gmt); }
extern "C" void HTtm_localtime(struct tm *out) noexcept { copy_tm(out, Which::Local); }

extern "C" int HTtm_yday(void) noexcept
{
    struct tm t;
    copy_tm(&t, Which::Local);
    return t.tm_yday;
}

extern "C" int HTtime_strcpy(char *buffer) noexcept
{
    if (buffer == nullptr)
        return 0;
    pthread_mutex_lock(&timeRepLock);
    Snapshot *s = current_locked();
    int n = 0;
    if (s == nullptr)
        buffer[0] = '\0';
    else if (rep.use_gmt && s->log_gmt_len > 0)
        n = copy_text(s->log_gmt, s->log_gmt_len, buffer);
    else
        n = copy_text(s->log_local, s->log_local_len, buffer);
    pthread_mutex_unlock(&timeRepLock);
    return n;
}

extern "C" int HTtime_strcpy_gmtime(char *buffer) noexcept
{
    if (buffer == nullptr)
        return 0;
    pthread_mutex_lock(&timeRepLock);
    Snapshot *s = current_locked();
    int n = s ? copy_text(s->log_gmt, s->log_gmt_len, buffer) : (buffer[0] = '\0', 0);
    pthread_mutex_unlock(&timeRepLock);
    return n;
}

extern "C" int HTtime_strcpy_localtime(char *buffer) noexcept
{
    if (buffer == nullptr)
        return 0;
    pthread_mutex_lock(&timeRepLock);
    Snapshot *s = current_locked();
    int n = s ? copy_text(s->log_local, s->log_local_len, buffer) : (buffer[0] = '\0', 0);
    pthread_mutex_unlock(&timeRepLock);
    return n;
}

extern "C" time_t HTtime_strcpy_HTTPtime(char *buffer) noexcept
{
    pthread_mutex_lock(&timeRepLock);
    Snapshot *s = current_locked();
    time_t t = 0;
    if (s != nullptr) {
        if (buffer)
            copy_text(s->http, s->http_len, buffer);
        t = static_cast<time_t>(__atomic_load_n(&s->seconds, __ATOMIC_RELAXED));
    } else if (buffer) {
        buffer[0] = '\0';
    }
    pthread_mutex_unlock(&timeRepLock);
    return t;
}

extern "C" char *http_time(time_t seconds, char *buffer) noexcept
{
    if (buffer == nullptr)
        return nullptr;
    struct tm g;
    if (gmtime_r(&seconds, &g) == nullptr) {
        buffer[0] = '\0';
        return buffer;
    }
    format_http(g, buffer);
    return buffer;
}

extern "C" long HTtime_sinceMidnight(void) noexcept
{
    struct tm t;
    copy_tm(&t, Which::Local);
    return static_cast<long>(t.tm_hour) * 3600 + t.tm_min * 60 + t.tm_sec;
}

extern "C" int getTimeSinceEpoch(struct timeval *tv) noexcept
{
    return gettimeofday(tv, nullptr);
}

extern "C" long long getElapsedTime(const struct timeval *start, const struct timeval *end) noexcept
{
    if (start == nullptr || end == nullptr)
        return 0;
    return (static_cast<long long>(end->tv_sec) - start->tv_sec) * 1000000LL +
           (static_cast<long long>(end->tv_usec) - start->tv_usec);
}
