/*
 * HTRequest: making and deleting request records, and their stat cache.
 *
 * The record itself is shared (HTRequest-t.h). A request belongs to one
 * worker thread and lives in that thread's memory pool.
 */
#ifndef HTREQUEST_H
#define HTREQUEST_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

struct stat;

/*
 * A zero-filled request from the pool of `pool`: the eye-catcher, an empty
 * conversion list, the WWW_PRESENT output format, host_word and cacheable
 * 1. Allocation failures go to out_of_memory.
 */
HT_EXPORT HTRequest *HTRequest_new(HTThdGlobals *pool) HT_NOEXCEPT;
/*
 * Deletes the anchor, gives back the conversion and accept lists (their
 * objects belong to the format converters) and overwrites the sensitive
 * string with zero bytes over its whole length. 0, also for a null request.
 * Every request is deleted before its pool is reset: the lists' elements
 * come from the thread's list free list, not from the pool.
 */
HT_EXPORT int HTRequest_delete(HTRequest *request) HT_NOEXCEPT;

/* The stream that receives the document (null for a null request). */
HT_EXPORT struct HTStream *HTRequest_extractOutputStream(const HTRequest *request) HT_NOEXCEPT;
HT_EXPORT void HTRequest_setOutputStream(HTRequest *request, struct HTStream *stream) HT_NOEXCEPT;

/*
 * stat() of `path` into `buffer`. With a request, the answer for the same
 * path comes from the request's one-entry cache after the first call; a
 * different path is asked of the system and replaces the entry. A failing
 * stat caches nothing and gives -1 (errno set); success gives 0.
 */
HT_EXPORT int HTStat(HTRequest *request, const char *path, struct stat *buffer,
                     HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
