// htstab: the socket table.

#include "htstab.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTHash.h"
#include "HTLog.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace {

struct Entry {
    int32_t descriptor; // first: lookups pass a key of the same shape
    unsigned char flags;
    uintptr_t owner;
    Entry *next_free;
};

constexpr unsigned char flag_global = 1;

std::atomic<int> debugging{0};
std::atomic<uintptr_t> timer_thread{0};

// Created once by HTSocketTable_init (start-up, one thread) and never freed.
pmutex table_lock = 0;
HTHashTable *table = nullptr;
Entry *free_entries = nullptr;
int free_count = 0;

uint32_t hash_descriptor(uint32_t size, const void *key)
{
    const int32_t d = static_cast<const Entry *>(key)->descriptor;
    return static_cast<uint32_t>(d < 0 ? -(d + 1) : d) % size;
}

int compare_descriptor(const void *object, const void *key)
{
    return static_cast<const Entry *>(object)->descriptor - static_cast<const Entry *>(key)->descriptor;
}

uintptr_t myself()
{
    return static_cast<uintptr_t>(OsThreadMyself());
}

// A block of n entries on the free list. Called without the lock held,
// because out_of_memory may leave through a recovery frame.
Entry *new_block(int n)
{
    auto *block = static_cast<Entry *>(HTAlloc_calloc(static_cast<size_t>(n), sizeof(Entry)));
    if (block == nullptr)
        out_of_memory("htstab", "HTSocketTable_expandFreelist", __LINE__, n * sizeof(Entry));
    for (int i = 0; i < n - 1; ++i)
        block[i].next_free = &block[i + 1];
    return block;
}

void chain_block_locked(Entry *block, int n)
{
    block[n - 1].next_free = free_entries;
    free_entries = block;
    free_count += n;
}

Entry *take_entry()
{
    pmutex_request(table_lock);
    while (free_entries == nullptr) {
        pmutex_release(table_lock);
        Entry *block = new_block(HT_STAB_GROWTH);
        pmutex_request(table_lock);
        chain_block_locked(block, HT_STAB_GROWTH);
    }
    Entry *e = free_entries;
    free_entries = e->next_free;
    --free_count;
    return e; // the lock stays held
}

void give_back_locked(Entry *e)
{
    e->next_free = free_entries;
    free_entries = e;
    ++free_count;
}

Entry *lookup_locked(int descriptor)
{
    Entry key{};
    key.descriptor = descriptor;
    return static_cast<Entry *>(HashLookup(table, &key));
}

bool on()
{
    return debugging.load(std::memory_order_acquire) != 0;
}

} // namespace

extern "C" void HTSocketTable_init(const HTStaticConfig *config, int expected, int enable) noexcept
{
    if (!enable)
        return;
    debugging.store(0, std::memory_order_release);
    if (config == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_SOCKET))
            tfprintf(stderr, "Socket...... debugging defaulting to OFF: no libc.\n");
        return;
    }
    if (!config->socket_debugging)
        return;
    if (table == nullptr) {
        if (expected < 0)
            expected = 0;
        const int first = expected * 11 / 10 + 20;
        table_lock = pmutex_create();
        table = HashCreate(HT_STAB_BUCKETS, compare_descriptor, hash_descriptor, 0);
        HashSetFreelistLength(table, static_cast<uint32_t>(first));
        HashPreallocate(table);
        Entry *block = new_block(first);
        pmutex_request(table_lock);
        chain_block_locked(block, first);
        pmutex_release(table_lock);
    }
    debugging.store(1, std::memory_order_release);
}

extern "C" void HTSocketTable_identifyTimerThread(void) noexcept
{
    timer_thread.store(myself(), std::memory_order_release);
}

extern "C" void HTSocketTable_addSocket(int descriptor, HTRequest *request) noexcept
{
    if (!on())
        return;
    Entry *e = take_entry();
    e->descriptor = descriptor;
    e->flags = 0;
    e->owner = myself();
    bool duplicate = lookup_locked(descriptor) != nullptr;
    if (duplicate || HashAdd(table, e) != 0)
        give_back_locked(e);
    pmutex_release(table_lock);
    if (duplicate)
        HTLog_errorReflector("PANIC! Duplicate socket %d created.\n", request, descriptor);
}

extern "C" void HTSocketTable_removeSocket(int descriptor, HTRequest *request) noexcept
{
    if (!on() || descriptor == -1)
        return;
    const uintptr_t me = myself();
    bool report = false;
    uintptr_t owner = 0;
    pmutex_request(table_lock);
    Entry key{};
    key.descriptor = descriptor;
    Entry *e = static_cast<Entry *>(HashRemove(table, &key));
    if (e != nullptr) {
        owner = e->owner;
        report = owner != me && !(e->flags & flag_global) &&
                 me != timer_thread.load(std::memory_order_acquire);
        give_back_locked(e);
    }
    pmutex_release(table_lock);
    if (report)
        HTLog_errorReflector("PANIC! Thread %lx freed socket %d owned by thread %lx.\n", request,
                             static_cast<unsigned long>(me), descriptor,
                             static_cast<unsigned long>(owner));
}

extern "C" int HTSocketTable_makeSocketGlobal(int descriptor, HTRequest *request) noexcept
{
    if (!on())
        return 0;
    pmutex_request(table_lock);
    Entry *e = lookup_locked(descriptor);
    if (e != nullptr) {
        e->flags |= flag_global;
        e->owner = 0;
    }
    pmutex_release(table_lock);
    if (e == nullptr)
        HTLog_errorReflector("PANIC! Nonexistant socket %d accessed (MSG).\n", request, descriptor);
    return 0;
}

extern "C" int HTSocketTable_acquireSocket(int descriptor, HTRequest *request) noexcept
{
    if (!on())
        return 0;
    pmutex_request(table_lock);
    Entry *e = lookup_locked(descriptor);
    if (e != nullptr)
        e->owner = myself();
    pmutex_release(table_lock);
    if (e == nullptr)
        HTLog_errorReflector("PANIC! Nonexistant socket %d accessed (AS).\n", request, descriptor);
    return 0;
}

extern "C" void HTSocketTable_checkSocket(int descriptor, HTRequest *request) noexcept
{
    if (!on() || descriptor == -1)
        return;
    const uintptr_t me = myself();
    pmutex_request(table_lock);
    Entry *e = lookup_locked(descriptor);
    const bool missing = e == nullptr;
    const uintptr_t owner = e ? e->owner : 0;
    const bool foreign = e != nullptr && !(e->flags & flag_global) && owner != me;
    pmutex_release(table_lock);
    if (missing)
        HTLog_errorReflector("PANIC! Nonexistant socket %d accessed (CS).\n", request, descriptor);
    else if (foreign)
        HTLog_errorReflector("PANIC! Thread %lx accessed socket %d owned by thread %lx.\n", request,
                             static_cast<unsigned long>(me), descriptor,
                             static_cast<unsigned long>(owner));
}

extern "C" int HTSocketTable_socketExists(int descriptor) noexcept
{
    if (descriptor == -1)
        return 1;
    if (!on())
        return 0;
    pmutex_request(table_lock);
    const bool found = lookup_locked(descriptor) != nullptr;
    pmutex_release(table_lock);
    return found ? 1 : 0;
}

extern "C" int HTSocketTable_debugging(void) noexcept
{
    return on() ? 1 : 0;
}

int HTSocketTable__freeEntries(void) noexcept
{
    if (table_lock == 0)
        return 0;
    pmutex_request(table_lock);
    const int n = free_count;
    pmutex_release(table_lock);
    return n;
}

void HTSocketTable__setDebugging(int on_) noexcept
{
    debugging.store(on_ && table != nullptr ? 1 : 0, std::memory_order_release);
}
