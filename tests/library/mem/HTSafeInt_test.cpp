// Safe integers under contention.

#include "HTAlloc.h"
#include "HTSafeInt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

TEST(HTSafeInt, TwoThreadsDecrementingFromTwoGetOneAndZero)
{
    for (int round = 0; round < 200; ++round) {
        HTSafeInt *c = HTSafeInt_new();
        ASSERT_NE(c, nullptr);
        HTSafeInt_set(c, 2);
        std::atomic<bool> go{false};
        int r1 = -1, r2 = -1;
        std::thread a([&] { while (!go) {} r1 = HTSafeInt_dec(c); });
        std::thread b([&] { while (!go) {} r2 = HTSafeInt_dec(c); });
        go = true;
        a.join();
        b.join();
        EXPECT_EQ(std::min(r1, r2), 0);
        EXPECT_EQ(std::max(r1, r2), 1);
        HTSafeInt_delete(c);
    }
}

TEST(HTSafeInt, ContentionKeepsEveryUpdate)
{
    HTSafeInt *c = HTSafeInt_new();
    std::vector<std::thread> ts;
    std::vector<std::vector<int32_t>> seen(4);
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i)
                seen[t].push_back(HTSafeInt_inc(c));
        });
    for (auto &t : ts)
        t.join();
    // Every increment returned a distinct value: 1 to 80000.
    std::vector<int32_t> all;
    for (auto &v : seen)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), 80000u);
    EXPECT_EQ(all.front(), 1);
    EXPECT_EQ(all.back(), 80000);
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());

    ts.clear();
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                HTSafeInt_subtract(c, 3);
                HTSafeInt_add(c, 1);
                HTSafeInt_dec(c);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(HTSafeInt_extract(c), 80000 - 4 * 5000 * 3);
    HTSafeInt_delete(c);
}

TEST(HTSafeInt, WrapsLikeAWord)
{
    HTSafeInt *c = HTSafeInt_new();
    HTSafeInt_set(c, INT32_MAX);
    EXPECT_EQ(HTSafeInt_inc(c), INT32_MIN);
    EXPECT_EQ(HTSafeInt_extract(nullptr), 0);
    HTSafeInt_delete(c);
}

TEST(HTSafeInt, RunningOutOfMemoryGivesNull)
{
    HTAlloc_failAt(1, 0);
    HTSafeInt *none = HTSafeInt_new();
    HTAlloc_failAt(0, 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(HTSafeInt_inc(none), 0); // a null counter is ignored
    HTSafeInt *c = HTSafeInt_new();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(HTSafeInt_inc(c), 1);
    HTSafeInt_delete(c);
}
