// HTApplication: limits how much of the worker pool one application may hold.

#include "HTApplication.h"

#include "HTAlloc.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

struct HTApplication {
    char name[HT_APPLICATION_NAME_MAX + 1];
    int limit;
    int count; // under `lock`
    int value1;
    int value2;
    int value3;
    char *text;
    pthread_mutex_t lock;
};

namespace {

HTApplication *table[HT_APPLICATION_SLOTS];
int tableCount;
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;

std::atomic<int> threadNumber{0};
std::atomic<int> totalBounded{0};
std::atomic<int> globalRatio{0};

void free_entry(HTApplication *a)
{
    pthread_mutex_destroy(&a->lock);
    HTAlloc_free(a->text);
    HTAlloc_free(a);
}

char *copy_text(const char *text)
{
    if (text == nullptr)
        return nullptr;
    size_t n = std::strlen(text) + 1;
    char *c = static_cast<char *>(HTAlloc_malloc(n));
    if (c)
        std::memcpy(c, text, n);
    return c;
}

void out_of_memory_trace()
{
    if (HT_TRACE_ON(HT_TRACE_CONFIG))
        tfprintf(stderr, "out of memory!!! in HTApplication_Add!\n");
}

// Names are stored cut to HT_APPLICATION_NAME_MAX characters and compared
// as stored, so a longer name finds the entry it made.
bool same_name(const HTApplication *a, const char *name)
{
    return std::strncmp(a->name, name, HT_APPLICATION_NAME_MAX) == 0;
}

void update_ratio(int bounded)
{
    const int n = threadNumber.load(std::memory_order_relaxed);
    if (n >= 1)
        globalRatio.store(bounded * 100 / n, std::memory_order_relaxed);
}

} // namespace

extern "C" void HTApplication_Init(void) noexcept
{
    pthread_mutex_lock(&tableLock);
    for (HTApplication *&a : table) {
        if (a)
            free_entry(a);
        a = nullptr;
    }
    tableCount = 0;
    pthread_mutex_unlock(&tableLock);
}

extern "C" void HTApplication_SetThreadNumber(int poolSize) noexcept { threadNumber.store(poolSize); }

extern "C" HTApplication *HTApplication_Add(const char *name, int limitPercent, int value1,
                                            int value2, int value3, const char *text) noexcept
{
    if (name == nullptr)
        return nullptr;
    pthread_mutex_lock(&tableLock);
    for (int i = 0; i < HT_APPLICATION_SLOTS; ++i) {
        HTApplication *a = table[i];
        if (a == nullptr || !same_name(a, name))
            continue;
        if (limitPercent <= 0 || value1 <= 0 || value2 == 0) {
            pthread_mutex_unlock(&tableLock);
            return a;
        }
        char *t = copy_text(text);
        if (text != nullptr && t == nullptr) {
            pthread_mutex_unlock(&tableLock);
            out_of_memory_trace();
            return nullptr;
        }
        pthread_mutex_lock(&a->lock);
        a->limit = limitPercent;
        a->value1 = value1;
        a->value2 = value2;
        a->value3 = value3;
        HTAlloc_free(a->text);
        a->text = t;
        pthread_mutex_unlock(&a->lock);
        pthread_mutex_unlock(&tableLock);
        return a;
    }
    // Deleted entries leave holes; a new entry takes the first one.
    int slot = -1;
    for (int i = 0; i < HT_APPLICATION_SLOTS && slot < 0; ++i)
        if (table[i] == nullptr)
            slot = i;
    if (slot < 0) {
        pthread_mutex_unlock(&tableLock);
        return nullptr;
    }
    auto *a = static_cast<HTApplication *>(HTAlloc_calloc(1, sizeof(HTApplication)));
    char *t = copy_text(text);
    if (a == nullptr || (text != nullptr && t == nullptr)) {
        pthread_mutex_unlock(&tableLock);
        HTAlloc_free(a);
        HTAlloc_free(t);
        out_of_memory_trace();
        return nullptr;
    }
    std::strncpy(a->name, name, HT_APPLICATION_NAME_MAX);
    a->limit = limitPercent;
    a->value1 = value1;
    a->value2 = value2;
    a->value3 = value3;
    a->text = t;
    pthread_mutex_init(&a->lock, nullptr);
    table[slot] = a;
    ++tableCount;
    pthread_mutex_unlock(&tableLock);
    return a;
}

extern "C" void HTApplication_DeleteByHandle(HTApplication *app) noexcept
{
    if (app == nullptr)
        return;
    pthread_mutex_lock(&tableLock);
    for (HTApplication *&a : table)
        if (a == app) {
            free_entry(a);
            a = nullptr;
            --tableCount;
            break;
        }
    pthread_mutex_unlock(&tableLock);
}

extern "C" void HTApplication_DeleteByName(const char *name) noexcept
{
    if (name == nullptr)
        return;
    pthread_mutex_lock(&tableLock);
    for (HTApplication *&a : table)
        if (a && same_name(a, name)) {
            free_entry(a);
            a = nullptr;
            --tableCount;
            break;
        }
    pthread_mutex_unlock(&tableLock);
}

extern "C" int HTApplication_Enter(HTApplication *app, void *request) noexcept
{
    (void)request;
    const int n = threadNumber.load(std::memory_order_relaxed);
    if (n < 1)
        return 0;
    update_ratio(totalBounded.fetch_add(1) + 1);
    if (app == nullptr)
        return 0;
    pthread_mutex_lock(&app->lock);
    const int count = ++app->count;
    const int limit = app->limit;
    pthread_mutex_unlock(&app->lock);
    return static_cast<long long>(count) * 100 / n >= limit ? 1 : 0;
}

extern "C" int HTApplication_Leave(HTApplication *app, void *request) noexcept
{
    (void)request;
    if (threadNumber.load(std::memory_order_relaxed) < 1)
        return 0;
    // The ratio is left as the last Enter made it: only Enter recomputes it.
    int cur = totalBounded.load();
    while (cur > 0 && !totalBounded.compare_exchange_weak(cur, cur - 1)) {
    }
    if (app != nullptr) {
        pthread_mutex_lock(&app->lock);
        if (app->count > 0)
            --app->count;
        pthread_mutex_unlock(&app->lock);
    }
    return 0;
}

extern "C" int HTApplication_GetRatio(void) noexcept { return globalRatio.load(std::memory_order_relaxed); }

extern "C" int HTApplication_GetCount(const HTApplication *app) noexcept
{
    if (app == nullptr)
        return 0;
    pthread_mutex_lock(&const_cast<HTApplication *>(app)->lock);
    int c = app->count;
    pthread_mutex_unlock(&const_cast<HTApplication *>(app)->lock);
    return c;
}
