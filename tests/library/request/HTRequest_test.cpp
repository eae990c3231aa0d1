// Request records, anchors and the per-request stat cache.

#include "HTRequest.h"

#include "HTAnchor.h"
#include "HTAtom.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTStream-t.h"
#include "htc_worker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Request : public WorkerTest {};

} // namespace

TEST_F(Request, NewRecord)
{
    HTRequest *r = HTRequest_new(g);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::memcmp(r->eyecatcher, "HTREQUESTEYECATCHER", 20), 0); // its zero included
    EXPECT_EQ(r->pool, g);
    ASSERT_NE(r->conversions, nullptr);
    EXPECT_EQ(HTList_count(r->conversions), 0);
    EXPECT_EQ(r->output_format, WWW_PRESENT);
    EXPECT_EQ(r->host_word, 1);
    EXPECT_EQ(r->cacheable, 1);
    EXPECT_EQ(r->mode, 0);
    EXPECT_EQ(r->method, 0);
    EXPECT_EQ(r->flags, 0u);
    EXPECT_EQ(r->anchor, nullptr);
    EXPECT_EQ(r->error_code, 0);
    EXPECT_EQ(r->output_stream, nullptr);
    EXPECT_EQ(HTRequest_delete(r), 0);
}

TEST_F(Request, DeleteWipesTheSensitiveString)
{
    HTRequest *r = HTRequest_new(g);
    r->encodings = HTList_new(g);
    r->languages = HTList_new(g);
    char *secret = HTMemPoolStrdup("user:password", g);
    const size_t n = std::strlen(secret);
    r->sensitive = secret;
    r->anchor = HTAnchor_findAddress("http://example.org/", g);
    EXPECT_EQ(HTRequest_delete(r), 0);
    for (size_t i = 0; i <= n; ++i)
        EXPECT_EQ(secret[i], '\0') << i;
    EXPECT_EQ(r->sensitive, nullptr);
    EXPECT_EQ(r->conversions, nullptr);
    EXPECT_EQ(r->anchor, nullptr);
    EXPECT_EQ(HTRequest_delete(r), 0); // a second delete finds nothing to release
    EXPECT_EQ(HTRequest_delete(nullptr), 0);
}

TEST_F(Request, OutputStream)
{
    HTRequest *r = HTRequest_new(g);
    HTStream s{nullptr};
    HTRequest_setOutputStream(r, &s);
    EXPECT_EQ(HTRequest_extractOutputStream(r), &s);
    EXPECT_EQ(HTRequest_extractOutputStream(nullptr), nullptr);
    HTRequest_setOutputStream(nullptr, &s);
    HTRequest_delete(r);
}

TEST_F(Request, AnchorsCopyAndAreNeverShared)
{
    std::string url = "http://example.org/a";
    HTAnchor *a = HTAnchor_findAddress(url.c_str(), g);
    HTAnchor *b = HTAnchor_findAddress(url.c_str(), g);
    EXPECT_NE(a, b);
    url[7] = 'X';
    EXPECT_STREQ(HTAnchor_address(a), "http://example.org/a");
    EXPECT_NE(HTAnchor_address(a), HTAnchor_address(b));
    EXPECT_EQ(HTAnchor_physical(a), nullptr);
    EXPECT_EQ(a->pool, g);

    std::string phys = "http://proxy:8080/http://example.org/a";
    HTAnchor_setPhysical(a, phys.c_str());
    phys.clear();
    EXPECT_STREQ(HTAnchor_physical(a), "http://proxy:8080/http://example.org/a");
    HTAnchor_setPhysical(a, nullptr);
    EXPECT_EQ(HTAnchor_physical(a), nullptr);

    HTAnchor_appendTitle(a, "Index");
    EXPECT_STREQ(HTAnchor_title(a), "Index");
    HTAnchor_appendTitle(a, " of /a");
    EXPECT_STREQ(HTAnchor_title(a), "Index of /a");
    HTAnchor_setTitle(a, "T");
    EXPECT_STREQ(HTAnchor_title(a), "T");

    HTAnchor_setFormat(a, WWW_HTML);
    EXPECT_EQ(HTAnchor_format(a), WWW_HTML);
    auto *protocol = reinterpret_cast<HTProtocol *>(&phys);
    HTAnchor_setProtocol(a, protocol);
    EXPECT_EQ(HTAnchor_protocol(a), protocol);
    HTAnchor_setAddress(a, "gopher://g/");
    EXPECT_STREQ(HTAnchor_address(a), "gopher://g/");
    EXPECT_EQ(HTAnchor_delete(a), 1);
    EXPECT_STREQ(HTAnchor_address(a), "gopher://g/"); // nothing was freed

    EXPECT_STREQ(HTAnchor_address(HTAnchor_findAddress(nullptr, g)), "");
    EXPECT_EQ(HTAnchor_address(nullptr), nullptr);
    EXPECT_EQ(HTAnchor_title(nullptr), nullptr);
    HTAnchor_setTitle(nullptr, "x");
    HTAnchor_appendTitle(nullptr, "x");
}

namespace {

struct TempFiles {
    TempFiles()
    {
        char tmpl[] = "/tmp/htstat.XXXXXX";
        dir = mkdtemp(tmpl);
        a = dir + "/a";
        b = dir + "/b";
        write(a, "1");
        write(b, "22222");
    }
    ~TempFiles()
    {
        std::remove(a.c_str());
        std::remove(b.c_str());
        rmdir(dir.c_str());
    }
    static void write(const std::string &path, const char *text)
    {
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
    }
    std::string dir, a, b;
};

} // namespace

TEST_F(Request, StatCachesPerPath)
{
    TempFiles t;
    HTRequest *r = HTRequest_new(g);
    struct stat st{};
    ASSERT_EQ(HTStat(r, t.a.c_str(), &st, g), 0);
    EXPECT_EQ(st.st_size, 1);
    TempFiles::write(t.a, "333"); // the request keeps its first answer for this path
    ASSERT_EQ(HTStat(r, t.a.c_str(), &st, g), 0);
    EXPECT_EQ(st.st_size, 1);

    // Another path is asked of the system, not answered from the cache.
    ASSERT_EQ(HTStat(r, t.b.c_str(), &st, g), 0);
    EXPECT_EQ(st.st_size, 5);
    ASSERT_EQ(HTStat(r, t.a.c_str(), &st, g), 0);
    EXPECT_EQ(st.st_size, 3);

    // A failing stat caches nothing: the entry for a stays.
    const std::string missing = t.dir + "/missing";
    st.st_size = 77;
    EXPECT_EQ(HTStat(r, missing.c_str(), &st, g), -1);
    TempFiles::write(t.a, "4444");
    ASSERT_EQ(HTStat(r, t.a.c_str(), &st, g), 0);
    EXPECT_EQ(st.st_size, 3);

    // Without a request every call asks the system.
    ASSERT_EQ(HTStat(nullptr, t.a.c_str(), &st, g), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_EQ(HTStat(nullptr, missing.c_str(), &st, g), -1);
    EXPECT_EQ(HTStat(r, nullptr, &st, g), -1);
    HTRequest_delete(r);
}
