#include "HTHash.h"
#include "StrongHash.h"

#include "hash_items.hpp"
#include "htc_oom.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

class HashTableTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(HashTableTest, AddLookupRemove)
{
    HTHashTable *t = HashCreate(7, compare_item, hash_item, GetParam());
    ASSERT_NE(t, nullptr);
    Item a{1, 10}, b{8, 80}, c{15, 150}; // one bucket
    EXPECT_EQ(HashAdd(t, &a), 0);
    EXPECT_EQ(HashAdd(t, &b), 0);
    EXPECT_EQ(HashAdd(t, &c), 0);
    Item key{8, 0};
    EXPECT_EQ(HashLookup(t, &key), &b);
    EXPECT_EQ(HashRemove(t, &key), &b);
    EXPECT_EQ(HashRemove(t, &key), nullptr);
    EXPECT_EQ(HashLookup(t, &key), nullptr);
    key.key = 15;
    EXPECT_EQ(HashLookup(t, &key), &c);
    key.key = 1;
    EXPECT_EQ(HashLookup(t, &key), &a);
    HashWipe(t);
    EXPECT_EQ(HashLookup(t, &key), nullptr);
    HashDestroy(t);
}

TEST_P(HashTableTest, NewestFirstInABucketAndEnumeration)
{
    HTHashTable *t = HashCreate(5, compare_item, hash_item, GetParam());
    std::vector<Item> items;
    for (int i = 0; i < 40; ++i)
        items.push_back({i, i});
    Item dup{3, 333};
    for (auto &it : items)
        ASSERT_EQ(HashAdd(t, &it), 0);
    ASSERT_EQ(HashAdd(t, &dup), 0);
    Item key{3, 0};
    EXPECT_EQ(HashLookup(t, &key), &dup); // new entries go to the front
    std::set<const void *> seen;
    HTHashEnum *e = HashStartEnumeration(t);
    ASSERT_NE(e, nullptr);
    for (void *o; (o = HashEnumerateNext(e)) != nullptr;)
        EXPECT_TRUE(seen.insert(o).second);
    EXPECT_EQ(HashEnumerateNext(e), nullptr);
    HashEndEnumeration(e);
    EXPECT_EQ(seen.size(), 41u);
    HashDestroy(t);
}

INSTANTIATE_TEST_SUITE_P(Locks, HashTableTest, ::testing::Values(0u, 1u, 3u));

TEST(HTHash, FreeListRecyclesEntriesInBlocks)
{
    HTHashTable *t = HashCreate(16, compare_item, hash_item, 4);
    HashSetFreelistLength(t, 25);
    HashPreallocate(t);
    EXPECT_EQ(t->free_count, 25u);
    HashPreallocate(t); // already full: still a block of 10
    EXPECT_EQ(t->free_count, 35u);
    std::vector<Item> items(36);
    for (int i = 0; i < 36; ++i) {
        items[i] = {i, i};
        ASSERT_EQ(HashAdd(t, &items[i]), 0);
    }
    EXPECT_EQ(t->free_count, 9u); // the empty list was refilled with 10
    for (int i = 0; i < 36; ++i) {
        Item key{i, 0};
        ASSERT_EQ(HashRemove(t, &key), &items[i]);
    }
    EXPECT_EQ(t->free_count, 45u);
    EXPECT_EQ(HashAllocateRecords(t, 5), 0);
    EXPECT_EQ(t->free_count, 50u);
    HashDestroy(t);
}

TEST(HTHash, EntriesWithoutRecycling)
{
    HTHashTable *t = HashCreate(4, compare_item, hash_item, 0);
    HTHashEntry *e = GetHashtableEntry(t);
    ASSERT_NE(e, nullptr);
    FreeHashtableEntry(e, t); // back to the heap
    EXPECT_EQ(t->free_count, 0u);
    // An entry of a block stays in the free list even with the switch off.
    EXPECT_EQ(HashAllocateRecords(t, 2), 0);
    HashSetFreelistLength(t, 1);
    e = GetHashtableEntry(t);
    EXPECT_EQ(t->free_count, 1u);
    HashSetFreelistLength(t, 0);
    FreeHashtableEntry(e, t);
    EXPECT_EQ(t->free_count, 2u);
    FreeHashtableEntry(GetHashtableEntry(nullptr), nullptr);
    HashDestroy(t);
}

uint32_t wild_hash(uint32_t, const void *key)
{
    return static_cast<uint32_t>(static_cast<const Item *>(key)->key); // ignores size
}

TEST(HTHash, BucketIndexNeverLeavesTheArray)
{
    HTHashTable *t = HashCreate(3, compare_item, wild_hash, 2);
    Item a{1000, 0};
    EXPECT_EQ(HashAdd(t, &a), 0);
    EXPECT_EQ(HashLookup(t, &a), &a);
    HashDestroy(t);
}

} // namespace

// Every allocation of a table, failed in turn, for each locking and entry
// scheme: creation goes to out_of_memory with nothing left behind; an add
// that gets no entry answers 1 and the table holds exactly the objects
// added; a walk that cannot start holds no lock.
TEST(HTHash, RunningOutOfMemoryAddsAllOrNothing)
{
    struct Scheme {
        uint32_t locks;
        uint32_t freelist;
    };
    for (const Scheme s : {Scheme{0, 0}, Scheme{1, 0}, Scheme{3, 0}, Scheme{1, 20}, Scheme{3, 20}}) {
        SCOPED_TRACE(testing::Message() << s.locks << " locks, free list " << s.freelist);
        static Item items[40];
        HTHashTable *volatile t = nullptr;
        volatile int refused = 0;
        HTHashEnum *volatile walk = nullptr;
        htc_each_failure(
            [&] {
                t = nullptr;
                refused = 0;
                walk = nullptr;
                t = HashCreate(7, compare_item, hash_item, s.locks);
                HashSetFreelistLength(t, s.freelist);
                for (int i = 0; i < 40; ++i) {
                    items[i] = Item{i, i};
                    if (HashAdd(t, &items[i]) != 0)
                        refused = refused + 1;
                }
                walk = HashStartEnumeration(t);
            },
            [&](const HtcOomRound &r) {
                if (t == nullptr) {
                    EXPECT_TRUE(r.raised);
                    return;
                }
                EXPECT_FALSE(r.raised) << "round " << r.n; // past creation nothing raises
                // The walk holds the table (or a stripe) until it ends.
                int walked = -1;
                if (walk != nullptr) {
                    walked = 0;
                    while (HashEnumerateNext(walk) != nullptr)
                        ++walked;
                    HashEndEnumeration(walk);
                }
                int found = 0;
                for (int i = 0; i < 40; ++i) {
                    Item key{i, 0};
                    if (HashLookup(t, &key) == &items[i])
                        ++found;
                }
                if (walked >= 0) {
                    EXPECT_EQ(walked, found);
                }
                // No lock was left held: the whole table can be locked.
                HashLockTable(t);
                HashUnlockTable(t);
                EXPECT_EQ(found, 40 - refused) << "round " << r.n;
                EXPECT_LE(refused, 1);
                HashDestroy(t);
            });
    }
}
