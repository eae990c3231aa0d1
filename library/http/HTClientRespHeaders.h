/*
 * HTClientRespHeaders: reading and editing the response head in the store.
 *
 * Plug-ins and the server read and change the status and the header lines
 * of the response being sent (HTStreamStack.h fills the store). A header
 * name matches every stored line that begins with it, case ignored, so the
 * name "Content" also matches a Content-Type line. Until the writer has
 * begun the response's header list, lookups and edits work on the plug-in
 * list (lines added ahead of the response), and new lines go there to be
 * merged when the head is sent; from the header phase on they go straight
 * into the header list.
 *
 * Every function takes the context last (null: the calling thread's); texts
 * returned are pool memory of the request. Without a store, lookups give
 * none and edits do nothing.
 */
#ifndef HTCLIENTRESPHEADERS_H
#define HTCLIENTRESPHEADERS_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Modes of HTClientRespHeaders_setHeaderValue. */
#define HT_HEADER_SET 1         /* give the first line of the name the value, or add one */
#define HT_HEADER_REPLACE 0     /* delete every line of the name, then add one */
#define HT_HEADER_ADD 2         /* add one more line */
#define HT_HEADER_DELETE_ALL 3  /* delete every line of the name */
#define HT_HEADER_DELETE_FIRST 4 /* delete the first line of the name */

/* All header lines in order, as one text; null when there are none. */
HT_EXPORT char *HTClientRespHeaders_get(HTThdGlobals *context) HT_NOEXCEPT;
/* Adds the line name ": " value CR LF and returns it (null for a null name or value). */
HT_EXPORT char *HTClientRespHeaders_addHeader(const char *name, const char *value,
                                              HTThdGlobals *context) HT_NOEXCEPT;
/* The status code of the status line as decimal text ("-1" when there is none). */
HT_EXPORT char *HTClientRespHeaders_getStatus(HTThdGlobals *context) HT_NOEXCEPT;
/*
 * A new status line from the current one: its version ("HTTP/1.0" when it
 * has none), the code (0: the current code word), and the reason (null: the
 * current reason; reasonLength bytes of it, or all of it when negative),
 * with CR LF. A non-zero code becomes the status code. Returns the line.
 */
HT_EXPORT char *HTClientRespHeaders_setStatus(int code, const char *reason, int reasonLength,
                                              HTThdGlobals *context) HT_NOEXCEPT;
/*
 * Changes the lines of a name by mode (HT_HEADER_*; any other mode acts as
 * HT_HEADER_SET). Returns the line added or rewritten, or for the delete
 * modes the first line removed; null when nothing changed (or a null name).
 * HTClientRespHeaders_delete and delete_one give the counts.
 */
HT_EXPORT char *HTClientRespHeaders_setHeaderValue(const char *name, const char *value, int mode,
                                                   HTThdGlobals *context) HT_NOEXCEPT;
/*
 * The index-th (from 0) line of the name gets the value (as HT_HEADER_SET);
 * with a null value that line and every later line of the name are
 * removed. Returns the new line, or null (after a removal, or when there is
 * no such line).
 */
HT_EXPORT char *HTClientRespHeaders_replaceHeaderValue(const char *name, const char *value, int index,
                                                       HTThdGlobals *context) HT_NOEXCEPT;
/* Removes the first line of the name: 1, or 0 when there is none. */
HT_EXPORT int HTClientRespHeaders_delete_one(const char *name, HTThdGlobals *context) HT_NOEXCEPT;
/* Removes every line of the name; returns how many. */
HT_EXPORT int HTClientRespHeaders_delete(const char *name, HTThdGlobals *context) HT_NOEXCEPT;
/*
 * The value of the first (or the index-th, from 0) line of the name: the
 * text after its first ':' and the blanks and control bytes that follow, up
 * to CR or LF. Null when there is no such line or it has no ':'.
 */
HT_EXPORT char *HTClientRespHeaders_getValue(const char *name, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT char *HTClientRespHeaders_getNth(const char *name, HTThdGlobals *context, int index) HT_NOEXCEPT;
/* The status line from its third word to the line end; empty when it has none. */
HT_EXPORT char *HTClientRespHeaders_getReason(HTThdGlobals *context) HT_NOEXCEPT;
/*
 * The parameters of the content-type value: the text after its first ';',
 * leading blanks removed. Null without a content-type line or without ';'.
 */
HT_EXPORT char *HTClientRespHeaders_getContentTypeParams(HTThdGlobals *context) HT_NOEXCEPT;
/*
 * "Content-Type: ", the content-type value before its ';', "; ", the new
 * parameters and CR LF; null without a content-type line or parameters.
 * The store is not changed.
 */
HT_EXPORT char *HTClientRespHeaders_setContentTypeParams(const char *params,
                                                         HTThdGlobals *context) HT_NOEXCEPT;
/* 1 when a cache-control line carries the directive no-transform, else 0. */
HT_EXPORT int HTClientRespHeaders_checkCCHeaders(HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
