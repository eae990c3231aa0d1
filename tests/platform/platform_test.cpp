// Platform facts of the build under test: word size, byte order, char
// signedness and the widths of time_t and off_t. The production target is
// 32-bit big-endian PowerPC, built with 64-bit times and file offsets; these
// cases print what each build runs on and fail when a build is not what it
// was configured to be (wrong compiler, missing -D_TIME_BITS=64, no
// libatomic, an emulator that does not pass 64-bit times through).

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "needs_icu.h"
#if HT_WITH_ICU
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#endif

namespace {

constexpr bool kBigEndian = std::endian::native == std::endian::big;
constexpr bool kCharSigned = CHAR_MIN < 0;

bool cpuIs(const char *prefix)
{
    return std::strncmp(BUILD_CPU, prefix, std::strlen(prefix)) == 0;
}

// A private directory for file tests, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/platform_test.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            path_ = buf.data();
    }
    ~TempDir()
    {
        if (path_.empty())
            return;
        if (DIR *d = ::opendir(path_.c_str())) {
            while (const struct dirent *e = ::readdir(d)) {
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    ::unlink((path_ + "/" + e->d_name).c_str());
            }
            ::closedir(d);
        }
        ::rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A UTC broken-down time, as gmtime_r gives it.
std::tm utc(int year, int month, int day, int hour, int min, int sec)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

} // namespace

TEST(Platform, WordSizeByteOrderAndCharAreThoseOfTheBuild)
{
    std::printf("platform: cpu %s, pointer %zu bytes, long %zu, size_t %zu, %s-endian, "
                "char %s, time_t %zu bytes, off_t %zu bytes, ICU %s\n",
                BUILD_CPU, sizeof(void *), sizeof(long), sizeof(std::size_t),
                kBigEndian ? "big" : "little", kCharSigned ? "signed" : "unsigned",
                sizeof(std::time_t), sizeof(off_t), HT_WITH_ICU ? "yes" : "no");
    RecordProperty("cpu", BUILD_CPU);
    RecordProperty("pointer_size", static_cast<int>(sizeof(void *)));
    RecordProperty("big_endian", kBigEndian ? 1 : 0);
    RecordProperty("char_signed", kCharSigned ? 1 : 0);

    EXPECT_EQ(sizeof(void *), static_cast<std::size_t>(BUILD_POINTER_SIZE));
    // Handles and work-item words are pointer-sized.
    EXPECT_EQ(sizeof(std::uintptr_t), sizeof(void *));
    EXPECT_EQ(kBigEndian, BUILD_BIG_ENDIAN != 0);

    // What the compiler claims must be what the (emulated) machine does.
    const std::uint32_t word = 0x01020304;
    unsigned char bytes[4];
    std::memcpy(bytes, &word, sizeof bytes);
    if (kBigEndian) {
        EXPECT_EQ(bytes[0], 0x01);
        EXPECT_EQ(bytes[3], 0x04);
    } else {
        EXPECT_EQ(bytes[0], 0x04);
        EXPECT_EQ(bytes[3], 0x01);
    }

    // Plain char is unsigned on PowerPC and signed on x86: a byte of outside
    // input read through char differs between the builds, through unsigned
    // char it does not.
    if (cpuIs("powerpc") || cpuIs("ppc")) {
        EXPECT_FALSE(kCharSigned);
    } else if (cpuIs("x86_64") || cpuIs("amd64") || cpuIs("i686")) {
        EXPECT_TRUE(kCharSigned);
    }
    const char input = '\xE9';
    EXPECT_EQ(static_cast<unsigned char>(input), 0xE9u);
    EXPECT_EQ(static_cast<int>(input), kCharSigned ? -23 : 0xE9);
}

TEST(Platform, TimesAfter2038RoundTripThroughTheCLibrary)
{
    ASSERT_EQ(sizeof(std::time_t), 8u) << "32-bit builds need -D_TIME_BITS=64";

    struct Case {
        std::tm tm;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {utc(2038, 1, 19, 3, 14, 7), INT32_MAX},                       // last 32-bit second
        {utc(2038, 1, 19, 3, 14, 8), std::int64_t{INT32_MAX} + 1},     // first one after
        {utc(2040, 2, 29, 12, 0, 0), 2214129600},                      // leap day
        {utc(2106, 2, 7, 6, 28, 16), std::int64_t{UINT32_MAX} + 1},    // past unsigned 32 bits
        {utc(1901, 12, 13, 20, 45, 52), INT32_MIN},                    // before 1970
    };
    for (const Case &c : cases) {
        std::tm in = c.tm;
        const std::time_t t = timegm(&in);
        EXPECT_EQ(static_cast<std::int64_t>(t), c.seconds) << "year " << c.tm.tm_year + 1900;

        std::tm out{};
        ASSERT_NE(gmtime_r(&t, &out), nullptr) << c.seconds;
        EXPECT_EQ(out.tm_year, c.tm.tm_year);
        EXPECT_EQ(out.tm_mon, c.tm.tm_mon);
        EXPECT_EQ(out.tm_mday, c.tm.tm_mday);
        EXPECT_EQ(out.tm_hour, c.tm.tm_hour);
        EXPECT_EQ(out.tm_min, c.tm.tm_min);
        EXPECT_EQ(out.tm_sec, c.tm.tm_sec);
    }

    // The clock itself comes back 64-bit through the kernel interface.
    const std::time_t now = std::time(nullptr);
    EXPECT_GT(now, 1700000000);
}

TEST(Platform, FileTimesAfter2038SurviveTheKernel)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty()) << std::strerror(errno);
    const std::string file = dir.path() + "/stamp";
    const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ::close(fd);

    const std::time_t when = 2214129600; // 2040-02-29 12:00:00 UTC
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << std::strerror(errno);

    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << std::strerror(errno);
    EXPECT_EQ(static_cast<std::int64_t>(st.st_mtime), std::int64_t{2214129600});
}

TEST(Platform, FilesOver4GiBHaveTheirTrueSizeAndOffsets)
{
    ASSERT_EQ(sizeof(off_t), 8u) << "32-bit builds need -D_FILE_OFFSET_BITS=64";

    TempDir dir;
    ASSERT_FALSE(dir.path().empty()) << std::strerror(errno);
    const std::string file = dir.path() + "/big";
    const int fd = ::open(file.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);

    // Sparse: no disk space is used for the hole.
    const off_t size = (off_t{5} << 30) + 3; // 5 GiB and 3 bytes
    ASSERT_EQ(::ftruncate(fd, size), 0) << std::strerror(errno);
    const off_t at = (off_t{4} << 30) + 10; // beyond any 32-bit offset
    ASSERT_EQ(::pwrite(fd, "xyz", 3, at), 3) << std::strerror(errno);

    struct stat st{};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), size);
    char back[3] = {};
    ASSERT_EQ(::pread(fd, back, 3, at), 3) << std::strerror(errno);
    EXPECT_EQ(std::string(back, 3), "xyz");
    ::close(fd);
}

TEST(Platform, Atomic64CountsAcrossThe32BitBoundary)
{
    // Four threads add across 2^32, where a torn or 32-bit update shows.
    std::atomic<std::uint64_t> counter{0xFFFFFF00u};
    constexpr int kThreads = 4;
    constexpr int kAdds = 2000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&counter] {
            for (int n = 0; n < kAdds; ++n)
                counter.fetch_add(1, std::memory_order_relaxed);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(counter.load(), std::uint64_t{0xFFFFFF00u} + kThreads * kAdds);

    std::uint64_t expected = counter.load();
    EXPECT_TRUE(counter.compare_exchange_strong(expected, 0x123456789ABCDEF0ull));
    EXPECT_EQ(counter.load(), 0x123456789ABCDEF0ull);
}

TEST(Platform, IcuConvertsWhenBuiltWithIt)
{
    HT_SKIP_WITHOUT_ICU();
#if HT_WITH_ICU
    UErrorCode status = U_ZERO_ERROR;
    UConverter *conv = ucnv_open("ISO-8859-1", &status);
    ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    const UChar text[] = {0x0063, 0x0061, 0x0066, 0x00E9, 0}; // "café"
    EXPECT_EQ(u_strlen(text), 4);
    char out[8] = {};
    const int32_t n = ucnv_fromUChars(conv, out, sizeof out, text, -1, &status);
    ucnv_close(conv);
    ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(static_cast<unsigned char>(out[3]), 0xE9u);
#endif
}
