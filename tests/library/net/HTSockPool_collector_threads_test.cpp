// The collector's rhythm: its first pass comes one idle limit after the
// pool starts, and an interval of 0 does not spin (a pass a second at most).
#include "HTSockPool.h"

#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTSocket.h"
#include "htc_start.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kIdleLimit = 2;

std::atomic<int> collected{0};
std::atomic<Clock::rep> firstClose{0};

void observe(HTSocket *)
{
    Clock::rep none = 0;
    firstClose.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
    ++collected;
}

// A parked socket pair end, made older than the idle limit.
int park_stale(uint32_t address, HTRequest *request)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    HTSocket *s = HTSocketQueue_get();
    s->socket = fds[0];
    IncLibSNMPOutboundAssociations();
    addConnectionToPool(address, 80, s, request);
    HTSockPool__age(address, 80, kIdleLimit + 5);
    return fds[1];
}

TEST(Collector, FirstPassOneIdleLimitAfterTheStartThenOneASecond)
{
    ASSERT_EQ(htc_test_start(), 1);
    HTMyStaticConfig.server_idle_limit = kIdleLimit;
    HTMyStaticConfig.server_gc_interval = 0; // at least one second all the same
    HTStaticConfig config{};
    config.server_idle_limit = kIdleLimit;
    config.max_socket_per_server = 5;
    HTRequest request{};
    request.config = &config;
    HTSockPool__setCollectObserver(observe);
    trace_capture::enable(HT_TRACE_HTTP);
    trace_capture::Mark mark;

    const auto started = Clock::now();
    ASSERT_EQ(oSockPoolInit(), HT_OK);
    const int peer = park_stale(inet_addr("10.20.30.40"), &request);
    ASSERT_GE(peer, 0);
    while (collected == 0 && Clock::now() - started < 60s)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(collected.load(), 1);
    const auto first = Clock::time_point(Clock::duration(firstClose.load()));
    EXPECT_GE(first - started, std::chrono::milliseconds(kIdleLimit * 1000 - 50));

    // Three more seconds: about three passes, never a spin.
    std::this_thread::sleep_for(3s);
    const size_t passes = mark.count("Conn Pool... Started GC on Connection Pool");
    EXPECT_GE(passes, 2u);
    EXPECT_LE(passes, 6u);

    // Woken, it runs a pass for a new stale connection.
    const int second = park_stale(inet_addr("10.20.30.41"), &request);
    wakeupGCSC();
    while (collected < 2 && Clock::now() - started < 60s)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(collected.load(), 2);
    EXPECT_GE(mark.count("Wake up the garbage_collect_server_conn thread"), 1u);
    trace_capture::enable(HT_TRACE_HTTP, false);
    HTSockPool__setCollectObserver(nullptr);
    close(peer);
    close(second);
}

} // namespace
