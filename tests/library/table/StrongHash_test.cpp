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

// The same table reporting instead of raising: creation gives null, an
// insert without an entry gives 0, a preallocation that falls short gives
// 0, and nothing ever goes to out_of_memory.
TEST(StrongHash, RunningOutOfMemoryIsReportedNeverRaised)
{
    static Item items[600];
    StrongHashTable *volatile t = nullptr;
    volatile int primed = -1, refused = 0;
    htc_each_failure(
        [&] {
            primed = -1;
            refused = 0;
            t = StrongHash_Create(256, compare_item, hash_item, 2);
            if (t == nullptr)
                return;
            StrongHash_SetFreelistLength(t, 512);
            primed = StrongHash_Preallocate(t);
            for (int i = 0; i < 600; ++i) {
                items[i] = Item{i, i};
                if (StrongHash_Insert(t, &items[i]) != 1)
                    refused = refused + 1;
            }
        },
        [&](const HtcOomRound &r) {
            EXPECT_FALSE(r.raised);
            if (t == nullptr)
                return;
            int found = 0;
            for (int i = 0; i < 600; ++i) {
                Item key{i, 0};
                found += StrongHash_FindObject(t, &key) == &items[i];
            }
            EXPECT_EQ(found, 600 - refused) << "round " << r.n;
            if (primed != 1) {
                EXPECT_TRUE(r.failed); // only a failed allocation makes it fall short
            }
            StrongHash_Destroy(t);
        });
}
