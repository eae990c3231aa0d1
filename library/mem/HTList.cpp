// HTList: lists and queues of object pointers.

#include "HTList.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

HTListFreeList master;
pmutex masterLock;
// Blocks of elements are kept for the life of the process; element 0 of
// each block links the blocks so that they stay reachable.
HTList *blocks;
unsigned long masterAllocated; // elements ever made, under the master lock
std::atomic<bool> initialised{false};
pthread_mutex_t initLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> listSlot{-1};

void * const kReleased = reinterpret_cast<void *>(HT_LIST_RELEASED);

bool trace_list() { return HT_TRACE_ON(HT_TRACE_LIST); }

// A chain of `n` zeroed elements, or null. Allocated without any lock
// held; a caller that gets null reports it once it holds none either.
// Returns its first element and its last in *tail.
HTList *alloc_chain(int n, HTList **tail)
{
    const size_t count = static_cast<size_t>(n) + 1;
    auto *block = static_cast<HTList *>(HTAlloc_calloc(count, sizeof(HTList)));
    if (block == nullptr)
        return nullptr;
    for (int i = 1; i < n; ++i)
        block[i].next = &block[i + 1];
    *tail = &block[n];
    return block;
}

[[noreturn]] void list_out_of_memory(const char *function, int n)
{
    out_of_memory("HTList", function, __LINE__, (static_cast<size_t>(n) + 1) * sizeof(HTList));
}

// Under the master lock: puts a block allocated by alloc_chain in front.
void splice_block(HTList *block, HTList *tail, int n)
{
    block[0].next = blocks;
    blocks = block;
    tail->next = master.first;
    master.first = &block[1];
    master.count += static_cast<uint32_t>(n);
    masterAllocated += static_cast<unsigned long>(n);
}

// False when the elements could not be had.
bool grow_master(int n)
{
    if (n < HT_LIST_MASTER_GROWTH)
        n = HT_LIST_MASTER_GROWTH;
    HTList *tail;
    HTList *block = alloc_chain(n, &tail);
    if (block == nullptr)
        return false;
    pmutex_request(masterLock);
    splice_block(block, tail, n);
    pmutex_release(masterLock);
    return true;
}

void ensure_init()
{
    if (initialised.load(std::memory_order_acquire))
        return;
    pthread_mutex_lock(&initLock);
    if (initialised.load(std::memory_order_relaxed)) {
        pthread_mutex_unlock(&initLock);
        return;
    }
    // A start that ran out of memory keeps the lock it made for the next try.
    if (masterLock == 0)
        masterLock = pmutex_create();
    HTList *tail = nullptr;
    HTList *block = masterLock != 0 ? alloc_chain(HT_LIST_MASTER_INITIAL, &tail) : nullptr;
    if (block == nullptr) {
        pthread_mutex_unlock(&initLock);
        list_out_of_memory("HTList_init", HT_LIST_MASTER_INITIAL);
    }
    splice_block(block, tail, HT_LIST_MASTER_INITIAL);
    initialised.store(true, std::memory_order_release);
    pthread_mutex_unlock(&initLock);
    if (trace_list())
        tfprintf(stderr, "List........ module initialized.\n");
}

HTListFreeList *private_list(HTThdGlobals *context)
{
    if (context == nullptr)
        return nullptr;
    const int slot = listSlot.load(std::memory_order_acquire);
    if (slot < 0)
        return nullptr;
    return reinterpret_cast<HTListFreeList *>(context->module_slots[slot]);
}

// Moves n elements from the master's front to a private list; false (and
// nothing moved) when the master could not grow.
bool refill_private(HTListFreeList *fl, int n)
{
    ensure_init();
    pmutex_request(masterLock);
    while (master.count < static_cast<uint32_t>(n)) {
        pmutex_release(masterLock);
        if (!grow_master(n))
            return false;
        pmutex_request(masterLock);
    }
    HTList *head = master.first;
    HTList *tail = head;
    for (int i = 1; i < n; ++i)
        tail = tail->next;
    master.first = tail->next;
    master.count -= static_cast<uint32_t>(n);
    tail->next = fl->first;
    fl->first = head;
    fl->count += static_cast<uint32_t>(n);
    pmutex_release(masterLock);
    return true;
}

// One element, or null when none could be had (nothing is held then).
HTList *take_element(HTThdGlobals *context)
{
#ifdef HT_POOL_DEBUG
    (void)context;
    return static_cast<HTList *>(HTAlloc_calloc(1, sizeof(HTList)));
#else
    HTList *e;
    if (HTListFreeList *fl = private_list(context)) {
        if (fl->first == nullptr && !refill_private(fl, HT_LIST_REFILL))
            return nullptr;
        e = fl->first;
        fl->first = e->next;
        --fl->count;
        ++fl->allocs;
    } else {
        ensure_init();
        pmutex_request(masterLock);
        while (master.first == nullptr) {
            pmutex_release(masterLock);
            if (!grow_master(HT_LIST_MASTER_GROWTH))
                return nullptr;
            pmutex_request(masterLock);
        }
        e = master.first;
        master.first = e->next;
        --master.count;
        ++master.allocs;
        pmutex_release(masterLock);
    }
    e->object = nullptr;
    e->next = nullptr;
    e->last = nullptr;
    return e;
#endif
}

// Gives a chain of `n` elements to the master.
void give_master(HTList *head, HTList *tail, uint32_t n)
{
    ensure_init();
    pmutex_request(masterLock);
    tail->next = master.first;
    master.first = head;
    master.count += n;
    master.frees += n;
    pmutex_release(masterLock);
}

} // namespace

extern "C" void HTList_init(void) noexcept { ensure_init(); }

extern "C" int HTList_register(void) noexcept
{
    const int slot = HTWorkThread_addModule("HTList", HTList_threadCreate, HTList_threadDestroy,
                                            nullptr, HTList_threadUninit);
    if (slot >= 0)
        listSlot.store(slot, std::memory_order_release);
    if (trace_list())
        tfprintf(stderr, "List........ functions registered (slot %d)\n", slot);
    return slot;
}

extern "C" void HTList_expandFreeList(HTListFreeList *freeList, int n) noexcept
{
    if (freeList == nullptr || n <= 0)
        return;
    ensure_init();
    if (!(freeList == &master ? grow_master(n) : refill_private(freeList, n)))
        list_out_of_memory("HTList_expandFreeList", n);
}

extern "C" void *HTList_threadCreate(int slot, int threadType, void *context) noexcept
{
    auto *g = static_cast<HTThdGlobals *>(context);
    if (g == nullptr || slot < 0 || slot >= HT_MODULE_SLOTS)
        return context;
    auto *fl = static_cast<HTListFreeList *>(HTAlloc_calloc(1, sizeof(HTListFreeList)));
    if (fl == nullptr)
        out_of_memory("HTList", "HTList_threadSpecificCreate", __LINE__, sizeof(HTListFreeList));
#ifndef HT_POOL_DEBUG
    if (threadType == HT_THREAD_WORKER && !refill_private(fl, HT_LIST_WORKER_INITIAL)) {
        HTAlloc_free(fl);
        list_out_of_memory("HTList_threadSpecificCreate", HT_LIST_WORKER_INITIAL);
    }
#else
    (void)threadType;
#endif
    g->module_slots[slot] = reinterpret_cast<uintptr_t>(fl);
    return context;
}

extern "C" int HTList_threadDestroy(int slot, int threadType, void *context) noexcept
{
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(context);
    if (g == nullptr || slot < 0 || slot >= HT_MODULE_SLOTS)
        return 0;
    auto *fl = reinterpret_cast<HTListFreeList *>(g->module_slots[slot]);
    if (fl == nullptr)
        return 0;
    if (fl->first != nullptr) {
        HTList *tail = fl->first;
        while (tail->next != nullptr)
            tail = tail->next;
        give_master(fl->first, tail, fl->count);
    }
    HTAlloc_free(fl);
    g->module_slots[slot] = 0;
    return 0;
}

extern "C" int HTList_threadUninit(int slot, int threadType, int phase, void *context) noexcept
{
    auto *g = static_cast<HTThdGlobals *>(context);
    if (phase != HT_CONTEXT_SESSION || g == nullptr || slot < 0 || slot >= HT_MODULE_SLOTS)
        return 0;
    auto *fl = reinterpret_cast<HTListFreeList *>(g->module_slots[slot]);
    if (fl == nullptr)
        return 0;
    if (HT_TRACE_AT(HT_TRACE_LIST, 44)) {
        if (threadType == HT_THREAD_WORKER) {
            tfprintf(stderr, "List........ %d/%d alloc/free on this thread.\n",
                     static_cast<int>(fl->allocs), static_cast<int>(fl->frees));
        } else if (threadType == HT_THREAD_LOG) {
            ensure_init();
            pmutex_request(masterLock);
            const unsigned long a = master.allocs, f = master.frees, c = master.count;
            const unsigned long allocated = masterAllocated;
            pmutex_release(masterLock);
            tfprintf(stderr,
                     "Master...... freelist: %lu/%lu alloc/frees, %lu allocated. %lu free elements.\n",
                     a, f, allocated, c);
        }
    }
    if (fl->allocs > HT_LIST_COUNTER_RESET || fl->frees > HT_LIST_COUNTER_RESET)
        fl->allocs = fl->frees = 0;
    return 0;
}

extern "C" HTList *HTList_createElement(HTThdGlobals *context) noexcept
{
    HTList *e = take_element(context);
    if (e == nullptr)
        list_out_of_memory("HTList_createElement", HT_LIST_MASTER_GROWTH);
    return e;
}

extern "C" void HTList_discardElement(HTList *element, HTThdGlobals *context) noexcept
{
    if (element == nullptr)
        return;
    element->object = kReleased;
#ifdef HT_POOL_DEBUG
    (void)context;
    element->next = static_cast<HTList *>(kReleased);
    element->last = static_cast<HTList *>(kReleased);
    HTAlloc_free(element);
#else
    HTListFreeList *fl = private_list(context);
    if (fl != nullptr && fl->count < HT_LIST_SINGLE_LIMIT) {
        element->next = fl->first;
        fl->first = element;
        ++fl->count;
        ++fl->frees;
        return;
    }
    give_master(element, element, 1);
#endif
}

extern "C" void HTList_delete(HTList *list, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return;
#ifdef HT_POOL_DEBUG
    (void)context;
    while (list != nullptr) {
        HTList *next = list->next;
        list->object = kReleased;
        list->next = list->last = static_cast<HTList *>(kReleased);
        HTAlloc_free(list);
        list = next;
    }
#else
    uint32_t n = 1;
    HTList *tail = list;
    list->object = kReleased;
    while (tail->next != nullptr) {
        tail = tail->next;
        tail->object = kReleased;
        ++n;
    }
    HTListFreeList *fl = private_list(context);
    if (fl != nullptr && fl->count < HT_LIST_WHOLE_LIMIT) {
        tail->next = fl->first;
        fl->first = list;
        fl->count += n;
        fl->frees += n;
        return;
    }
    give_master(list, tail, n);
#endif
}

extern "C" HTList *HTList_new(HTThdGlobals *context) noexcept
{
    ensure_init();
    return HTList_createElement(context);
}

extern "C" void HTList_deleteAndFreeContents(HTList *list, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return;
    for (HTList *e = list->next; e != nullptr; e = e->next)
        if (e->object != nullptr) {
            HTAlloc_free(e->object);
            e->object = nullptr;
        }
    HTList_delete(list, context);
}

extern "C" void HTList_addObject(HTList *list, void *object, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return;
    HTList *e = HTList_createElement(context);
    e->object = object;
    e->next = list->next;
    list->next = e;
}

extern "C" void HTList_appendObject(HTList *list, void *object, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return;
    HTList *e = HTList_createElement(context);
    e->object = object;
    HTList *end = list;
    while (end->next != nullptr)
        end = end->next;
    end->next = e;
}

extern "C" int HTList_addBefore(HTList *list, void *object, void *before, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return 0;
    for (HTList *prev = list; prev->next != nullptr; prev = prev->next)
        if (prev->next->object == before) {
            HTList *e = HTList_createElement(context);
            e->object = object;
            e->next = prev->next;
            prev->next = e;
            return 1;
        }
    return 0;
}

extern "C" HTList *HTList_glue(HTList *first, HTList *second, HTThdGlobals *context) noexcept
{
    if (first == nullptr)
        return second;
    if (second == nullptr)
        return first;
    HTList *end = first;
    while (end->next != nullptr)
        end = end->next;
    end->next = second->next;
    second->next = nullptr;
    HTList_discardElement(second, context);
    return first;
}

extern "C" int HTList_removeObject(HTList *list, void *object, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return 0;
    for (HTList *prev = list; prev->next != nullptr; prev = prev->next)
        if (prev->next->object == object) {
            HTList *e = prev->next;
            prev->next = e->next;
            HTList_discardElement(e, context);
            return 1;
        }
    return 0;
}

extern "C" void *HTList_removeLastObject(HTList *list, HTThdGlobals *context) noexcept
{
    if (list == nullptr || list->next == nullptr)
        return nullptr;
    HTList *e = list->next;
    list->next = e->next;
    void *object = e->object;
    HTList_discardElement(e, context);
    return object;
}

extern "C" void *HTList_removeFirstObject(HTList *list, HTThdGlobals *context) noexcept
{
    if (list == nullptr || list->next == nullptr)
        return nullptr;
    HTList *prev = list;
    while (prev->next->next != nullptr)
        prev = prev->next;
    HTList *e = prev->next;
    prev->next = nullptr;
    void *object = e->object;
    HTList_discardElement(e, context);
    return object;
}

namespace {

int remove_matching(HTList *list, HTListMatch match, void *argument, HTThdGlobals *context,
                    bool free_objects)
{
    if (list == nullptr || match == nullptr)
        return 0;
    int removed = 0;
    HTList *prev = list;
    while (prev->next != nullptr) {
        HTList *e = prev->next;
        if (match(argument, e->object)) {
            prev->next = e->next;
            if (free_objects && e->object != nullptr)
                HTAlloc_free(e->object);
            HTList_discardElement(e, context);
            ++removed;
        } else {
            prev = e;
        }
    }
    return removed;
}

} // namespace

extern "C" int HTList_removeMatching(HTList *list, HTListMatch match, void *argument,
                                     HTThdGlobals *context) noexcept
{
    return remove_matching(list, match, argument, context, false);
}

extern "C" int HTList_removeAndFreeMatching(HTList *list, HTListMatch match, void *argument,
                                            HTThdGlobals *context) noexcept
{
    return remove_matching(list, match, argument, context, true);
}

extern "C" int HTList_count(const HTList *list) noexcept
{
    int n = 0;
    if (list != nullptr)
        for (const HTList *e = list->next; e != nullptr; e = e->next)
            ++n;
    return n;
}

extern "C" int HTList_indexOf(const HTList *list, const void *object) noexcept
{
    if (list == nullptr)
        return -1;
    int i = 0;
    for (const HTList *e = list->next; e != nullptr; e = e->next, ++i)
        if (e->object == object)
            return i;
    return -1;
}

extern "C" void *HTList_objectAt(const HTList *list, int position) noexcept
{
    if (list == nullptr || position < 0)
        return nullptr;
    const HTList *e = list->next;
    while (e != nullptr && position-- > 0)
        e = e->next;
    return e ? e->object : nullptr;
}

extern "C" HTList *HTList_DupString(const HTList *list, HTThdGlobals *context) noexcept
{
    if (list == nullptr)
        return nullptr;
    HTList *copy = HTList_new(context);
    HTList *end = copy;
    for (const HTList *e = list->next; e != nullptr && e->object != nullptr; e = e->next) {
        const char *s = static_cast<const char *>(e->object);
        char *dup = HTAlloc_strdup(s);
        HTList *ne = dup ? take_element(context) : nullptr;
        if (ne == nullptr) {
            // Nothing half-copied outlives the failure.
            HTAlloc_free(dup);
            HTList_deleteAndFreeContents(copy, context);
            out_of_memory("HTList", "HTList_DupString", __LINE__, std::strlen(s) + 1);
        }
        ne->object = dup;
        end->next = ne;
        end = ne;
    }
    return copy;
}

extern "C" char *HTList_findstring(const HTList *list, const char *prefix, int caseSensitive) noexcept
{
    if (list == nullptr || prefix == nullptr)
        return nullptr;
    const size_t n = std::strlen(prefix);
    for (const HTList *e = list->next; e != nullptr; e = e->next) {
        auto *s = static_cast<char *>(e->object);
        if (s == nullptr)
            continue;
        if ((caseSensitive ? std::strncmp(s, prefix, n) : strncasecmp(s, prefix, n)) == 0)
            return s;
    }
    return nullptr;
}

extern "C" int HTList_isEmptyF(const HTList *list) noexcept
{
    return (list == nullptr || list->next == nullptr) ? 1 : 0;
}

extern "C" void *HTList_lastObjectF(const HTList *list) noexcept
{
    return (list != nullptr && list->next != nullptr) ? list->next->object : nullptr;
}

extern "C" void *HTList_nextObjectF(HTList **cursor) noexcept
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    *cursor = (*cursor)->next;
    return *cursor ? (*cursor)->object : nullptr;
}

// ---- Queues ---------------------------------------------------------------

extern "C" HTQueue *HTQueue_new(HTThdGlobals *context) noexcept { return HTList_new(context); }

extern "C" void HTQueue_delete(HTQueue *queue, HTThdGlobals *context) noexcept
{
    HTList_delete(queue, context);
}

extern "C" void HTQueue_push(HTQueue *queue, void *object, HTThdGlobals *context) noexcept
{
    if (queue == nullptr)
        return;
    HTList *e = HTList_createElement(context);
    e->object = object;
    if (queue->last != nullptr)
        queue->last->next = e;
    else
        queue->next = e;
    queue->last = e;
}

extern "C" void *HTQueue_pop(HTQueue *queue, HTThdGlobals *context) noexcept
{
    if (queue == nullptr || queue->next == nullptr)
        return nullptr;
    HTList *e = queue->next;
    queue->next = e->next;
    if (queue->next == nullptr)
        queue->last = nullptr;
    void *object = e->object;
    HTList_discardElement(e, context);
    return object;
}

extern "C" void *HTQueue_peek(const HTQueue *queue) noexcept
{
    return (queue != nullptr && queue->next != nullptr) ? queue->next->object : nullptr;
}

extern "C" int HTQueue_isEmpty(const HTQueue *queue) noexcept { return HTList_isEmptyF(queue); }

extern "C" int HTQueue_count(const HTQueue *queue) noexcept { return HTList_count(queue); }

// ---- Test helpers ---------------------------------------------------------

extern "C" int HTList__masterFree(void) noexcept
{
    ensure_init();
    pmutex_request(masterLock);
    const int n = static_cast<int>(master.count);
    pmutex_release(masterLock);
    return n;
}

extern "C" int HTList__privateFree(HTThdGlobals *context) noexcept
{
    HTListFreeList *fl = private_list(context);
    return fl ? static_cast<int>(fl->count) : -1;
}
