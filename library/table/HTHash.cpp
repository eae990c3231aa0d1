// HTHash: chained hash table of object pointers.

#include "HTHash.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTTrace.h"

#include <cstdlib>
#include <new>

namespace {

constexpr uint32_t refill_block = 10;

struct EntryBlock {
    EntryBlock *next;
    uint32_t count;
    HTHashEntry entries[1]; // `count` of them
};

EntryBlock *first_block(const HTHashTable *t)
{
    return static_cast<EntryBlock *>(t->blocks);
}

bool in_block(const HTHashTable *t, const HTHashEntry *e)
{
    for (const EntryBlock *b = first_block(t); b != nullptr; b = b->next)
        if (e >= b->entries && e < b->entries + b->count)
            return true;
    return false;
}

// Free-list operations; the caller holds free_lock.
bool add_block_locked(HTHashTable *t, uint32_t n)
{
    if (n == 0)
        return true;
    const std::size_t bytes = sizeof(EntryBlock) + (n - 1) * sizeof(HTHashEntry);
    auto *b = static_cast<EntryBlock *>(HTAlloc_malloc(bytes));
    if (b == nullptr)
        return false;
    b->count = n;
    b->next = first_block(t);
    t->blocks = b;
    for (uint32_t i = 0; i < n; ++i) {
        b->entries[i].object = nullptr;
        b->entries[i].next = t->free_entries;
        t->free_entries = &b->entries[i];
    }
    t->free_count += n;
    return true;
}

struct FreeListLock {
    const HTHashTable *t;
    explicit FreeListLock(const HTHashTable *table) : t(table) { pmutex_request(t->free_lock); }
    ~FreeListLock() { pmutex_release(t->free_lock); }
};

// The lock guarding bucket b, or 0 when the table has none.
pmutex lock_of(const HTHashTable *t, uint32_t b)
{
    if (t->lock_count == 0)
        return 0;
    return t->locks[t->lock_count == 1 ? 0 : b % t->lock_count];
}

struct BucketLock {
    pmutex m;
    explicit BucketLock(pmutex lock) : m(lock)
    {
        if (m)
            pmutex_request(m);
    }
    ~BucketLock()
    {
        if (m)
            pmutex_release(m);
    }
};

} // namespace

extern "C" uint32_t HTHash__bucket(const HTHashTable *table, const void *key) noexcept
{
    // The caller's function should stay below size; a bucket index is never
    // trusted beyond the array.
    return table->hash(table->size, key) % table->size;
}

extern "C" HTHashTable *HTHash__create(uint32_t size, HTHashCompare compare, HTHashFunction hash,
                                       uint32_t lockCount, int soft) noexcept
{
    auto fail = [soft](std::size_t bytes, HTHashTable *t) -> HTHashTable * {
        if (t != nullptr) {
            HTAlloc_free(t->buckets);
            HTAlloc_free(t->locks);
            HTAlloc_free(t);
        }
        if (!soft)
            out_of_memory("HTHash", "HashCreate", __LINE__, bytes);
        return nullptr;
    };
    if (size == 0 || compare == nullptr || hash == nullptr)
        return nullptr;
    auto *t = static_cast<HTHashTable *>(HTAlloc_calloc(1, sizeof(HTHashTable)));
    if (t == nullptr)
        return fail(sizeof(HTHashTable), nullptr);
    t->size = size;
    t->compare = compare;
    t->hash = hash;
    t->buckets = static_cast<HTHashEntry **>(HTAlloc_calloc(size, sizeof(HTHashEntry *)));
    if (t->buckets == nullptr)
        return fail(size * sizeof(HTHashEntry *), t);
    if (lockCount > size)
        lockCount = size; // more stripes than buckets guard nothing
    t->lock_count = lockCount;
    if (lockCount > 0) {
        t->locks = static_cast<pmutex *>(HTAlloc_calloc(lockCount, sizeof(pmutex)));
        if (t->locks == nullptr)
            return fail(lockCount * sizeof(pmutex), t);
        for (uint32_t i = 0; i < lockCount; ++i) {
            t->locks[i] = pmutex_create();
            if (t->locks[i] == 0) {
                for (uint32_t j = 0; j < i; ++j)
                    pmutex_destroy(t->locks[j]);
                return fail(sizeof(pthread_mutex_t), t);
            }
        }
    }
    t->free_lock = pmutex_create();
    if (t->free_lock == 0) {
        for (uint32_t j = 0; j < lockCount; ++j)
            pmutex_destroy(t->locks[j]);
        return fail(sizeof(pthread_mutex_t), t);
    }
    return t;
}

extern "C" HTHashTable *HashCreate(uint32_t size, HTHashCompare compare, HTHashFunction hash,
                                   uint32_t lockCount) noexcept
{
    return HTHash__create(size, compare, hash, lockCount, 0);
}

extern "C" void HashDestroy(HTHashTable *table) noexcept
{
    if (table == nullptr)
        return;
    auto release = [table](HTHashEntry *e) {
        while (e != nullptr) {
            HTHashEntry *next = e->next;
            if (!in_block(table, e))
                HTAlloc_free(e);
            e = next;
        }
    };
    for (uint32_t b = 0; b < table->size; ++b)
        release(table->buckets[b]);
    release(table->free_entries);
    for (EntryBlock *b = first_block(table); b != nullptr;) {
        EntryBlock *next = b->next;
        HTAlloc_free(b);
        b = next;
    }
    for (uint32_t i = 0; i < table->lock_count; ++i)
        pmutex_destroy(table->locks[i]);
    pmutex_destroy(table->free_lock);
    HTAlloc_free(table->locks);
    HTAlloc_free(table->buckets);
    HTAlloc_free(table);
}

extern "C" HTHashEntry *GetHashtableEntry(HTHashTable *table) noexcept
{
    if (table == nullptr || table->freelist_length == 0) {
        auto *e = static_cast<HTHashEntry *>(HTAlloc_malloc(sizeof(HTHashEntry)));
        if (e == nullptr && table != nullptr) {
            // Entries may still wait in the free list from an earlier switch.
            FreeListLock hold(table);
            e = table->free_entries;
            if (e != nullptr) {
                table->free_entries = e->next;
                --table->free_count;
            }
        }
        return e;
    }
    FreeListLock hold(table);
    if (table->free_entries == nullptr && !add_block_locked(table, refill_block))
        return nullptr;
    HTHashEntry *e = table->free_entries;
    table->free_entries = e->next;
    --table->free_count;
    return e;
}

extern "C" void FreeHashtableEntry(HTHashEntry *entry, HTHashTable *table) noexcept
{
    if (entry == nullptr)
        return;
    if (table == nullptr) {
        HTAlloc_free(entry);
        return;
    }
    FreeListLock hold(table);
    // A block's entry cannot go back to the heap on its own.
    if (table->freelist_length == 0 && !in_block(table, entry)) {
        HTAlloc_free(entry);
        return;
    }
    entry->object = nullptr;
    entry->next = table->free_entries;
    table->free_entries = entry;
    ++table->free_count;
}

extern "C" int HashAllocateRecords(HTHashTable *table, uint32_t n) noexcept
{
    if (table == nullptr)
        return -1;
    FreeListLock hold(table);
    return add_block_locked(table, n) ? 0 : -1;
}

extern "C" void HashSetFreelistLength(HTHashTable *table, uint32_t length) noexcept
{
    if (table == nullptr)
        return;
    FreeListLock hold(table);
    table->freelist_length = length;
}

extern "C" void HashPreallocate(HTHashTable *table) noexcept
{
    if (table == nullptr)
        return;
    FreeListLock hold(table);
    uint32_t n = table->freelist_length > table->free_count
                     ? table->freelist_length - table->free_count
                     : 0;
    if (n < refill_block)
        n = refill_block;
    add_block_locked(table, n);
}

extern "C" int HashAdd(HTHashTable *table, void *object) noexcept
{
    if (table == nullptr)
        return HT_HASH_NO_ENTRY;
    // The entry is taken before the bucket lock: the two locks never nest.
    HTHashEntry *e = GetHashtableEntry(table);
    if (e == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_HASH))
            tfprintf(stderr, "Hash........ table couldn't get a new entry!\n");
        return HT_HASH_NO_ENTRY;
    }
    const uint32_t b = HTHash__bucket(table, object);
    e->object = object;
    uint32_t entries = 0;
    {
        BucketLock hold(lock_of(table, b));
        e->next = table->buckets[b];
        table->buckets[b] = e;
        if (HT_TRACE_ON(HT_TRACE_HASH))
            for (HTHashEntry *p = e; p != nullptr; p = p->next)
                ++entries;
    }
    if (entries != 0)
        tfprintf(stderr, "Hash........ table updated. Added in row %u (it now has %u entries).\n",
                 b, entries);
    return HT_HASH_ADDED;
}

extern "C" void *HashLookup(HTHashTable *table, const void *key) noexcept
{
    if (table == nullptr)
        return nullptr;
    const uint32_t b = HTHash__bucket(table, key);
    BucketLock hold(lock_of(table, b));
    for (HTHashEntry *e = table->buckets[b]; e != nullptr; e = e->next)
        if (table->compare(e->object, key) == 0)
            return e->object;
    return nullptr;
}

extern "C" void *HashRemove(HTHashTable *table, const void *key) noexcept
{
    if (table == nullptr)
        return nullptr;
    const uint32_t b = HTHash__bucket(table, key);
    HTHashEntry *found = nullptr;
    {
        BucketLock hold(lock_of(table, b));
        for (HTHashEntry **link = &table->buckets[b]; *link != nullptr; link = &(*link)->next) {
            if (table->compare((*link)->object, key) == 0) {
                found = *link;
                *link = found->next;
                break;
            }
        }
    }
    if (found == nullptr)
        return nullptr;
    void *object = found->object;
    FreeHashtableEntry(found, table);
    return object;
}

extern "C" void HashWipe(HTHashTable *table) noexcept
{
    if (table == nullptr)
        return;
    for (uint32_t b = 0; b < table->size; ++b) {
        HTHashEntry *chain;
        {
            BucketLock hold(lock_of(table, b));
            chain = table->buckets[b];
            table->buckets[b] = nullptr;
        }
        while (chain != nullptr) {
            HTHashEntry *next = chain->next;
            FreeHashtableEntry(chain, table);
            chain = next;
        }
    }
}

extern "C" void HashLockTable(HTHashTable *table) noexcept
{
    if (table == nullptr)
        return;
    for (uint32_t i = 0; i < table->lock_count; ++i)
        pmutex_request(table->locks[i]);
}

extern "C" void HashUnlockTable(HTHashTable *table) noexcept
{
    if (table == nullptr)
        return;
    for (uint32_t i = table->lock_count; i-- > 0;)
        pmutex_release(table->locks[i]);
}

extern "C" void HashStatistics(HTHashTable *table) noexcept
{
    (void)table;
}

// Enumeration. With one lock the cursor holds it throughout; with stripes it
// holds the stripe of the bucket it is in, and changes stripe between buckets.

extern "C" HTHashEnum *HashStartEnumeration(HTHashTable *table) noexcept
{
    if (table == nullptr)
        return nullptr;
    auto *c = static_cast<HTHashEnum *>(HTAlloc_malloc(sizeof(HTHashEnum)));
    if (c == nullptr)
        return nullptr;
    c->table = table;
    c->bucket = -1;
    c->entry = nullptr;
    c->held = -1;
    if (table->lock_count == 1) {
        pmutex_request(table->locks[0]);
        c->held = 0;
    }
    return c;
}

extern "C" int32_t FindNextIndex(HTHashEnum *cursor) noexcept
{
    if (cursor == nullptr)
        return -1;
    HTHashTable *t = cursor->table;
    for (uint32_t b = static_cast<uint32_t>(cursor->bucket + 1); b < t->size; ++b) {
        BucketLock hold(t->lock_count > 1 && static_cast<int32_t>(b % t->lock_count) != cursor->held
                            ? lock_of(t, b)
                            : 0);
        if (t->buckets[b] != nullptr)
            return static_cast<int32_t>(b);
    }
    return -1;
}

extern "C" void *HashEnumerateNext(HTHashEnum *cursor) noexcept
{
    if (cursor == nullptr)
        return nullptr;
    HTHashTable *t = cursor->table;
    while (cursor->entry == nullptr) {
        if (t->lock_count > 1 && cursor->held >= 0) {
            pmutex_release(t->locks[cursor->held]);
            cursor->held = -1;
        }
        const int32_t next = FindNextIndex(cursor);
        if (next < 0) {
            cursor->bucket = static_cast<int32_t>(t->size);
            return nullptr;
        }
        cursor->bucket = next;
        if (t->lock_count > 1) {
            cursor->held = static_cast<int32_t>(static_cast<uint32_t>(next) % t->lock_count);
            pmutex_request(t->locks[cursor->held]);
        }
        // The bucket may have emptied between the probe and the lock.
        cursor->entry = t->buckets[next];
    }
    HTHashEntry *e = cursor->entry;
    cursor->entry = e->next;
    return e->object;
}

extern "C" void HashEndEnumeration(HTHashEnum *cursor) noexcept
{
    if (cursor == nullptr)
        return;
    if (cursor->held >= 0)
        pmutex_release(cursor->table->locks[cursor->held]);
    HTAlloc_free(cursor);
}
