#include "HTInit.h"

#include <gtest/gtest.h>

namespace {

TEST(HTInit, StartsOnce)
{
    EXPECT_EQ(HTInitAll(), HT_INIT_OK);
    EXPECT_EQ(HTInitAll(), HT_INIT_OK);
}

} // namespace
