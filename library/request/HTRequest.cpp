// HTRequest: making and deleting request records, and their stat cache.

#include "HTRequest.h"

#include "HTAnchor.h"
#include "HTAtom.h"
#include "HTList.h"
#include "HTMPool.h"

#include <cstring>
#include <sys/stat.h>

static_assert(sizeof(HT_REQUEST_EYECATCHER) == sizeof(HTRequest{}.eyecatcher),
              "the eye-catcher fills its 20 bytes, terminator included");

extern "C" HTRequest *HTRequest_new(HTThdGlobals *pool) noexcept
{
    auto *r = static_cast<HTRequest *>(HTMemPool_calloc(1, sizeof(HTRequest), pool));
    std::memcpy(r->eyecatcher, HT_REQUEST_EYECATCHER, sizeof r->eyecatcher);
    r->pool = pool;
    r->conversions = HTList_new(pool);
    r->output_format = WWW_PRESENT;
    r->host_word = 1;
    r->cacheable = 1;
    return r;
}

extern "C" int HTRequest_delete(HTRequest *request) noexcept
{
    if (request == nullptr)
        return 0;
    HTAnchor_delete(request->anchor);
    request->anchor = nullptr;
    HTList **lists[] = {&request->conversions, &request->encodings, &request->languages,
                        &request->charsets};
    for (HTList **l : lists) {
        HTList_delete(*l, request->pool);
        *l = nullptr;
    }
    // The compiler may not drop these stores: the record stays readable in the pool.
    if (request->sensitive != nullptr) {
        volatile char *p = request->sensitive;
        while (*p != '\0')
            *p++ = '\0';
        request->sensitive = nullptr;
    }
    return 0;
}

extern "C" HTStream *HTRequest_extractOutputStream(const HTRequest *request) noexcept
{
    return request ? request->output_stream : nullptr;
}

extern "C" void HTRequest_setOutputStream(HTRequest *request, HTStream *stream) noexcept
{
    if (request)
        request->output_stream = stream;
}

extern "C" int HTStat(HTRequest *request, const char *path, struct stat *buffer,
                      HTThdGlobals *context) noexcept
{
    if (path == nullptr || buffer == nullptr)
        return -1;
    if (request == nullptr)
        return stat(path, buffer) == 0 ? 0 : -1;
    if (request->stat_copy != nullptr && request->stat_path != nullptr &&
        std::strcmp(request->stat_path, path) == 0) {
        *buffer = *request->stat_copy;
        return 0;
    }
    if (stat(path, buffer) != 0)
        return -1;
    HTThdGlobals *pool = request->pool ? request->pool : context;
    if (request->stat_copy == nullptr)
        request->stat_copy = static_cast<struct stat *>(HTMemPoolAlloc(sizeof(struct stat), pool));
    *request->stat_copy = *buffer;
    request->stat_path = HTMemPoolStrdup(path, pool);
    return 0;
}
