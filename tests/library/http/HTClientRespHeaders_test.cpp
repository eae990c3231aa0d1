// Reading and editing the stored head: every setHeaderValue mode, replace,
// delete, lookups by name prefix, the status line, content-type
// parameters, cache-control, and the head writer's preparation step.

#include "stack_sink.hpp"

#include "HTMPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/time.h>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

std::string text(const char *s) { return s ? s : "NULL"; }

const std::string kHead = "HTTP/1.1 200 OK\r\n"
                          "Content-Type: text/html; charset=utf-8\r\n"
                          "Set-Cookie: a=1\r\n"
                          "X-Multi: one\r\n"
                          "Set-Cookie: b=2\r\n"
                          "X-Multi: two\r\n"
                          "NoColonHere\r\n"
                          "Cache-Control: private, max-age=0,no-transform\r\n"
                          "X-Empty:\r\n"
                          "\r\n";

class Edit : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        next_request();
    }
    // Passes kHead through the writer: the store holds it, and later lines
    // go straight into the header list.
    void parse_head()
    {
        next_request();
        CaptureSink sink;
        run(kHead, {}, sink);
        ASSERT_EQ(HTStreamStack_store(g)->phase, HT_STACK_BODY);
    }
    Lines lines() { return view_of(g).lines; }
};

} // namespace

TEST_F(Edit, Lookups)
{
    parse_head();
    EXPECT_EQ(text(HTClientRespHeaders_getValue("content-type", g)), "text/html; charset=utf-8");
    EXPECT_EQ(text(HTClientRespHeaders_getValue("Content", g)), "text/html; charset=utf-8"); // a prefix
    EXPECT_EQ(text(HTClientRespHeaders_getNth("x-multi", g, 0)), "one");
    EXPECT_EQ(text(HTClientRespHeaders_getNth("X-MULTI", g, 1)), "two");
    EXPECT_EQ(HTClientRespHeaders_getNth("X-Multi", g, 2), nullptr);
    EXPECT_EQ(HTClientRespHeaders_getNth("X-Multi", g, -1), nullptr);
    EXPECT_EQ(HTClientRespHeaders_getValue("NoColon", g), nullptr); // no ':' gives none
    EXPECT_EQ(text(HTClientRespHeaders_getValue("X-Empty", g)), "");
    EXPECT_EQ(HTClientRespHeaders_getValue("Absent", g), nullptr);
    EXPECT_EQ(HTClientRespHeaders_getValue(nullptr, g), nullptr);
    EXPECT_EQ(HTClientRespHeaders_checkCCHeaders(g), 1);
    EXPECT_EQ(text(HTClientRespHeaders_get(g)), kHead.substr(17, kHead.size() - 17 - 2));
    EXPECT_EQ(text(HTClientRespHeaders_getContentTypeParams(g)), "charset=utf-8");
    EXPECT_EQ(text(HTClientRespHeaders_setContentTypeParams("charset=latin1", g)),
              "Content-Type: text/html; charset=latin1\r\n");
    EXPECT_EQ(text(HTClientRespHeaders_getValue("content-type", g)), "text/html; charset=utf-8"); // unchanged
}

TEST_F(Edit, ContentTypeWithoutParametersAndCacheControlWithout)
{
    next_request();
    CaptureSink sink;
    run("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: no-transformx, x=no-transform\r\n", {}, sink);
    EXPECT_EQ(HTClientRespHeaders_getContentTypeParams(g), nullptr);
    EXPECT_EQ(text(HTClientRespHeaders_setContentTypeParams("q=1", g)), "Content-Type: text/plain; q=1\r\n");
    EXPECT_EQ(HTClientRespHeaders_checkCCHeaders(g), 0);
    HTClientRespHeaders_delete("content-type", g);
    EXPECT_EQ(HTClientRespHeaders_setContentTypeParams("q=1", g), nullptr);
}

TEST_F(Edit, SetHeaderValueModes)
{
    const struct {
        int mode;
        const char *name;
        const char *value;
        const char *result;
        Lines after;
    } cases[] = {
        {HT_HEADER_REPLACE, "x-multi", "three", "x-multi: three\r\n",
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: a=1\r\n", "Set-Cookie: b=2\r\n",
          "NoColonHere\r\n", "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n",
          "x-multi: three\r\n"}},
        {HT_HEADER_SET, "x-multi", "first", "X-Multi: first\r\n", // the stored name is kept
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: a=1\r\n", "X-Multi: first\r\n",
          "Set-Cookie: b=2\r\n", "X-Multi: two\r\n", "NoColonHere\r\n",
          "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n"}},
        {HT_HEADER_SET, "X-New", "v", "X-New: v\r\n",
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: a=1\r\n", "X-Multi: one\r\n",
          "Set-Cookie: b=2\r\n", "X-Multi: two\r\n", "NoColonHere\r\n",
          "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n", "X-New: v\r\n"}},
        {99, "Set-Cookie", "c=3", "Set-Cookie: c=3\r\n", // any other mode acts as mode 1
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: c=3\r\n", "X-Multi: one\r\n",
          "Set-Cookie: b=2\r\n", "X-Multi: two\r\n", "NoColonHere\r\n",
          "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n"}},
        {HT_HEADER_ADD, "Set-Cookie", "d=4", "Set-Cookie: d=4\r\n",
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: a=1\r\n", "X-Multi: one\r\n",
          "Set-Cookie: b=2\r\n", "X-Multi: two\r\n", "NoColonHere\r\n",
          "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n", "Set-Cookie: d=4\r\n"}},
        {HT_HEADER_DELETE_ALL, "set-cookie", nullptr, "Set-Cookie: a=1\r\n",
         {"Content-Type: text/html; charset=utf-8\r\n", "X-Multi: one\r\n", "X-Multi: two\r\n",
          "NoColonHere\r\n", "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n"}},
        {HT_HEADER_DELETE_FIRST, "X-Multi", nullptr, "X-Multi: one\r\n",
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: a=1\r\n", "Set-Cookie: b=2\r\n",
          "X-Multi: two\r\n", "NoColonHere\r\n", "Cache-Control: private, max-age=0,no-transform\r\n",
          "X-Empty:\r\n"}},
        {HT_HEADER_DELETE_ALL, "Absent", nullptr, nullptr,
         {"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: a=1\r\n", "X-Multi: one\r\n",
          "Set-Cookie: b=2\r\n", "X-Multi: two\r\n", "NoColonHere\r\n",
          "Cache-Control: private, max-age=0,no-transform\r\n", "X-Empty:\r\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(c.mode));
        parse_head();
        EXPECT_EQ(text(HTClientRespHeaders_setHeaderValue(c.name, c.value, c.mode, g)), text(c.result));
        EXPECT_EQ(lines(), c.after);
    }
    EXPECT_EQ(HTClientRespHeaders_setHeaderValue(nullptr, "v", HT_HEADER_SET, g), nullptr);
    EXPECT_EQ(HTClientRespHeaders_setHeaderValue("X", nullptr, HT_HEADER_SET, g), nullptr);
}

TEST_F(Edit, ReplaceAndDelete)
{
    parse_head();
    EXPECT_EQ(text(HTClientRespHeaders_replaceHeaderValue("x-multi", "2nd", 1, g)), "X-Multi: 2nd\r\n");
    EXPECT_EQ(HTClientRespHeaders_replaceHeaderValue("x-multi", "3rd", 2, g), nullptr);
    EXPECT_EQ(text(HTClientRespHeaders_getNth("X-Multi", g, 1)), "2nd");
    // Without a value the index-th line and every later one of the name go.
    EXPECT_EQ(HTClientRespHeaders_replaceHeaderValue("Set-Cookie", nullptr, 0, g), nullptr);
    EXPECT_EQ(HTClientRespHeaders_getValue("Set-Cookie", g), nullptr);
    EXPECT_EQ(HTStreamStack_store(g)->count, 6);

    parse_head();
    EXPECT_EQ(HTClientRespHeaders_replaceHeaderValue("X-Multi", nullptr, 1, g), nullptr);
    EXPECT_EQ(text(HTClientRespHeaders_getValue("X-Multi", g)), "one");
    EXPECT_EQ(HTClientRespHeaders_delete_one("Set-Cookie", g), 1);
    EXPECT_EQ(text(HTClientRespHeaders_getValue("Set-Cookie", g)), "b=2");
    EXPECT_EQ(HTClientRespHeaders_delete("X-", g), 2); // X-Multi and X-Empty
    EXPECT_EQ(HTClientRespHeaders_delete("X-", g), 0);
    EXPECT_EQ(HTClientRespHeaders_delete_one("Absent", g), 0);
    // The last line can go and lines are appended after it again.
    EXPECT_EQ(HTClientRespHeaders_delete("Cache-Control", g), 1);
    HTClientRespHeaders_addHeader("Z", "last", g);
    EXPECT_EQ(lines(), (Lines{"Content-Type: text/html; charset=utf-8\r\n", "Set-Cookie: b=2\r\n",
                              "NoColonHere\r\n", "Z: last\r\n"}));
    EXPECT_EQ(HTClientRespHeaders_delete("", g), 4); // the empty name matches every line
    HTClientRespHeaders_addHeader("After", "empty", g);
    EXPECT_EQ(lines(), (Lines{"After: empty\r\n"}));
}

TEST_F(Edit, BeforeTheResponseLinesGoToThePluginList)
{
    EXPECT_EQ(text(HTClientRespHeaders_addHeader("X-Plugin", "v", g)), "X-Plugin: v\r\n");
    EXPECT_EQ(HTStreamStack_store(g)->headers, nullptr);
    // Lookups and edits use the plug-in list while there is no header list.
    EXPECT_EQ(text(HTClientRespHeaders_getValue("x-plugin", g)), "v");
    EXPECT_EQ(text(HTClientRespHeaders_setHeaderValue("X-Plugin", "w", HT_HEADER_SET, g)), "X-Plugin: w\r\n");
    EXPECT_EQ(text(HTClientRespHeaders_get(g)), "X-Plugin: w\r\n");
    EXPECT_EQ(HTClientRespHeaders_delete("X-Plugin", g), 1);
    EXPECT_EQ(HTClientRespHeaders_get(g), nullptr);
    // Once the header list exists the lookups move to it.
    HTClientRespHeaders_addHeader("X-Plugin", "x", g);
    CaptureSink sink;
    run("HTTP/1.1 200 OK\r\nA: 1\r\n", {}, sink);
    EXPECT_EQ(HTClientRespHeaders_getValue("X-Plugin", g), nullptr);
    EXPECT_EQ(text(HTClientRespHeaders_getValue("A", g)), "1");
    run("\r\n", {}, sink);
    EXPECT_EQ(text(HTClientRespHeaders_getValue("X-Plugin", g)), "x"); // merged with the head
    // From the header phase on, new lines go straight into the header list.
    HTClientRespHeaders_addHeader("X-After", "y", g);
    EXPECT_EQ(HTStreamStack_store(g)->pending, 0);
    EXPECT_EQ(lines(), (Lines{"A: 1\r\n", "X-Plugin: x\r\n", "X-After: y\r\n"}));
}

TEST_F(Edit, StatusLine)
{
    const struct {
        const char *line;
        int code;
        const char *reason;
        int reason_length;
        const char *made;
        const char *reason_after;
        const char *status_after;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n", 404, "Not Found", -1, "HTTP/1.1 404 Not Found\r\n", "Not Found", "404"},
        {"HTTP/1.1 200 OK\r\n", 0, "Fine", -1, "HTTP/1.1 200 Fine\r\n", "Fine", "200"},
        {"HTTP/1.1 200 OK\r\n", 503, nullptr, 0, "HTTP/1.1 503 OK\r\n", "OK", "503"},
        {"HTTP/1.1 200 Two Words\r\n", 0, "Gone Away", 4, "HTTP/1.1 200 Gone\r\n", "Gone", "200"},
        // Short and empty status lines: missing parts are empty, a missing version is HTTP/1.0.
        {"HTTP/1.1 204\r\n", 0, nullptr, 0, "HTTP/1.1 204 \r\n", "", "204"},
        {"HTTP/1.1\r\n", 0, nullptr, 0, "HTTP/1.1  \r\n", "", "-1"},
        {"", 0, nullptr, 0, "HTTP/1.0  \r\n", "", "-1"},
        {"", 301, "Moved", -1, "HTTP/1.0 301 Moved\r\n", "Moved", "301"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        next_request();
        HTRespHeaders *s = HTStreamStack_store(g);
        s->status_line = HTMemPoolStrdup(c.line, g);
        EXPECT_EQ(text(HTClientRespHeaders_setStatus(c.code, c.reason, c.reason_length, g)), c.made);
        EXPECT_EQ(text(s->status_line), c.made);
        EXPECT_EQ(text(HTClientRespHeaders_getReason(g)), c.reason_after);
        EXPECT_EQ(text(HTClientRespHeaders_getStatus(g)), c.status_after);
        if (c.code != 0) {
            EXPECT_EQ(s->status_code, c.code);
        }
    }
    next_request();
    EXPECT_EQ(text(HTClientRespHeaders_getReason(g)), "");
    EXPECT_EQ(text(HTClientRespHeaders_getStatus(g)), "-1");
    HTStreamStack_store(g)->status_line = HTMemPoolStrdup("POST / HTTP/1.0", g);
    EXPECT_EQ(text(HTClientRespHeaders_getStatus(g)), "200");
}

TEST_F(Edit, PrepareStampsTheResponseTimeAndMerges)
{
    // Ahead of the response both lines wait in the plug-in list; the stamp
    // replaces the old line there, and the merge brings both into the head.
    HTRespHeaders *s = HTStreamStack_store(g);
    HTClientRespHeaders_addHeader("X-Response-Time", "old", g);
    HTClientRespHeaders_addHeader("X-Merged", "1", g);
    struct timeval now;
    gettimeofday(&now, nullptr);
    s->prepare(s, "X-Response-Time", static_cast<long>(now.tv_sec) - 2, 7, g);
    EXPECT_EQ(s->pending, 0);
    EXPECT_EQ(s->plugin, nullptr);
    const Lines merged = lines();
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0], "X-Merged: 1\r\n");
    const std::string stamp = "X-Response-Time: t=" + std::to_string(now.tv_sec - 2) + "000007 D=";
    ASSERT_EQ(merged[1].substr(0, stamp.size()), stamp) << merged[1];
    EXPECT_GE(std::stoll(merged[1].substr(stamp.size())), 2000000 - 7);

    // After the head, the stamp replaces the line in the header list.
    parse_head();
    HTClientRespHeaders_addHeader("X-Response-Time", "old", g);
    s->prepare(s, "X-Response-Time", 5, 123456, nullptr);
    EXPECT_EQ(text(HTClientRespHeaders_getValue("X-Response-Time", g)).substr(0, 12), "t=5123456 D=");
    EXPECT_EQ(HTClientRespHeaders_delete("X-Response-Time", g), 1);
    // Without a header name nothing is stamped.
    s->prepare(s, nullptr, 0, 0, nullptr);
    EXPECT_EQ(HTClientRespHeaders_getValue("X-Response-Time", g), nullptr);
}
