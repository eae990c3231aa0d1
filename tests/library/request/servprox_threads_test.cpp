// The round-robin counter shared by every thread: concurrent selections
// always land on a configured slot.

#include "servprox.h"

#include "HTAtom.h"
#include "HTGlobals.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

TEST(ServproxThreads, RoundRobinFromManyThreads)
{
    ASSERT_EQ(htc_test_start(), 1);
    static HTStaticConfig config{};
    const char *const parents[] = {"http://p0/", "http://p1/", "", "http://p3/", "http://p4/"};
    for (const char *p : parents)
        proxychain_addParent(&config, p);
    proxychain_setFallbackProxy(&config, "http://fallback/");
    HTProxy__resetRoundRobin();
    HTAtom *http = HTAtom_for("http");

    constexpr int kThreads = 8;
    constexpr int kCalls = 5000;
    std::atomic<int> bad{0};
    std::atomic<int> hits[5] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
            g->config = &config;
            for (int i = 0; i < kCalls; ++i) {
                const char *p = HTProxy_for(nullptr, "www.example.org", http, g);
                int slot = -1;
                for (int s = 0; s < 5; ++s)
                    if (p != nullptr && (p == config.parent_proxies[s] ||
                                         (s == 2 && p == config.fallback_proxy)))
                        slot = s;
                if (slot < 0)
                    bad.fetch_add(1);
                else
                    hits[slot].fetch_add(1);
                if (i % 500 == 0) { // keep the pool small
                    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
                    HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
                    g->config = &config;
                }
            }
            HTEndThd(HT_THREAD_WORKER, g);
            HTWorkThread_threadExit(HT_THREAD_WORKER, g);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    // Each call takes the next slot: the slots are used evenly.
    for (auto &h : hits)
        EXPECT_EQ(h.load(), kThreads * kCalls / 5);
    proxychain_free(nullptr, &config);
}
