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

TEST(HTListThreads, FreeListsLoseNoElementAcrossThreads)
{
    ASSERT_EQ(htc_test_start(), 1);
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
                // Single releases stop at 100; a whole list (76 elements
                // here) is taken only below 80. (A pool debug build of the
                // library has no free lists.)
                if (!HTMemPool_debugBuild() && HTList__privateFree(ctx) > HT_LIST_WHOLE_LIMIT - 1 + 76)
                    bad = true;
            });
        });
    for (auto &t : ts)
        t.join();
    EXPECT_FALSE(bad.load());
    // Every thread gave its private elements back: nothing is in use now, so
    // the master holds a whole number of its growth blocks.
    if (!HTMemPool_debugBuild()) {
        EXPECT_EQ(HTList__masterFree() % HT_LIST_MASTER_GROWTH, 0);
    }
}
