/*
 * HTServerPref: the origin-server preference list of one request.
 *
 * A request may carry a list of servers to try in turn, written as items
 * separated by blanks ("http://s1:8080 s2 s3:9000"). The document loader
 * takes them one by one, appending the path of the request's URL to each,
 * until a load succeeds or the list is used up. The state lives in the
 * context of the thread that serves the request (its server_pref word, in
 * the request's pool) and is forgotten when the next request begins.
 *
 * Only the first item gets a scheme when the list has none: "https://" when
 * everything after the list's first ':' is exactly "443" or "9443", else
 * "http://".
 */
#ifndef HTSERVERPREF_H
#define HTSERVERPREF_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTServerPref {
    char *list;                    /* the list; items taken are cut with zero bytes */
    char *cursor;                  /* the next item, or null */
    size_t length;                 /* of the list as made */
    int registered;                /* a list was made for this request */
    int in_use;                    /* the document loader walks it */
    int host_deferred;             /* the Host header is written by the request composer */
} HTServerPref;

/* Forgets any list of the context (null: the calling thread's). */
HT_EXPORT void utilServerPref_initialize(HTThdGlobals *context) HT_NOEXCEPT;
/* Makes the context's list from `list` (a null list changes nothing); 0, or -1 for null. */
HT_EXPORT int utilServerPref_createList(const char *list, HTThdGlobals *context) HT_NOEXCEPT;
/* 1 when a list was made for the request, else 0. */
HT_EXPORT int utilServerPref_registered(HTThdGlobals *context) HT_NOEXCEPT;
/* 1 while the document loader walks the list, else 0; set and reset mark it. */
HT_EXPORT int utilServerPref_isset(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void utilServerPref_set(HTThdGlobals *context) HT_NOEXCEPT;
/* The walk is over: the list is forgotten (registered and in use cleared). */
HT_EXPORT void utilServerPref_reset(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void utilServerPref_hostDefer(int value, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int utilServerPref_isHostDeferred(HTThdGlobals *context) HT_NOEXCEPT;
/* The next item (blanks skipped), cut in place, or null when none is left. */
HT_EXPORT char *utilServerPref_getNext(HTThdGlobals *context) HT_NOEXCEPT;
/*
 * The next item followed by the path of the context's current URL (from the
 * first '/' after the host that follows its "://"), in the pool; null when
 * no item is left or the URL has no "://" or no such '/'.
 */
HT_EXPORT char *utilServerPref_getNextURL(HTThdGlobals *context) HT_NOEXCEPT;
/*
 * A pool copy of the list as made (items already taken included), or null
 * when no list is registered.
 */
HT_EXPORT char *utilServerPref_getList(HTThdGlobals *context) HT_NOEXCEPT;
/* 1 when no list is left: no cursor, or nothing above a blank after it. */
HT_EXPORT int utilServerPref_isEmpty(HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
