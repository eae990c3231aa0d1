// The host's error pages, through the response header store to a stream.

#include "hosterror.h"

#include "HTError.h"
#include "HTGlobals.h"
#include "htc_worker.h"
#include "HTList.h"
#include "HTRequest.h"
#include "HTStream-t.h"
#include "HTStreamStack.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Page {
    HTStream stream;
    std::string out;
};

int page_write(HTStream *s, const char *data, int n)
{
    reinterpret_cast<Page *>(s)->out.append(data, static_cast<size_t>(n));
    return 0;
}

// As the socket writer does with a header set.
int page_headers(HTStream *s, void *headers)
{
    auto *set = static_cast<HTRespHeaders *>(headers);
    set->prepare(set, nullptr, 0, 0, nullptr);
    std::string &out = reinterpret_cast<Page *>(s)->out;
    out += set->status_line;
    for (HTList *e = set->headers ? set->headers->next : nullptr; e; e = e->next)
        out += static_cast<const char *>(e->object);
    out += "\r\n";
    return HT_HEADERS_SENT;
}

const HTStreamClass kPage = {"Page", nullptr, nullptr, nullptr, nullptr, page_write, nullptr, nullptr, page_headers};

class HostError : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        request = HTRequest_new(g);
        request->output_stream = &page.stream;
        hosterror_install();
    }
    void TearDown() override
    {
        HTLoadError_setHandler(nullptr);
        HTRequest_delete(request);
        WorkerTest::TearDown();
    }
    HTRequest *request = nullptr;
    Page page{{&kPage}, {}};
};

} // namespace

TEST_F(HostError, PageWithStatusAndEscapedMessage)
{
    HTDetailedError_set(47, g);
    EXPECT_EQ(HTLoadError(request, 502, "Unable to connect to \"<host>\" & retry", g), -502);
    const std::string body = "<html><head><title>502 Bad Gateway</title></head>\n<body><h1>502 Bad Gateway</h1>\n"
                             "<p>Unable to connect to &quot;&lt;host&gt;&quot; &amp; retry</p>\n"
                             "<p>Error: connectfail</p>\n</body></html>\n";
    EXPECT_EQ(page.out, "HTTP/1.0 502 Bad Gateway\r\nContent-Type: text/html\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
}

TEST_F(HostError, ReferencesTheLibraryWroteShowAsTheirCharacters)
{
    EXPECT_EQ(HTLoadError(request, 400, "URL \"http://a/&quot;b&#x000A;&lt;\" &amp &x; &#;", g), -400);
    EXPECT_NE(page.out.find("<p>URL &quot;http://a/&quot;b&#x000A;&lt;&quot; &amp;amp &x; &amp;#;</p>"),
              std::string::npos)
        << page.out;
}

TEST_F(HostError, AfterAPartOfTheOriginsHead)
{
    // The store held an unfinished answer: the page starts a head of its own.
    HTStreamStackWriter("HTTP/1.1 200 OK\r\nX-Origin: 1\r\n", 31, &page.stream, nullptr, g);
    EXPECT_EQ(HTLoadError(request, 504, nullptr, g), -504);
    EXPECT_EQ(page.out.rfind("HTTP/1.0 504 Gateway Timeout\r\nContent-Type: text/html\r\n", 0), 0u) << page.out;
    EXPECT_EQ(page.out.find("X-Origin"), std::string::npos);
}

TEST_F(HostError, NothingWithoutAStreamOrWhenSuppressed)
{
    request->output_stream = nullptr;
    EXPECT_EQ(HTLoadError(request, 400, "x", g), -400);
    request->output_stream = &page.stream;
    g->suppress_errors = 1;
    EXPECT_EQ(HTLoadError(request, 400, "x", g), 0);
    EXPECT_EQ(page.out, "");
    g->suppress_errors = 0;
    EXPECT_EQ(HTLoadError(nullptr, 404, "x", g), -404);
    EXPECT_STREQ(hosterror_reason(418), "Error");
}
