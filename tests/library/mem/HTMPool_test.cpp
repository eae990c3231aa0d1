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
    // A request the first block cannot hold any more opens a minimum-size block.
    HTMemPoolAlloc(static_cast<size_t>(first->remaining), ctx); // its granule is one word more
    ASSERT_NE(first->following->following, nullptr);
    EXPECT_EQ(first->following->following->size, HT_POOL_BLOCK_MIN);
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
