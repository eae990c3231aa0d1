/*
 * afs_lhash: linear-hashing table keyed by a 32-bit hash the caller computes.
 *
 * The table grows one bucket at a time (splitting the bucket at the split
 * pointer) whenever it holds more than five entries per bucket in use, so no
 * single insert rehashes everything. Keys are reduced modulo the prime
 * 1048583 before the split, which spreads poor keys. Entries come from an
 * atom allocator. No locking: the owner serialises access. Also the Jenkins
 * (1996) hashes to make keys with.
 */
#ifndef AFS_LHASH_H
#define AFS_LHASH_H

#include "afs_atomlist.h"
#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AFS_LHASH_PRIME 1048583u /* 0x100007 */

/* Non-zero when the stored data matches the search argument. */
typedef int (*afs_lhash_equal_fn)(const void *argument, const void *data);

typedef struct afs_lhash_entry {
    struct afs_lhash_entry *next;
    void *data;
    uint32_t key;
} afs_lhash_entry;

typedef struct afs_lhash {
    afs_lhash_equal_fn equal;
    afs_allocate_fn allocate;
    afs_release_fn release;
    size_t p;            /* split pointer */
    size_t m;            /* level size, 16 at first */
    size_t entries;
    size_t buckets_used; /* 16 at first */
    size_t capacity;     /* slots of `table`, a multiple of 256 */
    afs_lhash_entry **table;
    afs_atomlist *atoms;
    unsigned long searches;
    unsigned long comparisons;
    unsigned long moves;   /* entries moved to the front of their bucket */
    unsigned long splits;  /* expansions */
} afs_lhash;

struct afs_lhash_stat {
    size_t min_chain;
    size_t max_chain;
    size_t buckets;
    size_t entries;
    unsigned long searches;
    unsigned long comparisons;
    unsigned long moves;
    unsigned long splits;
};

/* Null allocate/release mean malloc/free. Null on failure. */
HT_EXPORT afs_lhash *afs_lhash_create(afs_lhash_equal_fn equal, afs_allocate_fn allocate,
                                      afs_release_fn release) HT_NOEXCEPT;
/* Releases the table and its entries, not the data. */
HT_EXPORT void afs_lhash_destroy(afs_lhash *table) HT_NOEXCEPT;
/* 0, or -1 when no entry can be allocated. */
HT_EXPORT int afs_lhash_enter(afs_lhash *table, uint32_t key, void *data) HT_NOEXCEPT;
/* The first matching data of the key, moved to the front of its bucket; or null. */
HT_EXPORT void *afs_lhash_search(afs_lhash *table, uint32_t key, const void *argument) HT_NOEXCEPT;
/* The same without reordering or counting, for read-only use. */
HT_EXPORT void *afs_lhash_rosearch(const afs_lhash *table, uint32_t key, const void *argument) HT_NOEXCEPT;
/* The data of the first entry in the key's bucket, or null. */
HT_EXPORT void *afs_lhash_search_bucket(const afs_lhash *table, uint32_t key) HT_NOEXCEPT;
/* Unlinks the first matching entry and returns its data, or null. */
HT_EXPORT void *afs_lhash_remove(afs_lhash *table, uint32_t key, const void *argument) HT_NOEXCEPT;
/* Calls fn(bucket, key, data) for every entry; returns 0. */
HT_EXPORT int afs_lhash_iter(afs_lhash *table,
                             void (*fn)(size_t bucket, uint32_t key, void *data)) HT_NOEXCEPT;
/* Fills the record; 0, or -1 for a null argument. */
HT_EXPORT int afs_lhash_stat(const afs_lhash *table, struct afs_lhash_stat *statistics) HT_NOEXCEPT;
/* Makes the bucket array hold index max_index: 0, or -1 on failure. */
HT_EXPORT int afs_lhash_accomodate(afs_lhash *table, size_t max_index) HT_NOEXCEPT;
/* Adds one bucket by splitting the one at the split pointer: 0, or -1. */
HT_EXPORT int afs_lhash_expand(afs_lhash *table) HT_NOEXCEPT;

/* Bob Jenkins' 1996 hash of `length` bytes (byte order independent). */
HT_EXPORT uint32_t afs_HashBytes(const void *bytes, size_t length, uint32_t initial) HT_NOEXCEPT;
HT_EXPORT uint32_t afs_HashString(const char *text, uint32_t initial) HT_NOEXCEPT;
/* The same mixing over 32-bit words. */
HT_EXPORT uint32_t afs_HashWords(const uint32_t *words, size_t count, uint32_t initial) HT_NOEXCEPT;
HT_EXPORT uint32_t afs_HashWords3(uint32_t a, uint32_t b, uint32_t c, uint32_t initial) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
