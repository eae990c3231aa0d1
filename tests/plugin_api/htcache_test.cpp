// The cache access calls against the host's in-memory store, a C plug-in
// keeping an entry there, and the request-bound cache calls.

#include "plugrt_fixture.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace {

using orvhost::cache_view;

class Cache : public PlugrtTest {
protected:
    void SetUp() override
    {
        PlugrtTest::SetUp();
        orvhost::cache_reset(4);
    }
    void TearDown() override
    {
        EXPECT_EQ(orvhost::cache_open_handles(), 0) << "every cache handle is released";
        orvhost::cache_reset();
        PlugrtTest::TearDown();
    }
    long create(const std::string &key)
    {
        unsigned long n = key.size();
        long rc = -99;
        api->CCCREATE(key.data(), &n, nullptr, &rc);
        return rc;
    }
    long write(const std::string &key, const std::string &headers, const std::string &data)
    {
        unsigned long n = key.size(), hl = headers.size(), dl = data.size();
        long rc = -99;
        api->CCWRITE(key.data(), &n, headers.data(), &hl, data.data(), &dl, &rc);
        return rc;
    }
    long lookup(const std::string &key, int *found)
    {
        unsigned long n = key.size();
        long rc = -99;
        api->CCLOOKUP(key.data(), &n, found, &rc);
        return rc;
    }
    template <class F> long keyed(F f, const std::string &key)
    {
        unsigned long n = key.size();
        long rc = -99;
        (api->*f)(key.data(), &n, &rc);
        return rc;
    }
    long remove(const std::string &key)
    {
        unsigned long n = key.size();
        long rc = -99;
        api->CCDELETE(key.data(), &n, &rc);
        return rc;
    }
    long invalidate(const std::string &key)
    {
        unsigned long n = key.size();
        long rc = -99;
        api->CCINVAL(key.data(), &n, &rc);
        return rc;
    }
};

// stderr as the test sees it around a call.
template <class F> std::string captured(F f)
{
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    f();
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

TEST_F(Cache, PluginKeepsAnEntry)
{
    std::string error;
    void *lib = orvhost::load_plugin(ASYNC_CACHE_PLUGIN, &error);
    ASSERT_NE(lib, nullptr) << error;
    auto round = reinterpret_cast<long (*)(const char *, const char *, const char *, char *,
                                           unsigned long *, int *)>(dlsym(lib, "cache_round"));
    ASSERT_NE(round, nullptr);
    char out[64] = {};
    unsigned long n = sizeof out;
    int found = 0;
    std::string err = captured([&] {
        EXPECT_EQ(round("http://a/x", "Content-Type: text/plain\r\n", "the data", out, &n, &found),
                  HTTPD_SUCCESS);
    });
    EXPECT_EQ(std::string(out, n), "the data");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(err, "HTTPD_CC_Lookup, find it in openread.\n");
    const orvhost::CacheEntryView v = cache_view("http://a/x");
    EXPECT_EQ(v.headers, "Content-Type: text/plain\r\n");
    EXPECT_EQ(v.state, orvhost::kEntryComplete);
    EXPECT_FALSE(v.locked);
}

TEST_F(Cache, LookupMissHitAndNoHandle)
{
    int found = 7;
    std::string err = captured([&] { EXPECT_EQ(lookup("missing", &found), 13); });
    EXPECT_EQ(found, 0);
    EXPECT_EQ(err, "");
    ASSERT_EQ(create("k"), HTTPD_SUCCESS);
    // State 1 (being written) and 2 (complete) are both found; an invalidated entry is not.
    err = captured([&] { EXPECT_EQ(lookup("k", &found), HTTPD_SUCCESS); });
    EXPECT_EQ(found, 1);
    EXPECT_EQ(write("k", "H: 1\r\n", "d"), HTTPD_SUCCESS);
    err += captured([&] { EXPECT_EQ(lookup("k", &found), HTTPD_SUCCESS); });
    EXPECT_EQ(found, 1);
    EXPECT_EQ(err, "HTTPD_CC_Lookup, find it in openread.\nHTTPD_CC_Lookup, find it in openread.\n");
    EXPECT_EQ(invalidate("k"), HTTPD_SUCCESS);
    captured([&] { EXPECT_EQ(lookup("k", &found), HTTPD_SUCCESS); });
    EXPECT_EQ(found, 0);
    // No cache handle: 17, and the line whatever the trace settings.
    orvhost::cache_no_handle(true);
    err = captured([&] { EXPECT_EQ(lookup("k", &found), 17); });
    EXPECT_EQ(err, "HTTPD_CC_Lookup, cannot get filehandle\n");
    EXPECT_EQ(create("z"), 17);
    orvhost::cache_no_handle(false);
    // Bad arguments: 35.
    unsigned long zero = 0;
    long rc = -99;
    api->CCLOOKUP("k", &zero, &found, &rc);
    EXPECT_EQ(rc, 35);
    api->CCLOOKUP(nullptr, &zero, &found, &rc);
    EXPECT_EQ(rc, 35);
    api->CCCREATE(nullptr, &zero, nullptr, &rc);
    EXPECT_EQ(rc, 35);
}

TEST_F(Cache, CreateWriteReadDeleteLockUnlockSwap)
{
    ASSERT_EQ(create("k"), HTTPD_SUCCESS);
    EXPECT_EQ(create("k"), 15) << "exists: host result 3";
    EXPECT_EQ(write("k", "A: b\r\n", "abc"), HTTPD_SUCCESS);
    unsigned long n = 1;
    long rc = -99;
    char buffer[8];
    unsigned long k = 1;
    api->CCREAD("k", &k, buffer, &n, &rc);
    EXPECT_EQ(rc, 18) << "too small: host result 6";
    EXPECT_EQ(n, 3u);
    api->HTTPD_CC_WriteData("k", &k, "de", &(n = 2), &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    api->HTTPD_CC_WriteHeaders("k", &k, "B: c\r\n", &(n = 6), &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    n = sizeof buffer;
    api->CCREAD("k", &k, buffer, &n, &rc);
    EXPECT_EQ(std::string(buffer, n), "abcde");
    EXPECT_EQ(cache_view("k").headers, "B: c\r\n");

    // A lock keeps others out until it is given back.
    void *lock = nullptr;
    api->CCLOCK("k", &k, &lock, &rc);
    ASSERT_EQ(rc, HTTPD_SUCCESS);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(cache_view("k").locked);
    EXPECT_EQ(remove("k"), 14) << "locked: host result 2";
    int found = 0;
    captured([&] { EXPECT_EQ(lookup("k", &found), 14); });
    api->CCUNLOCK(lock, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_FALSE(cache_view("k").locked);
    api->CCLOCK("nothing", &(k = 7), &lock, &rc);
    EXPECT_EQ(rc, 13);
    EXPECT_EQ(lock, nullptr);
    api->CCUNLOCK(nullptr, &rc);
    EXPECT_EQ(rc, 35);

    // A swap replaces the entry by a fresh one with the given attributes.
    HTAPICacheAttributes a{};
    a.size = 77;
    api->CCSWAP("k", &(k = 1), &a, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(cache_view("k").data, "");
    EXPECT_EQ(cache_view("k").attributes.size, 77u);
    api->CCSWAP("new", &(k = 3), nullptr, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_TRUE(cache_view("new").found);

    EXPECT_EQ(remove("k"), HTTPD_SUCCESS);
    EXPECT_FALSE(cache_view("k").found);
    EXPECT_EQ(remove("k"), 13);
    EXPECT_EQ(invalidate("k"), 13);

    // The store is bounded: the oldest entries go first.
    for (const char *key : {"a", "b", "c", "d", "e"})
        EXPECT_EQ(create(key), HTTPD_SUCCESS);
    EXPECT_EQ(orvhost::cache_size(), 4u);
    EXPECT_FALSE(cache_view("new").found);
    EXPECT_FALSE(cache_view("a").found);
    EXPECT_TRUE(cache_view("e").found);
}

TEST_F(Cache, AttributesConfigurationAndCursor)
{
    ASSERT_EQ(create("k"), HTTPD_SUCCESS);
    HTAPICacheAttributes in{1, 2, 3, 4, 5, 6, 7, 8, 9};
    unsigned long k = 1;
    long rc = -99;
    api->CCSATTR("k", &k, &in, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    HTAPICacheAttributes out{};
    api->CCGATTR("k", &k, &out, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(out.created, 1u);
    EXPECT_EQ(out.expires, 2u);
    EXPECT_EQ(out.last_modified, 3u);
    EXPECT_EQ(out.last_access, 4u);
    EXPECT_EQ(out.size, 5u);
    EXPECT_EQ(out.hits, 6u);
    EXPECT_EQ(out.state, 7);
    EXPECT_EQ(out.priority, 8);
    EXPECT_EQ(out.flags, 9);
    api->CCGATTR("k", &k, nullptr, &rc);
    EXPECT_EQ(rc, 35);

    HTAPICacheConfig config{9, 9, 9};
    api->CCGCONF(&config, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(config.reserved, 0);
    EXPECT_EQ(config.major, 1);
    EXPECT_EQ(config.minor, 0);

    api->HTINSCUR(h, const_cast<char *>("http://cur/"), nullptr, &rc);
    EXPECT_EQ(rc, 0);
    const char *current = nullptr;
    api->HTGETCUR(h, &current, nullptr, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(current, "http://cur/");
    api->HTDROPCUR(h, nullptr, &rc);
    EXPECT_EQ(rc, 0);
    api->HTGETCUR(h, &current, nullptr, &rc);
    EXPECT_EQ(rc, orvhost::kCacheNotFound) << "passed through";
    api->HTTPD_CC_CDFEnable(nullptr, nullptr, &rc);
    EXPECT_EQ(rc, 0);
    api->HTTPD_CC_Dis_CDF(nullptr, nullptr, &rc);
    EXPECT_EQ(rc, 0);
    api->HTTPD_CC_Ena_CDF(nullptr, nullptr, &rc);
    EXPECT_EQ(rc, 0);
}

TEST_F(Cache, EveryHostResultIsMapped)
{
    ASSERT_EQ(create("k"), HTTPD_SUCCESS);
    for (long r = 0; r <= 34; ++r) {
        orvhost::cache_force_next(r);
        const long want = r == 0 ? 0 : r <= 30 ? r + 12 : r <= 33 ? 0 : 2;
        EXPECT_EQ(invalidate("k"), want) << r;
    }
    orvhost::cache_force_next(1000);
    EXPECT_EQ(invalidate("k"), 2);
}

TEST_F(Cache, RequestBoundCalls)
{
    long out = -1;
    long rc = -99;
    api->HTCACHBLE(h, "http://a/", &out, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(out, 1);
    api->HTCACHBLE(h, "ftp://a/", &out, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);
    api->HTCACHBLE(h, nullptr, &out, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);
    rq->set_method(HTAPI_METHOD_POST);
    trace_on();
    api->HTCACHBLE(h, "http://a/", &out, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE) << "only GET is cacheable";
    EXPECT_EQ(traces()[1], "plug-in..... HTTPD_cacheable_url() Request method not cacheable\n");
    trace_off();

    ASSERT_EQ(create("http://a/"), HTTPD_SUCCESS);
    api->HTCACHEGINV(h, "http://a/", &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(cache_view("http://a/").state, orvhost::kEntryInvalid);
    api->HTCACHEGINV(h, "http://none/", &rc);
    EXPECT_EQ(rc, 35);
    api->HTCACHEGINV(h, nullptr, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);

    orvhost::cache_set_owner("http://a/", "peer1");
    char *owner = nullptr;
    api->HTCACHEGOWN(h, "http://a/", &owner, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_STREQ(owner, "peer1");
    api->HTCACHEGOWN(h, "http://b/", &owner, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);
    api->HTCACHEGOWN(h, nullptr, &owner, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);

    int a = 0, b = 0;
    api->HTCAPEEK(h, &a, &b, &rc);
    EXPECT_EQ(rc, HTTPD_DONE);
    api->HTCAPEEK(h, nullptr, &b, &rc);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);
}

} // namespace
