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



TEST(HTApplicationThreads, ApplicationLimiterAndCounters)
{
    HTApplication_Init();
    HTApplication_SetThreadNumber(50);
    HTApplication *app = HTApplication_Add("busy", 100, 1, 1, 0, nullptr);
    SetnThreadsActive(0);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                HTApplication_Enter(app, nullptr);
                IncnThreadsActive();
                IncLibSNMPOutboundAssociations();
                DecnThreadsActive();
                DecLibSNMPOutboundAssociations();
                HTApplication_Leave(app, nullptr);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(HTApplication_GetCount(app), 0);
    // Every Enter was matched by a Leave: one more Enter is alone in the pool.
    HTApplication_Enter(app, nullptr);
    EXPECT_EQ(HTApplication_GetRatio(), 2);
    EXPECT_EQ(HTApplication_GetCount(app), 1);
    EXPECT_EQ(GetnThreadsActive(), 0);
    EXPECT_EQ(GetLibSNMPOutboundAssociations(), 0);
    EXPECT_GT(GetLibSNMPLastOutboundActivity(), 0);
    HTApplication_Init();
}
