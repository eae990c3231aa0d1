// A GoogleTest fixture with a worker thread's context: the layers started
// (htc_start.h), the calling thread's globals made for each test with a
// session and a request begun, and all of it ended afterwards.
#ifndef HTC_WORKER_H
#define HTC_WORKER_H

#include "HTGlobals.h"
#include "htc_start.h"

#include <gtest/gtest.h>

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(htc_test_start(), 1);
        g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
        ASSERT_NE(g, nullptr);
    }
    void TearDown() override
    {
        if (g == nullptr)
            return;
        HTEndThd(HT_THREAD_WORKER, g);
        HTWorkThread_threadExit(HT_THREAD_WORKER, g);
    }
    // Ends the request (its pool reset, its modules' state dropped) and begins the next.
    void end_request()
    {
        HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
        HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
    }
    HTThdGlobals *g = nullptr;
};

#endif
