// htcommon micro-benchmarks: pool allocation against malloc/free, list
// element recycling against std::forward_list, and the cost of a trace test
// while tracing is off against an empty function call.

#include "HTGlobals.h"
#include "HTInit.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTTrace.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <forward_list>

namespace {

// A request's worth of allocations: 64 objects of 16 to 256 bytes.
constexpr int kObjects = 64;
struct Sizes {
    size_t n[kObjects];
    constexpr Sizes() : n()
    {
        for (int i = 0; i < kObjects; ++i)
            n[i] = 16 + static_cast<size_t>((i * 37) % 241);
    }
};
constexpr Sizes kSizes;
inline size_t size_of(int i) { return kSizes.n[i]; }

HTThdGlobals *worker()
{
    static HTThdGlobals *ctx = [] {
        HTInitAll();
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

void BM_HTMemPoolAlloc(benchmark::State &state)
{
    HTThdGlobals *ctx = worker();
    const int slot = HTMemPool_register();
    for (auto _ : state) {
        for (int i = 0; i < kObjects; ++i) {
            void *p = HTMemPoolAlloc(size_of(i), ctx);
            benchmark::DoNotOptimize(p);
        }
        HTMemPool_threadUninit(slot, HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
    }
    state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_HTMemPoolAlloc);

void BM_MallocFree(benchmark::State &state)
{
    void *p[kObjects];
    for (auto _ : state) {
        for (int i = 0; i < kObjects; ++i) {
            p[i] = std::malloc(size_of(i));
            benchmark::DoNotOptimize(p[i]);
        }
        for (int i = 0; i < kObjects; ++i)
            std::free(p[i]);
    }
    state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_MallocFree);

// The same two, with each object initialised (its first word written) and
// nothing forcing every pool field back to memory after each allocation.
void BM_HTMemPoolAlloc_initialised(benchmark::State &state)
{
    HTThdGlobals *ctx = worker();
    const int slot = HTMemPool_register();
    void *p[kObjects];
    for (auto _ : state) {
        for (int i = 0; i < kObjects; ++i) {
            p[i] = HTMemPoolAlloc(size_of(i), ctx);
            *static_cast<uintptr_t *>(p[i]) = static_cast<uintptr_t>(i);
        }
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
        HTMemPool_threadUninit(slot, HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
    }
    state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_HTMemPoolAlloc_initialised);

void BM_MallocFree_initialised(benchmark::State &state)
{
    void *p[kObjects];
    for (auto _ : state) {
        for (int i = 0; i < kObjects; ++i) {
            p[i] = std::malloc(size_of(i));
            *static_cast<uintptr_t *>(p[i]) = static_cast<uintptr_t>(i);
        }
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
        for (int i = 0; i < kObjects; ++i)
            std::free(p[i]);
    }
    state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_MallocFree_initialised);

constexpr int kListItems = 32;

void BM_HTList_addRemove(benchmark::State &state)
{
    HTThdGlobals *ctx = worker();
    HTList *l = HTList_new(ctx);
    int dummy;
    for (auto _ : state) {
        for (int i = 0; i < kListItems; ++i)
            HTList_addObject(l, &dummy, ctx);
        for (int i = 0; i < kListItems; ++i)
            benchmark::DoNotOptimize(HTList_removeLastObject(l, ctx));
    }
    HTList_delete(l, ctx);
    state.SetItemsProcessed(state.iterations() * kListItems);
}
BENCHMARK(BM_HTList_addRemove);

void BM_ForwardList_pushPop(benchmark::State &state)
{
    std::forward_list<void *> l;
    int dummy;
    for (auto _ : state) {
        for (int i = 0; i < kListItems; ++i)
            l.push_front(&dummy);
        for (int i = 0; i < kListItems; ++i) {
            benchmark::DoNotOptimize(l.front());
            l.pop_front();
        }
    }
    state.SetItemsProcessed(state.iterations() * kListItems);
}
BENCHMARK(BM_ForwardList_pushPop);

void BM_TraceTestOff(benchmark::State &state)
{
    tc[HT_TRACE_LEVEL_WORD] = 0;
    HTTrace_set(HT_TRACE_URL, 1);
    for (auto _ : state) {
        if (HT_TRACE_ON(HT_TRACE_URL))
            tfprintf(stderr, "Bench....... never\n");
        benchmark::ClobberMemory(); // the level word is read again each time
    }
}
BENCHMARK(BM_TraceTestOff);

__attribute__((noinline)) void empty_function() { asm volatile(""); }

void BM_EmptyFunctionCall(benchmark::State &state)
{
    for (auto _ : state) {
        empty_function();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EmptyFunctionCall);

} // namespace
