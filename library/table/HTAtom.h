/*
 * HTAtom: the process-wide table of unique strings.
 *
 * Names such as media types, encodings and converter names are turned into
 * atoms once, so that comparing them is comparing pointers. Names compare
 * case-sensitively. Lookups take no lock; insertions are serialised by one
 * mutex and look again under it. Atoms are never freed, so a reader never
 * sees a released one.
 */
#ifndef HTATOM_H
#define HTATOM_H

#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_ATOM_BUCKETS 437

typedef struct HTAtom {
    struct HTAtom *next;
    char *name;
    size_t length;
} HTAtom;

/*
 * Makes the table's insertion lock: 0, or -1 when no lock can be made.
 * Start-up calls it (a failure fails start-up); otherwise the first
 * insertion does, and a failure there goes to out_of_memory.
 */
HT_EXPORT int HTAtom_createLock(void) HT_NOEXCEPT;
/* Empties the table (start-up only: atoms handed out before stay valid). */
HT_EXPORT void HTAtom_Init(void) HT_NOEXCEPT;
/* The unique atom of the name, created when new. Null name gives null. */
HT_EXPORT HTAtom *HTAtom_for(const char *name) HT_NOEXCEPT;
/* Unlocked search of one bucket, or null. */
HT_EXPORT HTAtom *HTAtom_lookup(const char *name, unsigned bucket) HT_NOEXCEPT;
/* Search again under the mutex and insert when absent. */
HT_EXPORT HTAtom *HTAtom_hardlookup(const char *name, unsigned bucket) HT_NOEXCEPT;
/* The name, or "NULL" for a null atom. */
HT_EXPORT const char *HTAtom_getName(const HTAtom *atom) HT_NOEXCEPT;

/*
 * Creates the atoms the library compares against and fills the globals
 * below. Out of memory part-way (out_of_memory), the globals before the
 * failure are set and the others keep their values: running it again
 * completes them.
 */
HT_EXPORT void HTLoadGlobalAtoms(void) HT_NOEXCEPT;

HT_EXPORT extern HTAtom *WWW_PRESENT;     /* "www/present" */
HT_EXPORT extern HTAtom *WWW_MIME;        /* "www/mime" */
HT_EXPORT extern HTAtom *WWW_PRINT;       /* "www/print" */
HT_EXPORT extern HTAtom *WWW_UNKNOWN;     /* "www/unknown" */
HT_EXPORT extern HTAtom *WWW_PLAINTEXT;   /* "text/plain" */
HT_EXPORT extern HTAtom *WWW_HTML;        /* "text/html" */
HT_EXPORT extern HTAtom *WWW_BINARY;      /* "application/octet-stream" */
HT_EXPORT extern HTAtom *WWW_POSTSCRIPT;  /* "application/postscript" */
HT_EXPORT extern HTAtom *WWW_RICHTEXT;    /* "application/rtf" */
HT_EXPORT extern HTAtom *WWW_PDF;         /* "application/pdf" */
HT_EXPORT extern HTAtom *WWW_AUDIO;       /* "audio/basic" */
HT_EXPORT extern HTAtom *WWW_BOOK;        /* "application/book" */
HT_EXPORT extern HTAtom *WWW_SSI;         /* "text/x-ssi-html" */
HT_EXPORT extern HTAtom *WWW_ENC_7BIT;    /* "7bit" */
HT_EXPORT extern HTAtom *WWW_ENC_8BIT;    /* "8bit" */
HT_EXPORT extern HTAtom *WWW_ENC_BINARY;  /* "binary" */
HT_EXPORT extern HTAtom *WWW_ENC_COMPRESS; /* "compress" */
HT_EXPORT extern HTAtom *WWW_ENC_EBCDIC;  /* "ebcdic" */
/* The converter names. */
HT_EXPORT extern HTAtom *HTMIMEWrapper_name; /* "HTMIMEWrapper" */
HT_EXPORT extern HTAtom *HTHACKWrapper_name; /* "HTHACKWrapper" */
HT_EXPORT extern HTAtom *HTWSRCConvert_name; /* "HTWSRCConvert" */

/*
 * Getters and setters of the formats and converter names that the host may
 * replace (a setter's atom is what later readers of the global see).
 */
HT_EXPORT HTAtom *GetWWW_HTML(void) HT_NOEXCEPT;
HT_EXPORT void SetWWW_HTML(HTAtom *atom) HT_NOEXCEPT;
HT_EXPORT HTAtom *GetWWW_SSI(void) HT_NOEXCEPT;
HT_EXPORT void SetWWW_SSI(HTAtom *atom) HT_NOEXCEPT;
HT_EXPORT HTAtom *GetWWW_PDF(void) HT_NOEXCEPT;
HT_EXPORT void SetWWW_PDF(HTAtom *atom) HT_NOEXCEPT;
HT_EXPORT HTAtom *GetWWW_PLAINTEXT(void) HT_NOEXCEPT;
HT_EXPORT void SetWWW_PLAINTEXT(HTAtom *atom) HT_NOEXCEPT;
HT_EXPORT HTAtom *GetHTWSRCConvert_name(void) HT_NOEXCEPT;
HT_EXPORT void SetHTWSRCConvert_name(HTAtom *atom) HT_NOEXCEPT;
HT_EXPORT HTAtom *GetHTHACKWrapper_name(void) HT_NOEXCEPT;
HT_EXPORT void SetHTHACKWrapper_name(HTAtom *atom) HT_NOEXCEPT;
HT_EXPORT HTAtom *GetHTMIMEWrapper_name(void) HT_NOEXCEPT;
HT_EXPORT void SetHTMIMEWrapper_name(HTAtom *atom) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
