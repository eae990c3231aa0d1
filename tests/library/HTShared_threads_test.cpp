// Library state shared between threads: free lists, pools, clock, trace,
// globals and the application limiter, each hammered by several threads.

#include "HTApplication.h"
#include "HTClock.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTTrace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// One worker thread's life: globals, work units, end.
template <class F> void as_worker(F work)
{
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    work(ctx);
    HTEndThd(HT_THREAD_WORKER, ctx);
    HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
}

} // namespace

TEST(Threads, FreeListsLoseNoElementAcrossThreads)
{
    ASSERT_EQ(HTInitAll(), 1);
    std::vector<std::thread> ts;
    std::atomic<bool> bad{false};
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            as_worker([&](HTThdGlobals *ctx) {
                for (int round = 0; round < 200; ++round) {
                    // Long lists drain the private list and force refills;
                    // whole-list and single releases cross both thresholds.
                    HTList *l = HTList_new(ctx);
                    HTQueue *q = HTQueue_new(round % 3 ? ctx : nullptr);
                    for (int i = 0; i < 150; ++i) {
                        HTList_addObject(l, reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1)), ctx);
                        HTQueue_push(q, reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1)), ctx);
                    }
                    for (int i = 0; i < 75; ++i) {
                        if (HTList_removeFirstObject(l, ctx) != reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1)))
                            bad = true;
                        if (HTQueue_pop(q, (round + t) % 2 ? ctx : nullptr) != reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1)))
                            bad = true;
                    }
                    if (HTList_count(l) != 75 || HTQueue_count(q) != 75)
                        bad = true;
                    HTList_delete(l, ctx);
                    HTQueue_delete(q, ctx);
                    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
                    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_SESSION, ctx);
                }
#ifndef HT_POOL_DEBUG
                // Single releases stop at 100; a whole list (76 elements
                // here) is taken only below 80.
                if (HTList__privateFree(ctx) > HT_LIST_WHOLE_LIMIT - 1 + 76)
                    bad = true;
#endif
            });
        });
    for (auto &t : ts)
        t.join();
    EXPECT_FALSE(bad.load());
#ifndef HT_POOL_DEBUG
    // Every thread gave its private elements back: nothing is in use now, so
    // the master holds a whole number of its growth blocks.
    EXPECT_EQ(HTList__masterFree() % HT_LIST_MASTER_GROWTH, 0);
#endif
}

TEST(Threads, PoolsArePerThread)
{
    ASSERT_EQ(HTInitAll(), 1);
    std::vector<std::thread> ts;
    std::atomic<bool> bad{false};
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            as_worker([&](HTThdGlobals *ctx) {
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

TEST(Threads, ClockReadersSeeCompleteSnapshots)
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

TEST(Threads, TraceLinesDoNotInterleave)
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

TEST(Threads, ApplicationLimiterAndCounters)
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
    EXPECT_EQ(HTApplication_GetRatio(), 0);
    EXPECT_EQ(GetnThreadsActive(), 0);
    EXPECT_EQ(GetLibSNMPOutboundAssociations(), 0);
    EXPECT_GT(GetLibSNMPLastOutboundActivity(), 0);
    HTApplication_Init();
}
