/*
 * HTChunk: a growable byte buffer.
 *
 * A chunk lives either in the general heap (record and data; released with
 * HTChunkFree) or in a thread's memory pool (both released by the pool's
 * reset). Growth rounds the capacity up to a multiple of growby, and an
 * append always leaves at least one spare byte for a terminator.
 * Exhausted memory, or a size that would not fit 31 bits, goes to
 * out_of_memory().
 */
#ifndef HTCHUNK_H
#define HTCHUNK_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTChunk {
    int32_t size;      /* bytes in use */
    int32_t growby;    /* growth step; 0 or less acts as 1 */
    int32_t allocated; /* capacity */
    char *data;
    int32_t heap;      /* 1: record and data in the heap; 0: in a pool */
} HTChunk;

HT_EXPORT HTChunk *HTChunkCreate(int growby) HT_NOEXCEPT;
HT_EXPORT HTChunk *HTChunk_newPooled(int growby, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT void HTChunkPutc(HTChunk *chunk, char c, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT void HTChunk_putb(HTChunk *chunk, const char *bytes, int length, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT void HTChunkPuts(HTChunk *chunk, const char *text, HTThdGlobals *pool) HT_NOEXCEPT;
/* Appends a zero byte, counted in size. */
HT_EXPORT void HTChunkTerminate(HTChunk *chunk, HTThdGlobals *pool) HT_NOEXCEPT;
/* Makes room for n more bytes plus a spare one. */
HT_EXPORT void HTChunk_makeSpace(HTChunk *chunk, int n, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT void HTChunkEnsure(HTChunk *chunk, int needed, HTThdGlobals *pool) HT_NOEXCEPT;
/* Size 0; a heap chunk with more than 3 x growby capacity also drops its data. */
HT_EXPORT void HTChunkClear(HTChunk *chunk) HT_NOEXCEPT;
/* Releases a heap chunk and its data; a pooled chunk is left to its pool. */
HT_EXPORT void HTChunkFree(HTChunk *chunk) HT_NOEXCEPT;
/* Terminates the data and returns it; a heap chunk's record is released and the caller owns the data. */
HT_EXPORT char *HTChunk_toCString(HTChunk *chunk, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT char *HTChunk_getData(const HTChunk *chunk) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
