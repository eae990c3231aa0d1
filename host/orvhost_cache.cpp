// The in-memory cache behind the cache access calls: key to entry (state,
// headers, data, lock, attributes) under one lock, bounded, oldest out
// first. It serves plug-ins only; proxied responses are never put in it.

#include "orvhost.h"

#include "htapi_cb.h"

#include <list>
#include <set>

namespace orvhost {
namespace {

struct Handle {
    std::string key; // the entry this handle opened or found
    bool holds_lock = false;
};

struct Entry {
    int state = kEntryWriting;
    std::string headers;
    std::string data;
    Handle *locked_by = nullptr;
    HTAPICacheAttributes attributes{};
};

struct Store {
    std::mutex m;
    std::map<std::string, Entry> entries;
    std::list<std::string> age; // oldest first
    std::set<Handle *> handles;
    std::size_t capacity = 64;
    long forced = -1;
    bool no_handle = false;
    std::map<std::string, std::string> owners;
    std::vector<std::string> cursor;
};

Store &store()
{
    static Store s;
    return s;
}

template <int N> void put(HTAPICallback *t, typename plugrt::Cb<N>::fn *f)
{
    t[N] = reinterpret_cast<HTAPICallback>(f);
}

// The forced result, once, instead of the operation; -1: none.
long forced(Store &s)
{
    const long r = s.forced;
    s.forced = -1;
    return r;
}

std::string key_of(const char *key, unsigned long length)
{
    return std::string(key, length);
}

void unlock(Store &s, Handle *h)
{
    if (!h->holds_lock)
        return;
    auto it = s.entries.find(h->key);
    if (it != s.entries.end() && it->second.locked_by == h)
        it->second.locked_by = nullptr;
    h->holds_lock = false;
}

void erase(Store &s, const std::string &key)
{
    s.entries.erase(key);
    s.age.remove(key);
}

// The entry, unless another handle holds its lock.
long usable(Store &s, Handle *h, const std::string &key, Entry **out)
{
    auto it = s.entries.find(key);
    if (it == s.entries.end())
        return kCacheNotFound;
    if (it->second.locked_by != nullptr && it->second.locked_by != h)
        return kCacheLocked;
    *out = &it->second;
    return kCacheOk;
}

#define ORVHOST_CACHE_BEGIN(...)                \
    Store &s = store();                         \
    std::lock_guard<std::mutex> lock(s.m);      \
    if (long f = forced(s); f >= 0)             \
        return f;

long group_lock(const char *, unsigned long) noexcept
{
    ORVHOST_CACHE_BEGIN();
    return kCacheOk;
}

long invalidate_prepare(const char *key, unsigned long length) noexcept
{
    ORVHOST_CACHE_BEGIN();
    Entry *e = nullptr;
    if (long r = usable(s, nullptr, key_of(key, length), &e))
        return r;
    e->state = kEntryInvalid;
    return kCacheOk;
}

long delete_prepare(const char *key, unsigned long length) noexcept
{
    ORVHOST_CACHE_BEGIN();
    return s.entries.count(key_of(key, length)) ? kCacheOk : kCacheNotFound;
}

void *cache_handle() noexcept
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    if (s.no_handle)
        return nullptr;
    auto *h = new Handle;
    s.handles.insert(h);
    return h;
}

Handle *live(Store &s, void *cache)
{
    auto *h = static_cast<Handle *>(cache);
    return s.handles.count(h) ? h : nullptr;
}

long open_read(void *cache, const char *key, unsigned long length, int *state) noexcept
{
    ORVHOST_CACHE_BEGIN();
    Handle *h = live(s, cache);
    if (h == nullptr)
        return kCacheNoHandle;
    Entry *e = nullptr;
    if (long r = usable(s, h, key_of(key, length), &e))
        return r;
    h->key = key_of(key, length);
    h->holds_lock = true;
    e->locked_by = h;
    *state = e->state;
    return kCacheOk;
}

// Close and release end a handle; a second call for the same handle finds nothing.
long close_handle(void *cache) noexcept
{
    ORVHOST_CACHE_BEGIN();
    Handle *h = live(s, cache);
    if (h == nullptr)
        return kCacheOk;
    unlock(s, h);
    s.handles.erase(h);
    delete h;
    return kCacheOk;
}

long create(void *cache, const char *key, unsigned long length,
            const HTAPICacheAttributes *attributes) noexcept
{
    ORVHOST_CACHE_BEGIN();
    (void)cache; // a swap creates after it closed its handle
    const std::string k = key_of(key, length);
    if (s.entries.count(k))
        return kCacheExists;
    while (!s.age.empty() && s.entries.size() >= s.capacity)
        erase(s, s.age.front());
    Entry &e = s.entries[k];
    if (attributes != nullptr)
        e.attributes = *attributes;
    s.age.push_back(k);
    return kCacheOk;
}

long write_part(void *cache, const char *key, unsigned long key_length, const void *data,
                const unsigned long *length, bool headers)
{
    ORVHOST_CACHE_BEGIN();
    Handle *h = live(s, cache);
    if (h == nullptr)
        return kCacheNoHandle;
    Entry *e = nullptr;
    if (long r = usable(s, h, key_of(key, key_length), &e))
        return r;
    std::string &to = headers ? e->headers : e->data;
    if (headers)
        to.assign(static_cast<const char *>(data), *length);
    else
        to.append(static_cast<const char *>(data), *length);
    e->state = kEntryComplete;
    return kCacheOk;
}

long write_headers(void *cache, const char *key, unsigned long key_length, const void *data,
                   unsigned long *length) noexcept
{
    return write_part(cache, key, key_length, data, length, true);
}

long write_data(void *cache, const char *key, unsigned long key_length, const void *data,
                unsigned long *length) noexcept
{
    return write_part(cache, key, key_length, data, length, false);
}

long read(void *cache, const char *key, unsigned long key_length, void *buffer,
          unsigned long *length) noexcept
{
    ORVHOST_CACHE_BEGIN();
    Handle *h = live(s, cache);
    if (h == nullptr)
        return kCacheNoHandle;
    Entry *e = nullptr;
    if (long r = usable(s, h, key_of(key, key_length), &e))
        return r;
    if (*length < e->data.size()) {
        *length = e->data.size();
        return kCacheTooSmall;
    }
    e->data.copy(static_cast<char *>(buffer), e->data.size());
    *length = e->data.size();
    return kCacheOk;
}

long read_end(void *) noexcept
{
    ORVHOST_CACHE_BEGIN();
    return kCacheOk;
}

long delete_entry(void *cache, const char *key, unsigned long length) noexcept
{
    ORVHOST_CACHE_BEGIN();
    Handle *h = live(s, cache);
    if (h == nullptr)
        return kCacheNoHandle;
    Entry *e = nullptr;
    const std::string k = key_of(key, length);
    if (long r = usable(s, h, k, &e))
        return r;
    erase(s, k);
    if (h->key == k)
        h->holds_lock = false;
    return kCacheOk;
}

long find(void *cache, const char *key, unsigned long length) noexcept
{
    ORVHOST_CACHE_BEGIN();
    Handle *h = live(s, cache);
    if (h == nullptr)
        return kCacheNoHandle;
    if (!s.entries.count(key_of(key, length)))
        return kCacheNotFound;
    h->key = key_of(key, length);
    return kCacheOk;
}

long get_attributes(const char *key, unsigned long length, HTAPICacheAttributes *a) noexcept
{
    ORVHOST_CACHE_BEGIN();
    auto it = s.entries.find(key_of(key, length));
    if (it == s.entries.end())
        return kCacheNotFound;
    *a = it->second.attributes;
    return kCacheOk;
}

long set_attributes(const char *key, unsigned long length, const HTAPICacheAttributes *a) noexcept
{
    ORVHOST_CACHE_BEGIN();
    auto it = s.entries.find(key_of(key, length));
    if (it == s.entries.end())
        return kCacheNotFound;
    it->second.attributes = *a;
    return kCacheOk;
}

long pass_two(void *, void *) noexcept
{
    ORVHOST_CACHE_BEGIN();
    return kCacheOk;
}

// The request's cursor: a: the key text (get: const char ** out).
long get_current(void *, void *a, void *) noexcept
{
    ORVHOST_CACHE_BEGIN();
    if (s.cursor.empty())
        return kCacheNotFound;
    *static_cast<const char **>(a) = s.cursor.back().c_str();
    return kCacheOk;
}

long drop_current(void *, void *) noexcept
{
    ORVHOST_CACHE_BEGIN();
    if (s.cursor.empty())
        return kCacheNotFound;
    s.cursor.pop_back();
    return kCacheOk;
}

long insert_current(void *, void *a, void *) noexcept
{
    ORVHOST_CACHE_BEGIN();
    s.cursor.emplace_back(static_cast<const char *>(a));
    return kCacheOk;
}

long peek(void *, void *, void *) noexcept
{
    return kCacheOk;
}

int cacheable(void *, const char *url) noexcept
{
    return std::string(url).compare(0, 7, "http://") == 0 ? 1 : 0;
}

int cacheg_invalidate(void *, const char *url) noexcept
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.entries.find(url);
    if (it == s.entries.end())
        return 0;
    it->second.state = kEntryInvalid;
    return 1;
}

int cacheg_owner(void *, const char *url, char **owner) noexcept
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.owners.find(url);
    if (it == s.owners.end())
        return 1;
    if (owner != nullptr)
        *owner = it->second.data();
    return 0;
}

} // namespace

void cache_reset(std::size_t capacity)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    s.entries.clear();
    s.age.clear();
    s.capacity = capacity;
    s.forced = -1;
    s.no_handle = false;
    s.owners.clear();
    s.cursor.clear();
}

CacheEntryView cache_view(const std::string &key)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    CacheEntryView v;
    auto it = s.entries.find(key);
    if (it == s.entries.end())
        return v;
    v.found = true;
    v.state = it->second.state;
    v.headers = it->second.headers;
    v.data = it->second.data;
    v.locked = it->second.locked_by != nullptr;
    v.attributes = it->second.attributes;
    return v;
}

std::size_t cache_size()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    return s.entries.size();
}

void cache_force_next(long result)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    s.forced = result;
}

void cache_no_handle(bool on)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    s.no_handle = on;
}

void cache_set_owner(const std::string &url, const std::string &owner)
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    s.owners[url] = owner;
}

int cache_open_handles()
{
    Store &s = store();
    std::lock_guard<std::mutex> lock(s.m);
    return static_cast<int>(s.handles.size());
}

void fill_cache(HTAPICallback *t)
{
    put<HTCB_CACHE_PEEK>(t, peek);
    put<HTCB_CACHEABLE>(t, cacheable);
    put<HTCB_CACHE_CDF_DISABLE>(t, pass_two);
    put<HTCB_CACHE_CDF_ENABLE>(t, pass_two);
    put<HTCB_CACHE_CDF>(t, pass_two);
    put<HTCB_CACHE_GROUP_LOCK>(t, group_lock);
    put<HTCB_CACHE_INVALIDATE_PREPARE>(t, invalidate_prepare);
    put<HTCB_CACHE_DELETE_PREPARE>(t, delete_prepare);
    put<HTCB_CACHE_HANDLE>(t, cache_handle);
    put<HTCB_CACHE_OPEN_READ>(t, open_read);
    put<HTCB_CACHE_CLOSE>(t, close_handle);
    put<HTCB_CACHE_CREATE>(t, create);
    put<HTCB_CACHE_WRITE_HEADERS>(t, write_headers);
    put<HTCB_CACHE_WRITE_DATA>(t, write_data);
    put<HTCB_CACHE_READ>(t, read);
    put<HTCB_CACHE_READ_END>(t, read_end);
    put<HTCB_CACHE_DELETE>(t, delete_entry);
    put<HTCB_CACHE_FIND>(t, find);
    put<HTCB_CACHE_RELEASE>(t, close_handle);
    put<HTCB_CACHE_GET_ATTRIBUTES>(t, get_attributes);
    put<HTCB_CACHE_SET_ATTRIBUTES>(t, set_attributes);
    put<HTCB_CACHE_GET_CURRENT>(t, get_current);
    put<HTCB_CACHE_DROP_CURRENT>(t, drop_current);
    put<HTCB_CACHE_INSERT_CURRENT>(t, insert_current);
    put<HTCB_CACHEG_INVALIDATE>(t, cacheg_invalidate);
    put<HTCB_CACHEG_OWNER>(t, cacheg_owner);
}

} // namespace orvhost
