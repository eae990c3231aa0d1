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



TEST(HTClockThreads, ClockReadersSeeCompleteSnapshots)
{
    updatetimeRep(1);
    std::atomic<bool> stop{false}, bad{false};
    std::thread updater([&] {
        for (int i = 0; i < 2000; ++i)
            updatetimeRep(i % 2);
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            char buf[HT_TIME_TEXT_MAX];
            while (!stop) {
                if (HTtime() < 1000000000)
                    bad = true;
                HTtime_strcpy_HTTPtime(buf);
                if (std::strlen(buf) != 29 || std::strcmp(buf + 25, " GMT") != 0)
                    bad = true;
                if (HTtime_strcpy(buf) < 20)
                    bad = true;
            }
        });
    updater.join();
    for (auto &t : readers)
        t.join();
    EXPECT_FALSE(bad.load());
}
