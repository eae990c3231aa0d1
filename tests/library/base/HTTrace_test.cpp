// Trace facility: switches, names, groups, hooks, the flags array and the log.

#include "HTClock.h"
#include "HTAlloc.h"
#include "HTTrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint32_t> setCalls, clearCalls;
void on_set(uint32_t m) { setCalls.push_back(m); }
void on_clear(uint32_t m) { clearCalls.push_back(m); }

class Trace : public ::testing::Test {
protected:
    void SetUp() override
    {
        HTTrace_getPtrToTraceFlags(nullptr);
        HTTraceSet_SetHtcBits(nullptr);
        HTTraceSet_ClearHtcBits(nullptr);
        HTTrace_reset();
        tc[HT_TRACE_LEVEL_WORD] = 0;
        setCalls.clear();
        clearCalls.clear();
    }
    void TearDown() override
    {
        HTTraceLog_close();
        HTTraceLog_setMaxSize(0);
        SetUp();
    }
    std::vector<int> switched()
    {
        std::vector<int> on;
        for (int m = 0; m < HT_TRACE_NMODULES; ++m)
            if (tc[m])
                on.push_back(m);
        return on;
    }
    std::string temp_path(const char *name)
    {
        return ::testing::TempDir() + "/" + name + std::to_string(getpid());
    }
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "[0x<8+ hex digits>/<8+ digits>]: " followed by exactly `text`.
bool is_trace_line(const std::string &line, const std::string &text)
{
    if (line.compare(0, 3, "[0x") != 0)
        return false;
    size_t i = 3, n = 0;
    while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i])))
        ++i, ++n;
    if (n < 8 || i >= line.size() || line[i++] != '/')
        return false;
    n = 0;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])))
        ++i, ++n;
    return n >= 8 && line.compare(i, std::string::npos, "]: " + text) == 0;
}

} // namespace

TEST_F(Trace, EveryModuleIsSwitchedByItsNameAndNamedByItsNumber)
{
    // The flags are exported data of 94 words, module switches first.
    EXPECT_EQ(sizeof(tc_struct), 94u * 4u);
    EXPECT_EQ(tc, tc_struct);
    for (int m = 1; m < HT_TRACE_NMODULES; ++m) {
        char name[64];
        int number = -2;
        HTTrace_getModuleName(m, name, &number);
        ASSERT_EQ(number, m);
        ASSERT_NE(name[0], '\0') << m;
        HTTrace_reset();
        HTTrace_setByName(name, 1);
        ASSERT_EQ(tc[m], 1u) << name;
        // Only the module, its group's members and proxy's companion switch.
        std::vector<int> expect{m};
        for (const int32_t *row = KnownGroups[0]; row[0] != -1; row += 17)
            if (row[0] == m)
                for (int i = 1; row[i] != 0; ++i)
                    expect.push_back(row[i]);
        if (m == HT_TRACE_PROXY)
            expect.push_back(HT_TRACE_PROXYCACHE);
        std::sort(expect.begin(), expect.end());
        ASSERT_EQ(switched(), expect) << name;
        // Every module has one of the three levels: at that level it traces,
        // one below it does not.
        const uint32_t level = KnownModules[m].level;
        ASSERT_TRUE(level == 22 || level == 44 || level == 66) << name;
        tc[HT_TRACE_LEVEL_WORD] = level;
        EXPECT_EQ(HTTrace_module(m), 1) << name;
        tc[HT_TRACE_LEVEL_WORD] = level - 1;
        EXPECT_EQ(HTTrace_module(m), 0) << name;
        tc[HT_TRACE_LEVEL_WORD] = 0;
    }
}

TEST_F(Trace, LevelZeroTracesNothing)
{
    HTTrace_set(HT_TRACE_SOCKET, 1);
    EXPECT_FALSE(HT_TRACING());
    EXPECT_EQ(HTTrace_module(HT_TRACE_SOCKET), 0);
    EXPECT_FALSE(HT_TRACE_ON(HT_TRACE_SOCKET));
    tc[HT_TRACE_LEVEL_WORD] = 43;
    EXPECT_EQ(HTTrace_module(HT_TRACE_SOCKET), 0); // socket needs 44
    tc[HT_TRACE_LEVEL_WORD] = 44;
    EXPECT_EQ(HTTrace_module(HT_TRACE_SOCKET), 1);
    EXPECT_TRUE(HT_TRACE_AT(HT_TRACE_SOCKET, 44));
    EXPECT_FALSE(HT_TRACE_AT(HT_TRACE_SOCKET, 45));
    // Level compared unsigned.
    EXPECT_EQ(HTTrace_level(HT_TRACE_SOCKET, 0xFFFFFFFFu), 0);
}

TEST_F(Trace, NumbersOutsideTheTableAreIgnored)
{
    HTTrace_set(93, 7); // would be the level word
    HTTrace_set(-1, 7);
    HTTrace_set(INT_MAX, 7);
    EXPECT_EQ(tc[HT_TRACE_LEVEL_WORD], 0u);
    tc[HT_TRACE_LEVEL_WORD] = 66;
    EXPECT_EQ(HTTrace_level(93, 0), 0);
    EXPECT_EQ(HTTrace_level(-5, 0), 0);
    EXPECT_EQ(HTTrace_module(1000), 0);
}

TEST_F(Trace, SetByName)
{
    char name[] = "Sockets";
    HTTrace_setByName(name, 1);
    EXPECT_STREQ(name, "Sockets"); // the caller's text is not cut
    EXPECT_EQ(switched(), std::vector<int>({67}));

    HTTrace_reset();
    HTTrace_setByName("proxy", 1);
    EXPECT_EQ(switched(), std::vector<int>({51, 52}));

    HTTrace_reset();
    HTTrace_setByName("proxygroup", 1);
    EXPECT_EQ(switched(), std::vector<int>({15, 51, 52, 53, 54, 63, 90}));

    HTTrace_reset();
    HTTrace_setByName("GCGROUP", 5);
    EXPECT_EQ(switched(), std::vector<int>({16, 26, 27, 92}));
    EXPECT_EQ(tc[26], 5u);

    HTTrace_reset();
    HTTrace_setByName("92", 1);
    EXPECT_TRUE(switched().empty());
    HTTrace_setByName("51", 1);
    EXPECT_EQ(switched(), std::vector<int>({51, 52}));

    HTTrace_reset();
    HTTrace_setByName("group", 1);
    EXPECT_EQ(switched(), std::vector<int>({79}));

    HTTrace_reset();
    HTTrace_setByName("all", 0); // "all" always switches on
    EXPECT_EQ(switched().size(), 93u);
}

TEST_F(Trace, UnknownNameIsReported)
{
    ::testing::internal::CaptureStderr();
    HTTrace_setByName("nosuchthings", 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "I........... have never heard of trace module \"nosuchthings\".\n");
    EXPECT_TRUE(switched().empty());
}

TEST_F(Trace, CacheHooksFollowTheLevel)
{
    EXPECT_EQ(HTTrace_SetHtcBits, nullptr); // the exported hooks, null until installed
    EXPECT_EQ(HTTraceSet_SetHtcBits(on_set), 0);
    EXPECT_EQ(HTTraceSet_ClearHtcBits(on_clear), 0);
    EXPECT_EQ(HTTrace_SetHtcBits, &on_set);
    EXPECT_EQ(HTTrace_ClearHtcBits, &on_clear);
    tc[HT_TRACE_LEVEL_WORD] = 22;
    HTTrace_set(26, 1);
    EXPECT_EQ(clearCalls, std::vector<uint32_t>({0x40}));
    EXPECT_TRUE(setCalls.empty());
    tc[HT_TRACE_LEVEL_WORD] = 44;
    HTTrace_set(26, 1);
    EXPECT_EQ(setCalls, std::vector<uint32_t>({0x40}));
    // A value other than 1 clears; modules without bits call nothing.
    clearCalls.clear();
    HTTrace_set(26, 2);
    EXPECT_EQ(clearCalls, std::vector<uint32_t>({0x40}));
    clearCalls.clear();
    HTTrace_set(HT_TRACE_HTTP, 1);
    EXPECT_TRUE(clearCalls.empty());
}

TEST_F(Trace, ModuleNames)
{
    char buf[32];
    int n = 0;
    HTTrace_getModuleName(-15, buf, &n);
    EXPECT_STREQ(buf, "ftp");
    EXPECT_EQ(n, 15);
    HTTrace_getModuleName(93, buf, &n);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(n, -1);
    HTTrace_getModuleName(INT_MIN, buf, &n);
    EXPECT_EQ(n, -1);
    HTTrace_getModuleName(0, buf, nullptr);
    EXPECT_STREQ(buf, "none");
}

TEST_F(Trace, HostSuppliedFlags)
{
    uint32_t host[HT_TRACE_NWORDS];
    for (auto &w : host)
        w = 0xABCD;
    HTTraceSet_ClearHtcBits(on_clear);
    EXPECT_EQ(HTTrace_getPtrToTraceFlags(host), host);
    EXPECT_EQ(tc, host);
    for (auto w : host)
        EXPECT_EQ(w, 0u);
    EXPECT_EQ(clearCalls.size(), 93u);
    HTTrace_set(HT_TRACE_DNS, 1);
    EXPECT_EQ(host[HT_TRACE_DNS], 1u);
    EXPECT_EQ(tc_struct[HT_TRACE_DNS], 0u);
    EXPECT_EQ(HTTrace_getPtrToTraceFlags(nullptr), tc_struct);
    EXPECT_EQ(tc, tc_struct);
}

TEST_F(Trace, LinePrefixAndLogFile)
{
    updatetimeRep(1);
    const std::string path = temp_path("trace");
    unlink(path.c_str());
    EXPECT_EQ(trace_log, nullptr); // standard error
    HTTraceLog_open(path.c_str());
    EXPECT_NE(trace_log, nullptr); // the exported log stream is the file
    tfprintf(stdout, "Trace....... hello %d %s\n", 42, "world");
    HTTraceLog_close();
    EXPECT_EQ(trace_log, nullptr);
    const std::string text = slurp(path);
    EXPECT_TRUE(is_trace_line(text, "Trace....... hello 42 world\n"))
        << text;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~static_cast<unsigned>(mask));
    unlink(path.c_str());
}

TEST_F(Trace, LogWrapsAroundAtMaximumSize)
{
    const std::string path = temp_path("wrap");
    unlink(path.c_str());
    HTTraceLog_setMaxSize(1);
    HTTraceLog_open(path.c_str());
    const std::string filler(1000, 'x');
    for (int i = 0; i < 2500; ++i)
        tfprintf(stderr, "Trace....... %s\n", filler.c_str());
    HTTraceLog_close();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LT(st.st_size, 1048576 + 2048);
    EXPECT_GT(st.st_size, 1000000);

    // Below 1 MB the log appends.
    unlink(path.c_str());
    HTTraceLog_setMaxSize(0);
    HTTraceLog_open(path.c_str());
    for (int i = 0; i < 1200; ++i)
        tfprintf(stderr, "Trace....... %s\n", filler.c_str());
    HTTraceLog_close();
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 1200000);
    unlink(path.c_str());
}

TEST_F(Trace, UnopenableLogFallsBackToStandardError)
{
    ::testing::internal::CaptureStderr();
    HTTraceLog_open("/nonexistent-dir/trace.log");
    tfprintf(nullptr, "Trace....... %s\n", "after");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Trace....... log \"/nonexistent-dir/trace.log\" could not be opened; "
                       "tracing to stderr [errno was 2].\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("]: Trace....... after\n"), std::string::npos) << err;
}

TEST_F(Trace, LongFormatsAreNotCut)
{
    ::testing::internal::CaptureStderr();
    std::string fmt = "Trace....... " + std::string(5000, 'y') + " %d\n";
    tfprintf(stderr, fmt.c_str(), 7);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string(5000, 'y') + " 7\n"), std::string::npos);
}


// A line longer than the stack buffer needs a heap block: without one the
// line is dropped whole, never cut.
TEST_F(Trace, LongLineWithoutMemoryIsDroppedWhole)
{
    const std::string fmt = "Trace....... " + std::string(5000, 'z') + " %d\n";
    ::testing::internal::CaptureStderr();
    HTAlloc_failAt(1, 0);
    const int rc = tfprintf(stderr, fmt.c_str(), 7);
    const bool failed = HTAlloc_failed() != 0;
    HTAlloc_failAt(0, 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err.find('z'), std::string::npos) << err.size();
}
