// Atoms created by several threads at once.

#include "HTAtom.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(HTAtomThreads, OneAtomPerNameAcrossThreads)
{
    constexpr int threads = 4, names = 500;
    std::vector<std::vector<HTAtom *>> got(threads, std::vector<HTAtom *>(names));
    std::vector<std::thread> pool;
    for (int th = 0; th < threads; ++th)
        pool.emplace_back([&, th] {
            for (int i = 0; i < names; ++i) {
                const int n = (i * 7 + th * 13) % names;
                got[th][n] = HTAtom_for(("type/threaded-" + std::to_string(n)).c_str());
            }
        });
    for (auto &th : pool)
        th.join();
    for (int i = 0; i < names; ++i)
        for (int th = 1; th < threads; ++th)
            ASSERT_EQ(got[th][i], got[0][i]) << i;
}

} // namespace
