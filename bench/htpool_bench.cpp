// Worker pool micro-benchmarks: the hand-over latency of RunOnThread (from
// the dispatch to the start of the work function, one item at a time on an
// idle pool) and its throughput with one dispatcher queueing trivial work,
// each against a plain mutex-and-condition-variable queue feeding the same
// number of threads.

#include "HTGlobals.h"
#include "HTInit.h"
#include "HTThread.h"
#include "httpool.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 2;
using Clock = std::chrono::steady_clock;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void ensure_pool()
{
    static bool started = [] {
        HTInitAll();
        setPoolBlock(-1, 0, 0);
        InitializeThreads(kThreads);
        return true;
    }();
    (void)started;
}

// Word 1: the dispatch time; word 2: where the start time goes; word 3: done flag.
void latency_work(uintptr_t *item, void *)
{
    reinterpret_cast<std::atomic<int64_t> *>(item[2])->store(now_ns(), std::memory_order_relaxed);
    reinterpret_cast<std::atomic<int> *>(item[3])->store(1, std::memory_order_release);
}

void count_work(uintptr_t *item, void *)
{
    reinterpret_cast<std::atomic<long> *>(item[1])->fetch_add(1, std::memory_order_relaxed);
}

void BM_RunOnThread_Handover(benchmark::State &state)
{
    ensure_pool();
    std::atomic<int64_t> started{0};
    std::atomic<int> done{0};
    for (auto _ : state) {
        done.store(0);
        const int64_t t0 = now_ns();
        uintptr_t w[HT_WORK_ITEM_WORDS] = {0, static_cast<uintptr_t>(t0),
                                           reinterpret_cast<uintptr_t>(&started),
                                           reinterpret_cast<uintptr_t>(&done), 0, 0, 0};
        RunOnThread(latency_work, w, HT_RUN_WAIT);
        while (!done.load(std::memory_order_acquire))
            std::this_thread::yield();
        state.SetIterationTime(static_cast<double>(started.load() - t0) * 1e-9);
        // Let the worker get back on its idle list.
        while (GetnThreadsActive() != 0)
            std::this_thread::yield();
    }
}
BENCHMARK(BM_RunOnThread_Handover)->UseManualTime();

// The baseline: one shared queue under a mutex, threads waiting on a condition variable.
struct CondQueue {
    struct Item {
        void (*fn)(uintptr_t *, void *);
        uintptr_t w[HT_WORK_ITEM_WORDS];
    };
    std::mutex m;
    std::condition_variable notEmpty, notFull;
    std::deque<Item> q;
    size_t capacity = static_cast<size_t>(HT_RUNQ_PER_WORKER) * kThreads;
    bool stop = false;
    std::vector<std::thread> threads;

    CondQueue()
    {
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([this] {
                for (;;) {
                    Item it;
                    {
                        std::unique_lock<std::mutex> l(m);
                        notEmpty.wait(l, [&] { return stop || !q.empty(); });
                        if (q.empty())
                            return;
                        it = q.front();
                        q.pop_front();
                    }
                    notFull.notify_one();
                    it.fn(it.w, nullptr);
                }
            });
    }
    ~CondQueue()
    {
        {
            std::lock_guard<std::mutex> l(m);
            stop = true;
        }
        notEmpty.notify_all();
        for (auto &t : threads)
            t.join();
    }
    void push(void (*fn)(uintptr_t *, void *), const uintptr_t *w)
    {
        Item it{fn, {}};
        for (int i = 0; i < HT_WORK_ITEM_WORDS; ++i)
            it.w[i] = w[i];
        {
            std::unique_lock<std::mutex> l(m);
            notFull.wait(l, [&] { return q.size() < capacity; });
            q.push_back(it);
        }
        notEmpty.notify_one();
    }
};

void BM_CondQueue_Handover(benchmark::State &state)
{
    CondQueue cq;
    std::atomic<int64_t> started{0};
    std::atomic<int> done{0};
    for (auto _ : state) {
        done.store(0);
        const int64_t t0 = now_ns();
        uintptr_t w[HT_WORK_ITEM_WORDS] = {0, static_cast<uintptr_t>(t0),
                                           reinterpret_cast<uintptr_t>(&started),
                                           reinterpret_cast<uintptr_t>(&done), 0, 0, 0};
        cq.push(latency_work, w);
        while (!done.load(std::memory_order_acquire))
            std::this_thread::yield();
        state.SetIterationTime(static_cast<double>(started.load() - t0) * 1e-9);
    }
}
BENCHMARK(BM_CondQueue_Handover)->UseManualTime();

constexpr long kBatch = 20000;

// Mode 3 (queue; a full queue is offered again) and mode 4 (queue, or wait
// for a worker when full).
void BM_RunOnThread_Throughput(benchmark::State &state)
{
    ensure_pool();
    const int mode = static_cast<int>(state.range(0));
    std::atomic<long> ran{0};
    for (auto _ : state) {
        ran.store(0);
        uintptr_t w[HT_WORK_ITEM_WORDS] = {0, reinterpret_cast<uintptr_t>(&ran), 0, 0, 0, 0, 0};
        for (long i = 0; i < kBatch; ++i)
            while (RunOnThread(count_work, w, mode) == 0)
                std::this_thread::yield();
        while (ran.load(std::memory_order_relaxed) < kBatch)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_RunOnThread_Throughput)->Arg(HT_RUN_QUEUE)->Arg(HT_RUN_QUEUE_OR_WAIT)->UseRealTime();

void BM_CondQueue_Throughput(benchmark::State &state)
{
    CondQueue cq;
    std::atomic<long> ran{0};
    for (auto _ : state) {
        ran.store(0);
        uintptr_t w[HT_WORK_ITEM_WORDS] = {0, reinterpret_cast<uintptr_t>(&ran), 0, 0, 0, 0, 0};
        for (long i = 0; i < kBatch; ++i)
            cq.push(count_work, w);
        while (ran.load(std::memory_order_relaxed) < kBatch)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_CondQueue_Throughput)->UseRealTime();

} // namespace
