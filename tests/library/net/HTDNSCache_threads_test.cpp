// The DNS cache under concurrent additions, lookups and purges.

#include "HTDNSCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(HTDNSCacheThreads, ParallelAddLookupPurge)
{
    HTDNSCache_init();
    HTDNSCache_enable(1);
    HTDNSCache_purge();
    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> pool;
    for (int th = 0; th < 4; ++th)
        pool.emplace_back([&, th] {
            for (int round = 0; round < 30; ++round)
                for (int i = 0; i < 200; ++i) {
                    const std::string name = "t" + std::to_string(th) + "-" + std::to_string(i);
                    const uint32_t a = static_cast<uint32_t>(th * 1000 + i);
                    HTDNSCache_add(name.c_str(), &a, nullptr);
                    uint32_t got = 0;
                    // A hit always gives the name's own address.
                    if (HTDNSCache_lookup(name.c_str(), &got) && got != a)
                        ++wrong;
                }
        });
    std::thread purger([&] {
        while (!stop) {
            HTDNSCache_purge();
            std::this_thread::yield();
        }
    });
    for (auto &t : pool)
        t.join();
    stop = true;
    purger.join();
    EXPECT_EQ(wrong.load(), 0);
    HTDNSCache_purge();
}

} // namespace
