// Per-thread globals, the module registry and the application limiter.

#include "HTApplication.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;
int tokenA, tokenB;

void *create_a(int slot, int, void *prev)
{
    calls.push_back("createA" + std::to_string(slot) + (prev == nullptr ? ":null" : ":?"));
    return &tokenA;
}
void *create_b(int, int, void *prev)
{
    calls.push_back(prev == &tokenA ? "createB:A" : "createB:?");
    return &tokenB;
}
void *create_c(int, int, void *prev)
{
    calls.push_back(prev == &tokenB ? "createC:B" : "createC:?");
    return prev;
}
int destroy_a(int, int, void *) { calls.push_back("destroyA"); return 0; }
int destroy_b(int, int, void *) { calls.push_back("destroyB"); return 0; }
int destroy_c(int, int, void *) { calls.push_back("destroyC"); return 0; }
int init_a(int, int, int ctx, void *) { calls.push_back("initA" + std::to_string(ctx)); return 0; }
int uninit_c(int, int, int ctx, void *) { calls.push_back("uninitC" + std::to_string(ctx)); return 0; }

} // namespace

TEST(HTGlobals, RegistryOrderAndDuplicateNames)
{
    if (HTWorkThread_moduleCount() != 0)
        GTEST_SKIP() << "modules were registered earlier in this process";
    calls.clear();
    EXPECT_EQ(HTWorkThread_addModule("A", create_a, destroy_a, init_a, nullptr), 0);
    EXPECT_EQ(HTWorkThread_addModule("B", create_b, destroy_b, nullptr, nullptr), 1);
    EXPECT_EQ(HTWorkThread_addModule("C", create_c, destroy_c, nullptr, uninit_c), 2);
    // Same name: same slot, first callbacks kept.
    EXPECT_EQ(HTWorkThread_addModule("B", create_c, destroy_c, nullptr, nullptr), 1);
    EXPECT_EQ(HTWorkThread_moduleCount(), 3);

    void *v = HTWorkThread_threadCreate(5);
    EXPECT_EQ(v, &tokenB);
    EXPECT_EQ(pthread_getspecific(GetHTThreadKey()), &tokenB);
    HTWorkThread_svcThreadStartWork(5, v);
    HTWorkThread_svcThreadEndWork(5, v);
    HTWorkThread_threadExit(5, v);
    EXPECT_EQ(calls, std::vector<std::string>({"createA0:null", "createB:A", "createC:B", "initA1",
                                               "initA2", "uninitC2", "uninitC1", "destroyC",
                                               "destroyB", "destroyA"}));
}

TEST(HTGlobals, Names)
{
    EXPECT_STREQ(HTWorkThread_typeName(1), "Worker thread");
    EXPECT_STREQ(HTWorkThread_typeName(11), "Divine thread");
    EXPECT_STREQ(HTWorkThread_typeName(13), "Unknown thread type 13");
    EXPECT_STREQ(HTWorkThread_typeName(-1), "Unknown thread type");
    EXPECT_STREQ(HTWorkThread_contextName(2), "REQUEST");
    EXPECT_STREQ(HTWorkThread_contextName(3), "INVALID CONTEXT 3");
}

TEST(HTGlobals, WorkerThreadRecord)
{
    ASSERT_EQ(HTInitAll(), 1);
    ASSERT_EQ(HTInitAll(), 1); // a second start-up changes nothing
    auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(lib_gettp(), g);
    EXPECT_EQ(std::memcmp(g->eyecatcher, "ZPKLTHD", 8), 0);
    EXPECT_EQ(std::memcmp(g->session->eyecatcher, "ZPKSESS", 8), 0);
    EXPECT_EQ(g->session, &g->session_part);
    EXPECT_TRUE(pthread_equal(g->thread_id, pthread_self()));
    EXPECT_EQ(g->thread_type, HT_THREAD_WORKER);
    EXPECT_NE(g->session->event, 0u);
    EXPECT_EQ(g->session->client_socket, -1);
    ASSERT_NE(HTMemPool_get(g), nullptr);
    EXPECT_EQ(HTMemPool_get(g)->size, HT_POOL_WORKER_SIZE);
    EXPECT_EQ(g->mempool, HTMemPool_get(g));
#ifndef HT_POOL_DEBUG
    EXPECT_EQ(HTList__privateFree(g), HT_LIST_WORKER_INITIAL);
#endif
    HTErrorInfo_set(g, 77);
    EXPECT_EQ(HTErrorInfo_extract(nullptr), 77u);
    std::strcpy(g->session->client_host, "client.example");
    EXPECT_STREQ(HTClientHost_extract(g), "client.example");
    HTEndThd(HT_THREAD_WORKER, g);
    HTWorkThread_threadExit(HT_THREAD_WORKER, g);
    EXPECT_EQ(lib_gettp(), nullptr);
}

TEST(HTGlobals, OtherThreadTypesGetNoEventAndASmallPool)
{
    ASSERT_EQ(HTInitAll(), 1);
    auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_LOG));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->session->event, 0u);
    EXPECT_EQ(HTMemPool_get(g)->size, HT_POOL_OTHER_SIZE);
    EXPECT_EQ(HTList__privateFree(g), 0);
    HTEndThd(HT_THREAD_LOG, g);
    HTWorkThread_threadExit(HT_THREAD_LOG, g);
}

TEST(HTApplication, LimitIsReachedAtItsPercentage)
{
    HTApplication_Init();
    HTApplication_SetThreadNumber(100);
    HTApplication *app = HTApplication_Add("app", 10, 1, 1, 0, "text");
    ASSERT_NE(app, nullptr);
    for (int i = 1; i <= 9; ++i)
        EXPECT_EQ(HTApplication_Enter(app, nullptr), 0) << i;
    EXPECT_EQ(HTApplication_Enter(app, nullptr), 1);
    EXPECT_EQ(HTApplication_GetRatio(), 10);
    for (int i = 0; i < 12; ++i)
        HTApplication_Leave(app, nullptr);
    EXPECT_EQ(HTApplication_GetCount(app), 0); // never below 0
    EXPECT_EQ(HTApplication_GetRatio(), 0);
    EXPECT_EQ(HTApplication_Enter(app, nullptr), 0);
    HTApplication_Leave(app, nullptr);
    HTApplication_Init();
}

TEST(HTApplication, NoPoolSizeMeansNoLimit)
{
    HTApplication_Init();
    HTApplication_SetThreadNumber(0);
    HTApplication *app = HTApplication_Add("app", 1, 1, 1, 0, nullptr);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(HTApplication_Enter(app, nullptr), 0);
    EXPECT_EQ(HTApplication_GetCount(app), 0);
    HTApplication_Init();
}

TEST(HTApplication, AddUpdatesOrKeepsAndTableFills)
{
    HTApplication_Init();
    HTApplication *a = HTApplication_Add("x", 10, 1, 1, 0, "one");
    EXPECT_EQ(HTApplication_Add("x", 0, 1, 1, 0, "two"), a); // unchanged
    EXPECT_EQ(HTApplication_Add("x", 20, 1, 1, 0, "three"), a);
    HTApplication_DeleteByName("x");
    for (int i = 0; i < HT_APPLICATION_SLOTS; ++i)
        ASSERT_NE(HTApplication_Add(("n" + std::to_string(i)).c_str(), 5, 1, 1, 0, nullptr), nullptr);
    EXPECT_EQ(HTApplication_Add("one-too-many", 5, 1, 1, 0, nullptr), nullptr);
    HTApplication_DeleteByName("n7");
    EXPECT_NE(HTApplication_Add("fits-again", 5, 1, 1, 0, nullptr), nullptr);
    HTApplication_Init();
}
