/*
 * HTAnchor: the URL a request loads.
 *
 * An anchor carries the address asked for and the physical address actually
 * fetched (the address itself, a proxy-prefixed form, or a server-preference
 * rewrite), with the document's format and title and the protocol that
 * loads it. Anchors are never looked up or shared: each request makes its
 * own. Every string is copied into the memory pool of the anchor's owner,
 * so nothing of an anchor is ever freed piece by piece.
 */
#ifndef HTANCHOR_H
#define HTANCHOR_H

#include "HTGlobals-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HTAtom;
struct HTProtocol;

typedef struct HTAnchor {
    char *address;                 /* the URL asked for */
    struct HTAtom *format;
    char *title;
    struct HTProtocol *protocol;   /* set by protocol dispatch */
    char *physical;                /* the URL fetched, or null until dispatch sets it */
    HTThdGlobals *pool;            /* owner of the pool that holds the strings */
} HTAnchor;

/* A new anchor for a pool copy of `url` (null counts as empty), in the pool of `pool`. */
HT_EXPORT HTAnchor *HTAnchor_findAddress(const char *url, HTThdGlobals *pool) HT_NOEXCEPT;
/* Frees nothing (the pool owns the anchor); returns 1. */
HT_EXPORT int HTAnchor_delete(HTAnchor *anchor) HT_NOEXCEPT;

/*
 * Getters give null for a null anchor; setters copy the text into the
 * anchor's pool (null clears the field) and do nothing for a null anchor.
 * HTAnchor_appendTitle appends to the title (a title of its own when none).
 */
HT_EXPORT const char *HTAnchor_address(const HTAnchor *anchor) HT_NOEXCEPT;
HT_EXPORT void HTAnchor_setAddress(HTAnchor *anchor, const char *address) HT_NOEXCEPT;
HT_EXPORT const char *HTAnchor_physical(const HTAnchor *anchor) HT_NOEXCEPT;
HT_EXPORT void HTAnchor_setPhysical(HTAnchor *anchor, const char *physical) HT_NOEXCEPT;
HT_EXPORT const char *HTAnchor_title(const HTAnchor *anchor) HT_NOEXCEPT;
HT_EXPORT void HTAnchor_setTitle(HTAnchor *anchor, const char *title) HT_NOEXCEPT;
HT_EXPORT void HTAnchor_appendTitle(HTAnchor *anchor, const char *text) HT_NOEXCEPT;
HT_EXPORT struct HTAtom *HTAnchor_format(const HTAnchor *anchor) HT_NOEXCEPT;
HT_EXPORT void HTAnchor_setFormat(HTAnchor *anchor, struct HTAtom *format) HT_NOEXCEPT;
HT_EXPORT struct HTProtocol *HTAnchor_protocol(const HTAnchor *anchor) HT_NOEXCEPT;
HT_EXPORT void HTAnchor_setProtocol(HTAnchor *anchor, struct HTProtocol *protocol) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
