// Hash tables and atoms under concurrent use.

#include "HTAtom.h"
#include "HTHash.h"
#include "StrongHash.h"

#include "hash_items.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each thread adds, finds and removes its own keys; with stripes the threads
// share stripes and the free list. A corrupted free list loses or repeats
// entries, which shows as a wrong lookup or a count that does not add up.
void hammer(HTHashTable *t, int threads, int per_thread, bool recycle)
{
    if (recycle) {
        HashSetFreelistLength(t, 64);
        HashPreallocate(t);
    }
    std::vector<std::vector<Item>> items(threads, std::vector<Item>(per_thread));
    std::atomic<int> errors{0};
    std::vector<std::thread> pool;
    for (int th = 0; th < threads; ++th) {
        pool.emplace_back([&, th] {
            auto &mine = items[th];
            for (int round = 0; round < 20; ++round) {
                for (int i = 0; i < per_thread; ++i) {
                    mine[i].key = th * per_thread + i;
                    if (HashAdd(t, &mine[i]) != 0)
                        ++errors;
                }
                for (int i = 0; i < per_thread; ++i)
                    if (HashLookup(t, &mine[i]) != &mine[i])
                        ++errors;
                for (int i = 0; i < per_thread; ++i)
                    if (HashRemove(t, &mine[i]) != &mine[i])
                        ++errors;
            }
        });
    }
    for (auto &th : pool)
        th.join();
    EXPECT_EQ(errors.load(), 0);
    HTHashEnum *e = HashStartEnumeration(t);
    EXPECT_EQ(HashEnumerateNext(e), nullptr);
    HashEndEnumeration(e);
    if (recycle) {
        // Every entry made is back in the free list exactly once.
        uint32_t made = 0;
        struct Block {
            Block *next;
            uint32_t count;
        };
        for (auto *b = static_cast<Block *>(t->blocks); b; b = b->next)
            made += b->count;
        uint32_t listed = 0;
        for (HTHashEntry *f = t->free_entries; f; f = f->next)
            ++listed;
        EXPECT_EQ(listed, made);
        EXPECT_EQ(t->free_count, made);
    }
}

TEST(HTHashThreads, StripedTableWithRecycling)
{
    HTHashTable *t = HashCreate(61, compare_item, hash_item, 7);
    hammer(t, 4, 300, true);
    HashDestroy(t);
}

TEST(HTHashThreads, SingleLockTable)
{
    HTHashTable *t = HashCreate(61, compare_item, hash_item, 1);
    hammer(t, 4, 300, true);
    HashDestroy(t);
}

TEST(HTHashThreads, StripedWithoutRecycling)
{
    HTHashTable *t = HashCreate(61, compare_item, hash_item, 5);
    hammer(t, 4, 300, false);
    HashDestroy(t);
}

TEST(HTHashThreads, StrongHashStriped)
{
    StrongHashTable *t = StrongHash_Create(256, compare_item, hash_item, 8);
    hammer(t, 4, 300, true);
    StrongHash_Destroy(t);
}

TEST(HTHashThreads, EnumerationWhileOthersWrite)
{
    HTHashTable *t = HashCreate(31, compare_item, hash_item, 4);
    std::vector<Item> fixed(100);
    for (int i = 0; i < 100; ++i) {
        fixed[i].key = 100000 + i;
        HashAdd(t, &fixed[i]);
    }
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<Item> mine(50);
        while (!stop) {
            for (int i = 0; i < 50; ++i) {
                mine[i].key = i;
                HashAdd(t, &mine[i]);
            }
            for (int i = 0; i < 50; ++i)
                HashRemove(t, &mine[i]);
        }
    });
    for (int round = 0; round < 50; ++round) {
        int fixed_seen = 0;
        HTHashEnum *e = HashStartEnumeration(t);
        for (void *o; (o = HashEnumerateNext(e)) != nullptr;)
            if (static_cast<Item *>(o)->key >= 100000)
                ++fixed_seen;
        HashEndEnumeration(e);
        EXPECT_EQ(fixed_seen, 100);
    }
    stop = true;
    writer.join();
    HashDestroy(t);
}

} // namespace
