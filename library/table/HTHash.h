/*
 * HTHash: chained hash table of object pointers.
 *
 * The caller supplies the hash (size, key) -> bucket and the compare
 * (stored object, key) -> 0 on a match; inserts hash the object itself, so
 * both functions must accept objects and keys alike. Locking is chosen at
 * creation: none, one lock, or n stripe locks (bucket b under lock b mod n).
 * Chain entries can be recycled through a free list filled in blocks, which
 * keeps them out of the general allocator; the free list has its own lock.
 * Allocation failures of the table itself go to out_of_memory().
 */
#ifndef HTHASH_H
#define HTHASH_H

#include "HTThread.h"
#include "HTResult.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*HTHashCompare)(const void *object, const void *key);
typedef uint32_t (*HTHashFunction)(uint32_t size, const void *key);

typedef struct HTHashEntry {
    void *object;
    struct HTHashEntry *next;
} HTHashEntry;

typedef struct HTHashTable {
    HTHashEntry **buckets;
    uint32_t size;
    HTHashCompare compare;
    HTHashFunction hash;
    HTHashEntry *free_entries;
    uint32_t freelist_length; /* non-zero: recycle entries; preallocation target */
    uint32_t free_count;
    void *blocks;             /* entry blocks made for recycling */
    uint32_t lock_count;      /* 0 none, 1 one lock, n > 1 stripes */
    pmutex *locks;
    pmutex free_lock;         /* guards free_entries, free_count and blocks */
} HTHashTable;

/* A walk over all objects, bucket by bucket. */
typedef struct HTHashEnum {
    HTHashTable *table;
    int32_t bucket;       /* bucket being walked, -1 before the first */
    HTHashEntry *entry;   /* next entry to hand out */
    int32_t held;         /* stripe lock held, -1 none */
} HTHashEnum;

HT_EXPORT HTHashTable *HashCreate(uint32_t size, HTHashCompare compare, HTHashFunction hash,
                                  uint32_t lockCount) HT_NOEXCEPT;
/* Releases entries, blocks, locks and buckets, not the objects. */
HT_EXPORT void HashDestroy(HTHashTable *table) HT_NOEXCEPT;
/* Inserts at the front of the object's bucket: HT_HASH_ADDED, or HT_HASH_NO_ENTRY. */
HT_EXPORT int HashAdd(HTHashTable *table, void *object) HT_NOEXCEPT;
HT_EXPORT void *HashLookup(HTHashTable *table, const void *key) HT_NOEXCEPT;
/* Unlinks and returns the first matching object, or null. */
HT_EXPORT void *HashRemove(HTHashTable *table, const void *key) HT_NOEXCEPT;
/* Removes every entry (the objects stay). */
HT_EXPORT void HashWipe(HTHashTable *table) HT_NOEXCEPT;
HT_EXPORT void HashSetFreelistLength(HTHashTable *table, uint32_t length) HT_NOEXCEPT;
/* Adds max(freelist length - free count, 10) entries to the free list in one block. */
HT_EXPORT void HashPreallocate(HTHashTable *table) HT_NOEXCEPT;
HT_EXPORT HTHashEntry *GetHashtableEntry(HTHashTable *table) HT_NOEXCEPT;
/* With a null table the entry is released to the heap. */
HT_EXPORT void FreeHashtableEntry(HTHashEntry *entry, HTHashTable *table) HT_NOEXCEPT;
/* A block of n entries chained into the free list: 0, or -1 on failure. */
HT_EXPORT int HashAllocateRecords(HTHashTable *table, uint32_t n) HT_NOEXCEPT;

/*
 * Enumeration holds the table lock (one lock) from start to end, or with
 * stripes the lock of the bucket being walked: the walking thread must not
 * change the table meanwhile. Start gives null only on allocation failure.
 */
HT_EXPORT HTHashEnum *HashStartEnumeration(HTHashTable *table) HT_NOEXCEPT;
HT_EXPORT void *HashEnumerateNext(HTHashEnum *cursor) HT_NOEXCEPT;
HT_EXPORT void HashEndEnumeration(HTHashEnum *cursor) HT_NOEXCEPT;
/* The next non-empty bucket after the cursor's, or -1. */
HT_EXPORT int32_t FindNextIndex(HTHashEnum *cursor) HT_NOEXCEPT;

/* Holds every lock of the table (in stripe order). */
HT_EXPORT void HashLockTable(HTHashTable *table) HT_NOEXCEPT;
HT_EXPORT void HashUnlockTable(HTHashTable *table) HT_NOEXCEPT;
HT_EXPORT void HashStatistics(HTHashTable *table) HT_NOEXCEPT;

/*
 * Internal, shared with StrongHash: `soft` makes allocation failures return
 * null instead of going to out_of_memory().
 */
HTHashTable *HTHash__create(uint32_t size, HTHashCompare compare, HTHashFunction hash,
                            uint32_t lockCount, int soft) HT_NOEXCEPT;
/* Internal: the bucket of a key (always below size). */
uint32_t HTHash__bucket(const HTHashTable *table, const void *key) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
