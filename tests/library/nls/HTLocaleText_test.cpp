#include "HTLocaleText.h"
#include "HTString.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {


TEST(HTLocaleText, PrettyPrintInt)
{
    char b[HT_PRETTY_INT_SIZE];
    EXPECT_STREQ(PrettyPrintInt(1234567, b), "1,234,567");
    EXPECT_STREQ(PrettyPrintInt(1000, b), "1,000");
    EXPECT_STREQ(PrettyPrintInt(5, b), "5");
    EXPECT_STREQ(PrettyPrintInt(0, b), "0");
    EXPECT_STREQ(PrettyPrintInt(-2000, b), "-2,000");
    EXPECT_STREQ(PrettyPrintInt(1000000001, b), "1,000,000,001");
    EXPECT_STREQ(PrettyPrintInt(-2147483647 - 1, b), "-2,147,483,648");
}

TEST(HTLocaleText, CaseTablesFollowTheLocale)
{
    initializeCaseTables();
    EXPECT_EQ(useToUpperTable('a'), 'A');
    EXPECT_EQ(useToLowerTable('Z'), 'z');
    EXPECT_EQ(strcasecomp("Content-Type", "content-TYPE"), 0);
    EXPECT_TRUE(useIsSpaceTable(' '));
}

} // namespace
