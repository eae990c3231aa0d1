#include "HTAtom.h"
#include "HTBTree.h"

#include "htc_oom.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {


int compare_strings(const void *a, const void *b)
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

std::vector<std::string> walk(HTBTree *t)
{
    std::vector<std::string> out;
    for (HTBTElement *e = HTBTree_next(t, nullptr); e; e = HTBTree_next(t, e))
        out.emplace_back(static_cast<const char *>(HTBTree_object(e)));
    return out;
}

using V = std::vector<std::string>;

TEST(HTBTree, TraversalRunsGreatestFirst)
{
    HTBTree *t = HTBTree_new(compare_strings, 0, nullptr);
    HTBTree_add(t, const_cast<char *>("c"), nullptr);
    HTBTree_add(t, const_cast<char *>("a"), nullptr);
    HTBTree_add(t, const_cast<char *>("b"), nullptr);
    EXPECT_EQ(walk(t), (V{"c", "b", "a"}));
    HTBTree_add(t, const_cast<char *>("b"), nullptr); // equal objects are kept
    HTBTree_add(t, const_cast<char *>("d"), nullptr);
    EXPECT_EQ(walk(t), (V{"d", "c", "b", "b", "a"}));
    EXPECT_STREQ(static_cast<const char *>(HTBTree_find(t, "a")), "a");
    EXPECT_EQ(HTBTree_find(t, "z"), nullptr);
    EXPECT_STREQ(static_cast<const char *>(HTBTree_remove(t, "c")), "c"); // two children
    EXPECT_EQ(walk(t), (V{"d", "b", "b", "a"}));
    EXPECT_EQ(HTBTree_remove(t, "c"), nullptr);
    EXPECT_STREQ(static_cast<const char *>(HTBTree_remove_node(t, HTBTree_next(t, nullptr))), "d");
    EXPECT_EQ(walk(t), (V{"b", "b", "a"}));
    HTBTree_free(t);
}

TEST(HTBTree, RemovalKeepsOrderOnRandomTrees)
{
    std::srand(3);
    for (int round = 0; round < 50; ++round) {
        HTBTree *t = HTBTree_new(compare_strings, 1, nullptr);
        std::multiset<std::string, std::greater<>> model;
        std::vector<std::string> pool(200);
        for (auto &s : pool) {
            s = std::to_string(std::rand() % 60);
            HTBTree_add(t, s.data(), nullptr);
            model.insert(s);
        }
        for (int i = 0; i < 80; ++i) {
            const std::string k = std::to_string(std::rand() % 60);
            const bool there = model.count(k) > 0;
            EXPECT_EQ(HTBTree_remove(t, k.c_str()) != nullptr, there);
            if (there)
                model.erase(model.find(k));
        }
        ASSERT_EQ(walk(t), V(model.begin(), model.end()));
        HTBTree_free(t);
    }
}

// Builds, walks and frees a chain of 6000 nodes on a thread with a 96 KiB
// stack: a traversal or release that recursed would need at least 32 bytes
// a level, twice that stack, and crash.
void *degenerate_chain(void *out)
{
    constexpr int n = 6000;
    HTBTree *t = HTBTree_new(compare_strings, 0, nullptr);
    for (int i = 0; i < n; ++i) // sorted input: each node the first child of the last
        HTBTree_add(t, strdup(std::to_string(100000 + i).c_str()), nullptr);
    int seen = 0;
    bool ordered = true;
    const char *previous = nullptr;
    for (HTBTElement *e = HTBTree_next(t, nullptr); e != nullptr; e = HTBTree_next(t, e)) {
        const char *object = static_cast<const char *>(HTBTree_object(e));
        if (previous != nullptr && std::strcmp(previous, object) <= 0)
            ordered = false;
        previous = object;
        ++seen;
    }
    const bool last_is_smallest = previous != nullptr && std::strcmp(previous, "100000") == 0;
    // The objects go with the tree: the sanitizer stage's leak check at exit proves it.
    HTBTreeAndObject_free(t);
    *static_cast<int *>(out) = (ordered && last_is_smallest) ? seen : -1;
    return nullptr;
}

TEST(HTBTree, DegenerateChainsAreWalkedAndFreedWithoutRecursion)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 96 * 1024);
    int seen = 0;
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, degenerate_chain, &seen), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(seen, 6000); // every node once, greatest first
}

// Every allocation of a locked tree, in the heap and in a pool, failed in
// turn: creation and each add either complete or go to out_of_memory with
// the tree as it was, its lock free and nothing left unreachable.
TEST(HTBTree, RunningOutOfMemoryKeepsTheTree)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    static char names[5][2] = {"c", "a", "e", "b", "d"};
    for (HTThdGlobals *pool : {static_cast<HTThdGlobals *>(nullptr), ctx}) {
        SCOPED_TRACE(pool ? "pooled nodes" : "heap nodes");
        HTBTree *volatile t = nullptr;
        htc_each_failure(
            [&] {
                t = nullptr;
                t = HTBTree_new(compare_strings, 1, pool);
                for (char *n : names)
                    HTBTree_add(t, n, pool);
            },
            [&](const HtcOomRound &r) {
                if (t == nullptr)
                    return;
                const V seen = walk(t);
                if (!r.raised) {
                    EXPECT_EQ(seen, V({"e", "d", "c", "b", "a"}));
                } else {
                    EXPECT_LT(seen.size(), 5u) << "round " << r.n;
                }
                EXPECT_EQ(HTBTree_find(t, "zz"), nullptr); // the lock is free
                HTBTree_free(t);
                HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
            });
    }
    HTEndThd(HT_THREAD_WORKER, ctx);
    HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
}

} // namespace
