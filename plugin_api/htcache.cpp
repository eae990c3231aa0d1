// The cache access calls.

#include "htcache.h"

#include "htapi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace plugrt {
namespace {

bool key_ok(const char *key, const unsigned long *length) noexcept
{
    return key != nullptr && length != nullptr && *length != 0 && length_ok(*length);
}

// Sets the code to 0 first; false (with 35, or -1 without a table) when the call cannot go on.
bool begin(long *rc, bool arguments_ok) noexcept
{
    if (rc == nullptr)
        return false;
    *rc = HTTPD_SUCCESS;
    if (all_api_callbacks == nullptr) {
        *rc = HTTPD_UNSUPPORTED;
        return false;
    }
    if (!arguments_ok) {
        *rc = map_cache_result(kHostBadArguments);
        return false;
    }
    return true;
}

// A cache handle from the host, or null with the code for none.
void *get_handle(long *rc) noexcept
{
    auto get = entry<HTCB_CACHE_HANDLE>();
    void *c = get ? get() : nullptr;
    if (c == nullptr)
        *rc = get ? map_cache_result(kHostNoHandle) : HTTPD_UNSUPPORTED;
    return c;
}

// The first non-zero of the results, mapped.
long first_failure(std::initializer_list<long> results) noexcept
{
    for (long r : results)
        if (r != 0)
            return map_cache_result(r);
    return HTTPD_SUCCESS;
}

template <int N, class... A> long call(A... args) noexcept
{
    auto f = entry<N>();
    return f ? f(args...) : -1;
}

long release(void *c) noexcept
{
    return call<HTCB_CACHE_RELEASE>(c);
}

// Copied one field at a time: the record's layout is fixed, its padding is not ours.
void copy_attributes(HTAPICacheAttributes *to, const HTAPICacheAttributes *from) noexcept
{
    to->created = from->created;
    to->expires = from->expires;
    to->last_modified = from->last_modified;
    to->last_access = from->last_access;
    to->size = from->size;
    to->hits = from->hits;
    to->state = from->state;
    to->priority = from->priority;
    to->flags = from->flags;
}

} // namespace

long map_cache_result(long r) noexcept
{
    return r >= 0 && r < HT_ERRMAP_SIZE ? errmap[r] : kUnmappedResult;
}

} // namespace plugrt

using namespace plugrt;

// ---- request-bound calls ----

extern "C" PLUGRT_EXPORT void HTCACHBLE(void *handle, const char *url, long *out, long *return_code) noexcept
{
    Frame f(Api::Cacheable, handle, return_code, {});
    if (!f.live())
        return;
    if (out != nullptr)
        *out = 0;
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || r->method != HTAPI_METHOD_GET) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheable_url() Request method not cacheable\n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    if (url == nullptr) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheable_url() given bad url \n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    auto decide = f.need<HTCB_CACHEABLE>();
    if (decide == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    if (decide(f.handle(), url) == 1) {
        if (out != nullptr)
            *out = 1;
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheable_url() url cacheable \n");
        f.finish(HTTPD_SUCCESS);
        return;
    }
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheable_url() url not cacheable \n");
    f.finish(HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTCACHEGINV(void *handle, const char *url, long *return_code) noexcept
{
    Frame f(Api::CachegInvalidate, handle, return_code, {});
    if (!f.live())
        return;
    if (url == nullptr) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheg_invalidate_url() given bad url \n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    auto invalidate = f.need<HTCB_CACHEG_INVALIDATE>();
    if (invalidate == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    if (invalidate(f.handle(), url) == 1) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheg_invalidate_url() url invalidated \n");
        f.finish(HTTPD_SUCCESS);
        return;
    }
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheg_invalidate_url() url could not invalidate \n");
    f.finish(map_cache_result(kHostBadArguments));
}

extern "C" PLUGRT_EXPORT void HTCACHEGOWN(void *handle, const char *url, char **owner,
                                          long *return_code) noexcept
{
    Frame f(Api::CachegOwner, handle, return_code, {});
    if (!f.live())
        return;
    if (url == nullptr) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheg_url_owner() given bad url \n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    auto find = f.need<HTCB_CACHEG_OWNER>();
    if (find == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    if (find(f.handle(), url, owner) == 0) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheg_url_owner() owner found \n");
        f.finish(HTTPD_SUCCESS);
        return;
    }
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_cacheg_url_owner() owner not found ; possibly self \n");
    f.finish(HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTCAPEEK(void *handle, void *a, void *b, long *return_code) noexcept
{
    Frame f(Api::CachePeek, handle, return_code, {});
    if (!f.live())
        return;
    if (a == nullptr || b == nullptr) {
        f.finish(HTTPD_BAD_ARGUMENT);
        return;
    }
    auto peek = f.need<HTCB_CACHE_PEEK>();
    if (peek == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    peek(f.handle(), a, b);
    f.finish(HTTPD_DONE);
}

// ---- direct calls ----

extern "C" PLUGRT_EXPORT void CCLOOKUP(const char *key, unsigned long *key_length, int *found,
                                       long *return_code) noexcept
{
    if (found != nullptr)
        *found = 0;
    if (!begin(return_code, key_ok(key, key_length)))
        return;
    auto get = entry<HTCB_CACHE_HANDLE>();
    void *c = get ? get() : nullptr;
    if (c == nullptr) {
        // Written whatever the trace settings.
        std::fputs("HTTPD_CC_Lookup, cannot get filehandle\n", stderr);
        *return_code = get ? map_cache_result(kHostNoHandle) : HTTPD_UNSUPPORTED;
        return;
    }
    int state = 0;
    const long opened = call<HTCB_CACHE_OPEN_READ>(c, key, *key_length, &state);
    if (opened == 0) {
        std::fputs("HTTPD_CC_Lookup, find it in openread.\n", stderr);
        if (found != nullptr)
            *found = state == 1 || state == 2;
    }
    const long closed = call<HTCB_CACHE_CLOSE>(c);
    *return_code = first_failure({opened, closed});
}

extern "C" PLUGRT_EXPORT void CCCREATE(const char *key, unsigned long *key_length,
                                       const HTAPICacheAttributes *attributes, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length)))
        return;
    void *c = get_handle(return_code);
    if (c == nullptr)
        return;
    HTAPICacheAttributes local{};
    if (attributes != nullptr)
        copy_attributes(&local, attributes);
    const long created = call<HTCB_CACHE_CREATE>(c, key, *key_length,
                                                 static_cast<const HTAPICacheAttributes *>(attributes ? &local : nullptr));
    *return_code = first_failure({created, release(c)});
}

extern "C" PLUGRT_EXPORT void CCREAD(const char *key, unsigned long *key_length, void *buffer,
                                     unsigned long *length, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length) && buffer != nullptr && length != nullptr))
        return;
    void *c = get_handle(return_code);
    if (c == nullptr)
        return;
    const long read = call<HTCB_CACHE_READ>(c, key, *key_length, buffer, length);
    const long ended = call<HTCB_CACHE_READ_END>(c);
    *return_code = first_failure({read, ended, release(c)});
}

namespace {

// Headers and data of an entry, either or both.
void write_entry(const char *key, unsigned long *key_length, const void *headers,
                 unsigned long *headers_length, const void *data, unsigned long *data_length,
                 long *rc) noexcept
{
    void *c = get_handle(rc);
    if (c == nullptr)
        return;
    long h = 0;
    long d = 0;
    if (headers != nullptr)
        h = call<HTCB_CACHE_WRITE_HEADERS>(c, key, *key_length, headers, headers_length);
    if (data != nullptr && h == 0)
        d = call<HTCB_CACHE_WRITE_DATA>(c, key, *key_length, data, data_length);
    *rc = first_failure({h, d, release(c)});
}

} // namespace

extern "C" PLUGRT_EXPORT void CCWRITE(const char *key, unsigned long *key_length, const void *headers,
                                      unsigned long *headers_length, const void *data,
                                      unsigned long *data_length, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length) && headers && headers_length && data && data_length))
        return;
    write_entry(key, key_length, headers, headers_length, data, data_length, return_code);
}

extern "C" PLUGRT_EXPORT void HTTPD_CC_WriteHeaders(const char *key, unsigned long *key_length,
                                                    const void *headers, unsigned long *length,
                                                    long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length) && headers != nullptr && length != nullptr))
        return;
    write_entry(key, key_length, headers, length, nullptr, nullptr, return_code);
}

extern "C" PLUGRT_EXPORT void HTTPD_CC_WriteData(const char *key, unsigned long *key_length,
                                                 const void *data, unsigned long *length,
                                                 long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length) && data != nullptr && length != nullptr))
        return;
    write_entry(key, key_length, nullptr, nullptr, data, length, return_code);
}

extern "C" PLUGRT_EXPORT void CCDELETE(const char *key, unsigned long *key_length, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length)))
        return;
    const long locked = call<HTCB_CACHE_GROUP_LOCK>(key, *key_length);
    const long prepared = call<HTCB_CACHE_DELETE_PREPARE>(key, *key_length);
    void *c = get_handle(return_code);
    if (c == nullptr)
        return;
    long found = 0;
    long deleted = 0;
    if (locked == 0 && prepared == 0) {
        found = call<HTCB_CACHE_FIND>(c, key, *key_length);
        if (found == 0)
            deleted = call<HTCB_CACHE_DELETE>(c, key, *key_length);
    }
    *return_code = first_failure({locked, prepared, found, deleted, call<HTCB_CACHE_CLOSE>(c)});
}

extern "C" PLUGRT_EXPORT void CCINVAL(const char *key, unsigned long *key_length, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length)))
        return;
    const long locked = call<HTCB_CACHE_GROUP_LOCK>(key, *key_length);
    const long invalidated = locked == 0 ? call<HTCB_CACHE_INVALIDATE_PREPARE>(key, *key_length) : 0;
    void *c = get_handle(return_code);
    if (c == nullptr)
        return;
    const long found = locked == 0 && invalidated == 0 ? call<HTCB_CACHE_FIND>(c, key, *key_length) : 0;
    const long released = release(c);
    *return_code = first_failure({locked, invalidated, found, released, call<HTCB_CACHE_CLOSE>(c)});
}

extern "C" PLUGRT_EXPORT void CCLOCK(const char *key, unsigned long *key_length, void **lock,
                                     long *return_code) noexcept
{
    if (lock != nullptr)
        *lock = nullptr;
    if (!begin(return_code, key_ok(key, key_length) && lock != nullptr))
        return;
    void *c = get_handle(return_code);
    if (c == nullptr)
        return;
    int state = 0;
    const long opened = call<HTCB_CACHE_OPEN_READ>(c, key, *key_length, &state);
    const long found = opened == 0 ? call<HTCB_CACHE_FIND>(c, key, *key_length) : 0;
    if (opened != 0 || found != 0) {
        *return_code = first_failure({opened, found, call<HTCB_CACHE_CLOSE>(c)});
        return;
    }
    // The open handle is the lock; CCUNLOCK closes it.
    *lock = c;
}

extern "C" PLUGRT_EXPORT void CCUNLOCK(void *lock, long *return_code) noexcept
{
    if (!begin(return_code, lock != nullptr))
        return;
    *return_code = first_failure({call<HTCB_CACHE_CLOSE>(lock)});
}

extern "C" PLUGRT_EXPORT void CCSWAP(const char *key, unsigned long *key_length,
                                     const HTAPICacheAttributes *attributes, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length)))
        return;
    const unsigned long n = *key_length;
    auto *copy = static_cast<char *>(std::malloc(n + 1));
    if (copy == nullptr) {
        *return_code = HTTPD_NO_MEMORY;
        return;
    }
    std::memcpy(copy, key, n);
    copy[n] = '\0';
    void *c = get_handle(return_code);
    if (c == nullptr) {
        std::free(copy);
        return;
    }
    HTAPICacheAttributes local{};
    if (attributes != nullptr)
        copy_attributes(&local, attributes);
    // The old entry may be missing: a swap then only creates.
    call<HTCB_CACHE_DELETE>(c, copy, n);
    const long closed = call<HTCB_CACHE_CLOSE>(c);
    const long created = call<HTCB_CACHE_CREATE>(c, copy, n,
                                                 static_cast<const HTAPICacheAttributes *>(attributes ? &local : nullptr));
    const long cdf = created == 0 ? call<HTCB_CACHE_CDF>(c, static_cast<void *>(copy)) : 0;
    std::free(copy);
    *return_code = first_failure({created, closed, cdf});
}

extern "C" PLUGRT_EXPORT void CCGCONF(HTAPICacheConfig *config, long *return_code) noexcept
{
    if (return_code == nullptr)
        return;
    *return_code = HTTPD_SUCCESS;
    if (config == nullptr) {
        *return_code = map_cache_result(kHostBadArguments);
        return;
    }
    config->reserved = 0;
    config->major = CCAPIVersion[0];
    config->minor = CCAPIVersion[1];
}

extern "C" PLUGRT_EXPORT void CCGATTR(const char *key, unsigned long *key_length,
                                      HTAPICacheAttributes *attributes, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length) && attributes != nullptr))
        return;
    HTAPICacheAttributes local{};
    call<HTCB_CACHE_GET_ATTRIBUTES>(key, *key_length, &local);
    copy_attributes(attributes, &local);
}

extern "C" PLUGRT_EXPORT void CCSATTR(const char *key, unsigned long *key_length,
                                      const HTAPICacheAttributes *attributes, long *return_code) noexcept
{
    if (!begin(return_code, key_ok(key, key_length) && attributes != nullptr))
        return;
    HTAPICacheAttributes local{};
    copy_attributes(&local, attributes);
    call<HTCB_CACHE_SET_ATTRIBUTES>(key, *key_length, static_cast<const HTAPICacheAttributes *>(&local));
}

namespace {

template <int N> void pass_through(void *a, void *b, long *rc) noexcept
{
    if (rc != nullptr)
        *rc = call<N>(a, b);
}

} // namespace

extern "C" PLUGRT_EXPORT void HTTPD_CC_CDFEnable(void *a, void *b, long *return_code) noexcept
{
    pass_through<HTCB_CACHE_CDF>(a, b, return_code);
}

extern "C" PLUGRT_EXPORT void HTTPD_CC_Dis_CDF(void *a, void *b, long *return_code) noexcept
{
    pass_through<HTCB_CACHE_CDF_DISABLE>(a, b, return_code);
}

extern "C" PLUGRT_EXPORT void HTTPD_CC_Ena_CDF(void *a, void *b, long *return_code) noexcept
{
    pass_through<HTCB_CACHE_CDF_ENABLE>(a, b, return_code);
}

extern "C" PLUGRT_EXPORT void HTGETCUR(void *handle, void *a, void *b, long *return_code) noexcept
{
    if (return_code != nullptr)
        *return_code = call<HTCB_CACHE_GET_CURRENT>(handle, a, b);
}

extern "C" PLUGRT_EXPORT void HTDROPCUR(void *handle, void *a, long *return_code) noexcept
{
    if (return_code != nullptr)
        *return_code = call<HTCB_CACHE_DROP_CURRENT>(handle, a);
}

extern "C" PLUGRT_EXPORT void HTINSCUR(void *handle, void *a, void *b, long *return_code) noexcept
{
    if (return_code != nullptr)
        *return_code = call<HTCB_CACHE_INSERT_CURRENT>(handle, a, b);
}
