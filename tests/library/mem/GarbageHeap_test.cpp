// Memory pool, garbage heap and the out-of-memory handler.

#include "GarbageHeap.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTMPool.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t G = sizeof(void *); // the pool granule: 4 on the 32-bit target

class Pool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(htc_test_start(), 1);
        ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
        ASSERT_NE(ctx, nullptr);
    }
    void TearDown() override
    {
        HTEndThd(HT_THREAD_WORKER, ctx);
        HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
    }
    void reset() { HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx); }
    HTThdGlobals *ctx = nullptr;
};

// The library's build decides: the option reaches only the library's own code.
#define SKIP_IN_POOL_DEBUG()                                                                       \
    if (HTMemPool_debugBuild())                                                                    \
    GTEST_SKIP() << "pool debug build: every allocation is its own block"

} // namespace


TEST(GarbageHeap, ChunksAndAllocation)
{
    GarbageHeap *h = GarbageHeap_Create(128000);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h->first, nullptr);
    EXPECT_EQ(h->first->size, GARBAGEHEAP_MIN_CHUNK);
    auto *a = static_cast<char *>(GarbageHeap_Alloc(h, 0));
    auto *b = static_cast<char *>(GarbageHeap_Alloc(h, 5));
    EXPECT_EQ(a, h->first->data);
    EXPECT_EQ(b - a, static_cast<ptrdiff_t>(G));
    // Larger than any chunk: a new chunk of exactly its granule goes in front.
    GarbageChunk *old = h->first;
    GarbageHeap_Alloc(h, 600001);
    EXPECT_NE(h->first, old);
    EXPECT_EQ(h->first->size, static_cast<int32_t>((600001 / G) * G + G));
    EXPECT_EQ(h->first->following, old);
    GarbageHeap_Dump(h);
    EXPECT_EQ(old->remaining, old->size);
    EXPECT_EQ(GarbageHeap_Alloc(h, 4), h->first->data);
    GarbageHeap_Destroy(h);
}

TEST(GarbageHeap, CallocClearsAndRefusesOverflow)
{
    GarbageHeap *h = GarbageHeap_Create(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->first, nullptr);
    auto *p = static_cast<unsigned char *>(GarbageHeap_Alloc(h, 256));
    std::memset(p, 0xAA, 256);
    GarbageHeap_Dump(h);
    auto *q = static_cast<unsigned char *>(GarbageHeap_Calloc(h, 16, 16));
    ASSERT_EQ(q, p);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(q[i], 0);
    EXPECT_EQ(GarbageHeap_Calloc(h, SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(GarbageHeap_Alloc(h, SIZE_MAX), nullptr);
    EXPECT_EQ(GarbageHeap_NewChunk(SIZE_MAX - 1), nullptr);
    GarbageHeap_Destroy(h);
}
