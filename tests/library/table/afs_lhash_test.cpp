#include "afs_lhash.h"

#include "htc_oom.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(afs_Hash, JenkinsVectors)
{
    // lookup2 (1996) values; the same on either byte order.
    EXPECT_EQ(afs_HashBytes("", 0, 0), 0xbd49d10du);
    EXPECT_EQ(afs_HashString("", 0x12345678), 0x3df641a9u);
    EXPECT_EQ(afs_HashString("a", 0), 0x29eec818u);
    EXPECT_EQ(afs_HashString("abc", 0), 0x251e4793u);
    EXPECT_EQ(afs_HashString("hello world!", 0), 0x1eccb293u);
    EXPECT_EQ(afs_HashString("hello world!", 0x12345678), 0x30fc5bd0u);
    EXPECT_EQ(afs_HashString("The quick brown fox jumps over the lazy dog", 0), 0xfc1558deu);
    EXPECT_EQ(afs_HashString("The quick brown fox jumps over the lazy dog", 0x12345678),
              0x853faba2u);
    const uint32_t w[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(afs_HashWords(w, 0, 0), 0xbd49d10du);
    EXPECT_EQ(afs_HashWords(w, 1, 0), 0xb93913a8u);
    EXPECT_EQ(afs_HashWords(w, 3, 0), 0xe4f3273bu);
    EXPECT_EQ(afs_HashWords(w, 5, 0), 0xbcfbbd3eu);
    EXPECT_EQ(afs_HashWords3(1, 2, 3, 0), 0xe4f3273bu);
}

int equal_int(const void *argument, const void *data)
{
    return *static_cast<const int *>(argument) == *static_cast<const int *>(data);
}

TEST(afs_lhash, GrowsOneBucketAtATime)
{
    afs_lhash *t = afs_lhash_create(equal_int, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->m, 16u);
    EXPECT_EQ(t->capacity, 256u);
    std::vector<int> v(2000);
    for (int i = 0; i < 80; ++i) {
        v[i] = i;
        ASSERT_EQ(afs_lhash_enter(t, static_cast<uint32_t>(i), &v[i]), 0);
    }
    EXPECT_EQ(t->buckets_used, 16u);
    v[80] = 80;
    ASSERT_EQ(afs_lhash_enter(t, 80, &v[80]), 0);
    // The 81st entry split bucket 0 into bucket 16.
    EXPECT_EQ(t->buckets_used, 17u);
    EXPECT_EQ(t->p, 1u);
    for (int i = 0; i <= 80; ++i)
        ASSERT_EQ(afs_lhash_search(t, static_cast<uint32_t>(i), &v[i]), &v[i]) << i;
    // Keys 0, 16, 32, ... sat in bucket 0; those of bucket 16 modulo 32 moved.
    int zero = 0, sixteen = 16;
    EXPECT_EQ(afs_lhash_search_bucket(t, 0), &v[64]); // newest of 0, 32, 64
    EXPECT_EQ(afs_lhash_rosearch(t, 16, &sixteen), &v[16]);
    EXPECT_EQ(afs_lhash_rosearch(t, 0, &zero), &v[0]);
    for (int i = 81; i < 2000; ++i) {
        v[i] = i;
        ASSERT_EQ(afs_lhash_enter(t, static_cast<uint32_t>(i) * 2654435761u, &v[i]), 0);
    }
    EXPECT_GT(t->capacity, 256u); // grown in steps of 256
    EXPECT_EQ(t->capacity % 256, 0u);
    EXPECT_LE(t->entries, 5 * t->buckets_used);
    for (int i = 81; i < 2000; ++i)
        ASSERT_EQ(afs_lhash_search(t, static_cast<uint32_t>(i) * 2654435761u, &v[i]), &v[i]) << i;
    struct afs_lhash_stat st;
    ASSERT_EQ(afs_lhash_stat(t, &st), 0);
    EXPECT_EQ(st.entries, 2000u);
    EXPECT_EQ(st.buckets, t->buckets_used);
    EXPECT_GE(st.searches, 2000u - 81u + 81u);
    int missing = -1;
    EXPECT_EQ(afs_lhash_search(t, 5, &missing), nullptr);
    EXPECT_EQ(afs_lhash_remove(t, 5, &v[5]), &v[5]);
    EXPECT_EQ(afs_lhash_search(t, 5, &v[5]), nullptr);
    static size_t visited;
    visited = 0;
    afs_lhash_iter(t, [](size_t, uint32_t, void *) { ++visited; });
    EXPECT_EQ(visited, 1999u);
    afs_lhash_destroy(t);
}

TEST(afs_lhash, SearchMovesTheHitToTheFront)
{
    afs_lhash *t = afs_lhash_create(equal_int, nullptr, nullptr);
    int a = 1, b = 2;
    afs_lhash_enter(t, 7, &a);
    afs_lhash_enter(t, 7, &b); // front
    EXPECT_EQ(afs_lhash_search_bucket(t, 7), &b);
    EXPECT_EQ(afs_lhash_rosearch(t, 7, &a), &a);
    EXPECT_EQ(afs_lhash_search_bucket(t, 7), &b); // read-only: no move
    EXPECT_EQ(afs_lhash_search(t, 7, &a), &a);
    EXPECT_EQ(afs_lhash_search_bucket(t, 7), &a);
    afs_lhash_destroy(t);
}

int always_equal(const void *, const void *) { return 1; }

TEST(afs_lhash, OnlyEntriesOfTheKeyAreOfferedToEqual)
{
    // Keys 5 and 5 + 16 share a bucket of the first 16. With an equality
    // function that accepts anything, the key alone must pick the entry.
    afs_lhash *t = afs_lhash_create(always_equal, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    int five = 5, twentyone = 21;
    ASSERT_EQ(afs_lhash_enter(t, 5, &five), 0);
    ASSERT_EQ(afs_lhash_enter(t, 21, &twentyone), 0); // now at the front of the bucket
    EXPECT_EQ(afs_lhash_rosearch(t, 5, nullptr), &five);
    EXPECT_EQ(afs_lhash_search(t, 5, nullptr), &five);
    EXPECT_EQ(afs_lhash_search(t, 21, nullptr), &twentyone);
    EXPECT_EQ(afs_lhash_rosearch(t, 37, nullptr), nullptr); // same bucket, no such key
    EXPECT_EQ(afs_lhash_remove(t, 37, nullptr), nullptr);
    EXPECT_EQ(afs_lhash_remove(t, 5, nullptr), &five);
    EXPECT_EQ(afs_lhash_search(t, 5, nullptr), nullptr);
    EXPECT_EQ(afs_lhash_search(t, 21, nullptr), &twentyone);
    afs_lhash_destroy(t);
}

} // namespace

// Every allocation of a growing table, failed in turn: creation gives null,
// an entry that cannot be had gives -1 and is not there, a split that cannot
// grow the bucket array only leaves longer chains; every entry made is found.
TEST(afs_lhash, RunningOutOfMemoryLosesNoEntry)
{
    static int values[2000];
    afs_lhash *volatile t = nullptr;
    static signed char entered[2000];
    htc_each_failure(
        [&] {
            t = afs_lhash_create(equal_int, nullptr, nullptr);
            if (t == nullptr)
                return;
            for (int i = 0; i < 2000; ++i) {
                values[i] = i;
                entered[i] = static_cast<signed char>(afs_lhash_enter(t, static_cast<uint32_t>(i), &values[i]));
            }
        },
        [&](const HtcOomRound &r) {
            EXPECT_FALSE(r.raised);
            if (t == nullptr)
                return;
            size_t made = 0;
            for (int i = 0; i < 2000; ++i) {
                void *found = afs_lhash_rosearch(t, static_cast<uint32_t>(i), &values[i]);
                if (entered[i] == 0) {
                    ++made;
                    EXPECT_EQ(found, &values[i]) << "round " << r.n << " key " << i;
                } else {
                    EXPECT_EQ(entered[i], -1);
                    EXPECT_EQ(found, nullptr);
                }
            }
            EXPECT_EQ(t->entries, made);
            afs_lhash_destroy(t);
        });
}
