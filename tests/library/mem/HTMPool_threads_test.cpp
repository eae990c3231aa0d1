// Library state shared between threads, each module hammered by several threads.

#include "HTApplication.h"
#include "HTClock.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTTrace.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>



TEST(HTMPoolThreads, PoolsArePerThread)
{
    ASSERT_EQ(htc_test_start(), 1);
    std::vector<std::thread> ts;
    std::atomic<bool> bad{false};
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            htc_as_worker([&](HTThdGlobals *ctx) {
                for (int round = 0; round < 100; ++round) {
                    std::vector<char *> mine;
                    for (int i = 0; i < 300; ++i) {
                        char text[32];
                        std::snprintf(text, sizeof text, "t%d-r%d-i%d", t, round, i);
                        mine.push_back(HTMemPool_vcat(ctx, text, "", static_cast<char *>(nullptr)));
                    }
                    for (int i = 0; i < 300; ++i) {
                        char text[32];
                        std::snprintf(text, sizeof text, "t%d-r%d-i%d", t, round, i);
                        if (std::strcmp(mine[i], text) != 0)
                            bad = true;
                    }
                    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
                }
            });
        });
    for (auto &t : ts)
        t.join();
    EXPECT_FALSE(bad.load());
}
