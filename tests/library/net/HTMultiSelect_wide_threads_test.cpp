// The connection manager configured with more select threads than its
// tables hold: clamped to 256, and socket 1000 belongs to thread 232.
#include "HTMultiSelect.h"

#include "HTConfig.h"
#include "htc_start.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> dispatched{0};

void count(void *, int) { ++dispatched; }

TEST(ManagerWide, ThreadCountAbove256IsClamped)
{
    ASSERT_EQ(htc_test_start(), 1);
    HTMyStaticConfig.select_threads = 300;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_NE(fcntl(1000, F_GETFD), 0) << "descriptor 1000 is taken";
    ASSERT_EQ(dup2(pair[0], 1000), 1000);
    trace_capture::enable(HT_TRACE_CONNECTION_POOL);
    trace_capture::Mark mark;
    ASSERT_EQ(addNewConnection(1000, count, nullptr, 100), HT_OK);
    EXPECT_EQ(HTMultiSelect__threads(), HT_SELECT_THREADS_MAX);
    EXPECT_EQ(mark.count("select thread count 300 outside 1..256; using 256"), 1u);
    EXPECT_EQ(mark.count("Adding socket 1000 -> thread 232"), 1u);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    for (int i = 0; i < 600 && dispatched == 0; ++i)
        std::this_thread::sleep_for(50ms);
    trace_capture::enable(HT_TRACE_CONNECTION_POOL, false);
    EXPECT_EQ(dispatched.load(), 1);
    int p = 0, r = 0, s = 0;
    HTMultiSelect__counts(232, &p, &r, &s);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(removeConnection(1000), HT_OK);
    close(1000);
    close(pair[0]);
    close(pair[1]);
}

} // namespace
