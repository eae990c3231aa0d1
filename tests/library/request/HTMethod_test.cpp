// The method table: built-in contents, lookups, additions up to the limit,
// enabling, disabling and locking.

#include "HTMethod.h"

#include "HTList.h"
#include "htc_alloc_fail.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Method : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(htc_test_start(), 1);
        HTMethod__restore();
    }
    void TearDown() override { HTMethod__restore(); }
};

struct Builtin {
    int index;
    const char *name;
    int disabled;
    int bits;
};

const Builtin kBuiltin[] = {
    {0, "INVALID-METHOD", -1, 0}, {1, "HEAD", 0, 2},       {2, "GET", 0, 2},
    {3, "POST", 0, 3},            {4, "PUT", 1, 3},        {5, "DELETE", 1, 2},
    {6, "OPTIONS", 0, 2},         {7, "TRACE", 0, 2},      {8, "CONNECT", 1, 2},
    {9, "SEARCH", 1, 3},          {10, "PROPFIND", 1, 3},  {11, "PROPPATCH", 1, 3},
    {12, "MKCOL", 1, 2},          {13, "COPY", 1, 2},      {14, "MOVE", 1, 2},
    {15, "LOCK", 1, 3},           {16, "UNLOCK", 1, 3},    {17, "BMOVE", 1, 3},
    {18, "BCOPY", 1, 3},          {19, "BDELETE", 1, 3},   {20, "BPROPFIND", 1, 3},
    {21, "BPROPPATCH", 1, 3},     {22, "POLL", 1, 3},      {23, "NOTIFY", 1, 2},
    {24, "SUBSCRIBE", 1, 2},      {25, "UNSUBSCRIBE", 1, 2}, {26, "ACL", 1, 3},
    {27, "SUBSCRIPTIONS", 1, 2},  {28, "X-MS-ENUMATTS", 1, 2},
};

} // namespace

TEST_F(Method, BuiltinTable)
{
    EXPECT_EQ(HTMethod_count(), 29);
    for (const Builtin &b : kBuiltin) {
        SCOPED_TRACE(b.name);
        EXPECT_STREQ(HTMethod_name(b.index), b.name);
        EXPECT_EQ(HTMethod_check(b.index), b.disabled);
        EXPECT_EQ(HTMethod_hasBody(b.index), b.index == 0 ? 0 : (b.bits & 1));
        EXPECT_EQ(HTMethod_needResponseBuffering(b.index), b.index == 0 ? 0 : (b.bits & 2) >> 1);
        if (b.index > 0) {
            EXPECT_EQ(HTMethod_enum(b.name), b.index);
        }
    }
}

TEST_F(Method, LookupsOfBadNamesAndIndexes)
{
    // Case-sensitive, from index 1: the invalid method's name is not found.
    EXPECT_EQ(HTMethod_enum("get"), 0);
    EXPECT_EQ(HTMethod_enum("INVALID-METHOD"), 0);
    EXPECT_EQ(HTMethod_enum(nullptr), 0);
    EXPECT_EQ(HTMethod_enum(""), 0);
    for (int bad : {-1, 29, 93, 94, 500}) {
        SCOPED_TRACE(bad);
        EXPECT_STREQ(HTMethod_name(bad), "INVALID-METHOD");
        EXPECT_EQ(HTMethod_check(bad), -1);
        EXPECT_EQ(HTMethod_hasBody(bad), 0);
        EXPECT_EQ(HTMethod_needResponseBuffering(bad), 0);
    }
}

TEST_F(Method, AddKnownNameChangesNothing)
{
    EXPECT_EQ(HTMethod_add("POST", 0), 3);
    EXPECT_EQ(HTMethod_hasBody(3), 1);
    EXPECT_EQ(HTMethod_add("PUT", 0), 4);
    EXPECT_EQ(HTMethod_check(4), 1); // still disabled
    EXPECT_EQ(HTMethod_count(), 29);
    EXPECT_EQ(HTMethod_add(nullptr, 1), 0);
    EXPECT_EQ(HTMethod_add("", 1), 0);
}

TEST_F(Method, AddUpToTheLimit)
{
    std::string name = "PATCH"; // the caller's text may change afterwards: the table keeps a copy
    const int patch = HTMethod_add(name.c_str(), HT_METHOD_HAS_BODY);
    name = "GARBAGE";
    EXPECT_EQ(patch, 29);
    EXPECT_STREQ(HTMethod_name(patch), "PATCH");
    EXPECT_EQ(HTMethod_check(patch), 0);
    EXPECT_EQ(HTMethod_hasBody(patch), 1);
    EXPECT_EQ(HTMethod_enum("PATCH"), patch);
    for (int i = HTMethod_count(); i < 93; ++i)
        EXPECT_EQ(HTMethod_add(("M" + std::to_string(i)).c_str(), 0), i);
    EXPECT_EQ(HTMethod_count(), 93);
    EXPECT_EQ(HTMethod_add("ONE-TOO-MANY", 0), 0);
    EXPECT_EQ(HTMethod_count(), 93);
    EXPECT_EQ(HTMethod_add("M92", 0), 92); // known names are still found
    EXPECT_STREQ(HTMethod_name(93), "INVALID-METHOD");
}

TEST_F(Method, EnableDisableAndLock)
{
    HTMethod_enable(HT_METHOD_PUT, 0);
    EXPECT_EQ(HTMethod_check(HT_METHOD_PUT), 0);
    HTMethod_disable(HT_METHOD_PUT, 1); // disabled and locked
    EXPECT_EQ(HTMethod_check(HT_METHOD_PUT), 1);
    HTMethod_enable(HT_METHOD_PUT, 0);
    HTMethod_enable2(HT_METHOD_PUT, 0, 0);
    EXPECT_EQ(HTMethod_check(HT_METHOD_PUT), 1);
    EXPECT_EQ(HTMethod_hasBody(HT_METHOD_PUT), 1); // bits of a locked slot stay too

    HTMethod_enable2(HT_METHOD_DELETE, 1, HT_METHOD_HAS_BODY);
    EXPECT_EQ(HTMethod_check(HT_METHOD_DELETE), 0);
    EXPECT_EQ(HTMethod_hasBody(HT_METHOD_DELETE), 1);
    EXPECT_EQ(HTMethod_needResponseBuffering(HT_METHOD_DELETE), 0);
    HTMethod_disable(HT_METHOD_DELETE, 0);
    EXPECT_EQ(HTMethod_check(HT_METHOD_DELETE), 0);

    // The invalid method and indexes past the count never change.
    HTMethod_enable(0, 0);
    EXPECT_EQ(HTMethod_check(0), -1);
    HTMethod_enable(29, 0);
    EXPECT_EQ(HTMethod_check(29), -1);
}

TEST_F(Method, InListIgnoresCase)
{
    HTList *list = HTList_new(nullptr);
    char get[] = "get", post[] = "Post", head[] = "HEAD";
    HTList_appendObject(list, get, nullptr);
    HTList_appendObject(list, post, nullptr);
    HTList_appendObject(list, head, nullptr);
    EXPECT_EQ(HTMethod_inList(HT_METHOD_GET, list), 0);
    EXPECT_EQ(HTMethod_inList(HT_METHOD_POST, list), 1);
    EXPECT_EQ(HTMethod_inList(HT_METHOD_HEAD, list), 2);
    EXPECT_EQ(HTMethod_inList(HT_METHOD_PUT, list), -1);
    EXPECT_EQ(HTMethod_inList(0, list), -1);
    EXPECT_EQ(HTMethod_inList(HT_METHOD_GET, nullptr), -1);
    HTList_delete(list, nullptr);
}

TEST_F(Method, AddRunningOutOfMemory)
{
    int index = -1;
    const unsigned long failures = htc_each_failure([&] { index = HTMethod_add("REPORT", 3); },
                                                    [&](bool failed) {
                                                        if (failed) {
                                                            // Nothing half-added.
                                                            EXPECT_EQ(HTMethod_count(), 29);
                                                            EXPECT_EQ(HTMethod_enum("REPORT"), 0);
                                                        } else {
                                                            EXPECT_EQ(index, 29);
                                                            EXPECT_EQ(HTMethod_count(), 30);
                                                        }
                                                    });
    EXPECT_EQ(failures, 1u);
}
