#include "HTAlloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

TEST(HTAlloc, FailsTheArmedAllocationOnly)
{
    HTAlloc_failAt(3, 0);
    void *a = HTAlloc_malloc(10);
    char *b = HTAlloc_strdup("x");
    void *c = HTAlloc_calloc(2, 4);
    void *d = HTAlloc_malloc(1);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(HTAlloc_failed(), 1);
    HTAlloc_free(a);
    HTAlloc_free(b);
    HTAlloc_free(d);
    HTAlloc_failAt(0, 0);
    EXPECT_EQ(HTAlloc_failed(), 0);
}

TEST(HTAlloc, PersistentFailureAndOtherThreads)
{
    HTAlloc_failAt(2, 1);
    void *a = HTAlloc_malloc(8);
    EXPECT_NE(a, nullptr);
    void *elsewhere = nullptr;
    std::thread([&] { elsewhere = HTAlloc_malloc(8); }).join();
    EXPECT_NE(elsewhere, nullptr); // another thread is never armed
    EXPECT_EQ(HTAlloc_malloc(8), nullptr);
    EXPECT_EQ(HTAlloc_realloc(a, 100), nullptr); // the old block stays the caller's
    EXPECT_EQ(HTAlloc_strdup("abc"), nullptr);
    HTAlloc_failAt(0, 0);
    void *grown = HTAlloc_realloc(a, 100);
    ASSERT_NE(grown, nullptr);
    HTAlloc_free(grown);
    HTAlloc_free(elsewhere);
}

TEST(HTAlloc, SizesAndCopies)
{
    EXPECT_EQ(HTAlloc_calloc(SIZE_MAX / 2, 4), nullptr);
    EXPECT_EQ(HTAlloc_strdup(nullptr), nullptr);
    char *c = HTAlloc_strndup("abcdef", 3);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "abc");
    HTAlloc_free(c);
    void *z = HTAlloc_malloc(0); // a unique block, not null
    EXPECT_NE(z, nullptr);
    HTAlloc_free(z);
}

} // namespace
