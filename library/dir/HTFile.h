/*
 * HTFile: the loader of "file" URLs.
 *
 * The URL names a path on this machine ("file:///srv/www/index.html", or
 * "file://localhost/..."; escapes are decoded). A regular file is answered
 * with status 200, its Content-Type (and Content-Encoding) from the suffix
 * table (HTSuffix.h) and its Content-Length; a directory with its page
 * (HTBrowseDirectory). A path that does not exist gives a 404 error page,
 * one that cannot be read a 403 page, and a URL naming another host a 404
 * page, all through HTLoadError with the detailed errors "notfound" or
 * "openfailed". The answer goes to the request's output_stream, which the
 * loader frees when the answer is complete.
 *
 * Results (HTLoadCodes.h): HT_LOAD_OK when the answer was sent; the
 * result of HTLoadError for an error page; HT_LOAD_RETRY when the file
 * could not be read to its end after its head had gone out (the client
 * connection is then ended, as the head promised more).
 */
#ifndef HTFILE_H
#define HTFILE_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The detailed errors the loader sets. */
#define HT_DERR_NOTFOUND 16
#define HT_DERR_OPENFAILED 22

/* Bytes read from the file at a time. */
#define HT_FILE_BLOCK 65536

HT_EXPORT int HTLoadFile(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The local path of a file URL as a pool text, decoded; null for a URL of
 * another scheme or host. "file:" may be followed by "//host" (empty or
 * "localhost") and must then have a path; any query or fragment is cut.
 */
HT_EXPORT char *HTFile_localPath(const char *url, HTThdGlobals *pool) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
