// GarbageHeap: a free-standing arena of large chunks.

#include "GarbageHeap.h"

#include "HTAlloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kGranule = sizeof(void *);
constexpr size_t kMaxChunk = INT32_MAX;

// The data area starts right after the header; keep it pointer-aligned.
constexpr size_t kHeader = (sizeof(GarbageChunk) + kGranule - 1) & ~(kGranule - 1);

size_t granule(size_t size)
{
    if (size > kMaxChunk - kGranule)
        return 0;
    return (size & ~(kGranule - 1)) + kGranule;
}

// A chunk for `need` bytes that are already granule-rounded.
GarbageChunk *new_chunk(size_t need)
{
    if (need < GARBAGEHEAP_MIN_CHUNK)
        need = GARBAGEHEAP_MIN_CHUNK;
    auto *c = static_cast<GarbageChunk *>(HTAlloc_malloc(kHeader + need));
    if (c == nullptr)
        return nullptr;
    c->data = reinterpret_cast<char *>(c) + kHeader;
    c->size = static_cast<int32_t>(need);
    c->remaining = static_cast<int32_t>(need);
    c->following = nullptr;
    return c;
}

} // namespace

extern "C" GarbageChunk *GarbageHeap_NewChunk(size_t size) noexcept
{
    const size_t need = granule(size);
    return need == 0 ? nullptr : new_chunk(need);
}

extern "C" GarbageHeap *GarbageHeap_Create(size_t size) noexcept
{
    auto *h = static_cast<GarbageHeap *>(HTAlloc_calloc(1, sizeof(GarbageHeap)));
    if (h == nullptr)
        return nullptr;
    if (size != 0) {
        h->first = GarbageHeap_NewChunk(size);
        if (h->first == nullptr) {
            HTAlloc_free(h);
            return nullptr;
        }
    }
    return h;
}

extern "C" void *GarbageHeap_Alloc(GarbageHeap *heap, size_t size) noexcept
{
    if (heap == nullptr)
        return nullptr;
    const size_t need = granule(size);
    if (need == 0)
        return nullptr;
    const int32_t n = static_cast<int32_t>(need);
    for (GarbageChunk *c = heap->first; c != nullptr; c = c->following)
        if (c->remaining >= n) {
            char *p = c->data + (c->size - c->remaining);
            c->remaining -= n;
            return p;
        }
    GarbageChunk *c = new_chunk(need);
    if (c == nullptr)
        return nullptr;
    c->following = heap->first;
    heap->first = c;
    c->remaining -= n;
    return c->data;
}

extern "C" void *GarbageHeap_Calloc(GarbageHeap *heap, size_t count, size_t size) noexcept
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    void *p = GarbageHeap_Alloc(heap, count * size);
    if (p != nullptr)
        std::memset(p, 0, count * size);
    return p;
}

extern "C" void GarbageHeap_Dump(GarbageHeap *heap) noexcept
{
    if (heap == nullptr)
        return;
    for (GarbageChunk *c = heap->first; c != nullptr; c = c->following)
        c->remaining = c->size;
}

extern "C" void GarbageHeap_Destroy(GarbageHeap *heap) noexcept
{
    if (heap == nullptr)
        return;
    GarbageChunk *c = heap->first;
    while (c != nullptr) {
        GarbageChunk *n = c->following;
        HTAlloc_free(c);
        c = n;
    }
    HTAlloc_free(heap);
}
