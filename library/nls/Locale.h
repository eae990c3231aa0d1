/*
 * Locale: the process locale, locale objects, and the mapping from locales
 * to the code pages the message catalogues are converted into.
 *
 * The process state is set up once, on first use of any operation: the
 * environment's locale for the runtime library, ICU's default locale as the
 * system locale object. The system object lives for the whole process.
 * Without ICU the system locale comes from the runtime library alone.
 */
#ifndef LOCALE_H
#define LOCALE_H

#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A locale name of at most 31 characters; longer names are cut. */
#define HT_LOCALE_NAME_SIZE 32
/* Room for a code page name. */
#define HT_CODESET_SIZE 32

typedef struct HTLocale {
    char name[HT_LOCALE_NAME_SIZE];
} HTLocale;

HT_EXPORT void Locale_Init(void) HT_NOEXCEPT;
/*
 * A new locale object (null on allocation failure). A null name gives
 * "en_US"; a character set name of the charset table ("Shift_JIS") or an
 * alias or code page of the code page table ("ksc_5601") gives that row's
 * locale. Comparisons ignore case.
 */
HT_EXPORT HTLocale *Locale_Create(const char *name) HT_NOEXCEPT;
/* The system object itself for the system object, else a new copy. */
HT_EXPORT HTLocale *Locale_Copy(const HTLocale *locale) HT_NOEXCEPT;
HT_EXPORT HTLocale *Locale_GetFromSystem(void) HT_NOEXCEPT;
HT_EXPORT HTLocale *Locale_GetDefault(void) HT_NOEXCEPT;
/* Makes the object (null: the system object) the default and sets the runtime's locale. */
HT_EXPORT void Locale_SetDefault(HTLocale *locale) HT_NOEXCEPT;
/* Releases an object; the system object is never released. */
HT_EXPORT void Locale_Destroy(HTLocale *locale) HT_NOEXCEPT;
/* Copies the name into a buffer of HT_LOCALE_NAME_SIZE bytes; returns the buffer. */
HT_EXPORT char *Locale_ToString(const HTLocale *locale, char *buffer) HT_NOEXCEPT;
/*
 * The code page for the locale name (null: ICU's default locale) into the
 * buffer of `size` bytes: from the code page table, else the runtime's
 * CODESET up to a ":", else code page 850. Returns the buffer, or null (the
 * buffer left empty) when the name does not fit.
 */
HT_EXPORT char *Locale_GetDefaultCodeset(const char *locale, char *buffer, size_t size) HT_NOEXCEPT;
/* The Windows code page of the locale's language and country, or 0. */
HT_EXPORT int Locale_GetCodepage(const char *locale) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
