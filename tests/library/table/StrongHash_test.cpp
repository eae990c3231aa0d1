#include "HTHash.h"
#include "StrongHash.h"

#include "hash_items.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {


TEST(StrongHash, PreallocatedTableAllocatesNothingUntilUsedUp)
{
    StrongHashTable *t = StrongHash_Create(256, compare_item, hash_item, 1);
    ASSERT_NE(t, nullptr);
    StrongHash_SetFreelistLength(t, 512);
    EXPECT_EQ(StrongHash_Preallocate(t), 1);
    EXPECT_EQ(t->free_count, 512u);
    const void *blocks = t->blocks;
    std::vector<Item> items(513);
    for (int i = 0; i < 512; ++i) {
        items[i] = {i, i};
        ASSERT_EQ(StrongHash_Insert(t, &items[i]), 1); // 1 is success here
    }
    EXPECT_EQ(t->free_count, 0u);
    EXPECT_EQ(t->blocks, blocks);
    items[512] = {512, 512};
    EXPECT_EQ(StrongHash_Insert(t, &items[512]), 1);
    EXPECT_NE(t->blocks, blocks);
    EXPECT_EQ(t->free_count, 9u);
    Item key{77, 0};
    EXPECT_EQ(StrongHash_FindObject(t, &key), &items[77]);
    EXPECT_EQ(StrongHash_Remove(t, &key), &items[77]);
    EXPECT_EQ(StrongHash_FindObject(t, &key), nullptr);
    StrongHashEnum *e = StrongHash_StartEnum(t);
    int n = 0;
    while (StrongHash_EnumNext(e) != nullptr)
        ++n;
    StrongHash_FinishEnum(e);
    EXPECT_EQ(n, 512);
    StrongHash_RemoveAll(t);
    EXPECT_EQ(t->free_count, 10u + 512u);
    StrongHash_Enter(t);
    StrongHash_Leave(t);
    StrongHash_Destroy(t);
    EXPECT_EQ(StrongHash_Create(0, compare_item, hash_item, 0), nullptr);
}

} // namespace
