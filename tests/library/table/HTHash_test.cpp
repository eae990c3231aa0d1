#include "HTHash.h"
#include "StrongHash.h"

#include "hash_items.hpp"

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
