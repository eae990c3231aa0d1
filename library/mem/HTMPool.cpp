// HTMPool: the per-thread memory pool.

#include "HTMPool.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTGlobals.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kGranule = sizeof(void *);
constexpr size_t kMaxBlock = INT32_MAX; // block sizes are signed 32-bit

std::atomic<int> poolSlot{-1};

// Granule of a request, or 0 when the rounded size would not fit a block.
size_t granule(size_t size)
{
    if (size > kMaxBlock - kGranule)
        return 0;
    return (size & ~(kGranule - 1)) + kGranule;
}

// The debug build keeps every block's `remaining` at 0, so that the inline
// pointer bump that callers compile into their own code always falls
// through to the function, which makes a separate heap block.
#ifdef HT_POOL_DEBUG
constexpr bool kDebugPool = true;
#else
constexpr bool kDebugPool = false;
#endif

#ifdef HT_POOL_DEBUG
// Each debug allocation carries a link to the previous one of its pool.
struct alignas(std::max_align_t) DebugHeader {
    DebugHeader *previous;
    size_t size;
};

void release_debug(HTMemPool *first)
{
    auto *h = static_cast<DebugHeader *>(first->debug_allocations);
    while (h != nullptr) {
        DebugHeader *p = h->previous;
        // Poisoned as well as freed: a stale pointer reads 0xCD bytes even
        // in a build without a memory checker.
        std::memset(h + 1, 0xCD, h->size);
        HTAlloc_free(h);
        h = p;
    }
    first->debug_allocations = nullptr;
}
#endif

void release_chain(HTMemPool *b)
{
#ifdef HT_POOL_DEBUG
    if (b != nullptr)
        release_debug(b);
#endif
    while (b != nullptr) {
        HTMemPool *next = b->following;
        HTAlloc_free(b->base);
        HTAlloc_free(b);
        b = next;
    }
}

// A thread with no globals (or before the pool module is registered) still
// gets memory that lives until its next reset-free end: the thread's exit.
struct FallbackPool {
    HTMemPool *first = nullptr;
    ~FallbackPool() { release_chain(first); }
};
thread_local FallbackPool fallback;

HTMemPool *pool_of(HTThdGlobals *owner)
{
    HTThdGlobals *g = owner ? owner : lib_gettp();
    const int slot = poolSlot.load(std::memory_order_acquire);
    if (g != nullptr && slot >= 0) {
        if (g->module_slots[slot] == 0) {
            g->mempool = HTMemPool_new(g->thread_type == HT_THREAD_WORKER ? HT_POOL_WORKER_SIZE
                                                                          : HT_POOL_OTHER_SIZE);
            g->module_slots[slot] = reinterpret_cast<uintptr_t>(g->mempool);
        }
        return reinterpret_cast<HTMemPool *>(g->module_slots[slot]);
    }
    if (fallback.first == nullptr)
        fallback.first = HTMemPool_new(HT_POOL_OTHER_SIZE);
    return fallback.first;
}

void *pool_alloc(size_t size, HTThdGlobals *owner, const char *function)
{
    const size_t need = granule(size);
    if (need == 0)
        out_of_memory("HTMPool", function, __LINE__, size);
    HTMemPool *first = pool_of(owner);
#ifdef HT_POOL_DEBUG
    auto *h = static_cast<DebugHeader *>(HTAlloc_calloc(1, sizeof(DebugHeader) + need));
    if (h == nullptr)
        out_of_memory("HTMPool", function, __LINE__, need);
    h->size = need;
    h->previous = static_cast<DebugHeader *>(first->debug_allocations);
    first->debug_allocations = h;
    return h + 1;
#else
    HTMemPool *b = first;
    const int32_t n = static_cast<int32_t>(need);
    while (b != nullptr && b->remaining < n)
        b = b->following;
    if (b == nullptr) {
        // A new block goes right behind the first, where the next search
        // finds it at once: appended at the end, every allocation of a pool
        // that has grown to many blocks would walk all the full ones.
        b = HTMemPool_new(need > HT_POOL_BLOCK_MIN ? need : HT_POOL_BLOCK_MIN);
        b->following = first->following;
        first->following = b;
    }
    char *r = b->next;
    b->next += need;
    b->remaining -= n;
    return r;
#endif
}

char *concat(HTThdGlobals *pool, const char *const *texts, size_t count)
{
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t l = texts[i] ? std::strlen(texts[i]) : 0;
        if (l > SIZE_MAX - 1 - total)
            out_of_memory("HTMPool", "HTMemPool_cat", __LINE__, SIZE_MAX);
        total += l;
    }
    char *out = static_cast<char *>(pool_alloc(total + 1, pool, "HTMemPool_cat"));
    char *p = out;
    for (size_t i = 0; i < count; ++i)
        if (texts[i]) {
            const size_t l = std::strlen(texts[i]);
            std::memcpy(p, texts[i], l);
            p += l;
        }
    *p = '\0';
    return out;
}

char *vconcat(HTThdGlobals *pool, va_list ap)
{
    // Measured on a copy, copied on the original: no allocation holds the list.
    va_list measure;
    va_copy(measure, ap);
    size_t total = 0;
    bool wrapped = false;
    for (const char *t = va_arg(measure, const char *); t; t = va_arg(measure, const char *)) {
        const size_t l = std::strlen(t);
        if (l > SIZE_MAX - 1 - total)
            wrapped = true;
        else
            total += l;
    }
    va_end(measure);
    if (wrapped)
        out_of_memory("HTMPool", "HTMemPool_vcat", __LINE__, SIZE_MAX);
    char *out = static_cast<char *>(pool_alloc(total + 1, pool, "HTMemPool_vcat"));
    char *p = out;
    for (const char *t = va_arg(ap, const char *); t; t = va_arg(ap, const char *)) {
        const size_t l = std::strlen(t);
        std::memcpy(p, t, l);
        p += l;
    }
    *p = '\0';
    return out;
}

} // namespace

extern "C" HTMemPool *HTMemPool_new(size_t size) noexcept
{
    if (size > kMaxBlock)
        out_of_memory("HTMPool", "HTMemPool_create", __LINE__, size);
    auto *b = static_cast<HTMemPool *>(HTAlloc_calloc(1, sizeof(HTMemPool)));
    if (b == nullptr)
        out_of_memory("HTMPool", "HTMemPool_create", __LINE__, sizeof(HTMemPool));
    b->base = static_cast<char *>(HTAlloc_calloc(1, size ? size : 1));
    if (b->base == nullptr) {
        HTAlloc_free(b);
        out_of_memory("HTMPool", "HTMemPool_create", __LINE__, size);
    }
    b->next = b->base;
    b->size = static_cast<int32_t>(size);
    b->remaining = kDebugPool ? 0 : static_cast<int32_t>(size);
    return b;
}

extern "C" int HTMemPool_register(void) noexcept
{
    const int slot = HTWorkThread_addModule("HTMemPool", HTMemPool_threadCreate,
                                            HTMemPool_threadDestroy, nullptr,
                                            HTMemPool_threadUninit);
    if (slot >= 0 && poolSlot.load(std::memory_order_relaxed) != slot)
        poolSlot.store(slot, std::memory_order_release);
    return slot;
}

extern "C" void *HTMemPool_threadCreate(int slot, int threadType, void *context) noexcept
{
    auto *g = static_cast<HTThdGlobals *>(context);
    if (g != nullptr && slot >= 0 && slot < HT_MODULE_SLOTS && g->module_slots[slot] == 0) {
        g->mempool = HTMemPool_new(threadType == HT_THREAD_WORKER ? HT_POOL_WORKER_SIZE
                                                                  : HT_POOL_OTHER_SIZE);
        g->module_slots[slot] = reinterpret_cast<uintptr_t>(g->mempool);
    }
    return context;
}

extern "C" int HTMemPool_threadUninit(int slot, int threadType, int phase, void *context) noexcept
{
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(context);
    if (phase != HT_CONTEXT_REQUEST || g == nullptr || slot < 0 || slot >= HT_MODULE_SLOTS)
        return 0;
    auto *first = reinterpret_cast<HTMemPool *>(g->module_slots[slot]);
    if (first == nullptr)
        return 0;
#ifdef HT_POOL_DEBUG
    release_debug(first);
#endif
    first->next = first->base;
    first->remaining = kDebugPool ? 0 : first->size;
    HTMemPool *rest = first->following;
    first->following = nullptr;
    release_chain(rest);
    return 0;
}

extern "C" int HTMemPool_threadDestroy(int slot, int threadType, void *context) noexcept
{
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(context);
    if (g == nullptr || slot < 0 || slot >= HT_MODULE_SLOTS)
        return 0;
    release_chain(reinterpret_cast<HTMemPool *>(g->module_slots[slot]));
    g->module_slots[slot] = 0;
    g->mempool = nullptr;
    return 0;
}

extern "C" HTMemPool *HTMemPool_get(HTThdGlobals *pool) noexcept
{
    HTThdGlobals *g = pool ? pool : lib_gettp();
    const int slot = poolSlot.load(std::memory_order_acquire);
    if (g == nullptr || slot < 0)
        return nullptr;
    return reinterpret_cast<HTMemPool *>(g->module_slots[slot]);
}

extern "C" void *(HTMemPoolAlloc)(size_t size, HTThdGlobals *pool) noexcept
{
    return pool_alloc(size, pool, "HTMemPoolAlloc");
}

extern "C" void *HTMemPool_calloc(size_t count, size_t size, HTThdGlobals *pool) noexcept
{
    if (size != 0 && count > SIZE_MAX / size)
        out_of_memory("HTMPool", "HTMemPool_calloc", __LINE__, SIZE_MAX);
    const size_t total = count * size;
    void *p = pool_alloc(total, pool, "HTMemPool_calloc");
    std::memset(p, 0, total);
    return p;
}

extern "C" char *HTMemPoolStrdup(const char *text, HTThdGlobals *pool) noexcept
{
    if (text == nullptr)
        return nullptr;
    const size_t n = std::strlen(text);
    char *c = static_cast<char *>(pool_alloc(n + 1, pool, "HTMemPoolStrdup"));
    std::memcpy(c, text, n + 1);
    return c;
}

extern "C" char *HTMemPoolStrdup_len(const char *text, size_t length, HTThdGlobals *pool) noexcept
{
    if (text == nullptr)
        return nullptr;
    if (length == SIZE_MAX)
        out_of_memory("HTMPool", "HTMemPoolStrdup_len", __LINE__, length);
    char *c = static_cast<char *>(pool_alloc(length + 1, pool, "HTMemPoolStrdup_len"));
    std::memcpy(c, text, length);
    c[length] = '\0';
    return c;
}

extern "C" char *HTMemPool_cat(const char *first, const char *second, HTThdGlobals *pool) noexcept
{
    const char *texts[2] = {first, second};
    return concat(pool, texts, 2);
}

extern "C" char *HTMemPool_vcat(HTThdGlobals *pool, ...) noexcept
{
    va_list ap;
    va_start(ap, pool);
    char *r = vconcat(pool, ap);
    va_end(ap);
    return r;
}

extern "C" void *HTMemPoolAlloc_debug(size_t size, const char *, int, HTThdGlobals *pool) noexcept
{
    return HTMemPoolAlloc(size, pool);
}

extern "C" void *HTMemPool_callocDebug(size_t count, size_t size, const char *, int,
                                       HTThdGlobals *pool) noexcept
{
    return HTMemPool_calloc(count, size, pool);
}

extern "C" char *HTMemPoolStrdup_debug(const char *text, const char *, int, HTThdGlobals *pool) noexcept
{
    return HTMemPoolStrdup(text, pool);
}

extern "C" char *HTMemPoolStrdup_lenDebug(const char *text, size_t length, const char *, int,
                                          HTThdGlobals *pool) noexcept
{
    return HTMemPoolStrdup_len(text, length, pool);
}

extern "C" char *HTMemPool_catDebug(const char *first, const char *second, const char *, int,
                                    HTThdGlobals *pool) noexcept
{
    return HTMemPool_cat(first, second, pool);
}

extern "C" char *HTMemPool_vcatDebug(const char *, int, HTThdGlobals *pool, ...) noexcept
{
    va_list ap;
    va_start(ap, pool);
    char *r = vconcat(pool, ap);
    va_end(ap);
    return r;
}

extern "C" void HTMemPool_check(void) noexcept {}

extern "C" int HTMemPool_debugBuild(void) noexcept { return kDebugPool ? 1 : 0; }
