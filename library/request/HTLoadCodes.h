/*
 * HTLoadCodes: the result families of document loading.
 *
 * Three families, each with its own numbers:
 *
 * - Request error codes: stored in the request's error_code word by the
 *   loaders and the document loader when a load fails; 0 means none.
 * - Load results: what a protocol loader and HTLoad return. Apart from the
 *   two "loaded" results and "not finished", a result below 1 is a failure;
 *   the three retry results let the document loader try another server or
 *   fall back from a peer cache; a positive result other than HT_LOAD_OK
 *   and HT_LOAD_UNDONE comes only from an obsolete loader.
 * - Detailed error numbers: the numbers of the keyword table
 *   (KnownDetailedErrors, HTError.h) that the loaders store in the context
 *   for the error page and the log; the ones the loaders set are named here.
 *
 * Everything else in the request-records layer keeps the library's 0 for
 * success and -1 for failure.
 */
#ifndef HTLOADCODES_H
#define HTLOADCODES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Request error codes. */
#define HT_ERR_NONE 0
#define HT_ERR_BAD_REQUEST 2000      /* the client's request is malformed */
#define HT_ERR_FORBIDDEN 2003        /* access forbidden by a rule */
#define HT_ERR_NO_ACCESS 2004        /* the document cannot be accessed */
#define HT_ERR_INTERNAL 2005         /* internal software error */
#define HT_ERR_BAD_URL 2006          /* the physical address cannot be parsed (or is missing) */
#define HT_ERR_EMPTY_URL 2007        /* the physical address is empty */
#define HT_ERR_NO_PROTOCOL 2015      /* no registered protocol matches */
#define HT_ERR_NO_PHYSICAL 2016      /* the anchor has no physical address */
#define HT_ERR_PHYSICAL_FAILED 2017  /* the physical-address step failed */
#define HT_ERR_NO_SAVE 2600          /* the document has no form for the "www/save" format */

/* Load results. */
#define HT_LOAD_OK 29999             /* loaded */
#define HT_LOAD_OK_NO_DATA (-9999)   /* loaded, no data left */
#define HT_LOAD_UNDONE 30001         /* request sent, response to be read later (split mode) */
#define HT_LOAD_FAILED (-1)          /* the command could not be built, or chunking failed */
#define HT_LOAD_EMPTY_URL (-2)       /* the physical address is empty, or cannot be saved */
#define HT_LOAD_NO_URL (-3)          /* the anchor has no physical address */
#define HT_LOAD_NO_PROTOCOL (-10)    /* no protocol for the scheme */
#define HT_LOAD_FORBIDDEN (-11)      /* forbidden by a rule */
#define HT_LOAD_RETRY (-14)          /* failure after an error page, or try another server */
#define HT_LOAD_RETRY_CONNECT (-15)  /* connection or name failure; the peer-cache forward failed */
#define HT_LOAD_LEAVE (-16)          /* retryable, but the retry loop is to stop */

/* Detailed error numbers the loaders set. */
#define HT_DERR_OK 0
#define HT_DERR_BYRULE 7
#define HT_DERR_BADREQUEST 24
#define HT_DERR_NOPARTNER 46
#define HT_DERR_CONNECTFAIL 47
#define HT_DERR_PROXYBADURL 51
#define HT_DERR_HTTPUNRESHOST 65
#define HT_DERR_HTTPNOSEND 66
#define HT_DERR_HTTPNOFORWARD 67
#define HT_DERR_HTTPNODATA 68
#define HT_DERR_ORIGINBADRESP 94
#define HT_DERR_OUTPUTTIMEOUT 97

#ifdef __cplusplus
}
#endif

#endif
