/*
 * GarbageHeap: a free-standing arena of large chunks.
 *
 * For data that lives as long as its owner and is dropped all at once (the
 * catalogue's string cache). No lock of its own: the owner serialises use.
 * Allocations are multiples of the pointer size, handed out from the low
 * end of each chunk; failures give null.
 */
#ifndef GARBAGEHEAP_H
#define GARBAGEHEAP_H

#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GARBAGEHEAP_MIN_CHUNK 500000

/* Chunk header; the data area follows it directly. */
typedef struct GarbageChunk {
    char *data;
    int32_t size;
    int32_t remaining;
    struct GarbageChunk *following;
} GarbageChunk;

typedef struct GarbageHeap {
    GarbageChunk *first;
} GarbageHeap;

/* A new heap; with a non-zero size it starts with one chunk for it. Null on failure. */
HT_EXPORT GarbageHeap *GarbageHeap_Create(size_t size) HT_NOEXCEPT;
HT_EXPORT void *GarbageHeap_Alloc(GarbageHeap *heap, size_t size) HT_NOEXCEPT;
/* count x size bytes, cleared; null on failure or when the product does not fit. */
HT_EXPORT void *GarbageHeap_Calloc(GarbageHeap *heap, size_t count, size_t size) HT_NOEXCEPT;
/* Forgets every allocation and keeps the chunks. */
HT_EXPORT void GarbageHeap_Dump(GarbageHeap *heap) HT_NOEXCEPT;
HT_EXPORT void GarbageHeap_Destroy(GarbageHeap *heap) HT_NOEXCEPT;
/* A chunk of max(granule of size, 500000) data bytes, or null. */
HT_EXPORT GarbageChunk *GarbageHeap_NewChunk(size_t size) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
