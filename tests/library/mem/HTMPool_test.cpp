// Memory pool, garbage heap and the out-of-memory handler.

#include "GarbageHeap.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTMPool.h"
#include "htc_oom.h"
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

// The library tells how it was built: the option is the library's own.
#define SKIP_IN_POOL_DEBUG()                                               \
    do {                                                                   \
        if (HTMemPool_debugBuild())                                        \
            GTEST_SKIP() << "pool debug build: every allocation is its own block";   \
    } while (0)

} // namespace

TEST_F(Pool, GranuleIsThePointerSize)
{
    SKIP_IN_POOL_DEBUG();
    // The 32-bit target's "0 gives 4, 4 gives 8, 5 gives 8" with 4 replaced by G.
    auto *a = static_cast<char *>(HTMemPoolAlloc(0, ctx));
    auto *b = static_cast<char *>(HTMemPoolAlloc(0, ctx));
    auto *c = static_cast<char *>(HTMemPoolAlloc(G, ctx));
    auto *d = static_cast<char *>(HTMemPoolAlloc(G + 1, ctx));
    auto *e = static_cast<char *>(HTMemPoolAlloc(1, ctx));
    EXPECT_EQ(b - a, static_cast<ptrdiff_t>(G));
    EXPECT_EQ(c - b, static_cast<ptrdiff_t>(G));
    EXPECT_EQ(d - c, static_cast<ptrdiff_t>(2 * G));
    EXPECT_EQ(e - d, static_cast<ptrdiff_t>(2 * G));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % alignof(void *), 0u);
}

TEST_F(Pool, LargeRequestGetsABlockOfItsGranule)
{
    SKIP_IN_POOL_DEBUG();
    HTMemPool *first = HTMemPool_get(ctx);
    HTMemPoolAlloc(20001, ctx);
    ASSERT_NE(first->following, nullptr);
    EXPECT_EQ(first->following->size, static_cast<int32_t>((20001 / G) * G + G));
    EXPECT_EQ(first->following->remaining, 0);
    // First fit: small requests still come from the first block.
    char *small = static_cast<char *>(HTMemPoolAlloc(10, ctx));
    EXPECT_GE(small, first->base);
    EXPECT_LT(small, first->base + first->size);
    // A request the first block cannot hold any more opens a minimum-size
    // block, which goes right behind the first block.
    HTMemPool *large = first->following;
    HTMemPoolAlloc(static_cast<size_t>(first->remaining), ctx); // its granule is one word more
    ASSERT_NE(first->following, large);
    EXPECT_EQ(first->following->size, HT_POOL_BLOCK_MIN);
    EXPECT_EQ(first->following->following, large);
}

TEST_F(Pool, ManyBlocksStayCheapToAllocateFrom)
{
    SKIP_IN_POOL_DEBUG();
    // Well over a thousand blocks: the newest block is found first,
    // so the walk over the chain never grows with it.
    HTMemPool *first = HTMemPool_get(ctx);
    for (int i = 0; i < 2000 * (HT_POOL_BLOCK_MIN / 1024); ++i)
        HTMemPoolAlloc(1000, ctx);
    int blocks = 0;
    for (HTMemPool *b = first; b != nullptr; b = b->following)
        ++blocks;
    EXPECT_GE(blocks, 1000);
    char *p = static_cast<char *>(HTMemPoolAlloc(1000, ctx));
    EXPECT_GE(p, first->following->base);
    EXPECT_LT(p, first->following->base + first->following->size);
}

TEST_F(Pool, PhaseTwoResetStartsOverAtTheBase)
{
    SKIP_IN_POOL_DEBUG();
    HTMemPool *first = HTMemPool_get(ctx);
    HTMemPoolAlloc(100, ctx);
    HTMemPoolAlloc(30000, ctx);
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_SESSION, ctx); // phase 1: nothing
    EXPECT_NE(first->following, nullptr);
    reset();
    EXPECT_EQ(first->following, nullptr);
    EXPECT_EQ(first->remaining, first->size);
    EXPECT_EQ(HTMemPoolAlloc(8, ctx), first->base);
}

TEST_F(Pool, TextHelpers)
{
    EXPECT_STREQ(HTMemPool_vcat(ctx, "a", "b", static_cast<char *>(nullptr)), "ab");
    EXPECT_STREQ(HTMemPool_vcat(ctx, static_cast<char *>(nullptr)), "");
    EXPECT_STREQ(HTMemPool_vcatDebug("f", 1, ctx, "x", "y", "z", static_cast<char *>(nullptr)), "xyz");
    EXPECT_EQ(HTMemPoolStrdup(nullptr, ctx), nullptr);
    EXPECT_STREQ(HTMemPoolStrdup("hello", ctx), "hello");
    EXPECT_STREQ(HTMemPool_cat(nullptr, "b", ctx), "b");
    EXPECT_STREQ(HTMemPool_cat("a", "bc", ctx), "abc");
    // Exactly `length` bytes are read: a source of three bytes, no terminator.
    std::unique_ptr<char[]> src(new char[3]{'a', 'b', 'c'});
    EXPECT_STREQ(HTMemPoolStrdup_len(src.get(), 3, ctx), "abc");
    EXPECT_STREQ(HTMemPoolStrdup_len("abcdef", 2, ctx), "ab");
}

TEST_F(Pool, CallocClearsReusedSpace)
{
    auto *p = static_cast<unsigned char *>(HTMemPoolAlloc(64, ctx));
    std::memset(p, 0xEE, 64);
    reset();
    auto *q = static_cast<unsigned char *>(HTMemPool_calloc(8, 8, ctx));
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(q[i], 0) << i;
}

namespace {

// Calls HTMemPool_calloc under a recovery frame; 1 when it raised.
int calloc_raises(HTThdGlobals *ctx, size_t count, size_t size, HTExceptFrame *frame)
{
    if (HTExcept_push(frame, ctx) != 0)
        return -1;
    if (setjmp(frame->env) == 0) {
        HTMemPool_calloc(count, size, ctx);
        HTExcept_pop(frame, ctx);
        return 0;
    }
    return 1;
}

} // namespace

TEST_F(Pool, OverflowingSizesRaiseOutOfMemory)
{
    const size_t sizes[][2] = {{SIZE_MAX / 2, 4}, {1, SIZE_MAX}, {1, SIZE_MAX - 3}};
    for (const auto &s : sizes) {
        HTExceptFrame frame;
        ::testing::internal::CaptureStderr();
        const int raised = calloc_raises(ctx, s[0], s[1], &frame);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(raised, 1);
        EXPECT_EQ(frame.exception, HT_EXC_OUT_OF_MEMORY);
        EXPECT_EQ(HTExcept_top(), nullptr);
        EXPECT_EQ(err.rfind("\nOut of memory in\tfile: HTMPool\tfunc: HTMemPool_calloc\tline: ", 0), 0u)
            << err;
        EXPECT_NE(err.find("\tsize: "), std::string::npos);
        EXPECT_EQ(err.substr(err.size() - 31), "Out of Memory Exception raised\n");
    }
}

TEST(HTMPool, ThreadWithoutGlobalsUsesAFallbackPool)
{
    char *p = HTMemPoolStrdup("fallback", nullptr);
    EXPECT_STREQ(p, "fallback");
}

// Every allocation of the pool, failed in turn: the pool either grows or
// goes to out_of_memory with its chain as it was, and keeps serving.
TEST_F(Pool, RunningOutOfMemoryLeavesThePoolUsable)
{
    // A worker thread's start makes its pool (and the other modules' state).
    void *volatile started = nullptr;
    htc_each_failure([&] { started = HTInitThd(HT_THREAD_WORKER); },
                     [&](const HtcOomRound &r) {
                         if (r.raised)
                             return;
                         auto *g = static_cast<HTThdGlobals *>(started);
                         ASSERT_NE(HTMemPool_get(g), nullptr);
                         HTEndThd(HT_THREAD_WORKER, g);
                         HTWorkThread_threadExit(HT_THREAD_WORKER, g);
                     });
    // This test's own context is the calling thread's again.
    pthread_setspecific(GetHTThreadKey(), ctx);

    // Growth beyond the first block, and the texts.
    const size_t big = 3 * HT_POOL_BLOCK_MIN;
    char *volatile got = nullptr;
    htc_each_failure(
        [&] {
            got = nullptr;
            auto *p = static_cast<char *>(HTMemPoolAlloc(big, ctx));
            std::memset(p, 'x', big);
            char *s = HTMemPoolStrdup("abc", ctx);
            s = HTMemPool_cat(s, "def", ctx);
            got = HTMemPool_vcat(ctx, s, "-", "ghi", static_cast<char *>(nullptr));
        },
        [&](const HtcOomRound &r) {
            if (!r.raised) {
                EXPECT_STREQ(got, "abcdef-ghi");
            }
            // What the pool still has is valid: a new allocation works and
            // the reset takes back every block the round added.
            auto *q = static_cast<char *>(HTMemPoolAlloc(100, ctx));
            std::memset(q, 'y', 100);
            reset();
            EXPECT_EQ(HTMemPool_get(ctx)->following, nullptr) << "round " << r.n;
        });
}
