// The first lookups of a bundle come from several threads at once.

#include "nls.h"

#include "needs_icu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(nlsThreads, FirstLoadAndFillsFromManyThreads)
{
    HT_SKIP_WITHOUT_ICU();
    if (!NLS_TEST_BUNDLES)
        GTEST_SKIP() << "test bundles not built (genrb missing)";
    setenv("ORVANE_MSG_DIR", NLS_TEST_DIR, 1);
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int th = 0; th < 6; ++th)
        pool.emplace_back([&, th] {
            while (!go)
                std::this_thread::yield();
            for (int round = 0; round < 200; ++round)
                for (int set = 1; set <= 2; ++set)
                    for (int n = 1; n <= 8; ++n) {
                        const int k = (n + th + round) % 8 + 1;
                        const std::string want = (set == 1 ? "m" : "n") + std::to_string(k);
                        if (want != nlsGetString(NLS_HTMLPROX, set, k, "d"))
                            ++wrong;
                    }
        });
    go = true;
    for (auto &t : pool)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
