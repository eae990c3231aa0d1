// The per-application limit on worker threads.

#include "HTApplication.h"

#include "htc_oom.h"

#include <gtest/gtest.h>

#include <string>

TEST(HTApplication, LimitIsReachedAtItsPercentage)
{
    HTApplication_Init();
    HTApplication_SetThreadNumber(100);
    HTApplication *app = HTApplication_Add("app", 10, 1, 1, 0, "text");
    ASSERT_NE(app, nullptr);
    for (int i = 1; i <= 9; ++i)
        EXPECT_EQ(HTApplication_Enter(app, nullptr), 0) << i;
    EXPECT_EQ(HTApplication_Enter(app, nullptr), 1);
    EXPECT_EQ(HTApplication_GetRatio(), 10);
    for (int i = 0; i < 12; ++i)
        HTApplication_Leave(app, nullptr);
    EXPECT_EQ(HTApplication_GetCount(app), 0); // never below 0
    EXPECT_EQ(HTApplication_GetRatio(), 10);  // only Enter recomputes it
    EXPECT_EQ(HTApplication_Enter(app, nullptr), 0);
    EXPECT_EQ(HTApplication_GetRatio(), 1); // the bound total never went below 0
    HTApplication_Leave(app, nullptr);
    HTApplication_Init();
}

TEST(HTApplication, NoPoolSizeMeansNoLimit)
{
    HTApplication_Init();
    HTApplication_SetThreadNumber(0);
    HTApplication *app = HTApplication_Add("app", 1, 1, 1, 0, nullptr);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(HTApplication_Enter(app, nullptr), 0);
    EXPECT_EQ(HTApplication_GetCount(app), 0);
    HTApplication_Init();
}

TEST(HTApplication, AddUpdatesOrKeepsAndTableFills)
{
    HTApplication_Init();
    HTApplication *a = HTApplication_Add("x", 10, 1, 1, 0, "one");
    EXPECT_EQ(HTApplication_Add("x", 0, 1, 1, 0, "two"), a); // unchanged
    EXPECT_EQ(HTApplication_Add("x", 20, 1, 1, 0, "three"), a);
    HTApplication_DeleteByName("x");
    for (int i = 0; i < HT_APPLICATION_SLOTS; ++i)
        ASSERT_NE(HTApplication_Add(("n" + std::to_string(i)).c_str(), 5, 1, 1, 0, nullptr), nullptr);
    EXPECT_EQ(HTApplication_Add("one-too-many", 5, 1, 1, 0, nullptr), nullptr);
    HTApplication_DeleteByName("n7");
    EXPECT_NE(HTApplication_Add("fits-again", 5, 1, 1, 0, nullptr), nullptr);
    HTApplication_Init();
}

TEST(HTApplication, LongNamesFindTheEntryTheyMade)
{
    HTApplication_Init();
    const std::string longName(200, 'n');
    HTApplication *a = HTApplication_Add(longName.c_str(), 10, 1, 1, 0, nullptr);
    ASSERT_NE(a, nullptr);
    // Same first 127 characters: the same entry, updated; not a second one.
    EXPECT_EQ(HTApplication_Add(longName.c_str(), 20, 1, 1, 0, nullptr), a);
    EXPECT_EQ(HTApplication_Add((longName + "x").c_str(), 30, 1, 1, 0, nullptr), a);
    EXPECT_NE(HTApplication_Add(longName.substr(0, 126).c_str(), 30, 1, 1, 0, nullptr), a);
    HTApplication_DeleteByName(longName.c_str());
    HTApplication *b = HTApplication_Add(longName.c_str(), 10, 1, 1, 0, nullptr);
    ASSERT_NE(b, nullptr);
    HTApplication_DeleteByHandle(b);
    // Deleted, so every slot but the 126-character one is free again.
    for (int i = 0; i < HT_APPLICATION_SLOTS - 1; ++i)
        ASSERT_NE(HTApplication_Add(("m" + std::to_string(i)).c_str(), 5, 1, 1, 0, nullptr), nullptr) << i;
    EXPECT_EQ(HTApplication_Add("full", 5, 1, 1, 0, nullptr), nullptr);
    HTApplication_Init();
}

// An entry that cannot be made (record or text copy) is null and the table
// is as it was, its lock free; an update whose new text cannot be copied
// keeps the entry's old values.
TEST(HTApplication, RunningOutOfMemoryAddsOrUpdatesWholeOrNothing)
{
    HTApplication_Init();
    HTApplication *volatile app = nullptr;
    htc_each_failure([&] { app = HTApplication_Add("oom app", 10, 1, 1, 0, "first"); },
                     [&](const HtcOomRound &r) {
                         EXPECT_FALSE(r.raised);
                         if (app != nullptr) {
                             // Found again by its name, as made.
                             EXPECT_EQ(HTApplication_Add("oom app", 0, 0, 0, 0, nullptr), app);
                             return;
                         }
                         EXPECT_TRUE(r.failed);
                         // Nothing of the name was kept: an add of it makes a new entry.
                         HTApplication *made = HTApplication_Add("oom app", 10, 1, 1, 0, nullptr);
                         ASSERT_NE(made, nullptr);
                         HTApplication_DeleteByHandle(made);
                     });
    ASSERT_NE(app, nullptr);
    HTApplication_SetThreadNumber(10);
    htc_each_failure([&] { app = HTApplication_Add("oom app", 50, 2, 2, 0, "second"); },
                     [&](const HtcOomRound &r) {
                         // 10 % of 10 workers: one Enter reaches the old limit,
                         // five the new one.
                         HTApplication *a = HTApplication_Add("oom app", 0, 0, 0, 0, nullptr);
                         ASSERT_NE(a, nullptr);
                         const int limitReachedAt = HTApplication_Enter(a, nullptr) ? 1 : 5;
                         HTApplication_Leave(a, nullptr);
                         EXPECT_EQ(limitReachedAt, app == nullptr ? 1 : 5) << "round " << r.n;
                     });
    HTApplication_SetThreadNumber(0);
    HTApplication_Init();
}
