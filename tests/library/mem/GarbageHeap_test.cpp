// The garbage heap: one free-standing arena, released at once.

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

constexpr size_t G = sizeof(void *); // the granule: 4 on the 32-bit target

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

TEST(GarbageHeap, RunningOutOfMemoryGivesNullAndKeepsTheHeap)
{
    GarbageHeap *volatile heap = nullptr;
    void *volatile a = nullptr, *volatile b = nullptr;
    htc_each_failure(
        [&] {
            a = nullptr;
            b = nullptr;
            heap = GarbageHeap_Create(1000);
            if (heap == nullptr)
                return;
            a = GarbageHeap_Alloc(heap, 100);
            b = GarbageHeap_Alloc(heap, 2 * GARBAGEHEAP_MIN_CHUNK); // a chunk of its own
        },
        [&](const HtcOomRound &r) {
            EXPECT_FALSE(r.raised); // the heap reports through null results
            if (heap == nullptr)
                return;
            EXPECT_NE(a, nullptr);
            if (b == nullptr) {
                // The first chunk still serves.
                EXPECT_EQ(heap->first->following, nullptr);
                EXPECT_NE(GarbageHeap_Alloc(heap, 100), nullptr);
            } else {
                EXPECT_NE(heap->first->following, nullptr);
            }
            GarbageHeap_Destroy(heap);
        });
}

} // namespace
