// Asynchronous requests: the latch, the four calls through a C plug-in, the
// host's requests on the internal block of the worker pool, real fetches
// from a private nginx.

#include "plugrt_fixture.h"

#include "../library/http/peers.hpp"

#include <dlfcn.h>

#include <atomic>
#include <thread>

namespace {

using orvhost::AsyncDescription;

class Async : public PlugrtTest {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(orvhost::async_start(4)); }
    static void TearDownTestSuite() { orvhost::async_stop(); }

    void SetUp() override
    {
        PlugrtTest::SetUp();
        std::string error;
        lib = orvhost::load_plugin(ASYNC_CACHE_PLUGIN, &error);
        ASSERT_NE(lib, nullptr) << error;
        fetch_all = reinterpret_cast<long (*)(void *, AsyncDescription *, int, int *)>(dlsym(lib, "fetch_all"));
        call = reinterpret_cast<long (*)(int, void *, void *, void *)>(dlsym(lib, "async_call"));
        ASSERT_NE(fetch_all, nullptr);
        ASSERT_NE(call, nullptr);
        orvhost::async_refuse = 0;
    }
    void TearDown() override
    {
        orvhost::async_refuse = 0;
        PlugrtTest::TearDown();
    }

    void *lib = nullptr;
    long (*fetch_all)(void *, AsyncDescription *, int, int *) = nullptr;
    long (*call)(int, void *, void *, void *) = nullptr;
};

TEST_F(Async, FreshHandleBadArgumentsAndARefusedStart)
{
    void *a = nullptr;
    EXPECT_EQ(call(0, h, &a, nullptr), HTTPD_SUCCESS);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u) << "aligned for its condition variable";
    EXPECT_EQ(call(2, h, a, nullptr), HTTPD_SUCCESS) << "a fresh handle does not wait";
    EXPECT_EQ(call(0, h, nullptr, nullptr), HTTPD_FAILURE);
    EXPECT_EQ(call(1, h, nullptr, a), HTTPD_FAILURE);
    EXPECT_EQ(call(2, h, nullptr, nullptr), HTTPD_FAILURE);
    EXPECT_EQ(call(3, h, nullptr, nullptr), HTTPD_FAILURE);
    orvhost::async_refuse = 1;
    AsyncDescription d{nullptr, 0, 0, 0};
    EXPECT_EQ(call(1, h, &d, a), HTTPD_FAILURE);
    EXPECT_EQ(api->asyncreq_count(static_cast<HTAsyncLatch *>(a)), 0) << "a refused start holds nothing up";
    EXPECT_EQ(call(2, h, a, nullptr), HTTPD_SUCCESS);
    EXPECT_EQ(call(3, h, a, nullptr), HTTPD_SUCCESS);
    // No memory for the latch.
    rq->pool.fail_at = rq->pool.allocations + 1;
    void *none = &none;
    EXPECT_EQ(call(0, h, &none, nullptr), HTTPD_FAILURE);
    EXPECT_EQ(none, nullptr);
}

TEST_F(Async, WaitReturnsAfterTheSecondCompletion)
{
    void *a = nullptr;
    ASSERT_EQ(call(0, h, &a, nullptr), HTTPD_SUCCESS);
    AsyncDescription d[2] = {{nullptr, 1, 0, 0}, {nullptr, 1, 0, 0}};
    EXPECT_EQ(call(1, h, &d[0], a), HTTPD_SUCCESS);
    EXPECT_EQ(call(1, h, &d[1], a), HTTPD_SUCCESS);
    auto *latch = static_cast<HTAsyncLatch *>(a);
    EXPECT_EQ(api->asyncreq_count(latch), 2);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        EXPECT_EQ(call(2, h, a, nullptr), HTTPD_SUCCESS);
        returned = true;
    });
    orvhost::async_release(1);
    while (api->asyncreq_count(latch) != 1)
        std::this_thread::yield();
    EXPECT_FALSE(returned.load()) << "one request is still running";
    orvhost::async_release(1);
    waiter.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(api->asyncreq_count(latch), 0);
    // Reused for a second round, then deleted.
    AsyncDescription again{nullptr, 0, 0, 0};
    EXPECT_EQ(call(1, h, &again, a), HTTPD_SUCCESS);
    EXPECT_EQ(call(3, h, a, nullptr), HTTPD_SUCCESS) << "delete waits for the running request";
}

TEST_F(Async, SurplusCompletionsAndDeleteWhileCounting)
{
    HTAsyncLatch *latch = nullptr;
    api->asyncreq_init_handle(&latch, h);
    ASSERT_NE(latch, nullptr);
    // A completion nobody started cannot take the count below zero.
    api->HTAPIAsyncReq_done(latch);
    api->HTAPIAsyncReq_done(latch);
    EXPECT_EQ(api->asyncreq_count(latch), 0);
    api->asyncreq_start_req(latch);
    EXPECT_EQ(api->asyncreq_count(latch), 1);
    std::atomic<bool> deleted{false};
    std::thread deleter([&] {
        api->asyncreq_term_handle(latch);
        deleted = true;
    });
    std::thread completer([&] { api->HTAPIAsyncReq_done(latch); });
    completer.join();
    deleter.join();
    EXPECT_TRUE(deleted.load());
    // Null handles are refused, not followed.
    trace_on();
    api->asyncreq_start_req(nullptr);
    EXPECT_EQ(traces(), (std::vector<std::string>{">asyncreq_start_req\n", " asyncreq: Invalid handle\n",
                                                  "<asyncreq_start_req\n"}));
}

TEST_F(Async, RealFetchesFromManyThreads)
{
    if (!peers::installed("/usr/sbin/nginx"))
        GTEST_SKIP() << "nginx is not installed";
    peers::TempDir dir;
    dir.dir("html");
    dir.dir("tmp");
    dir.file("html/index.html", "hello from the origin\n");
    const int port = peers::free_port();
    const std::string conf = dir.file(
        "nginx.conf", peers::nginx_conf(dir.path(), port, "",
                                        "    location /echo { return 200 \"$request_method $request_uri $http_content_length\\n\"; }\n"));
    std::string skip;
    std::unique_ptr<peers::Peer> nginx(peers::start_nginx(dir.path(), conf, port, skip));
    if (!skip.empty())
        GTEST_SKIP() << skip;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const std::string index = base + "/index.html";
    const std::string echo = base + "/echo";

    constexpr int kThreads = 4;
    constexpr int kRequests = 8;
    std::vector<std::unique_ptr<orvhost::Request>> requests;
    for (int i = 0; i < kThreads; ++i)
        requests.push_back(std::make_unique<orvhost::Request>());
    std::vector<std::vector<AsyncDescription>> d(kThreads, std::vector<AsyncDescription>(kRequests));
    long results[kThreads] = {};
    int started[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < kRequests; ++k)
                d[t][k] = {(k % 2 ? index : echo).c_str(), 0, 0, 0};
            results[t] = fetch_all(requests[t]->handle(), d[t].data(), kRequests, &started[t]);
        });
    for (auto &t : threads)
        t.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(results[t], HTTPD_SUCCESS);
        EXPECT_EQ(started[t], kRequests);
        for (const AsyncDescription &x : d[t]) {
            EXPECT_EQ(x.status, 200) << x.url;
            EXPECT_GT(x.length, 0u);
        }
    }
    // Each worker reports its completion before it leaves the request.
    while (orvhost::async_running() != 0)
        std::this_thread::yield();
}

} // namespace
