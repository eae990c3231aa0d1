/*
 * HTAlloc: the one place where the library takes memory from the heap.
 *
 * Every heap block of the library comes from these calls, so that a test can
 * make any one of them fail: HTAlloc_failAt(n) arms the calling thread so
 * that its n-th allocation from now returns null (and, when `persistent`,
 * every one after it). Tests run an operation with n = 1, 2, 3 ... until it
 * succeeds without the failure happening, and check each time that the
 * result is a clean success or the documented failure.
 *
 * The blocks are the C library's: HTAlloc_free and free() are the same, and
 * a block the library hands to a caller may be released with either.
 * Memory carved from a per-thread pool is reclaimed by the pool's reset and
 * is not counted here; only the pool's own blocks are.
 */
#ifndef HTALLOC_H
#define HTALLOC_H

#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Null when the heap is exhausted (or the test hook says so); size 0 gives a unique block. */
void *HTAlloc_malloc(size_t size) HT_NOEXCEPT;
/* Zero-filled; null also when count x size overflows. */
void *HTAlloc_calloc(size_t count, size_t size) HT_NOEXCEPT;
/* As realloc: on null the old block is untouched and still owned by the caller. */
void *HTAlloc_realloc(void *block, size_t size) HT_NOEXCEPT;
/* Copy of the text (null gives null without counting an allocation). */
char *HTAlloc_strdup(const char *text) HT_NOEXCEPT;
/* Copy of exactly `length` bytes of the text, terminated. */
char *HTAlloc_strndup(const char *text, size_t length) HT_NOEXCEPT;
void HTAlloc_free(void *block) HT_NOEXCEPT;

/*
 * Test hook of the calling thread: its n-th allocation from now fails
 * (1: the next one); with `persistent` every later one fails too. 0 disarms.
 * Other threads are never affected.
 */
void HTAlloc_failAt(unsigned long n, int persistent) HT_NOEXCEPT;
/* Whether an armed failure has happened since HTAlloc_failAt. */
int HTAlloc_failed(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
