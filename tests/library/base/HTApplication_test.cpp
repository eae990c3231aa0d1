// The per-application limit on worker threads.

#include "HTApplication.h"

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
