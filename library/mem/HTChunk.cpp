// HTChunk: a growable byte buffer.

#include "HTChunk.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTMPool.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

int32_t step(const HTChunk *c) { return c->growby > 0 ? c->growby : 1; }

} // namespace

extern "C" HTChunk *HTChunkCreate(int growby) noexcept
{
    auto *c = static_cast<HTChunk *>(HTAlloc_calloc(1, sizeof(HTChunk)));
    if (c == nullptr)
        out_of_memory("HTChunk", "cretion of chunk", __LINE__, sizeof(HTChunk));
    c->growby = growby;
    c->heap = 1;
    return c;
}

extern "C" HTChunk *HTChunk_newPooled(int growby, HTThdGlobals *pool) noexcept
{
    auto *c = static_cast<HTChunk *>(HTMemPool_calloc(1, sizeof(HTChunk), pool));
    c->growby = growby;
    c->heap = 0;
    return c;
}

extern "C" void HTChunkEnsure(HTChunk *chunk, int needed, HTThdGlobals *pool) noexcept
{
    if (chunk == nullptr || needed <= chunk->allocated)
        return;
    const long long g = step(chunk);
    const long long cap = (static_cast<long long>(needed) + g - 1) / g * g;
    if (cap > INT32_MAX || (!chunk->heap && cap + g > INT32_MAX))
        out_of_memory("HTChunk", "HTChunkPutc", __LINE__, static_cast<size_t>(cap));
    if (chunk->heap) {
        void *p = HTAlloc_realloc(chunk->data, static_cast<size_t>(cap));
        if (p == nullptr)
            out_of_memory("HTChunk", "HTChunkPutc", __LINE__, static_cast<size_t>(cap));
        chunk->data = static_cast<char *>(p);
    } else {
        // The old area stays in the pool until the pool is reset.
        auto *p = static_cast<char *>(HTMemPoolAlloc(static_cast<size_t>(cap + g), pool));
        if (chunk->size > 0)
            std::memcpy(p, chunk->data, static_cast<size_t>(chunk->size));
        chunk->data = p;
    }
    chunk->allocated = static_cast<int32_t>(cap);
}

extern "C" void HTChunk_makeSpace(HTChunk *chunk, int n, HTThdGlobals *pool) noexcept
{
    if (chunk == nullptr || n < 0)
        return;
    if (static_cast<long long>(chunk->allocated) - chunk->size <= n) {
        const long long want = static_cast<long long>(chunk->allocated) + n + 1;
        if (want > INT32_MAX)
            out_of_memory("HTChunk", "HTChunkPutc", __LINE__, static_cast<size_t>(want));
        HTChunkEnsure(chunk, static_cast<int>(want), pool);
    }
}

extern "C" void HTChunkPutc(HTChunk *chunk, char c, HTThdGlobals *pool) noexcept
{
    if (chunk == nullptr)
        return;
    HTChunk_makeSpace(chunk, 1, pool);
    chunk->data[chunk->size++] = c;
}

extern "C" void HTChunk_putb(HTChunk *chunk, const char *bytes, int length, HTThdGlobals *pool) noexcept
{
    if (chunk == nullptr || bytes == nullptr || length <= 0)
        return;
    HTChunk_makeSpace(chunk, length, pool);
    std::memcpy(chunk->data + chunk->size, bytes, static_cast<size_t>(length));
    chunk->size += length;
}

extern "C" void HTChunkPuts(HTChunk *chunk, const char *text, HTThdGlobals *pool) noexcept
{
    if (text == nullptr)
        return;
    const size_t n = std::strlen(text);
    if (n > INT32_MAX)
        out_of_memory("HTChunk", "HTChunkPutc", __LINE__, n);
    HTChunk_putb(chunk, text, static_cast<int>(n), pool);
}

extern "C" void HTChunkTerminate(HTChunk *chunk, HTThdGlobals *pool) noexcept
{
    HTChunkPutc(chunk, '\0', pool);
}

extern "C" void HTChunkClear(HTChunk *chunk) noexcept
{
    if (chunk == nullptr)
        return;
    chunk->size = 0;
    if (chunk->heap && static_cast<long long>(chunk->allocated) > 3LL * step(chunk)) {
        HTAlloc_free(chunk->data);
        chunk->data = nullptr;
        chunk->allocated = 0;
    }
}

extern "C" void HTChunkFree(HTChunk *chunk) noexcept
{
    if (chunk == nullptr || !chunk->heap)
        return;
    HTAlloc_free(chunk->data);
    HTAlloc_free(chunk);
}

extern "C" char *HTChunk_toCString(HTChunk *chunk, HTThdGlobals *pool) noexcept
{
    if (chunk == nullptr)
        return nullptr;
    HTChunkTerminate(chunk, pool);
    char *data = chunk->data;
    if (chunk->heap)
        HTAlloc_free(chunk);
    return data;
}

extern "C" char *HTChunk_getData(const HTChunk *chunk) noexcept { return chunk ? chunk->data : nullptr; }
