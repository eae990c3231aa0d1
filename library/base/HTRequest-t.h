/*
 * HTRequest-t.h: the request record (types only).
 *
 * The request being loaded, shared by every layer that works on it: the
 * socket layer, the input socket and the writer read its I/O fields, the
 * loaders and the document loader the rest. It sits in the bottom layer so
 * that all of them can see it; the functions that make and delete requests
 * belong to the request-records module above the network layer.
 *
 * Fields are grouped by the module that owns them; a module adds its fields
 * to its own group.
 */
#ifndef HTREQUEST_T_H
#define HTREQUEST_T_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct HTStream;
struct HTAnchor;
struct HTThdGlobals;
struct HTList;
struct HTAtom;
struct HTInputSocket;
struct stat;

#define HT_REQUEST_EYECATCHER "HTREQUESTEYECATCHER"

/* Bits of the request's flags word. */
#define HT_REQ_USE_ADDRESS 0x01 /* the loader starts from the anchor's address, not its physical one */
#define HT_REQ_VIA_PROXY 0x10   /* the physical address goes through a proxy */

/* The mode word: 0 from construction, HT_REQ_MODE_LOAD once a loader has run. */
#define HT_REQ_MODE_LOAD 2

typedef struct HTRequest {
    char eyecatcher[20];           /* HT_REQUEST_EYECATCHER, with its zero */

    /* ---- request records ---- */
    struct HTThdGlobals *pool;     /* owner of the pool the request lives in */
    int mode;                      /* HT_REQ_MODE_LOAD once loaded; 0 before */
    int method;                    /* index into the method table (HTMethod.h) */
    unsigned int flags;            /* HT_REQ_* */
    int host_word;                 /* 1 from construction; its meaning is the host's */
    int cacheable;                 /* 1 from construction; 0: the answer is not to be cached */
    struct HTList *conversions;    /* created empty; its objects belong to the format converters */
    struct HTList *encodings;      /* accept lists; null until the host sets them */
    struct HTList *languages;
    struct HTList *charsets;
    struct HTAtom *output_format;  /* WWW_PRESENT from construction */
    struct HTStream *output_stream; /* receives the document */
    char *stat_path;               /* the one-entry stat cache of HTStat: the path ... */
    struct stat *stat_copy;        /* ... and its result (pool memory), or null */
    char *sensitive;               /* overwritten with zero bytes when the request is deleted */
    struct HTAnchor *anchor;       /* the URL being loaded */
    int error_code;                /* HT_ERR_* of HTLoadCodes.h; 0: none */
    /* The client's request, as the loaders read it. */
    long long content_length;      /* declared body length, when content_length_set */
    int content_length_set;
    struct HTInputSocket *client_input; /* the client connection's input socket, or null */
    const char *transfer_coding;   /* the client's transfer coding ("chunked"), or null */
    int downgrade;                 /* send the request to the server as HTTP/1.0 */
    int bad_request;               /* the server found the client's request malformed */

    /* ---- socket layer, input socket, writer ---- */

} HTRequest;

#ifdef __cplusplus
}
#endif

#endif
