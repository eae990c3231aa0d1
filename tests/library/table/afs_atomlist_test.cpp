#include "afs_lhash.h"

#include "htc_oom.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {


TEST(afs_atomlist, AtomsAndBlocks)
{
    EXPECT_EQ(afs_atomlist_create(64, 64, nullptr, nullptr), nullptr); // no room for the link
    afs_atomlist *l = afs_atomlist_create(3, 4 * sizeof(void *) + 3, nullptr, nullptr);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->atom_size, sizeof(void *));
    EXPECT_EQ(l->atoms_per_block, 3u);
    std::set<void *> atoms;
    for (int i = 0; i < 7; ++i) {
        void *a = afs_atomlist_get(l);
        ASSERT_NE(a, nullptr);
        std::memset(a, 0xab, l->atom_size);
        EXPECT_TRUE(atoms.insert(a).second);
    }
    void *a = *atoms.begin();
    afs_atomlist_put(l, a);
    EXPECT_EQ(afs_atomlist_get(l), a);
    afs_atomlist_destroy(l);
}

// A block that cannot be had gives null and changes nothing: the atoms
// handed out stay distinct and the next get works again.
TEST(afs_atomlist, RunningOutOfMemoryGivesNull)
{
    afs_atomlist *volatile l = nullptr;
    static void *got[10];
    htc_each_failure(
        [&] {
            l = afs_atomlist_create(16, 4 * 16 + sizeof(void *), nullptr, nullptr);
            if (l == nullptr)
                return;
            for (void *&a : got)
                a = afs_atomlist_get(l);
        },
        [&](const HtcOomRound &r) {
            EXPECT_FALSE(r.raised);
            if (l == nullptr)
                return;
            std::set<void *> distinct;
            for (void *a : got)
                if (a != nullptr) {
                    EXPECT_TRUE(distinct.insert(a).second) << "round " << r.n;
                }
            void *again = afs_atomlist_get(l);
            EXPECT_NE(again, nullptr);
            EXPECT_EQ(distinct.count(again), 0u);
            afs_atomlist_destroy(l);
        });
}

} // namespace
