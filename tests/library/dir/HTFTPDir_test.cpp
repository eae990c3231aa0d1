// FTP listing lines of every layout, their dates and permission texts, read
// against a fixed clock and time zone.

#include "HTFTPDir.h"

#include "htc_worker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// 2026-06-15 12:00:00 UTC: "now" for every listing date below.
constexpr time_t kNow = 1781524800;

time_t fixed_now()
{
    return kNow;
}

time_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

class FTPDir : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        const char *tz = std::getenv("TZ");
        saved_tz = tz != nullptr ? tz : "";
        had_tz = tz != nullptr;
        set_zone("UTC0");
        HTFTPDir_setClock(fixed_now);
    }
    void TearDown() override
    {
        HTFTPDir_setClock(nullptr);
        if (had_tz)
            setenv("TZ", saved_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        WorkerTest::TearDown();
    }
    static void set_zone(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    // Parses a copy of the line in `style`; the session starts awaiting its first line.
    int parse(int style, const char *text, HTFTPDirEntry *entry, int header = 0, int flag = 0)
    {
        state.style = style;
        state.first_line = 1;
        line = text;
        std::memset(entry, 0, sizeof *entry);
        return HTFTP_parse_dir_entry(&state, line.data(), header, entry, flag, g);
    }
    HTFTPListState state{};
    std::string line;
    std::string saved_tz;
    bool had_tz = false;
};

struct LineCase {
    const char *line;
    int result;
    const char *name;
    unsigned mode;
    uint64_t links;
    const char *owner;
    const char *group;
    uint64_t size;
    time_t date;
};

void expect_entry(const LineCase &c, int result, const HTFTPDirEntry &e)
{
    SCOPED_TRACE(c.line);
    ASSERT_EQ(result, c.result);
    if (c.result == 0)
        return;
    ASSERT_NE(e.name, nullptr);
    EXPECT_STREQ(e.name, c.name);
    EXPECT_EQ(e.mode, c.mode) << std::hex << e.mode;
    EXPECT_EQ(e.links, c.links);
    if (c.owner != nullptr) {
        ASSERT_NE(e.owner, nullptr);
        EXPECT_STREQ(e.owner, c.owner);
    }
    ASSERT_NE(e.group, nullptr);
    EXPECT_STREQ(e.group, c.group);
    EXPECT_EQ(e.size, c.size);
    EXPECT_EQ(e.date, c.date);
}

} // namespace

TEST_F(FTPDir, UnixLines)
{
    const LineCase cases[] = {
        {"-rw-r--r--   1 owner    staff        1234 Jan 10  2020 file.txt", 1, "file.txt", 0x81a4, 1, "owner",
         "staff", 1234, utc(2020, 1, 10)},
        {"drwxr-xr-x   2 owner    staff        4096 Mar 03 12:30 subdir", 1, "subdir", 0x41ed, 2, "owner", "staff",
         4096, utc(2026, 3, 3, 12, 30)},
        // Without a group column.
        {"-rw-r--r--   1 owner        1234 Jan 10  2020 nogroup", 1, "nogroup", 0x81a4, 1, "owner", "", 1234,
         utc(2020, 1, 10)},
        // Numeric owner and group.
        {"-rw-------   1 1001     1002           77 Jan 10  2020 ids", 1, "ids", 0x8180, 1, "1001", "1002", 77,
         utc(2020, 1, 10)},
        {"lrwxrwxrwx   1 owner    staff          11 Jan 10  2020 link -> target", 1, "link", 0xa1ff, 1, "owner",
         "staff", 0, utc(2020, 1, 10)},
        // Day first.
        {"-rw-r--r--   1 owner    staff          10 10 Jan  2020 dayfirst", 1, "dayfirst", 0x81a4, 1, "owner",
         "staff", 10, utc(2020, 1, 10)},
        // A time of day more than a day ahead belongs to last year.
        {"-rw-r--r--   1 owner    staff           5 Dec 20 10:00 future", 1, "future", 0x81a4, 1, "owner", "staff",
         5, utc(2025, 12, 20, 10, 0)},
        {"-rw-r--r--   1 owner    staff           5 Jun 16 10:00 tomorrow", 1, "tomorrow", 0x81a4, 1, "owner",
         "staff", 5, utc(2026, 6, 16, 10, 0)},
        {"-rw-r--r--   1 owner    staff  5000000000 Jan 10  2020 big.iso", 1, "big.iso", 0x81a4, 1, "owner",
         "staff", 5000000000ULL, utc(2020, 1, 10)},
        {"-rw-r--r-- 99999999999999999999 o g 99999999999999999999999 Jan 10  2020 huge", 1, "huge", 0x81a4,
         UINT64_MAX, "o", "g", UINT64_MAX, utc(2020, 1, 10)},
        // A device's "major, minor" is no size, and the date and name stay in place.
        {"crw-rw-rw-   1 root     root       1,   3 Jan 10  2020 null", 1, "null", 0x81b6, 1, "root", "root", 0,
         utc(2020, 1, 10)},
        {"-rwsr-sr-t   1 owner    staff           1 Jan 10  2020 modes", 1, "modes", 0x8fed, 1, "owner", "staff", 1,
         utc(2020, 1, 10)},
        {"-rwSr-Sr-T   1 owner    staff           1 Jan 10  2020 upper", 1, "upper", 0x8fa4, 1, "owner", "staff", 1,
         utc(2020, 1, 10)},
        {"-rw-r--r--   1 owner    staff        1234 Jan 10  2020 two  blanks ", 1, "two  blanks ", 0x81a4, 1,
         "owner", "staff", 1234, utc(2020, 1, 10)},
        {"-rw-r--r--   1 owner    staff        1234 Jan 10  2020 crlf\r", 1, "crlf", 0x81a4, 1, "owner", "staff",
         1234, utc(2020, 1, 10)},
        // An unreadable date leaves 0 and keeps the entry.
        {"-rw-r--r--   1 owner    staff        1234 Foo 10  2020 baddate", 1, "baddate", 0x81a4, 1, "owner",
         "staff", 1234, 0},
        // Too short for a date, or no name.
        {"-rw-r--r--   1 owner    staff        1234 Jan 10", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"-rw-r--r--   1 owner    staff        1234 Jan 10  2020", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"-rw-r--r--   1", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
    };
    for (const LineCase &c : cases) {
        HTFTPDirEntry e;
        int r = parse(HT_FTP_STYLE_UNIX, c.line, &e);
        expect_entry(c, r, e);
    }
    // Every UNIX-like style number reads the same layout.
    for (int style : {2, 7, 10, 14}) {
        HTFTPDirEntry e;
        expect_entry(cases[0], parse(style, cases[0].line, &e), e);
    }
}

TEST_F(FTPDir, UnixHeaderLinesAndTheNotAvailableServer)
{
    HTFTPDirEntry e;
    EXPECT_EQ(parse(HT_FTP_STYLE_UNIX, "total 24", &e, 1), 0);
    EXPECT_EQ(state.style, HT_FTP_STYLE_UNIX);
    EXPECT_EQ(state.first_line, 0);

    EXPECT_EQ(parse(HT_FTP_STYLE_UNIX, "Listing not available", &e, 1), 0);
    EXPECT_EQ(state.style, HT_FTP_STYLE_NONE);
    EXPECT_EQ(state.first_line, 0);
    // From then on every line is a file name.
    line = "README";
    ASSERT_EQ(HTFTP_parse_dir_entry(&state, line.data(), 0, &e, 0, g), 1);
    EXPECT_STREQ(e.name, "README");
    EXPECT_EQ(e.mode, unsigned{HT_FTP_MODE_FILE});

    // Only the first line decides.
    state.style = HT_FTP_STYLE_UNIX;
    state.first_line = 0;
    line = "Listing not available";
    EXPECT_EQ(HTFTP_parse_dir_entry(&state, line.data(), 1, &e, 0, g), 0);
    EXPECT_EQ(state.style, HT_FTP_STYLE_UNIX);
}

TEST_F(FTPDir, DateFlagMeansTheLastSecondOfTheDay)
{
    HTFTPDirEntry e;
    ASSERT_EQ(parse(HT_FTP_STYLE_UNIX, "-rw-r--r-- 1 o g 1 Jan 10  2020 f", &e, 0, 1), 1);
    EXPECT_EQ(e.date, utc(2020, 1, 10, 23, 59, 59));
    ASSERT_EQ(parse(HT_FTP_STYLE_UNIX, "-rw-r--r-- 1 o g 1 Jan 10 09:15 f", &e, 0, 1), 1);
    EXPECT_EQ(e.date, utc(2026, 1, 10, 9, 15));
}

TEST_F(FTPDir, NtLines)
{
    const LineCase cases[] = {
        {"01-15-97  10:20AM       <DIR>          subdir", 1, "subdir", 0x4000, 0, nullptr, "", 0,
         utc(1997, 1, 15, 10, 20)},
        {"01-15-97  10:20AM                12345 file.txt", 1, "file.txt", 0x8000, 0, nullptr, "", 12345,
         utc(1997, 1, 15, 10, 20)},
        {"01-15-97  12:05AM                  100 midnight", 1, "midnight", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 0, 5)},
        {"01-15-97  12:05PM                  100 noon", 1, "noon", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 12, 5)},
        {"01-15-97  01:05PM                  100 one pm", 1, "one pm", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 13, 5)},
        {"01-15-97  01:05pm                  100 lower", 1, "lower", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 13, 5)},
        {"01-15-97  12:05am                  100 lowermidnight", 1, "lowermidnight", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 0, 5)},
        {"01-15-97  13:05                    100 twentyfour", 1, "twentyfour", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 13, 5)},
        {"01-15-97  10:20 AM                 100 marker apart", 1, "marker apart", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 10, 20)},
        {"01-15-2001  10:20AM                100 fullyear", 1, "fullyear", 0x8000, 0, nullptr, "", 100,
         utc(2001, 1, 15, 10, 20)},
        // Two-digit years up to ten years ahead are this century.
        {"01-15-36  10:20AM                  100 ahead", 1, "ahead", 0x8000, 0, nullptr, "", 100,
         utc(2036, 1, 15, 10, 20)},
        {"01-15-37  10:20AM                  100 behind", 1, "behind", 0x8000, 0, nullptr, "", 100,
         utc(1937, 1, 15, 10, 20)},
        {"01/15/97  10:20AM                  100 slashes", 1, "slashes", 0x8000, 0, nullptr, "", 100,
         utc(1997, 1, 15, 10, 20)},
        {"01-15-97  10:20AM                 none", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"01-15-97  10:20AM                  100", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"garbage line", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
    };
    for (const LineCase &c : cases) {
        HTFTPDirEntry e;
        int r = parse(HT_FTP_STYLE_NT, c.line, &e);
        expect_entry(c, r, e);
        if (c.result == 1) {
            EXPECT_EQ(state.style, HT_FTP_STYLE_NT) << c.line;
        }
    }
}

TEST_F(FTPDir, NtServerListingLikeUnixSwitchesStyle)
{
    HTFTPDirEntry e;
    ASSERT_EQ(parse(HT_FTP_STYLE_NT, "-rw-r--r--   1 owner    group    12 Jan 10  2020 unix.txt", &e), 1);
    EXPECT_EQ(state.style, HT_FTP_STYLE_NT_UNIX);
    EXPECT_EQ(state.first_line, 0);
    EXPECT_STREQ(e.name, "unix.txt");
    EXPECT_EQ(e.size, 12u);
    // A word of dashes alone is not an NT date.
    ASSERT_EQ(parse(HT_FTP_STYLE_NT, "---------- 1 o g 12 Jan 10  2020 dashes", &e), 1);
    EXPECT_EQ(state.style, HT_FTP_STYLE_NT_UNIX);
    ASSERT_EQ(parse(HT_FTP_STYLE_NT, "01-15-97  10:20AM  12 nt.txt", &e), 1);
    EXPECT_EQ(state.style, HT_FTP_STYLE_NT);
}

TEST_F(FTPDir, ListedUtcTimesBecomeLocalWithTheFlag)
{
    set_zone("EST5");
    HTFTPDirEntry e;
    // Without the flag the listed time is local time.
    ASSERT_EQ(parse(HT_FTP_STYLE_NT, "01-15-97  10:20AM  12 nt.txt", &e), 1);
    EXPECT_EQ(e.date, utc(1997, 1, 15, 15, 20));
    ASSERT_EQ(parse(HT_FTP_STYLE_NT, "01-15-97  10:20AM  12 nt.txt", &e, 0, 1), 1);
    EXPECT_EQ(e.date, utc(1997, 1, 15, 10, 20));
    // An NT server in UNIX dress: only dates with a time of day are UTC.
    HTFTPListState s{HT_FTP_STYLE_NT_UNIX, 0};
    EXPECT_EQ(HTStrpTime("Jan 10 09:15", 1, &s, g), utc(2026, 1, 10, 9, 15));
    EXPECT_EQ(HTStrpTime("Jan 10 09:15", 0, &s, g), utc(2026, 1, 10, 14, 15));
    EXPECT_EQ(HTStrpTime("Jan 10  2020", 1, &s, g), utc(2020, 1, 11, 4, 59, 59));
}

TEST_F(FTPDir, VmsLines)
{
    const LineCase cases[] = {
        {"CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)", 1,
         "cii-manual.tex", 0x8000, 0, nullptr, "", 213 * 512, utc(1996, 1, 29, 3, 33)},
        {"CII-MANUAL.TEX;12  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)", 1,
         "cii-manual.tex", 0x8000, 0, nullptr, "", 213 * 512, utc(1996, 1, 29, 3, 33)},
        {"SUBDIR.DIR;1  1/3  1-FEB-1996 10:00:00 [X] (RWE)", 1, "subdir", 0x4000, 0, nullptr, "", 512,
         utc(1996, 2, 1, 10, 0)},
        // Used above allocated: the bare count.
        {"ARCHIVE.TAR_Z;2  500/200  3-MAR-1999 14:05", 1, "archive.tar_Z", 0x8000, 0, nullptr, "", 500,
         utc(1999, 3, 3, 14, 5)},
        {"DATA.Z;1  4/4  3-MAR-1999 14:05", 1, "data.Z", 0x8000, 0, nullptr, "", 2048, utc(1999, 3, 3, 14, 5)},
        {"A.Z;1  4/4  3-MAR-1999 14:05", 1, "a.z", 0x8000, 0, nullptr, "", 2048, utc(1999, 3, 3, 14, 5)},
        {"FOO.TXT;1\t\t12/12\t\t3-MAR-1999\t\t14:05:59\t[X]", 1, "foo.txt", 0x8000, 0, nullptr, "", 12 * 512,
         utc(1999, 3, 3, 14, 5)},
        // No "/": the first later number is the block count.
        {"FILE.TXT;1 12 29-JAN-1996 03:33", 1, "file.txt", 0x8000, 0, nullptr, "", 12 * 512,
         utc(1996, 1, 29, 3, 33)},
        {"NODATE.TXT;1 5/6", 1, "nodate.txt", 0x8000, 0, nullptr, "", 5 * 512, 0},
        // The date right behind the version: its start is the rest's first character.
        {"X.TXT;1-JAN-1996 10:00", 1, "x.txt", 0x8000, 0, nullptr, "", 0, utc(1996, 1, 1, 10, 0)},
        {"HUGE.DAT;1 99999999999999999999/99999999999999999999 1-JAN-1996 10:00", 1, "huge.dat", 0x8000, 0,
         nullptr, "", UINT64_MAX, utc(1996, 1, 1, 10, 0)},
        {"Directory DISK$USER:[ANONYMOUS]", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"Total of 3 files, 714/720 blocks.", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {";1 5/6", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        // Nothing in front of ".DIR" would name the directory: no entry.
        {".DIR;1 1/3 1-FEB-1996 10:00:00", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {".DIRECTORY.TXT;1 1/3 1-FEB-1996 10:00:00", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
    };
    for (const LineCase &c : cases) {
        HTFTPDirEntry e;
        int r = parse(HT_FTP_STYLE_VMS, c.line, &e);
        expect_entry(c, r, e);
    }
}

TEST_F(FTPDir, PelionLines)
{
    const LineCase cases[] = {
        {"  1024 A 01-15-97 10:20 file.txt", 1, "file.txt", 0x8000, 0, nullptr, "", 1024,
         utc(1997, 1, 15, 10, 20)},
        {"     0 D 01-15-97 10:20 subdir", 1, "subdir", 0x4000, 0, nullptr, "", 0, utc(1997, 1, 15, 10, 20)},
        {"-rw-r--r-- 2048 Jan 15 1997 unixdate", 1, "unixdate", 0x81a4, 0, nullptr, "", 2048, utc(1997, 1, 15)},
        {"-rw-r--r-- 2048 Jan 15 09:30 recent", 1, "recent", 0x81a4, 0, nullptr, "", 2048,
         utc(2026, 1, 15, 9, 30)},
        {"512 01-15-97 10:20 second word", 1, "second word", 0x8000, 0, nullptr, "", 512,
         utc(1997, 1, 15, 10, 20)},
        {"512 A 01-15-2001 10:20 fullyear", 1, "fullyear", 0x8000, 0, nullptr, "", 512, utc(2001, 1, 15, 10, 20)},
        {"512 A 01-15-97 10:20", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"512 A 0123456789012345678901234567890-1 10:20 long", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
        {"512", 0, nullptr, 0, 0, nullptr, nullptr, 0, 0},
    };
    for (const LineCase &c : cases) {
        HTFTPDirEntry e;
        int r = parse(HT_FTP_STYLE_PELION, c.line, &e);
        expect_entry(c, r, e);
    }
}

TEST_F(FTPDir, BareNameStyles)
{
    HTFTPDirEntry e;
    for (int style : {6, 8}) {
        ASSERT_EQ(parse(style, "pub/", &e), 1);
        EXPECT_STREQ(e.name, "pub");
        EXPECT_EQ(e.mode, unsigned{HT_FTP_MODE_DIR});
        ASSERT_EQ(parse(style, "file.txt\r", &e), 1);
        EXPECT_STREQ(e.name, "file.txt");
        EXPECT_EQ(e.mode, unsigned{HT_FTP_MODE_FILE});
        EXPECT_EQ(parse(style, "", &e), 0);
        EXPECT_EQ(parse(style, "/", &e), 0);
    }
    // Unknown styles: the line is a file's name, a "/" included.
    ASSERT_EQ(parse(42, "pub/", &e), 1);
    EXPECT_STREQ(e.name, "pub/");
    EXPECT_EQ(e.mode, unsigned{HT_FTP_MODE_FILE});
}

TEST_F(FTPDir, PermissionTexts)
{
    struct {
        const char *text;
        unsigned mode;
    } cases[] = {
        {"-rwxrwxrwx", 0x81ff}, {"drwxr-xr-x", 0x41ed}, {"lrwxrwxrwx", 0xa1ff}, {"-rwsr-sr-t", 0x8fed},
        {"-rwSr-Sr-T", 0x8fa4}, {"-rw-r--r--", 0x81a4}, {"----------", 0x8000}, {"prw-------", 0x8180},
        // Short texts: what is missing counts as "-".
        {"d", 0x4000}, {"-rw", 0x8180}, {"-rwxr", 0x81e0}, {"", 0x8000},
        // Only ten characters count.
        {"-rwxrwxrwx+", 0x81ff},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HTFTPFilePerm(c.text), c.mode) << c.text;
    EXPECT_EQ(HTFTPFilePerm(nullptr), 0x8000u);
}

TEST_F(FTPDir, UnixDates)
{
    HTFTPListState s{HT_FTP_STYLE_UNIX, 0};
    struct {
        const char *text;
        int flag;
        time_t when;
    } cases[] = {
        {"Jan 10  2020", 0, utc(2020, 1, 10)},
        {"jan 10 2020", 0, utc(2020, 1, 10)},
        {"10 Jan 2020", 0, utc(2020, 1, 10)},
        {"Jun 16 11:59", 0, utc(2026, 6, 16, 11, 59)},
        {"Jun 16 12:01", 0, utc(2025, 6, 16, 12, 1)},
        {"Feb 29 2024", 1, utc(2024, 2, 29, 23, 59, 59)},
        {"Jan 10", 0, 0},
        {"Jan", 0, 0},
        {"", 0, 0},
        {"10 10 2020", 0, 0},
        {"Jan Feb 2020", 0, 0},
        {"Foo 10 2020", 0, 0},
        {"Jan 10 20x0", 0, 0},
        {"Jan 10 25:00", 0, 0},
        {"Jan 99 2020", 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HTStrpTime(c.text, c.flag, &s, g), c.when) << c.text;
}

TEST_F(FTPDir, VmsAndPelionDates)
{
    HTFTPListState s{HT_FTP_STYLE_VMS, 0};
    EXPECT_EQ(HTVMSStrpTime("29-JAN-1996 03:33:12", &s, g), utc(1996, 1, 29, 3, 33));
    EXPECT_EQ(HTVMSStrpTime("29-jan-1996 03:33", &s, g), utc(1996, 1, 29, 3, 33));
    EXPECT_EQ(HTVMSStrpTime("29-FOO-1996 03:33", &s, g), 0);
    EXPECT_EQ(HTVMSStrpTime("29-JAN-1996", &s, g), 0);
    EXPECT_EQ(HTVMSStrpTime("29-JAN", &s, g), 0);
    EXPECT_EQ(HTVMSStrpTime("", &s, g), 0);

    s.style = HT_FTP_STYLE_PELION;
    EXPECT_EQ(HTPelionStrpTime("01-15-97 10:20", 0, &s), utc(1997, 1, 15, 10, 20));
    EXPECT_EQ(HTPelionStrpTime("12-31-99 11:59PM", 0, &s), utc(1999, 12, 31, 23, 59));
    EXPECT_EQ(HTPelionStrpTime("01-15-1997 10:20", 0, &s), utc(1997, 1, 15, 10, 20));
    EXPECT_EQ(HTPelionStrpTime("01-15-26 10:20", 0, &s), utc(2026, 1, 15, 10, 20));
    EXPECT_EQ(HTPelionStrpTime("01-15 10:20", 0, &s), 0);
    EXPECT_EQ(HTPelionStrpTime("01-15-97", 0, &s), 0);
    EXPECT_EQ(HTPelionStrpTime("01-15-97 10", 0, &s), 0);
    EXPECT_EQ(HTPelionStrpTime("0000000000000000000000001-15-97 10:20", 0, &s), 0);
    EXPECT_EQ(HTPelionStrpTime("xx-15-97 10:20", 0, &s), 0);
}

TEST_F(FTPDir, Months)
{
    const char *names[] = {"JAN", "Feb", "mar", "APRIL", "May", "jun", "Jul", "aug", "Sep", "oct", "Nov", "DEC"};
    for (int m = 0; m < 12; ++m)
        EXPECT_EQ(HTStrpMonth(names[m]), m) << names[m];
    EXPECT_EQ(HTStrpMonth("Ja"), -1);
    EXPECT_EQ(HTStrpMonth(""), -1);
    EXPECT_EQ(HTStrpMonth("Foo"), -1);
    EXPECT_EQ(HTStrpMonth(nullptr), -1);
}
