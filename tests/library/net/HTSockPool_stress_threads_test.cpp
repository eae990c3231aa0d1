// The origin connection pool under load: 16 threads take and park
// connections for 500 servers while the collector runs every second. A
// registry of the connections proves that none is handed to two takers and
// that each is closed exactly once (by the collector, or by the per-server
// limit through the refused-connection close).
#include "HTSockPool.h"

#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTSocket.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 16;
constexpr int kServers = 500;
#ifdef HT_TEST_REDUCED
constexpr auto kRun = 2s;
#else
constexpr auto kRun = 4s;
#endif

enum State { kParked, kHeld };

struct Entry {
    State state = kHeld;
    int peer = -1;     // the test's end of the socket pair
};

std::mutex registryLock;
std::map<HTSocket *, Entry> live;  // the objects are recycled: an entry lives until its close
std::vector<int> closing;          // test ends of connections the pool has closed or is closing
std::atomic<long> closedCount{0};
std::atomic<int> faults{0};

// Checks the test ends of closed connections: each must see the close (end
// of stream, nothing else). An end whose close is still on its way stays
// for the next check unless `final`.
void check_closed(bool final)
{
    std::lock_guard<std::mutex> hold(registryLock);
    std::erase_if(closing, [final](int peer) {
        pollfd p{peer, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) {
            if (final)
                ++faults;
            return final;
        }
        char c;
        if (read(peer, &c, 1) != 0)
            ++faults;
        close(peer);
        return true;
    });
}

void closed_by_pool(HTSocket *s)
{
    std::lock_guard<std::mutex> hold(registryLock);
    auto it = live.find(s);
    if (it == live.end() || it->second.state != kParked) {
        ++faults; // closed while handed out, or twice
        return;
    }
    closing.push_back(it->second.peer);
    ++closedCount;
    live.erase(it);
}

void refused(HTSocket *s, HTRequest *request)
{
    closed_by_pool(s);
    HTSocket_close(s, __FILE__, __LINE__, request);
    DecLibSNMPOutboundAssociations();
}

TEST(PoolStress, NoConnectionIsHandedOutTwiceAndEachIsClosedOnce)
{
    ASSERT_EQ(htc_test_start(), 1);
    HTMyStaticConfig.server_idle_limit = 1;
    HTMyStaticConfig.server_gc_interval = 1;
    HTStaticConfig config{};
    config.server_idle_limit = 1;
    config.max_socket_per_server = 3;
    HTSockPool__setCollectObserver(closed_by_pool);
    HTSockPool_setRefusedClose(refused);
    const int associations = GetLibSNMPOutboundAssociations();

    std::atomic<bool> stop{false};
    std::atomic<long> takes{0}, parks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            HTRequest request{};
            request.config = &config;
            std::mt19937 r(static_cast<unsigned>(t) * 7919u + 1);
            std::vector<HTSocket *> held;
            for (unsigned n = 0; !stop; ++n) {
                if (n % 256 == 0)
                    check_closed(false);
                const uint32_t addr = htonl(0x0a000000u + r() % kServers + 1);
                const int port = 80;
                if (r() % 2 == 0 && held.size() < 8) {
                    HTSocket *s = GetSockPoolConnection(addr, port, &request);
                    if (s != nullptr) {
                        std::lock_guard<std::mutex> hold(registryLock);
                        auto it = live.find(s);
                        if (it == live.end() || it->second.state != kParked)
                            ++faults; // handed to a second taker, or after its close
                        else
                            it->second.state = kHeld;
                        held.push_back(s);
                        ++takes;
                    }
                } else {
                    HTSocket *s = nullptr;
                    // Mostly what was taken goes back; a thread holds few at a time.
                    if (!held.empty() && (held.size() >= 4 || r() % 3 != 0)) {
                        s = held.back();
                        held.pop_back();
                    } else {
                        int fds[2];
                        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
                            ++faults;
                            continue;
                        }
                        s = HTSocketQueue_get();
                        s->socket = fds[0];
                        IncLibSNMPOutboundAssociations();
                        std::lock_guard<std::mutex> hold(registryLock);
                        if (live.count(s))
                            ++faults; // an object handed out by the queue while still in use
                        live[s] = Entry{kHeld, fds[1]};
                    }
                    {
                        // Marked before the park: the collector may close it at once.
                        std::lock_guard<std::mutex> hold(registryLock);
                        live[s].state = kParked;
                    }
                    if (addConnectionToPool(addr, port, s, &request) != HT_SOCKPOOL_DONE)
                        ++faults;
                    ++parks;
                }
            }
            // What this thread still holds goes back to the pool for the end.
            for (HTSocket *s : held) {
                {
                    std::lock_guard<std::mutex> hold(registryLock);
                    live[s].state = kParked;
                }
                addConnectionToPool(htonl(0x0a000000u + kServers + 1), 80, s, &request);
            }
        });
    std::this_thread::sleep_for(kRun);
    stop = true;
    for (auto &t : threads)
        t.join();

    // Everything still parked (or on a bad chain) goes: a limit below zero
    // makes every parked connection too old.
    EXPECT_EQ(GarbageCollectServerSockets(-1), 0);
    HTSockPool__setCollectObserver(nullptr);
    HTSockPool_setRefusedClose(nullptr);

    EXPECT_EQ(faults.load(), 0);
    EXPECT_GT(takes.load(), 1000);
    EXPECT_GT(parks.load(), 1000);
    check_closed(true);
    {
        std::lock_guard<std::mutex> hold(registryLock);
        EXPECT_TRUE(live.empty()) << live.size() << " connections neither handed out nor closed";
    }
    EXPECT_EQ(GetLibSNMPOutboundAssociations(), associations);
    std::printf("%ld takes, %ld parks, %ld connections closed\n", takes.load(), parks.load(), closedCount.load());
}

} // namespace
