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

/* Empties the table (start-up only: atoms handed out before stay valid). */
HT_EXPORT void HTAtom_Init(void);
/* The unique atom of the name, created when new. Null name gives null. */
HT_EXPORT HTAtom *HTAtom_for(const char *name);
/* Unlocked search of one bucket, or null. */
HT_EXPORT HTAtom *HTAtom_lookup(const char *name, unsigned bucket);
/* Search again under the mutex and insert when absent. */
HT_EXPORT HTAtom *HTAtom_hardlookup(const char *name, unsigned bucket);
/* The name, or "NULL" for a null atom. */
HT_EXPORT const char *HTAtom_getName(const HTAtom *atom);

/* Creates the atoms the library compares against and fills the globals below. */
HT_EXPORT void HTLoadGlobalAtoms(void);

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
HT_EXPORT extern HTAtom *WWW_SSI_HTML;    /* "text/x-ssi-html" */
HT_EXPORT extern HTAtom *WWW_ENC_7BIT;    /* "7bit" */
HT_EXPORT extern HTAtom *WWW_ENC_8BIT;    /* "8bit" */
HT_EXPORT extern HTAtom *WWW_ENC_BINARY;  /* "binary" */
HT_EXPORT extern HTAtom *WWW_ENC_COMPRESS; /* "compress" */
HT_EXPORT extern HTAtom *WWW_ENC_EBCDIC;  /* "ebcdic" */
HT_EXPORT extern HTAtom *WWW_MIME_WRAPPER; /* "HTMIMEWrapper" */
HT_EXPORT extern HTAtom *WWW_HACK_WRAPPER; /* "HTHACKWrapper" */
HT_EXPORT extern HTAtom *WWW_WSRC_CONVERT; /* "HTWSRCConvert" */

#ifdef __cplusplus
}
#endif

#endif
