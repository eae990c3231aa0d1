#include "HTFTPDir.h"

#include "HTMPool.h"
#include "HTTUtils.h"
#include "HTTrace.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<HTFTPClock> g_clock{nullptr};

time_t now_time()
{
    HTFTPClock clock = g_clock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock() : time(nullptr);
}

bool tracing()
{
    return HT_TRACE_ON(HT_TRACE_FTP);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

char *skip_blanks(char *p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

char *skip_word(char *p)
{
    while (*p != '\0' && !is_blank(*p))
        ++p;
    return p;
}

// The decimal number of [begin, end), saturating at the largest value; false
// when the range is empty or holds a character other than a digit.
bool read_u64(const char *begin, const char *end, uint64_t *out)
{
    if (begin == end)
        return false;
    uint64_t value = 0;
    for (const char *p = begin; p != end; ++p) {
        if (!is_digit(*p))
            return false;
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10)
            value = UINT64_MAX;
        else
            value = value * 10 + digit;
    }
    *out = value;
    return true;
}

// A small decimal field (day, hour, year...): false unless 1 to 9 digits.
bool read_int(const char *begin, const char *end, int *out)
{
    if (begin == end || end - begin > 9)
        return false;
    int value = 0;
    for (const char *p = begin; p != end; ++p) {
        if (!is_digit(*p))
            return false;
        value = value * 10 + (*p - '0');
    }
    *out = value;
    return true;
}

uint64_t saturating_mul(uint64_t a, uint64_t b)
{
    if (a != 0 && b > UINT64_MAX / a)
        return UINT64_MAX;
    return a * b;
}

char *pool_copy(const char *text, size_t length, HTThdGlobals *pool)
{
    return HTMemPoolStrdup_len(text, length, pool);
}

char *pool_text(const char *text, HTThdGlobals *pool)
{
    return HTMemPoolStrdup(text, pool);
}

void clear_entry(HTFTPDirEntry *entry, HTThdGlobals *pool)
{
    entry->name = nullptr;
    entry->mode = HT_FTP_MODE_FILE;
    entry->links = 0;
    entry->owner = nullptr;
    entry->group = pool_text("", pool);
    entry->size = 0;
    entry->date = 0;
}

time_t convert(struct tm *tm, bool from_utc)
{
    tm->tm_isdst = -1;
    time_t t = from_utc ? HTgmt_to_local(tm) : mktime(tm);
    return t == static_cast<time_t>(-1) ? 0 : t;
}

bool current_tm(struct tm *out, HTFTPListState *session)
{
    time_t now = now_time();
    if (gmtime_r(&now, out) == nullptr) {
        if (tracing())
            tfprintf(stderr, "HTStrpTime.. Can't get current time.\n");
        return false;
    }
    if (session != nullptr && session->style == HT_FTP_STYLE_NT_UNIX) {
        out->tm_isdst = -1;
        mktime(out);
    }
    return true;
}

int parse_bare_name(char *line, HTFTPDirEntry *entry, HTThdGlobals *pool, bool slash_marks_dir)
{
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n'))
        --length;
    if (length == 0)
        return 0;
    clear_entry(entry, pool);
    if (slash_marks_dir && line[length - 1] == '/') {
        entry->mode = HT_FTP_MODE_DIR;
        --length;
        if (length == 0)
            return 0;
    }
    entry->name = pool_copy(line, length, pool);
    return 1;
}

} // namespace

extern "C" void HTFTPDir_setClock(HTFTPClock clock) noexcept
{
    g_clock.store(clock, std::memory_order_relaxed);
}

extern "C" int HTStrpMonth(const char *text) noexcept
{
    static const char months[] = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
    if (text != nullptr && text[0] != '\0' && text[1] != '\0' && text[2] != '\0') {
        char key[3];
        for (int i = 0; i < 3; ++i)
            key[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        for (int m = 0; m < 12; ++m)
            if (std::memcmp(months + 3 * m, key, 3) == 0)
                return m;
    }
    if (tracing())
        tfprintf(stderr, "HTStrpMonth. Couldn't resolve date \"%s\".\n", text != nullptr ? text : "");
    return -1;
}

extern "C" unsigned HTFTPFilePerm(const char *permissions) noexcept
{
    char p[10];
    size_t i = 0;
    if (permissions != nullptr)
        for (; i < 10 && permissions[i] != '\0'; ++i)
            p[i] = permissions[i];
    for (; i < 10; ++i)
        p[i] = '-';

    unsigned mode = p[0] == 'd' ? HT_FTP_MODE_DIR : p[0] == 'l' ? HT_FTP_MODE_LINK : HT_FTP_MODE_FILE;
    static const unsigned read_bit[3] = {0x100, 0x20, 0x4};
    static const unsigned write_bit[3] = {0x80, 0x10, 0x2};
    static const unsigned exec_bit[3] = {0x40, 0x8, 0x1};
    static const unsigned special_bit[3] = {0x800, 0x400, 0x200};
    static const char special_char[3] = {'s', 's', 't'};
    for (int t = 0; t < 3; ++t) {
        const char *triplet = p + 1 + 3 * t;
        if (triplet[0] == 'r')
            mode |= read_bit[t];
        if (triplet[1] == 'w')
            mode |= write_bit[t];
        char x = triplet[2];
        if (x == 'x')
            mode |= exec_bit[t];
        else if (x == special_char[t])
            mode |= exec_bit[t] | special_bit[t];
        else if (x == std::toupper(static_cast<unsigned char>(special_char[t])))
            mode |= special_bit[t];
    }
    return mode;
}

extern "C" time_t HTStrpTime(const char *text, int flag, HTFTPListState *session, HTThdGlobals *pool) noexcept
{
    (void)pool;
    if (text == nullptr)
        return 0;
    struct tm now_tm;
    if (!current_tm(&now_tm, session))
        return 0;

    // Three words, each kept as a bounded range of the caller's text.
    const char *word[3];
    size_t length[3];
    const char *p = text;
    for (int i = 0; i < 3; ++i) {
        while (is_blank(*p))
            ++p;
        if (*p == '\0' || *p == '\r' || *p == '\n')
            return 0;
        word[i] = p;
        while (*p != '\0' && !is_blank(*p) && *p != '\r' && *p != '\n')
            ++p;
        length[i] = static_cast<size_t>(p - word[i]);
    }
    bool a_digit = is_digit(word[0][0]);
    bool b_digit = is_digit(word[1][0]);
    if (a_digit == b_digit) {
        if (tracing())
            tfprintf(stderr, "HTStrpTime.. Couldn't resolve date %.*s %.*s %.*s \n", static_cast<int>(length[0]),
                     word[0], static_cast<int>(length[1]), word[1], static_cast<int>(length[2]), word[2]);
        return 0;
    }
    int month_word = a_digit ? 1 : 0;
    int day_word = a_digit ? 0 : 1;
    char month_text[4] = {0, 0, 0, 0};
    std::memcpy(month_text, word[month_word], length[month_word] < 3 ? length[month_word] : 3);
    int month = HTStrpMonth(month_text);
    if (month < 0)
        return 0;
    int day;
    if (!read_int(word[day_word], word[day_word] + length[day_word], &day) || day < 1 || day > 31)
        return 0;

    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_mon = month;
    tm.tm_mday = day;
    const char *c = word[2];
    const char *c_end = c + length[2];
    const char *colon = static_cast<const char *>(std::memchr(c, ':', length[2]));
    bool time_of_day = colon != nullptr;
    if (time_of_day) {
        int hour, minute;
        if (!read_int(c, colon, &hour) || !read_int(colon + 1, c_end, &minute) || hour > 23 || minute > 59)
            return 0;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_year = now_tm.tm_year;
        struct tm probe = tm;
        probe.tm_isdst = -1;
        time_t when = mktime(&probe);
        if (when != static_cast<time_t>(-1) && when - now_time() > 86400)
            tm.tm_year = now_tm.tm_year - 1;
    } else {
        int year;
        if (!read_int(c, c_end, &year) || year > 9999)
            return 0;
        tm.tm_year = year - 1900;
        if (flag) {
            tm.tm_hour = 23;
            tm.tm_min = 59;
            tm.tm_sec = 59;
        }
    }
    bool from_utc = flag && session != nullptr && session->style == HT_FTP_STYLE_NT_UNIX && time_of_day;
    return convert(&tm, from_utc);
}

extern "C" time_t HTVMSStrpTime(const char *text, HTFTPListState *session, HTThdGlobals *pool) noexcept
{
    (void)session;
    (void)pool;
    if (text == nullptr)
        return 0;
    const char *p = text;
    while (is_blank(*p))
        ++p;
    const char *dash1 = std::strchr(p, '-');
    if (dash1 == nullptr)
        return 0;
    const char *dash2 = std::strchr(dash1 + 1, '-');
    if (dash2 == nullptr)
        return 0;
    const char *blank = std::strchr(dash2 + 1, ' ');
    if (blank == nullptr)
        return 0;
    const char *colon = std::strchr(blank + 1, ':');
    if (colon == nullptr)
        return 0;
    const char *minute_end = colon + 1;
    while (is_digit(*minute_end))
        ++minute_end;
    int day, year, hour, minute;
    if (!read_int(p, dash1, &day) || !read_int(dash2 + 1, blank, &year) || !read_int(blank + 1, colon, &hour) ||
        !read_int(colon + 1, minute_end, &minute))
        return 0;
    if (dash2 - dash1 - 1 < 3)
        return 0;
    int month = HTStrpMonth(dash1 + 1);
    if (month < 0)
        return 0;
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_mday = day;
    tm.tm_mon = month;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    return t < 0 ? 0 : t;
}

namespace {

// One part of a Pelion or NT date, read up to one of `stops`: false (with
// the trace) when the part is empty, longer than 24 characters, unterminated
// or not a number.
bool pelion_part(const char **cursor, const char *stops, bool end_allowed, int *out, const char *what)
{
    const char *p = *cursor;
    const char *start = p;
    while (*p != '\0' && std::strchr(stops, *p) == nullptr)
        ++p;
    bool ok = (*p != '\0' || end_allowed) && p - start <= 24;
    if (ok) {
        // Minutes may carry the AM/PM marker right behind them.
        const char *digits_end = start;
        while (digits_end < p && is_digit(*digits_end))
            ++digits_end;
        ok = read_int(start, digits_end, out);
    }
    if (!ok) {
        if (tracing())
            tfprintf(stderr, "HTPelionStrpTime.. malformed %s from Pelion server.\n", what);
        return false;
    }
    *cursor = *p != '\0' ? p + 1 : p;
    return true;
}

} // namespace

extern "C" time_t HTPelionStrpTime(const char *text, int flag, HTFTPListState *session) noexcept
{
    if (text == nullptr)
        return 0;
    struct tm now_tm;
    if (!current_tm(&now_tm, nullptr))
        return 0;
    const char *p = text;
    int month, day, year, hour, minute;
    if (!pelion_part(&p, "-/", false, &month, "month") || !pelion_part(&p, "-/", false, &day, "day") ||
        !pelion_part(&p, " ", false, &year, "year"))
        return 0;
    while (*p == ' ')
        ++p;
    if (!pelion_part(&p, ":", false, &hour, "hour"))
        return 0;
    const char *minutes = p;
    if (!pelion_part(&p, " \n", true, &minute, "minutes"))
        return 0;
    if (std::strstr(minutes, "PM") != nullptr || std::strstr(minutes, "pm") != nullptr) {
        if (hour != 12)
            hour += 12;
    } else if (hour == 12 && (std::strstr(minutes, "AM") != nullptr || std::strstr(minutes, "am") != nullptr)) {
        hour = 0;
    }
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    if (year >= 100) {
        tm.tm_year = year - 1900;
    } else {
        tm.tm_year = year + 100 * ((now_tm.tm_year - year + 10) / 100);
    }
    tm.tm_hour = hour;
    tm.tm_min = minute;
    bool from_utc = flag && session != nullptr && session->style == HT_FTP_STYLE_NT;
    return convert(&tm, from_utc);
}

extern "C" int parse_unix_line(char *line, HTFTPDirEntry *entry, int flag, HTFTPListState *session,
                               HTThdGlobals *pool) noexcept
{
    if (line == nullptr || entry == nullptr || line[0] == '\0')
        return 0;
    clear_entry(entry, pool);
    char *p = skip_blanks(line);
    if (*p == '\0')
        return 0;

    char *perm = p;
    p = skip_word(p);
    entry->mode = HTFTPFilePerm(pool_copy(perm, static_cast<size_t>(p - perm), pool));
    bool device = perm[0] == 'c' || perm[0] == 'b';

    p = skip_blanks(p);
    char *links = p;
    p = skip_word(p);
    uint64_t count;
    if (read_u64(links, p, &count))
        entry->links = count;

    p = skip_blanks(p);
    char *owner = p;
    p = skip_word(p);
    if (p == owner)
        return 0;
    entry->owner = pool_copy(owner, static_cast<size_t>(p - owner), pool);

    p = skip_blanks(p);
    char *word4 = p;
    p = skip_word(p);
    if (p == word4)
        return 0;
    char *size_word;
    char *size_end;
    uint64_t number;
    bool numeric = read_u64(word4, p, &number);
    char *after = skip_blanks(p);
    if (numeric && !is_digit(*after)) {
        size_word = word4;
        size_end = p;
    } else {
        entry->group = pool_copy(word4, static_cast<size_t>(p - word4), pool);
        size_word = after;
        size_end = skip_word(after);
        if (size_end == size_word)
            return 0;
        // A device lists "major, minor" where the size stands: both are
        // numbers, neither is a size.
        if (device && size_end[-1] == ',') {
            size_end = skip_word(skip_blanks(size_end));
            size_word = size_end;
        }
    }
    uint64_t size;
    if (read_u64(size_word, size_end, &size))
        entry->size = size;

    p = skip_blanks(size_end);
    if (std::strlen(p) < 12)
        return 0;
    char date[13];
    std::memcpy(date, p, 12);
    date[12] = '\0';
    entry->date = HTStrpTime(date, flag, session, pool);

    p = skip_blanks(p + 12);
    size_t name_length = std::strlen(p);
    while (name_length > 0 && (p[name_length - 1] == '\r' || p[name_length - 1] == '\n'))
        --name_length;
    if ((entry->mode & HT_FTP_MODE_KIND) == HT_FTP_MODE_LINK) {
        p[name_length] = '\0';
        char *arrow = std::strstr(p, " -> ");
        if (arrow != nullptr)
            name_length = static_cast<size_t>(arrow - p);
        entry->size = 0;
    }
    if (name_length == 0)
        return 0;
    entry->name = pool_copy(p, name_length, pool);
    return 1;
}

extern "C" int parse_vms_line(char *line, HTFTPDirEntry *entry, HTFTPListState *session, HTThdGlobals *pool) noexcept
{
    if (line == nullptr || entry == nullptr)
        return 0;
    char *semicolon = std::strchr(line, ';');
    if (semicolon == nullptr)
        return 0;
    clear_entry(entry, pool);
    char *start = skip_blanks(line);
    if (start >= semicolon)
        return 0;
    size_t name_length = static_cast<size_t>(semicolon - start);
    char *name = pool_copy(start, name_length, pool);
    for (size_t i = 0; i < name_length; ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    if (name_length > 3 && (name[name_length - 2] == '.' || name[name_length - 2] == '_') &&
        name[name_length - 1] == 'z')
        name[name_length - 1] = 'Z';
    char *dir = std::strstr(name, ".dir");
    if (dir == name)
        return 0; // nothing left to name the entry by
    if (dir != nullptr) {
        *dir = '\0';
        entry->mode = HT_FTP_MODE_DIR;
    }
    entry->name = name;

    // The rest, tabs as blanks and runs of blanks as one.
    char *rest = semicolon + 1;
    char *out = rest;
    for (char *in = rest; *in != '\0'; ++in) {
        char c = *in == '\t' ? ' ' : *in;
        if (c == ' ' && out > rest && out[-1] == ' ')
            continue;
        *out++ = c;
    }
    *out = '\0';
    size_t rest_length = static_cast<size_t>(out - rest);

    for (size_t i = 0; i < rest_length; ++i) {
        if (rest[i] != '-' || i == 0 || !is_digit(rest[i - 1]))
            continue;
        if (i + 4 >= rest_length || !std::isalpha(static_cast<unsigned char>(rest[i + 1])) || rest[i + 4] != '-')
            continue;
        if (rest_length - i < 10)
            continue;
        size_t date_start = i >= 2 ? i - 2 : 0;
        entry->date = HTVMSStrpTime(rest + date_start, session, pool);
        break;
    }

    char *slash = std::strchr(rest, '/');
    if (slash != nullptr) {
        char *used_start = slash;
        while (used_start > rest && is_digit(used_start[-1]))
            --used_start;
        char *alloc_end = slash + 1;
        while (is_digit(*alloc_end))
            ++alloc_end;
        uint64_t used, allocated;
        if (read_u64(used_start, slash, &used)) {
            if (read_u64(slash + 1, alloc_end, &allocated) && used <= allocated)
                entry->size = saturating_mul(used, 512);
            else
                entry->size = used;
        }
    } else {
        // The version number comes first; the block count is a later word.
        char *p = skip_word(skip_blanks(rest));
        while (*(p = skip_blanks(p)) != '\0') {
            char *end = skip_word(p);
            uint64_t blocks;
            if (read_u64(p, end, &blocks)) {
                entry->size = saturating_mul(blocks, 512);
                break;
            }
            p = end;
        }
    }
    return 1;
}

extern "C" int parse_pelion_line(char *line, HTFTPDirEntry *entry, int flag, HTFTPListState *session,
                                 HTThdGlobals *pool) noexcept
{
    if (line == nullptr || entry == nullptr)
        return 0;
    clear_entry(entry, pool);
    char *p = skip_blanks(line);
    char *w1 = p;
    p = skip_word(p);
    if (p == w1)
        return 0;
    if (is_digit(*w1)) {
        uint64_t size;
        if (read_u64(w1, p, &size))
            entry->size = size;
    } else if (std::strchr("drxw-", *w1) != nullptr) {
        entry->mode = HTFTPFilePerm(pool_copy(w1, static_cast<size_t>(p - w1), pool));
    }

    char date[30];
    size_t date_length = 0;
    bool have_date = false;
    p = skip_blanks(p);
    char *w2 = p;
    p = skip_word(p);
    if (p == w2)
        return 0;
    size_t w2_length = static_cast<size_t>(p - w2);
    if (*w2 == 'D') {
        entry->mode = (entry->mode & ~static_cast<unsigned>(HT_FTP_MODE_KIND)) | HT_FTP_MODE_DIR;
    } else if (is_digit(*w2)) {
        if (std::memchr(w2, '-', w2_length) != nullptr || std::memchr(w2, '/', w2_length) != nullptr) {
            if (w2_length > 29)
                return 0;
            std::memcpy(date, w2, w2_length);
            date_length = w2_length;
            have_date = true;
        } else {
            uint64_t size;
            if (read_u64(w2, p, &size))
                entry->size = size;
        }
    }
    if (!have_date) {
        p = skip_blanks(p);
        char *w3 = p;
        p = skip_word(p);
        size_t w3_length = static_cast<size_t>(p - w3);
        if (w3_length == 0 || w3_length > 29)
            return 0;
        std::memcpy(date, w3, w3_length);
        date_length = w3_length;
    }
    bool unix_style = std::memchr(date, '-', date_length) == nullptr && std::memchr(date, '/', date_length) == nullptr;
    int more = unix_style ? 2 : 1;
    for (int i = 0; i < more; ++i) {
        p = skip_blanks(p);
        char *w = p;
        p = skip_word(p);
        size_t w_length = static_cast<size_t>(p - w);
        if (w_length == 0 || date_length + 1 + w_length > 29)
            return 0;
        date[date_length++] = ' ';
        std::memcpy(date + date_length, w, w_length);
        date_length += w_length;
    }
    date[date_length] = '\0';
    entry->date = unix_style ? HTStrpTime(date, flag, session, pool) : HTPelionStrpTime(date, flag, session);

    p = skip_blanks(p);
    size_t name_length = std::strlen(p);
    while (name_length > 0 && (p[name_length - 1] == '\r' || p[name_length - 1] == '\n'))
        --name_length;
    if (name_length == 0)
        return 0;
    entry->name = pool_copy(p, name_length, pool);
    return 1;
}

extern "C" int parse_nt_line(char *line, HTFTPDirEntry *entry, int flag, HTFTPListState *session,
                             HTThdGlobals *pool) noexcept
{
    if (line == nullptr || entry == nullptr)
        return 0;
    clear_entry(entry, pool);
    char *p = skip_blanks(line);
    char *w1 = p;
    p = skip_word(p);
    size_t w1_length = static_cast<size_t>(p - w1);
    if (w1_length == 0 || w1_length > 29 ||
        (std::memchr(w1, '-', w1_length) == nullptr && std::memchr(w1, '/', w1_length) == nullptr))
        return 0;
    p = skip_blanks(p);
    char *w2 = p;
    p = skip_word(p);
    size_t w2_length = static_cast<size_t>(p - w2);
    if (w2_length == 0 || w1_length + 1 + w2_length > 29)
        return 0;
    char date[30];
    std::memcpy(date, w1, w1_length);
    date[w1_length] = ' ';
    std::memcpy(date + w1_length + 1, w2, w2_length);
    date[w1_length + 1 + w2_length] = '\0';

    p = skip_blanks(p);
    char *w3 = p;
    p = skip_word(p);
    if (*w3 == 'A' || *w3 == 'a' || *w3 == 'P' || *w3 == 'p') {
        // A marker written apart from the time still belongs to it.
        size_t marker_length = static_cast<size_t>(p - w3);
        size_t used = w1_length + 1 + w2_length;
        if (used + marker_length <= 29) {
            std::memcpy(date + used, w3, marker_length);
            date[used + marker_length] = '\0';
        }
        p = skip_blanks(p);
        w3 = p;
        p = skip_word(p);
    }
    entry->date = HTPelionStrpTime(date, flag, session);
    if (*w3 == '<') {
        entry->mode = HT_FTP_MODE_DIR;
    } else if (is_digit(*w3)) {
        uint64_t size;
        if (read_u64(w3, p, &size))
            entry->size = size;
    } else {
        return 0;
    }
    p = skip_blanks(p);
    size_t name_length = std::strlen(p);
    while (name_length > 0 && (p[name_length - 1] == '\r' || p[name_length - 1] == '\n'))
        --name_length;
    if (name_length == 0)
        return 0;
    entry->name = pool_copy(p, name_length, pool);
    return 1;
}

extern "C" int HTFTP_parse_dir_entry(HTFTPListState *session, char *line, int header, HTFTPDirEntry *entry, int flag,
                                     HTThdGlobals *pool) noexcept
{
    if (session == nullptr || line == nullptr || entry == nullptr)
        return 0;
    switch (session->style) {
    case 1:
    case 2:
    case 7:
    case 10:
    case 14:
        if (header) {
            if (session->first_line && std::strncmp(line, "total ", 6) != 0 &&
                std::strstr(line, "not available") != nullptr) {
                if (tracing())
                    tfprintf(stderr, "FTP......... No, this isn't a UNIX server anyway :-(\n");
                session->style = HT_FTP_STYLE_NONE;
            }
            session->first_line = 0;
            return 0;
        }
        session->first_line = 0;
        return parse_unix_line(line, entry, flag, session, pool);
    case 3:
        session->first_line = 0;
        return parse_vms_line(line, entry, session, pool);
    case 6:
    case 8:
        return parse_bare_name(line, entry, pool, true);
    case 9:
        if (session->first_line) {
            session->first_line = 0;
            char *w = skip_blanks(line);
            char *end = skip_word(w);
            bool digits = w != end;
            bool only_dashes = true;
            for (char *q = w; q != end; ++q) {
                if (!is_digit(*q) && *q != '-' && *q != '/')
                    digits = false;
                if (*q != '-')
                    only_dashes = false;
            }
            if (digits && !only_dashes) {
                if (tracing())
                    tfprintf(stderr, "FTP......... NT server acting like Windows.\n");
            } else {
                if (tracing())
                    tfprintf(stderr, "FTP......... NT server acting like UNIX (don't you hate that?).\n");
                session->style = HT_FTP_STYLE_NT_UNIX;
                if (header)
                    return 0;
                return parse_unix_line(line, entry, flag, session, pool);
            }
        }
        return parse_nt_line(line, entry, flag, session, pool);
    case 11:
        session->first_line = 0;
        return parse_pelion_line(line, entry, flag, session, pool);
    default:
        return parse_bare_name(line, entry, pool, false);
    }
}
