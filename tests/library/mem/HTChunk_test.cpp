// Growable byte buffers in the heap and in a pool.

#include "HTChunk.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "htc_oom.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>

TEST(HTChunk, GrowthLeavesASpareByte)
{
    HTChunk *c = HTChunkCreate(128);
    EXPECT_EQ(c->allocated, 0);
    EXPECT_EQ(c->data, nullptr);
    HTChunkPutc(c, 'x', nullptr);
    EXPECT_EQ(c->allocated, 128);
    for (int i = 1; i < 127; ++i)
        HTChunkPutc(c, 'x', nullptr);
    EXPECT_EQ(c->size, 127);
    EXPECT_EQ(c->allocated, 128);
    HTChunkPutc(c, 'y', nullptr);
    EXPECT_EQ(c->allocated, 256);
    HTChunkPuts(c, "abc", nullptr);
    HTChunk_putb(c, "de\0f", 4, nullptr);
    EXPECT_EQ(c->size, 135);
    EXPECT_EQ(std::string(c->data + 127, 8), std::string("yabcde\0f", 8));
    HTChunkFree(c);
}

TEST(HTChunk, ClearReleasesOnlyLargeHeapData)
{
    HTChunk *c = HTChunkCreate(128);
    HTChunkEnsure(c, 512, nullptr);
    EXPECT_EQ(c->allocated, 512);
    HTChunkClear(c);
    EXPECT_EQ(c->allocated, 0);
    EXPECT_EQ(c->data, nullptr);
    HTChunkEnsure(c, 384, nullptr);
    HTChunkPuts(c, "keep", nullptr);
    HTChunkClear(c);
    EXPECT_EQ(c->size, 0);
    EXPECT_EQ(c->allocated, 384);
    EXPECT_NE(c->data, nullptr);
    HTChunkFree(c);
}

TEST(HTChunk, ZeroGrowbyActsAsOne)
{
    HTChunk *c = HTChunkCreate(0);
    HTChunkPuts(c, "hello", nullptr);
    HTChunkTerminate(c, nullptr);
    EXPECT_STREQ(c->data, "hello");
    EXPECT_EQ(c->size, 6);
    char *s = HTChunk_toCString(c, nullptr); // the record is released
    EXPECT_STREQ(s, "hello\0");
    std::free(s);
}

TEST(HTChunk, PooledChunkCopiesOnGrowth)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    HTChunk *c = HTChunk_newPooled(16, ctx);
    EXPECT_EQ(c->heap, 0);
    std::string expect;
    for (int i = 0; i < 100; ++i) {
        HTChunkPutc(c, static_cast<char>('a' + i % 26), ctx);
        expect += static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(c->allocated % 16, 0);
    EXPECT_GT(c->allocated, c->size);
    EXPECT_EQ(std::string(HTChunk_toCString(c, ctx)), expect);
    HTChunkFree(c); // left to the pool
    HTEndThd(HT_THREAD_WORKER, ctx);
    HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
}

namespace {

int make_space_raises(HTThdGlobals *ctx, HTChunk *c, int n)
{
    HTExceptFrame frame;
    HTExcept_push(&frame, ctx);
    if (setjmp(frame.env) == 0) {
        HTChunk_makeSpace(c, n, nullptr);
        HTExcept_pop(&frame, ctx);
        return 0;
    }
    return 1;
}

} // namespace

TEST(HTChunk, SizesThatWouldWrapRaiseOutOfMemory)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_LOG));
    HTChunk *c = HTChunkCreate(1000);
    HTChunkPuts(c, "abc", nullptr);
    for (int n : {INT_MAX, INT_MAX - 2, INT_MAX - 1000}) {
        ::testing::internal::CaptureStderr();
        const int raised = make_space_raises(ctx, c, n);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(raised, 1) << n;
        EXPECT_NE(err.find("func: HTChunkPutc"), std::string::npos) << err;
    }
    EXPECT_EQ(c->size, 3); // untouched
    HTChunkFree(c);
    HTEndThd(HT_THREAD_LOG, ctx);
    HTWorkThread_threadExit(HT_THREAD_LOG, ctx);
}

// Growth that runs out of memory leaves the chunk as it was: its data, size
// and capacity stay valid, and the caller may go on or free it.
TEST(HTChunk, RunningOutOfMemoryKeepsTheChunk)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    for (bool pooled : {false, true}) {
        SCOPED_TRACE(pooled ? "pooled chunk" : "heap chunk");
        HTChunk *volatile chunk = nullptr;
        char *volatile text = nullptr;
        htc_each_failure(
            [&] {
                chunk = nullptr;
                text = nullptr;
                chunk = pooled ? HTChunk_newPooled(16, ctx) : HTChunkCreate(16);
                for (int i = 0; i < 10; ++i)
                    HTChunkPuts(chunk, "0123456789", ctx);
                text = HTChunk_toCString(chunk, ctx);
            },
            [&](const HtcOomRound &r) {
                if (!r.raised) {
                    EXPECT_EQ(std::strlen(text), 100u);
                    if (!pooled)
                        HTAlloc_free(text); // the record went with toCString
                } else if (chunk != nullptr) {
                    EXPECT_EQ(chunk->size % 10, 0) << "round " << r.n;
                    EXPECT_LE(chunk->size, chunk->allocated);
                    HTChunkFree(chunk);
                }
                HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
            });
    }
    HTEndThd(HT_THREAD_WORKER, ctx);
    HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
}
