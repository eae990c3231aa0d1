// Library state shared between threads, each module hammered by several threads.

#include "HTApplication.h"
#include "HTClock.h"
#include "HTGlobals.h"
#include "HTTrace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>



TEST(HTTraceThreads, TraceLinesDoNotInterleave)
{
    const std::string path = ::testing::TempDir() + "/trace-threads" + std::to_string(getpid());
    unlink(path.c_str());
    HTTraceLog_open(path.c_str());
    std::vector<std::thread> ts;
    std::atomic<bool> flip{false};
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                if (t == 0) // switching while others trace is allowed
                    HTTrace_set(HT_TRACE_TCP, (flip = !flip) ? 1 : 0);
                tfprintf(stderr, "TCP......... thread %d line %d %s\n", t, i,
                         std::string(60, static_cast<char>('a' + t)).c_str());
            }
        });
    for (auto &t : ts)
        t.join();
    HTTraceLog_close();
    FILE *f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[512];
    int lines = 0;
    while (std::fgets(line, sizeof line, f)) {
        ++lines;
        const char *tag = std::strstr(line, "]: TCP......... thread ");
        ASSERT_NE(tag, nullptr) << line;
        int t = tag[23] - '0';
        EXPECT_NE(std::strstr(line, std::string(60, static_cast<char>('a' + t)).c_str()), nullptr);
    }
    std::fclose(f);
    EXPECT_EQ(lines, 2000);
    unlink(path.c_str());
}
