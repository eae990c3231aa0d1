// Detailed error keywords and the error hooks.

#include "HTError.h"

#include "HTGlobals.h"
#include "HTLoadCodes.h"
#include "HTRequest.h"
#include "HTStream-t.h"
#include "htc_worker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int rows()
{
    int n = 0;
    while (KnownDetailedErrors[n].keyword != nullptr)
        ++n;
    return n;
}

} // namespace

TEST(HTError, KeywordTableEndsAfterOutputTimeout)
{
    const int n = rows();
    EXPECT_EQ(n, 96); // 94 numbers, "proxynotauth" twice and "ftphpnosocket" sharing 80
    EXPECT_STREQ(KnownDetailedErrors[0].keyword, "ok");
    EXPECT_STREQ(KnownDetailedErrors[n - 1].keyword, "outputtimeout");
    EXPECT_EQ(KnownDetailedErrors[n - 1].number, 97);
}

TEST(HTError, KeywordsToNumbers)
{
    const struct {
        const char *keyword;
        int number;
    } cases[] = {
        {"ok", 0},          {"byrule", 7},          {"badredirect", 13},   {"badrequest", 24},
        {"proxyfail", 25},  {"proxynotauth", 30},   {"proxynotmember", 31}, {"preconfail", 45},
        {"badrange", 50},   {"scriptnocomm", 80},   {"nohostheader", 81},  {"ftphpnosocket", 80},
        {"ftphpnoconnect", 83}, {"originbadresp", 94}, {"outputtimeout", 97},
        // Not in the table: exact and case-sensitive.
        {"OK", 0},          {"proxynotauth ", 0},   {"", 0},               {"nosuchkeyword", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keyword);
        EXPECT_EQ(HTStringToErrnum(c.keyword), c.number);
    }
    EXPECT_EQ(HTStringToErrnum(nullptr), 0);
}

TEST(HTError, NumbersToKeywordsGoByNumber)
{
    // Positions and numbers part ways from 12 on: the lookup must use the number.
    EXPECT_STREQ(HTErrnumToString(24), "badrequest");
    EXPECT_STREQ(HTErrnumToString(25), "proxyfail");
    EXPECT_STREQ(HTErrnumToString(97), "outputtimeout");
    EXPECT_STREQ(HTErrnumToString(30), "proxynotauth");
    EXPECT_STREQ(HTErrnumToString(80), "scriptnocomm"); // the first keyword with 80
    for (int unused : {12, 44, 49, 82, 98, 1000, -1, -100000})
        EXPECT_STREQ(HTErrnumToString(unused), "ok") << unused;
    // It inverts HTStringToErrnum wherever a number has a keyword.
    for (int i = 0; KnownDetailedErrors[i].keyword != nullptr; ++i) {
        const int n = KnownDetailedErrors[i].number;
        EXPECT_EQ(HTStringToErrnum(HTErrnumToString(n)), n) << KnownDetailedErrors[i].keyword;
    }
}

namespace {

class Detailed : public WorkerTest {};

} // namespace

TEST_F(Detailed, ErrorOfTheContext)
{
    HTDetailedError_set(HT_DERR_ORIGINBADRESP, g);
    EXPECT_EQ(g->detailed_error, 94);
    EXPECT_STREQ(g->detailed_error_text, "originbadresp");
    HTDetailedError_set(HT_DERR_BYRULE, nullptr); // the calling thread's
    EXPECT_STREQ(g->detailed_error_text, "byrule");
}

namespace {

int aborts;
int abort_stream(HTStream *, void *)
{
    ++aborts;
    return 0;
}
const HTStreamClass kAbortCounter = {"AbortCounter", nullptr, abort_stream, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};

int handled;
int page_handler(HTRequest *, int status, const char *message, HTThdGlobals *)
{
    ++handled;
    return std::strcmp(message, "boom") == 0 ? status + 1 : -1;
}

class Hooks : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        request = HTRequest_new(g);
        aborts = handled = 0;
    }
    void TearDown() override
    {
        HTLoadError_setHandler(nullptr);
        HTGen304Reply_setHandler(nullptr);
        HTRequest_delete(request);
        WorkerTest::TearDown();
    }
    HTRequest *request = nullptr;
};

} // namespace

TEST_F(Hooks, DefaultLoadErrorAbortsTheOutputStream)
{
    HTStream out{&kAbortCounter};
    request->output_stream = &out;
    EXPECT_EQ(HTLoadError(request, 502, "bad gateway", g), -502);
    EXPECT_EQ(aborts, 1);
}

TEST_F(Hooks, DefaultLoadErrorWithoutAStream)
{
    EXPECT_EQ(HTLoadError(request, 500, "x", g), -500);
    EXPECT_EQ(HTLoadError(nullptr, 404, "x", g), -404);
    const HTStreamClass no_abort = {"NoAbort", nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};
    HTStream out{&no_abort};
    request->output_stream = &out;
    EXPECT_EQ(HTLoadError(request, 504, "x", g), -504);
}

TEST_F(Hooks, HandlerAndSuppression)
{
    EXPECT_EQ(HTLoadError_setHandler(page_handler), 0);
    EXPECT_EQ(HTLoadError(request, 400, "boom", g), 401);
    EXPECT_EQ(handled, 1);
    g->suppress_errors = 1;
    EXPECT_EQ(HTLoadError(request, 400, "boom", nullptr), 0);
    EXPECT_EQ(handled, 1);
    g->suppress_errors = 0;
    EXPECT_EQ(HTLoadError_setHandler(nullptr), 0);
    HTStream out{&kAbortCounter};
    request->output_stream = &out;
    EXPECT_EQ(HTLoadError(request, 400, "boom", g), -400); // the default again
    EXPECT_EQ(aborts, 1);
}

TEST_F(Hooks, Reply304)
{
    EXPECT_EQ(HTGen304Reply(request, g), -1);
    EXPECT_EQ(HTGen304Reply_setHandler([](HTRequest *, HTThdGlobals *) { return 304; }), 0);
    EXPECT_EQ(HTGen304Reply(request, g), 304);
}
