// nls: the catalogue table over ResBundle.

#include "nls.h"

#include "ResBundle.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#ifndef HT_CATALOG_DIR
#define HT_CATALOG_DIR "/opt/orvane/vell/kq/msg"
#endif

namespace {

struct Entry {
    const char *name;
    bool prime;
    std::atomic<ResBundle *> handle;
    uint32_t references;
    std::atomic<uint32_t> attempts;
    std::atomic<bool> settled; // unloaded for good: the load failed or the last reference went
};

Entry table[NLS_BUNDLES] = {
    {"cacheagt", false, {nullptr}, 0, {0}, {false}},
    {"config", false, {nullptr}, 0, {0}, {false}},
    {"HTMLForm", false, {nullptr}, 0, {0}, {false}},
    {"htmlprox", false, {nullptr}, 0, {0}, {false}},
    {"orvaneproxy", false, {nullptr}, 0, {0}, {false}},
    {"orvanehtc", true, {nullptr}, 0, {0}, {false}},
    {"orvanekq", true, {nullptr}, 0, {0}, {false}},
};

// Loading and reference counting may be asked from several threads. A plain
// lock, taken and released by hand: nothing done under it reports through
// out_of_memory (a bundle load gives null), and it never throws.
pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;

bool valid(int index)
{
    return index >= 0 && index < NLS_BUNDLES;
}

// What a printf conversion consumes: "%-08.3ld" and "%ld" are alike, "%d"
// and "%i" too, "%s" and "%d" are not. Returns the position after the
// conversion, or null when it is malformed or writes through a pointer (%n).
const char *shape(const char *p, char *out, size_t &len)
{
    auto put = [&](char c) {
        if (len < 15)
            out[len++] = c;
    };
    // p is just after "%".
    const char *q = p;
    while (*q >= '0' && *q <= '9')
        ++q;
    if (*q == '$' && q > p) {
        for (const char *d = p; d <= q; ++d)
            put(*d);
        p = q + 1;
    }
    while (*p && std::strchr("-+ #0'I", *p))
        ++p;
    auto width = [&]() {
        if (*p == '*') {
            put('*');
            ++p;
            while (*p >= '0' && *p <= '9')
                put(*p++);
            if (*p == '$')
                put(*p++);
        } else {
            while (*p >= '0' && *p <= '9')
                ++p;
        }
    };
    width();
    if (*p == '.') {
        ++p;
        width();
    }
    while (*p && std::strchr("hlLqjzZt", *p))
        put(*p++);
    const char c = *p;
    if (c == '\0')
        return nullptr;
    if (std::strchr("di", c))
        put('d');
    else if (std::strchr("ouxX", c))
        put('u');
    else if (std::strchr("eEfFgGaA", c))
        put('f');
    else if (std::strchr("csCSpm", c))
        put(c);
    else
        return nullptr;
    put('|');
    return p + 1;
}

// The argument shapes of every conversion of a format, or false when the
// format has a conversion that is not acceptable.
bool conversions(const char *f, char *out, size_t cap)
{
    size_t len = 0;
    while ((f = std::strchr(f, '%')) != nullptr) {
        if (f[1] == '%') {
            f += 2;
            continue;
        }
        char one[16];
        size_t n = 0;
        f = shape(f + 1, one, n);
        if (f == nullptr || len + n >= cap)
            return false;
        std::memcpy(out + len, one, n);
        len += n;
    }
    out[len] = '\0';
    return true;
}

} // namespace

extern "C" int nls__sameConversions(const char *text, const char *dflt) noexcept
{
    if (dflt == nullptr)
        return 1;
    if (text == nullptr)
        return 0;
    // Texts without "%" (nearly all) need no parsing.
    const bool t = std::strchr(text, '%') != nullptr, d = std::strchr(dflt, '%') != nullptr;
    if (!t && !d)
        return 1;
    char a[256], b[256];
    if (!conversions(text, a, sizeof a) || !conversions(dflt, b, sizeof b))
        return 0;
    return std::strcmp(a, b) == 0;
}

extern "C" const char *nlsCatalogDirectory(void) noexcept
{
    const char *env = std::getenv("ORVANE_MSG_DIR");
    return env != nullptr && *env != '\0' ? env : HT_CATALOG_DIR;
}

extern "C" int nlsLoadResources(int index, const char *locale) noexcept
{
    if (!valid(index))
        return 0;
    Entry &e = table[index];
    pthread_mutex_lock(&table_lock);
    if (e.handle.load(std::memory_order_relaxed) == nullptr) {
        // A bundle is loaded at most once per process.
        if (e.attempts.fetch_add(1, std::memory_order_relaxed) + 1 > 1) {
            pthread_mutex_unlock(&table_lock);
            return 0;
        }
        ResBundle *b = ResBundle_LoadSpecific(locale, nlsCatalogDirectory(), e.name);
        if (b == nullptr) {
            e.settled.store(true, std::memory_order_release);
            pthread_mutex_unlock(&table_lock);
            return 0;
        }
        if (e.prime)
            ResBundle_Prime(b);
        e.handle.store(b, std::memory_order_release);
    }
    ++e.references;
    pthread_mutex_unlock(&table_lock);
    return 1;
}

extern "C" void nlsFreeResources(int index) noexcept
{
    if (!valid(index))
        return;
    Entry &e = table[index];
    pthread_mutex_lock(&table_lock);
    if (e.references != 0 && --e.references == 0) {
        ResBundle_Destroy(e.handle.load(std::memory_order_relaxed));
        e.handle.store(nullptr, std::memory_order_release);
        e.settled.store(true, std::memory_order_release);
    }
    pthread_mutex_unlock(&table_lock);
}

extern "C" const char *nlsGetString(int index, int set, int number, const char *dflt) noexcept
{
    if (!valid(index) || set < 0 || number <= 0)
        return dflt;
    Entry &e = table[index];
    ResBundle *b = e.handle.load(std::memory_order_acquire);
    if (b == nullptr) {
        // Once the entry is unloaded for good, every lookup answers with its
        // default at once; a lookup during another thread's load waits for it.
        if (e.settled.load(std::memory_order_acquire) || !nlsLoadResources(index, nullptr))
            return dflt;
        b = e.handle.load(std::memory_order_acquire);
        if (b == nullptr)
            return dflt;
    }
    const char *text =
        ResBundle_Extract(b, static_cast<uint32_t>(set), static_cast<uint32_t>(number));
    if (text == nullptr || !nls__sameConversions(text, dflt))
        return dflt;
    return text;
}
