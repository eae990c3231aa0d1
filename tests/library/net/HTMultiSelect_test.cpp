// The session pool: hand-out order, the cache of 64 input buffers, the
// words it clears and frees, and what it refuses.
#include "HTMultiSelect.h"

#include "HTAlloc.h"
#include "HTInputSocket.h"
#include "htc_oom.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using Word = uintptr_t;

struct Stats {
    long inUse, size, errors, buffered;
    bool operator==(const Stats &) const = default;
};

Stats stats()
{
    long s[HT_SESSION_STATS];
    HTConnGetSessionStats(s);
    return {s[HT_SESSION_STAT_IN_USE], s[HT_SESSION_STAT_SIZE], s[HT_SESSION_STAT_ERRORS],
            s[HT_SESSION_STAT_BUFFERED]};
}

std::ostream &operator<<(std::ostream &o, const Stats &s)
{
    return o << "{in use " << s.inUse << ", size " << s.size << ", errors " << s.errors << ", buffered "
             << s.buffered << "}";
}

Word *get() { return static_cast<Word *>(getSession()); }

class Sessions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(htc_test_start(), 1); }
    void TearDown() override
    {
        for (Word *r : held_)
            putSession(r);
        held_.clear();
        EXPECT_EQ(initSessions(0), HT_OK);
    }
    Word *take()
    {
        Word *r = get();
        if (r)
            held_.push_back(r);
        return r;
    }
    void give(Word *r)
    {
        putSession(r);
        std::erase(held_, r);
    }
    std::vector<Word *> held_;
};

TEST_F(Sessions, LastMadeGoesFirstAndTheFirst64KeepBuffers)
{
    ASSERT_EQ(initSessions(70), HT_OK);
    EXPECT_EQ(stats(), (Stats{0, 70, 0, 64}));
    Word *r = take();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[HT_SESSION_SEQUENCE], 69u);
    // Record 69 was made without a buffer: it gets one on hand-out.
    EXPECT_NE(r[HT_SESSION_INPUT], 0u);
    EXPECT_EQ(r[HT_SESSION_IN_USE], 1u);
    EXPECT_EQ(r[HT_SESSION_USE_COUNT], 1u);
    EXPECT_EQ(stats(), (Stats{1, 70, 0, 64}));
    std::set<Word> seqs{r[HT_SESSION_SEQUENCE]};
    while (Word *next = take())
        seqs.insert(next[HT_SESSION_SEQUENCE]);
    EXPECT_EQ(seqs.size(), 70u);
    EXPECT_EQ(*seqs.rbegin(), 69u);
    EXPECT_EQ(stats(), (Stats{70, 70, 0, 0}));
}

TEST_F(Sessions, HandOutAndReleaseTouchOnlyTheirWords)
{
    ASSERT_EQ(initSessions(2), HT_OK);
    Word *r = take();
    ASSERT_NE(r, nullptr);
    for (int w = 1; w < HT_SESSION_WORDS; ++w)
        if (w != HT_SESSION_INPUT && w != HT_SESSION_IN_USE && w != HT_SESSION_USE_COUNT &&
            w != HT_SESSION_FREE_NEXT && w != HT_SESSION_FREE_PREV)
            r[w] = 0x1000u + static_cast<Word>(w);
    // Blocks the host hangs on the record: freed on release (the leak check sees them).
    for (int w : {HT_SESSION_BLOCK_A, HT_SESSION_BLOCK_B, HT_SESSION_BLOCK_C})
        r[w] = reinterpret_cast<Word>(HTAlloc_malloc(16));
    give(r);
    for (int w : {21, 22, 23, 24, 26, 27, 28, 84, HT_SESSION_BLOCK_A, HT_SESSION_BLOCK_B, HT_SESSION_BLOCK_C})
        EXPECT_EQ(r[w], 0u) << "word " << w << " after release";
    EXPECT_EQ(r[HT_SESSION_IN_USE], 0u);
    EXPECT_EQ(r[HT_SESSION_USE_COUNT], 0u);
    for (int w : {1, 20, 25, 30, 33, 83, 85, 90, 91, 94, 96, 98})
        EXPECT_EQ(r[w], 0x1000u + static_cast<Word>(w)) << "host word " << w << " after release";

    // Given back with its buffer, it is the next one out; hand-out clears 90 and 91.
    Word *again = take();
    ASSERT_EQ(again, r);
    EXPECT_EQ(r[90], 0u);
    EXPECT_EQ(r[91], 0u);
    EXPECT_EQ(r[HT_SESSION_USE_COUNT], 1u);
    EXPECT_EQ(r[20], 0x1000u + 20u);
}

TEST_F(Sessions, The65thBufferedRecordLosesItsBufferAndQueuesLast)
{
    ASSERT_EQ(initSessions(66), HT_OK);
    std::vector<Word *> all;
    while (Word *r = take())
        all.push_back(r);
    ASSERT_EQ(all.size(), 66u);
    EXPECT_EQ(stats().buffered, 0);
    for (int i = 0; i < 64; ++i)
        give(all[static_cast<size_t>(i)]);
    EXPECT_EQ(stats().buffered, 64);
    Word *last = all[64];
    give(last);
    EXPECT_EQ(last[HT_SESSION_INPUT], 0u);
    EXPECT_EQ(stats(), (Stats{1, 66, 0, 64}));
    // The 64 buffered records come out first, newest given back first.
    for (int i = 63; i >= 0; --i)
        EXPECT_EQ(take(), all[static_cast<size_t>(i)]);
    Word *tail = take();
    EXPECT_EQ(tail, last);
    ASSERT_NE(tail, nullptr);
    EXPECT_NE(tail[HT_SESSION_INPUT], 0u);
}

TEST_F(Sessions, PutOfARecordNotHandedOutIsIgnored)
{
    ASSERT_EQ(initSessions(3), HT_OK);
    Word *r = take();
    ASSERT_NE(r, nullptr);
    give(r);
    putSession(r); // twice
    Word foreign[HT_SESSION_WORDS] = {};
    foreign[HT_SESSION_IN_USE] = 1;
    putSession(foreign);
    putSession(reinterpret_cast<Word *>(reinterpret_cast<char *>(take()) + sizeof(Word)));
    EXPECT_EQ(stats().inUse, 1);
    // Three distinct records, then none: the double put did not list r twice.
    std::set<Word *> out{held_.begin(), held_.end()};
    while (Word *next = take())
        EXPECT_TRUE(out.insert(next).second) << "a record handed out twice";
    EXPECT_EQ(out.size(), 3u);
}

TEST_F(Sessions, ARecordGivenBackWithoutBufferCountsAnErrorAndQueuesLast)
{
    ASSERT_EQ(initSessions(3), HT_OK);
    Word *a = take();
    Word *b = take();
    ASSERT_TRUE(a && b);
    HTInputSocket_freeHeap(reinterpret_cast<HTInputSocket *>(a[HT_SESSION_INPUT]));
    a[HT_SESSION_INPUT] = 0;
    give(a);
    give(b);
    EXPECT_EQ(stats().errors, 1);
    EXPECT_EQ(take(), b);
    Word *c = take();
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, a);
    EXPECT_EQ(take(), a);
}

TEST_F(Sessions, NoBufferForTheHeadKeepsItFree)
{
    ASSERT_EQ(initSessions(65), HT_OK); // the head, record 64, has no buffer
    HTAlloc_failAt(1, 0);
    Word *r = get();
    HTAlloc_failAt(0, 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(stats(), (Stats{0, 65, 0, 64}));
    Word *head = take();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head[HT_SESSION_SEQUENCE], 64u);
    int n = 1;
    while (take())
        ++n;
    EXPECT_EQ(n, 65);
}

TEST_F(Sessions, ANewPoolWaitsUntilEveryRecordIsBack)
{
    ASSERT_EQ(initSessions(4), HT_OK);
    Word *r = take();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(initSessions(8), HT_ERROR);
    EXPECT_EQ(stats().size, 4);
    give(r);
    EXPECT_EQ(initSessions(8), HT_OK);
    EXPECT_EQ(stats(), (Stats{0, 8, 0, 8}));
    EXPECT_EQ(initSessions(-1), HT_ERROR);
    ASSERT_EQ(initSessions(0), HT_OK);
    EXPECT_EQ(get(), nullptr);
}

TEST_F(Sessions, MakingAPoolRunsShortCleanly)
{
    int rc = 0;
    htc_each_failure([&] { rc = initSessions(70); },
                     [&](const HtcOomRound &round) {
                         EXPECT_FALSE(round.raised);
                         if (round.failed) {
                             EXPECT_EQ(rc, HT_ERROR) << "round " << round.n;
                             EXPECT_EQ(stats().size, 0) << "round " << round.n;
                         } else {
                             EXPECT_EQ(rc, HT_OK);
                         }
                         initSessions(0);
                     });
}

} // namespace
