// The origin connection pool: take-and-park pairs over 256 servers (each
// pair for a server picked at random) from 1, 4 and 16 threads, against one mutex over a std::unordered_multimap keyed
// the same way. Each server starts with two parked connections; a take that
// finds none parks a spare instead. The sockets are never closed: the
// collector's first pass is an hour away and the limit per server is high.

#include "HTClock.h"
#include "HTConfig.h"
#include "HTInit.h"
#include "HTSockPool.h"
#include "HTSocket.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kServers = 256;
constexpr int kParkedEach = 2;

uint32_t server_address(int i) { return htonl(0x0a010000u + static_cast<uint32_t>(i)); }

// The next server of a thread, picked at random (xorshift).
uint32_t next_server(uint32_t &x)
{
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x % kServers;
}

HTRequest &request()
{
    static HTStaticConfig config = [] {
        HTStaticConfig c{};
        c.server_idle_limit = 3600;
        c.max_socket_per_server = 1 << 20;
        return c;
    }();
    static HTRequest r = [] {
        HTRequest q{};
        q.config = &config;
        return q;
    }();
    return r;
}

// A socket object that is never used for I/O: a descriptor number only.
HTSocket *fake_socket(int n)
{
    HTSocket *s = HTSocketQueue_get();
    s->socket = 1000 + n;
    return s;
}

void fill_pool()
{
    static bool done = [] {
        HTInitAll();
        // The host's timer keeps the cached clock; one snapshot stands for it.
        updatetimeRep(1);
        HTMyStaticConfig.server_idle_limit = 3600;
        HTMyStaticConfig.server_gc_interval = 3600;
        for (int i = 0; i < kServers; ++i)
            for (int k = 0; k < kParkedEach; ++k)
                addConnectionToPool(server_address(i), 80, fake_socket(i * kParkedEach + k), &request());
        return true;
    }();
    (void)done;
}

void BM_Pool_TakeAndPark(benchmark::State &state)
{
    fill_pool();
    HTRequest r = request();
    HTSocket *spare = fake_socket(100000 + state.thread_index());
    uint32_t x = 2463534242u + static_cast<uint32_t>(state.thread_index());
    for (auto _ : state) {
        const uint32_t a = server_address(static_cast<int>(next_server(x)));
        HTSocket *s = GetSockPoolConnection(a, 80, &r);
        if (s == nullptr) {
            s = spare;
            spare = nullptr;
        }
        if (s != nullptr)
            addConnectionToPool(a, 80, s, &r);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Pool_TakeAndPark)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

// The same traffic through one mutex over a multimap of address + port.
struct Multimap {
    std::mutex lock;
    std::unordered_multimap<uint32_t, HTSocket *> parked;
};

Multimap &multimap()
{
    static Multimap *m = [] {
        auto *mm = new Multimap;
        for (int i = 0; i < kServers; ++i)
            for (int k = 0; k < kParkedEach; ++k)
                mm->parked.emplace(server_address(i) + 80, fake_socket(200000 + i * kParkedEach + k));
        return mm;
    }();
    return *m;
}

void BM_Multimap_TakeAndPark(benchmark::State &state)
{
    HTInitAll();
    Multimap &m = multimap();
    HTSocket *spare = fake_socket(300000 + state.thread_index());
    uint32_t x = 2463534242u + static_cast<uint32_t>(state.thread_index());
    for (auto _ : state) {
        const uint32_t key = server_address(static_cast<int>(next_server(x))) + 80;
        HTSocket *s = nullptr;
        {
            std::lock_guard<std::mutex> hold(m.lock);
            auto it = m.parked.find(key);
            if (it != m.parked.end()) {
                s = it->second;
                m.parked.erase(it);
            }
        }
        if (s == nullptr) {
            s = spare;
            spare = nullptr;
        }
        if (s != nullptr) {
            std::lock_guard<std::mutex> hold(m.lock);
            m.parked.emplace(key, s);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Multimap_TakeAndPark)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

} // namespace
