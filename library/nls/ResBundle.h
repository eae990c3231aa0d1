/*
 * ResBundle: one opened ICU resource bundle of messages, with its converter
 * to the target code page and a cache of converted strings keyed by
 * (set, number).
 *
 * A bundle is a table whose keys are set numbers in decimal; a key's value
 * is an array (message n is element n - 1) or a single string (message 1).
 * An optional top-level string "force_encoding" names the code page of all
 * texts. Each string is converted once, on first use or when the bundle is
 * primed, and kept until the bundle is destroyed: callers get pointers into
 * the cache and never release them. Cache fills are serialised by the
 * bundle's lock; a primed bundle is read without it. Built without ICU,
 * loading always fails and every lookup gives its default.
 */
#ifndef RESBUNDLE_H
#define RESBUNDLE_H

#include "GarbageHeap.h"
#include "HTThread.h"
#include "StrongHash.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest catalogue path (directory, "/", bundle name) accepted. */
#define HT_CATALOG_PATH_MAX 535

typedef uint16_t HTUChar; /* one UTF-16 unit */

typedef struct ResBundle {
    void *bundle;    /* UResourceBundle */
    void *converter; /* UConverter */
    char codeset[32];
    pmutex lock;
    StrongHashTable *cache;
    GarbageHeap *heap;
    int primed;      /* set once, read without the lock */
} ResBundle;

/* One cached string; the UTF-16 and converted texts follow it in the same block. */
typedef struct ResBundleElement {
    uint32_t set;
    uint32_t number;
    HTUChar *text;
    char *converted;
} ResBundleElement;

HT_EXPORT ResBundle *ResBundle_Load(const char *directory, const char *name) HT_NOEXCEPT;
/*
 * Opens `directory`/`name` for the locale (null: ICU's default). Null when
 * the directory is null or empty, the bundle cannot be opened for any
 * locale, the code page name is too long, or its converter cannot be opened.
 */
HT_EXPORT ResBundle *ResBundle_LoadSpecific(const char *locale, const char *directory,
                                            const char *name) HT_NOEXCEPT;
/* The open ICU bundle or null; *status gets ICU's status (-127: the default locale was used). */
HT_EXPORT void *ResBundle_LoadCatalog(const char *locale, const char *directory, const char *name,
                                      int *status) HT_NOEXCEPT;
HT_EXPORT void ResBundle_Destroy(ResBundle *bundle) HT_NOEXCEPT;
/*
 * Converts and caches every string of the bundle; a primed bundle never
 * reads ICU again. When memory runs short for a string, the bundle is left
 * unprimed, so that what is missing is still read from ICU on demand.
 */
HT_EXPORT void ResBundle_Prime(ResBundle *bundle) HT_NOEXCEPT;
/* Converts and caches one string: 1, or 0 on failure (nothing cached). */
HT_EXPORT int ResBundle_Insert(ResBundle *bundle, uint32_t set, uint32_t number,
                               const HTUChar *text) HT_NOEXCEPT;
/* The cached element, filling the cache on a miss; null when there is no such message. */
HT_EXPORT ResBundleElement *ResBundle_ExtractHashElement(ResBundle *bundle, uint32_t set,
                                                         uint32_t number) HT_NOEXCEPT;
HT_EXPORT const char *ResBundle_Extract(ResBundle *bundle, uint32_t set, uint32_t number) HT_NOEXCEPT;
HT_EXPORT const HTUChar *ResBundle_ExtractUnicode(ResBundle *bundle, uint32_t set,
                                                  uint32_t number) HT_NOEXCEPT;
HT_EXPORT const char *ResBundle_ExtractWithDefault(ResBundle *bundle, uint32_t set,
                                                   uint32_t number, const char *dflt) HT_NOEXCEPT;
HT_EXPORT const HTUChar *ResBundle_ExtractUnicodeWithDefault(ResBundle *bundle, uint32_t set,
                                                             uint32_t number,
                                                             const HTUChar *dflt) HT_NOEXCEPT;
/* Cache key functions: keys are elements (or two words: set, number). */
HT_EXPORT int ResBundle_Compare(const void *a, const void *b) HT_NOEXCEPT;
HT_EXPORT uint32_t ResBundle_Hash(uint32_t size, const void *key) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
