/*
 * HTMPool: the per-thread memory pool.
 *
 * Request-scoped strings and records are carved from the calling thread's
 * pool with no per-allocation header and no individual release; the pool is
 * reset when the thread finishes a request (end-of-work phase 2), keeping
 * its first block and dropping the rest. Allocation never returns null: an
 * exhausted allocation goes to out_of_memory().
 *
 * Every allocation is a multiple of the pointer size and aligned for a
 * pointer: a request is rounded down to that multiple and one granule added
 * (on a 32-bit target 0 gives 4 and 4 gives 8; here 0 gives 8 and 8 gives 16).
 *
 * Built with HT_POOL_DEBUG every allocation is a separate heap block that a
 * reset releases, so memory checkers see each one. The option changes only
 * the library's own code: the record and the inline path below are the same
 * either way (a debug pool's blocks report nothing remaining), so programs
 * built with and without it can share a library.
 */
#ifndef HTMPOOL_H
#define HTMPOOL_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_POOL_GRANULE (sizeof(void *))
#define HT_POOL_WORKER_SIZE 16160
#define HT_POOL_OTHER_SIZE 2000
#define HT_POOL_BLOCK_MIN 16160

/* One block of a pool's chain. */
typedef struct HTMemPool {
    char *base;
    char *next;
    int32_t size;
    int32_t remaining;
    struct HTMemPool *following;
    void *debug_allocations;       /* debug build: its separate blocks */
} HTMemPool;

/* Registers "HTMemPool" with the module registry; returns its slot. */
int HTMemPool_register(void) HT_NOEXCEPT;
void *HTMemPool_threadCreate(int slot, int threadType, void *context) HT_NOEXCEPT;
/* Phase 2 (end of a request): reset the first block, release the others. */
int HTMemPool_threadUninit(int slot, int threadType, int phase, void *context) HT_NOEXCEPT;
int HTMemPool_threadDestroy(int slot, int threadType, void *context) HT_NOEXCEPT;
/* The first block of the pool of `pool` (null: the calling thread's), or null. */
HT_EXPORT HTMemPool *HTMemPool_get(HTThdGlobals *pool) HT_NOEXCEPT;

/* A block with a zero-filled buffer of `size` bytes. */
HT_EXPORT HTMemPool *HTMemPool_new(size_t size) HT_NOEXCEPT;

/*
 * Allocation from the pool of `pool`, the owner's context; null stands for
 * the calling thread's globals, and a thread without a pool gets a private
 * fall-back pool that is released when the thread ends.
 */
HT_EXPORT void *HTMemPoolAlloc(size_t size, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * The usual case, a pointer bump in the first block, inline at the call
 * site; anything else goes to the function. Like getc, HTMemPoolAlloc is
 * also a macro: (HTMemPoolAlloc)(size, pool) and &HTMemPoolAlloc reach the
 * function itself.
 */
static inline void *HTMemPool__allocInline(size_t size, HTThdGlobals *pool)
{
    if (__builtin_expect(pool != NULL && size < 0x10000000u, 1)) {
        HTMemPool *b = pool->mempool;
        const int32_t need = (int32_t)((size & ~(HT_POOL_GRANULE - 1)) + HT_POOL_GRANULE);
        if (__builtin_expect(b != NULL && b->remaining >= need, 1)) {
            char *r = b->next;
            b->next = r + need;
            b->remaining -= need;
            return r;
        }
    }
    return (HTMemPoolAlloc)(size, pool);
}
#define HTMemPoolAlloc(size, pool) HTMemPool__allocInline((size), (pool))

HT_EXPORT void *HTMemPool_calloc(size_t count, size_t size, HTThdGlobals *pool) HT_NOEXCEPT;
/* Copy of the text; null gives null. */
HT_EXPORT char *HTMemPoolStrdup(const char *text, HTThdGlobals *pool) HT_NOEXCEPT;
/* Copy of exactly `length` bytes of the text, terminated; null gives null. */
HT_EXPORT char *HTMemPoolStrdup_len(const char *text, size_t length, HTThdGlobals *pool) HT_NOEXCEPT;
/* `first` (null: empty) followed by `second` (null: empty). */
HT_EXPORT char *HTMemPool_cat(const char *first, const char *second, HTThdGlobals *pool) HT_NOEXCEPT;
/* All texts up to the terminating null, in one new text. */
HT_EXPORT char *HTMemPool_vcat(HTThdGlobals *pool, ...) HT_NOEXCEPT;

/* Twins that carry the caller's position (unused). */
void *HTMemPoolAlloc_debug(size_t size, const char *file, int line, HTThdGlobals *pool) HT_NOEXCEPT;
void *HTMemPool_callocDebug(size_t count, size_t size, const char *file, int line,
                                      HTThdGlobals *pool) HT_NOEXCEPT;
char *HTMemPoolStrdup_debug(const char *text, const char *file, int line,
                                      HTThdGlobals *pool) HT_NOEXCEPT;
char *HTMemPoolStrdup_lenDebug(const char *text, size_t length, const char *file,
                                         int line, HTThdGlobals *pool) HT_NOEXCEPT;
char *HTMemPool_catDebug(const char *first, const char *second, const char *file,
                                   int line, HTThdGlobals *pool) HT_NOEXCEPT;
char *HTMemPool_vcatDebug(const char *file, int line, HTThdGlobals *pool, ...) HT_NOEXCEPT;
HT_EXPORT void HTMemPool_check(void) HT_NOEXCEPT;
/* 1 when the library was built with HT_POOL_DEBUG (every allocation its own block). */
int HTMemPool_debugBuild(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
