// ResBundle: one opened ICU resource bundle with its converted-string cache.

#include "ResBundle.h"

#include "HTAlloc.h"
#include "Locale.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if HT_WITH_ICU
#include <unicode/ucnv.h>
#include <unicode/uloc.h>
#include <unicode/ures.h>
#include <unicode/ustring.h>
#endif

namespace {

struct Key {
    uint32_t set;
    uint32_t number;
};

constexpr uint32_t cache_buckets = 256;
constexpr uint32_t cache_free_entries = 512;
constexpr size_t heap_chunk = 128000;

bool is_primed(const ResBundle *b)
{
    return __atomic_load_n(&b->primed, __ATOMIC_ACQUIRE) != 0;
}

struct BundleLock {
    pmutex m;
    explicit BundleLock(pmutex lock) : m(lock)
    {
        if (m)
            pmutex_request(m);
    }
    ~BundleLock()
    {
        if (m)
            pmutex_release(m);
    }
};

ResBundleElement *cached(ResBundle *b, uint32_t set, uint32_t number)
{
    const Key k{set, number};
    return static_cast<ResBundleElement *>(StrongHash_FindObject(b->cache, &k));
}

#if HT_WITH_ICU

UResourceBundle *ures(const ResBundle *b)
{
    return static_cast<UResourceBundle *>(b->bundle);
}

// Results of insert_locked besides 1 (cached): the text cannot be converted,
// or memory for it could not be had (a later lookup may still succeed).
constexpr int kNotConverted = 0;
constexpr int kNoMemory = -1;

// Caller holds the lock (or primes).
int insert_locked(ResBundle *b, uint32_t set, uint32_t number, const UChar *text)
{
    if (text == nullptr)
        return kNotConverted;
    if (cached(b, set, number) != nullptr)
        return 1;
    UConverter *conv = static_cast<UConverter *>(b->converter);
    const int32_t units = u_strlen(text);
    UErrorCode st = U_ZERO_ERROR;
    const int32_t length = ucnv_fromUChars(conv, nullptr, 0, text, units, &st);
    if (st != U_BUFFER_OVERFLOW_ERROR && st != U_STRING_NOT_TERMINATED_WARNING && U_FAILURE(st))
        return kNotConverted;
    if (length < 0)
        return kNotConverted;
    // The pre-flight leaves an overflow status behind.
    st = U_ZERO_ERROR;
    const size_t bytes = sizeof(ResBundleElement) + (static_cast<size_t>(units) + 1) * sizeof(UChar) +
                         static_cast<size_t>(length) + 1;
    auto *e = static_cast<ResBundleElement *>(GarbageHeap_Alloc(b->heap, bytes));
    if (e == nullptr)
        return kNoMemory;
    e->set = set;
    e->number = number;
    e->text = reinterpret_cast<HTUChar *>(e + 1);
    e->converted = reinterpret_cast<char *>(e->text + units + 1);
    u_strcpy(reinterpret_cast<UChar *>(e->text), text);
    ucnv_fromUChars(conv, e->converted, length + 1, text, units, &st);
    if (U_FAILURE(st))
        return kNotConverted; // the block stays in the heap, unused
    e->converted[length] = '\0';
    return StrongHash_Insert(b->cache, e) == 1 ? 1 : kNoMemory;
}

#endif

} // namespace

extern "C" int ResBundle_Compare(const void *a, const void *b) noexcept
{
    const Key *x = static_cast<const Key *>(a);
    const Key *y = static_cast<const Key *>(b);
    return x->set == y->set && x->number == y->number ? 0 : 1;
}

extern "C" uint32_t ResBundle_Hash(uint32_t size, const void *key) noexcept
{
    const Key *k = static_cast<const Key *>(key);
    return ((size / 5) * k->set + k->number) % size;
}

extern "C" void *ResBundle_LoadCatalog(const char *locale, const char *directory, const char *name,
                                       int *status) noexcept
{
    int ignored;
    if (status == nullptr)
        status = &ignored;
    *status = 0;
#if HT_WITH_ICU
    if (directory == nullptr || name == nullptr) {
        *status = U_ILLEGAL_ARGUMENT_ERROR;
        return nullptr;
    }
    char path[HT_CATALOG_PATH_MAX + 1];
    const size_t dl = std::strlen(directory);
    const char *slash = (dl == 0 || directory[dl - 1] == '/') ? "" : "/";
    const int n = std::snprintf(path, sizeof path, "%s%s%s", directory, slash, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        *status = U_ILLEGAL_ARGUMENT_ERROR;
        return nullptr;
    }
    UErrorCode st = U_ZERO_ERROR;
    UResourceBundle *b = ures_open(path, locale, &st);
    *status = st;
    if (U_FAILURE(st)) {
        if (b != nullptr)
            ures_close(b);
        return nullptr;
    }
    return b;
#else
    (void)locale;
    (void)directory;
    (void)name;
    *status = 2; // missing resource: no catalogue without ICU
    return nullptr;
#endif
}

extern "C" ResBundle *ResBundle_LoadSpecific(const char *locale, const char *directory,
                                             const char *name) noexcept
{
#if HT_WITH_ICU
    if (locale == nullptr)
        locale = uloc_getDefault();
    if (directory == nullptr || *directory == '\0')
        return nullptr;
    int status = 0;
    auto *bundle = static_cast<UResourceBundle *>(ResBundle_LoadCatalog(locale, directory, name,
                                                                        &status));
    if (bundle == nullptr)
        return nullptr;

    char codeset[sizeof(ResBundle::codeset)] = "";
    UErrorCode st = U_ZERO_ERROR;
    int32_t forced_len = 0;
    const UChar *forced = ures_getStringByKey(bundle, "force_encoding", &forced_len, &st);
    if (U_SUCCESS(st) && forced != nullptr) {
        // A code page name that does not fit makes the load fail.
        if (forced_len <= 0 || static_cast<size_t>(forced_len) >= sizeof codeset) {
            ures_close(bundle);
            return nullptr;
        }
        u_austrncpy(codeset, forced, forced_len);
        codeset[forced_len] = '\0';
    } else {
        const char *loc = locale;
        if (status == U_USING_DEFAULT_WARNING) {
            st = U_ZERO_ERROR;
            const char *actual = ures_getLocaleByType(bundle, ULOC_ACTUAL_LOCALE, &st);
            if (U_SUCCESS(st) && actual != nullptr)
                loc = actual;
        }
        if (Locale_GetDefaultCodeset(loc, codeset, sizeof codeset) == nullptr) {
            ures_close(bundle);
            return nullptr;
        }
    }

    auto *b = static_cast<ResBundle *>(HTAlloc_calloc(1, sizeof(ResBundle)));
    if (b == nullptr) {
        ures_close(bundle);
        return nullptr;
    }
    b->bundle = bundle;
    std::memcpy(b->codeset, codeset, sizeof codeset);
    st = U_ZERO_ERROR;
    b->converter = ucnv_open(b->codeset, &st);
    if (U_FAILURE(st) || b->converter == nullptr) {
        ures_close(bundle);
        HTAlloc_free(b);
        return nullptr;
    }
    b->lock = pmutex_create();
    b->heap = GarbageHeap_Create(heap_chunk);
    b->cache = StrongHash_Create(cache_buckets, ResBundle_Compare, ResBundle_Hash, 0);
    if (b->lock == 0 || b->heap == nullptr || b->cache == nullptr) {
        ResBundle_Destroy(b);
        return nullptr;
    }
    StrongHash_SetFreelistLength(b->cache, cache_free_entries);
    StrongHash_Preallocate(b->cache);
    return b;
#else
    (void)locale;
    (void)directory;
    (void)name;
    return nullptr;
#endif
}

extern "C" ResBundle *ResBundle_Load(const char *directory, const char *name) noexcept
{
    return ResBundle_LoadSpecific(nullptr, directory, name);
}

extern "C" void ResBundle_Destroy(ResBundle *bundle) noexcept
{
    if (bundle == nullptr)
        return;
#if HT_WITH_ICU
    if (bundle->bundle != nullptr)
        ures_close(ures(bundle));
    if (bundle->converter != nullptr)
        ucnv_close(static_cast<UConverter *>(bundle->converter));
#endif
    if (bundle->lock != 0)
        pmutex_destroy(bundle->lock);
    StrongHash_Destroy(bundle->cache);
    GarbageHeap_Destroy(bundle->heap);
    HTAlloc_free(bundle);
}

extern "C" int ResBundle_Insert(ResBundle *bundle, uint32_t set, uint32_t number,
                                const HTUChar *text) noexcept
{
    if (bundle == nullptr || text == nullptr)
        return 0;
#if HT_WITH_ICU
    if (is_primed(bundle))
        return 0; // a primed cache is read without the lock: it no longer changes
    BundleLock hold(bundle->lock);
    return insert_locked(bundle, set, number, reinterpret_cast<const UChar *>(text)) == 1 ? 1 : 0;
#else
    (void)set;
    (void)number;
    return 0;
#endif
}

extern "C" void ResBundle_Prime(ResBundle *bundle) noexcept
{
    if (bundle == nullptr)
        return;
#if HT_WITH_ICU
    BundleLock hold(bundle->lock);
    if (bundle->primed)
        return;
    UResourceBundle *top = ures(bundle);
    // A string that found no memory stays readable from the bundle: only a
    // cache that holds every string is marked primed and read alone.
    bool whole = true;
    ures_resetIterator(top);
    while (ures_hasNext(top)) {
        UErrorCode st = U_ZERO_ERROR;
        UResourceBundle *r = ures_getNextResource(top, nullptr, &st);
        if (U_FAILURE(st) || r == nullptr) {
            if (r != nullptr)
                ures_close(r);
            break;
        }
        const char *key = ures_getKey(r);
        const uint32_t set = key ? static_cast<uint32_t>(std::strtoul(key, nullptr, 10)) : 0;
        const UResType type = ures_getType(r);
        if (type == URES_STRING) {
            int32_t len = 0;
            st = U_ZERO_ERROR;
            const UChar *s = ures_getString(r, &len, &st);
            if (U_SUCCESS(st) && insert_locked(bundle, set, 1, s) == kNoMemory)
                whole = false;
        } else if (type == URES_ARRAY) {
            const int32_t n = ures_getSize(r);
            for (int32_t i = 0; i < n; ++i) {
                int32_t len = 0;
                st = U_ZERO_ERROR;
                const UChar *s = ures_getStringByIndex(r, i, &len, &st);
                if (U_FAILURE(st))
                    break;
                // An empty element is an empty text, found like any other.
                const int rc = insert_locked(bundle, set, static_cast<uint32_t>(i) + 1, s);
                if (rc != 1) {
                    whole = whole && rc != kNoMemory;
                    break;
                }
            }
        }
        ures_close(r);
    }
    if (whole)
        __atomic_store_n(&bundle->primed, 1, __ATOMIC_RELEASE);
#endif
}

extern "C" ResBundleElement *ResBundle_ExtractHashElement(ResBundle *bundle, uint32_t set,
                                                          uint32_t number) noexcept
{
    if (bundle == nullptr || number == 0)
        return nullptr;
    if (is_primed(bundle))
        return cached(bundle, set, number);
    BundleLock hold(bundle->lock);
    if (ResBundleElement *e = cached(bundle, set, number))
        return e;
    if (bundle->primed)
        return nullptr;
#if HT_WITH_ICU
    char key[16];
    std::snprintf(key, sizeof key, "%d", static_cast<int>(set));
    UErrorCode st = U_ZERO_ERROR;
    UResourceBundle *group = ures_getByKey(ures(bundle), key, nullptr, &st);
    ResBundleElement *found = nullptr;
    if (U_SUCCESS(st) && group != nullptr) {
        int32_t len = 0;
        const UChar *s =
            ures_getStringByIndex(group, static_cast<int32_t>(number - 1), &len, &st);
        // An empty element is an empty text, found like any other.
        if (U_SUCCESS(st) && s != nullptr && insert_locked(bundle, set, number, s) == 1)
            found = cached(bundle, set, number);
    }
    if (group != nullptr)
        ures_close(group);
    return found;
#else
    return nullptr;
#endif
}

extern "C" const char *ResBundle_Extract(ResBundle *bundle, uint32_t set, uint32_t number) noexcept
{
    ResBundleElement *e = ResBundle_ExtractHashElement(bundle, set, number);
    return e ? e->converted : nullptr;
}

extern "C" const HTUChar *ResBundle_ExtractUnicode(ResBundle *bundle, uint32_t set,
                                                   uint32_t number) noexcept
{
    ResBundleElement *e = ResBundle_ExtractHashElement(bundle, set, number);
    return e ? e->text : nullptr;
}

extern "C" const char *ResBundle_ExtractWithDefault(ResBundle *bundle, uint32_t set,
                                                    uint32_t number, const char *dflt) noexcept
{
    const char *s = ResBundle_Extract(bundle, set, number);
    return s ? s : dflt;
}

extern "C" const HTUChar *ResBundle_ExtractUnicodeWithDefault(ResBundle *bundle, uint32_t set,
                                                              uint32_t number,
                                                              const HTUChar *dflt) noexcept
{
    const HTUChar *s = ResBundle_ExtractUnicode(bundle, set, number);
    return s ? s : dflt;
}
