// The connection manager configured with no select thread: the count is
// clamped to one, whose thread polls 40 000 + 100 entries. With 40 100
// connections it polls 40 099 of them beside its pipe and reports the rest
// (the manager only polls descriptors: duplicates of one socket will do).
#include "HTMultiSelect.h"

#include "HTConfig.h"
#include "fd_limit.h"
#include "htc_start.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::atomic<int> dispatched{0};
std::atomic<int> timedOut{0};

void count(void *, int flag)
{
    if (flag != HT_DISPATCH_INPUT)
        ++timedOut;
    ++dispatched;
}

TEST(ManagerSingleThread, PollsAsManyAsItsEntriesAndReportsTheRest)
{
    ASSERT_EQ(htc_test_start(), 1);
    // N = 1: one thread with 40 000 + 100 entries, unless this machine's
    // descriptor limit cannot hold that many (poll refuses more entries than
    // the limit): then the same case with the largest table that fits.
    constexpr int kSpare = 400;
    int total = HT_POLL_ENTRIES;
    const rlim_t limit = raise_fd_limit(HT_POLL_ENTRIES + HT_POLL_ENTRIES_SPARE + kSpare);
    if (limit < static_cast<rlim_t>(HT_POLL_ENTRIES + HT_POLL_ENTRIES_SPARE + kSpare)) {
        total = static_cast<int>((limit - HT_POLL_ENTRIES_SPARE - kSpare) / 1000 * 1000);
        ASSERT_GE(total, 1000) << "descriptor limit " << limit;
        std::printf("descriptor limit %lu: %d poll entries in all instead of %d\n",
                    static_cast<unsigned long>(limit), total, HT_POLL_ENTRIES);
        HTMultiSelect__setPollEntries(total);
    }
    const int kEntries = total + HT_POLL_ENTRIES_SPARE;
    const int kConnections = kEntries;
    HTMyStaticConfig.select_threads = 0;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);

    trace_capture::enable(HT_TRACE_CONNECTION_POOL);
    trace_capture::Mark start;
    std::vector<int> fds;
    fds.push_back(fcntl(pair[0], F_DUPFD, 200));
    ASSERT_EQ(addNewConnection(fds[0], count, nullptr, 100), HT_OK);
    EXPECT_EQ(HTMultiSelect__threads(), 1);
    EXPECT_EQ(start.count("select thread count 0 outside 1..256; using 1"), 1u);
    EXPECT_EQ(start.count("max fd per thread " + std::to_string(kEntries)), 1u);

    testing::internal::CaptureStderr();
    std::unique_ptr<trace_capture::Mark> poked;
    while (static_cast<int>(fds.size()) < kConnections) {
        const int fd = fcntl(pair[0], F_DUPFD, 200);
        ASSERT_GE(fd, 0) << fds.size();
        fds.push_back(fd);
        // The last add starts a pass whose trace comes after the mark.
        if (static_cast<int>(fds.size()) == kConnections)
            poked = std::make_unique<trace_capture::Mark>();
        ASSERT_EQ(addNewConnection(fd, count, nullptr, 100), HT_OK);
    }
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(write(pair[1], "x", 1), 1); // every duplicate reads as ready
    for (int i = 0; i < 1200 && dispatched < kConnections; ++i)
        std::this_thread::sleep_for(100ms);
    trace_capture::enable(HT_TRACE_CONNECTION_POOL, false);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(dispatched.load(), kConnections);
    EXPECT_EQ(timedOut.load(), 0);
    EXPECT_NE(err.find("Poll thread 0: Too many FDs to poll: " + std::to_string(kConnections + 1) + " of " +
                       std::to_string(kEntries)),
              std::string::npos);
    // Passes in order: (descriptors polled, connections found ready). The
    // full pass finds all it polled; the one left out comes in the next.
    std::vector<std::pair<int, int>> passes;
    for (const auto &l : poked->lines()) {
        int t = -1, n = -1, fds = -1;
        if (std::sscanf(l.c_str(), "Select thread:%d/%d calling poll for %d file descriptors", &t, &n, &fds) == 3)
            passes.emplace_back(fds, 0);
        else if (l.find("to ready List") != std::string::npos && !passes.empty())
            ++passes.back().second;
    }
    std::vector<std::pair<int, int>> busy;
    for (auto pass : passes)
        if (pass.second > 0)
            busy.push_back(pass);
    EXPECT_EQ(busy, (std::vector<std::pair<int, int>>{{kEntries, kEntries - 1}, {2, 1}}));
    int p = 0, r = 0, s = 0;
    HTMultiSelect__counts(0, &p, &r, &s);
    EXPECT_EQ(p, 0);
    EXPECT_EQ(s, kConnections);
    for (int fd : fds) {
        EXPECT_EQ(removeConnection(fd), HT_OK);
        close(fd);
    }
    close(pair[0]);
    close(pair[1]);
}

} // namespace
