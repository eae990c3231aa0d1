// Lists, queues and the per-thread free lists.

#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTTrace.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class List : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(htc_test_start(), 1);
        ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }
    void TearDown() override
    {
        HTEndThd(HT_THREAD_WORKER, ctx);
        HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
    }
    std::vector<std::string> strings(HTList *l)
    {
        std::vector<std::string> out;
        HTList *cur = l;
        while (void *o = HTList_nextObjectF(&cur))
            out.emplace_back(static_cast<char *>(o));
        return out;
    }
    HTThdGlobals *ctx = nullptr;
};

char A[] = "A", B[] = "B", C[] = "C";

// The library's build decides: the option reaches only the library's own code.
#define SKIP_IN_POOL_DEBUG()                                                                       \
    if (HTMemPool_debugBuild())                                                                    \
    GTEST_SKIP() << "pool debug build: no free lists"

} // namespace

TEST_F(List, NewestFirst)
{
    HTList *l = HTList_new(ctx);
    EXPECT_EQ(HTList_isEmptyF(l), 1);
    HTList_addObject(l, A, ctx);
    HTList_addObject(l, B, ctx);
    EXPECT_EQ(HTList_lastObjectF(l), B);
    EXPECT_EQ(HTList_objectAt(l, 0), B);
    EXPECT_EQ(HTList_objectAt(l, 1), A);
    EXPECT_EQ(HTList_objectAt(l, 2), nullptr);
    EXPECT_EQ(HTList_objectAt(l, -1), nullptr);
    EXPECT_EQ(HTList_indexOf(l, A), 1);
    EXPECT_EQ(HTList_indexOf(l, C), -1);
    EXPECT_EQ(HTList_count(l), 2);
    EXPECT_EQ(HTList_removeFirstObject(l, ctx), A);
    EXPECT_EQ(HTList_removeLastObject(l, ctx), B);
    EXPECT_EQ(HTList_removeLastObject(l, ctx), nullptr);
    EXPECT_EQ(HTList_removeFirstObject(l, ctx), nullptr);
    HTList_delete(l, ctx);
}

TEST_F(List, InsertAppendRemoveAndGlue)
{
    HTList *l = HTList_new(ctx);
    HTList_appendObject(l, A, ctx);
    HTList_appendObject(l, C, ctx);
    EXPECT_EQ(HTList_addBefore(l, B, nullptr, ctx), 0); // absent: unchanged
    EXPECT_EQ(strings(l), std::vector<std::string>({"A", "C"}));
    EXPECT_EQ(HTList_addBefore(l, B, C, ctx), 1);
    EXPECT_EQ(strings(l), std::vector<std::string>({"A", "B", "C"}));
    EXPECT_EQ(HTList_removeObject(l, B, ctx), 1);
    EXPECT_EQ(HTList_removeObject(l, B, ctx), 0);

    HTList *m = HTList_new(ctx);
    HTList_appendObject(m, B, ctx);
    EXPECT_EQ(HTList_glue(l, m, ctx), l);
    EXPECT_EQ(strings(l), std::vector<std::string>({"A", "C", "B"}));
    EXPECT_EQ(HTList_glue(nullptr, l, ctx), l);
    EXPECT_EQ(HTList_glue(l, nullptr, ctx), l);
    HTList_delete(l, ctx);

    HTList *empty = HTList_new(ctx);
    EXPECT_EQ(HTList_addBefore(empty, A, A, ctx), 0);
    HTList_delete(empty, ctx);
}

TEST_F(List, NullListsChangeNothing)
{
    EXPECT_EQ(HTList_count(nullptr), 0);
    EXPECT_EQ(HTList_indexOf(nullptr, A), -1);
    EXPECT_EQ(HTList_isEmptyF(nullptr), 1);
    EXPECT_EQ(HTList_removeLastObject(nullptr, ctx), nullptr);
    EXPECT_EQ(HTList_removeObject(nullptr, A, ctx), 0);
    HTList_addObject(nullptr, A, ctx);
    HTList_delete(nullptr, ctx);
    HTList *cur = nullptr;
    EXPECT_EQ(HTList_nextObjectF(&cur), nullptr);
}

TEST_F(List, Matching)
{
    HTList *l = HTList_new(ctx);
    for (const char *s : {"x1", "y", "x2", "z", "x3"})
        HTList_addObject(l, strdup(s), ctx);
    auto starts_x = [](void *, void *o) { return static_cast<char *>(o)[0] == 'x' ? 1 : 0; };
    EXPECT_EQ(HTList_removeAndFreeMatching(l, starts_x, nullptr, ctx), 3);
    EXPECT_EQ(strings(l), std::vector<std::string>({"z", "y"}));
    auto is_arg = [](void *arg, void *o) { return std::strcmp(static_cast<char *>(arg), static_cast<char *>(o)) == 0 ? 1 : 0; };
    char y[] = "y";
    EXPECT_EQ(HTList_removeAndFreeMatching(l, is_arg, y, ctx), 1);
    HTList_deleteAndFreeContents(l, ctx);
}

TEST_F(List, StringHelpers)
{
    HTList *l = HTList_new(ctx);
    char ct[] = "content-type", ac[] = "accept";
    HTList_appendObject(l, ac, ctx);
    HTList_appendObject(l, ct, ctx);
    EXPECT_EQ(HTList_findstring(l, "Con", 0), ct);
    EXPECT_EQ(HTList_findstring(l, "Con", 1), nullptr);
    EXPECT_EQ(HTList_findstring(l, "acc", 1), ac);
    HTList_appendObject(l, nullptr, ctx);
    HTList_appendObject(l, A, ctx);
    HTList *copy = HTList_DupString(l, ctx);
    EXPECT_EQ(strings(copy), std::vector<std::string>({"accept", "content-type"}));
    EXPECT_NE(HTList_objectAt(copy, 0), ac);
    HTList_deleteAndFreeContents(copy, ctx);
    HTList_delete(l, ctx);
}

TEST_F(List, Queue)
{
    HTQueue *q = HTQueue_new(ctx);
    EXPECT_EQ(HTQueue_isEmpty(q), 1);
    EXPECT_EQ(HTQueue_pop(q, ctx), nullptr);
    HTQueue_push(q, A, ctx);
    HTQueue_push(q, B, ctx);
    EXPECT_EQ(HTQueue_count(q), 2);
    EXPECT_EQ(HTQueue_peek(q), A);
    EXPECT_EQ(HTQueue_pop(q, ctx), A);
    EXPECT_EQ(HTQueue_pop(q, ctx), B);
    EXPECT_EQ(HTQueue_isEmpty(q), 1);
    EXPECT_EQ(q->last, nullptr);
    HTQueue_push(q, C, ctx);
    EXPECT_EQ(HTQueue_peek(q), C);
    EXPECT_EQ(HTQueue_count(q), 1);
    HTQueue_delete(q, ctx);
    EXPECT_EQ(HTQueue_isEmpty(nullptr), 1);
}

TEST_F(List, ReleasedElementsAreMarked)
{
    SKIP_IN_POOL_DEBUG();
    EXPECT_EQ(HT_LIST_RELEASED & 0xFFFFFFFFu, 0xCDCDCDCDu);
    HTList *l = HTList_new(ctx);
    HTList_addObject(l, A, ctx);
    HTList *e = l->next;
    HTList_removeLastObject(l, ctx);
    // Recycled, not freed: the element now heads the private free list.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(e->object), HT_LIST_RELEASED);
    HTList_delete(l, ctx);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(l->object), HT_LIST_RELEASED);
    HTList *fresh = HTList_createElement(ctx);
    EXPECT_EQ(fresh->object, nullptr);
    EXPECT_EQ(fresh->next, nullptr);
    HTList_discardElement(fresh, ctx);
}

TEST_F(List, PrivateFreeListThresholds)
{
    SKIP_IN_POOL_DEBUG();
    ASSERT_EQ(HTList__privateFree(ctx), HT_LIST_WORKER_INITIAL);
    std::vector<HTList *> taken;
    for (int i = 0; i < HT_LIST_WORKER_INITIAL; ++i)
        taken.push_back(HTList_createElement(ctx));
    EXPECT_EQ(HTList__privateFree(ctx), 0);
    const int master = HTList__masterFree();
    taken.push_back(HTList_createElement(ctx)); // refill of 30 from the master
    EXPECT_EQ(HTList__privateFree(ctx), HT_LIST_REFILL - 1);
    EXPECT_EQ(HTList__masterFree(), master - HT_LIST_REFILL);
    while (static_cast<int>(taken.size()) < 200)
        taken.push_back(HTList_createElement(ctx));
    // Single releases stay private up to 100 elements, then go to the master.
    while (HTList__privateFree(ctx) < HT_LIST_SINGLE_LIMIT) {
        HTList_discardElement(taken.back(), ctx);
        taken.pop_back();
    }
    const int before = HTList__masterFree();
    HTList_discardElement(taken.back(), ctx);
    taken.pop_back();
    EXPECT_EQ(HTList__privateFree(ctx), HT_LIST_SINGLE_LIMIT);
    EXPECT_EQ(HTList__masterFree(), before + 1);
    for (HTList *e : taken)
        HTList_discardElement(e, nullptr);
}

TEST_F(List, WholeListReleaseThreshold)
{
    SKIP_IN_POOL_DEBUG();
    // 79 private elements: a deleted list still goes to the private list.
    std::vector<HTList *> hold;
    while (HTList__privateFree(ctx) < 79)
        HTList_discardElement(HTList_createElement(nullptr), ctx);
    HTList *l = HTList_new(nullptr);
    HTList_addObject(l, A, nullptr);
    HTList_delete(l, ctx);
    EXPECT_EQ(HTList__privateFree(ctx), 81);
    // 80 or more: the next one goes to the master.
    l = HTList_new(nullptr);
    HTList_addObject(l, A, nullptr);
    const int master = HTList__masterFree();
    HTList_delete(l, ctx);
    EXPECT_EQ(HTList__privateFree(ctx), 81);
    EXPECT_EQ(HTList__masterFree(), master + 2);
}

TEST_F(List, MasterGrowsByAtLeastAThousand)
{
    SKIP_IN_POOL_DEBUG();
    std::vector<HTList *> taken;
    const int free0 = HTList__masterFree();
    for (int i = 0; i < free0 + 1; ++i)
        taken.push_back(HTList_createElement(nullptr));
    EXPECT_EQ(HTList__masterFree(), HT_LIST_MASTER_GROWTH - 1);
    for (HTList *e : taken)
        HTList_discardElement(e, nullptr);
}

TEST_F(List, EndOfSessionReportsAndResetsCounters)
{
    SKIP_IN_POOL_DEBUG();
    HTList *l = HTList_new(ctx);
    HTList_addObject(l, A, ctx);
    HTList_delete(l, ctx);
    tc[HT_TRACE_LEVEL_WORD] = 44;
    HTTrace_set(HT_TRACE_LIST, 1);
    ::testing::internal::CaptureStderr();
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx); // phase 2: silent
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_SESSION, ctx);
    const std::string err = ::testing::internal::GetCapturedStderr();
    tc[HT_TRACE_LEVEL_WORD] = 0;
    HTTrace_set(HT_TRACE_LIST, 0);
    EXPECT_NE(err.find("]: List........ 2/2 alloc/free on this thread.\n"), std::string::npos) << err;
}
