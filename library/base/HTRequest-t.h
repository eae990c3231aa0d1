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

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

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
struct HTStaticConfig;

/* When the first bytes of a response arrived (the input socket stamps it). */
typedef struct HTRequestTiming {
    int stamp_next_read;           /* 1: the next successful buffer fill stores first_read */
    struct timeval first_read;
} HTRequestTiming;

#define HT_REQUEST_EYECATCHER "HTREQUESTEYECATCHER"

/* Bits of the request's flags word. */
#define HT_REQ_USE_ADDRESS 0x01 /* the loader starts from the anchor's address, not its physical one */
#define HT_REQ_VIA_PROXY 0x10   /* the physical address goes through a proxy */

/* The mode word: 0 from construction, HT_REQ_MODE_LOAD once a loader has run. */
#define HT_REQ_MODE_LOAD 2

typedef struct HTRequest {
    char eyecatcher[20];           /* HT_REQUEST_EYECATCHER, with its zero */

    /* ---- request records ---- */
    struct HTThdGlobals *pool;     /* owner of the pool the request and its strings live in;
                                      the socket layer takes null as the calling thread's */
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
    int keep_alive;                /* an HTTP/1.0 client asked to keep its connection */
    int bad_request;               /* the server found the client's request malformed */

    /* ---- socket layer, input socket, writer ---- */
    const struct HTStaticConfig *config; /* the server configuration; null: HTMyStaticConfig */
    int abort_flag;                /* non-zero: readers and writers give up; may be set by
                                      another thread, so it is read atomically */
    time_t last_activity;          /* HTtime() of the last socket activity */
    HTRequestTiming timing;
    const void *send_control;      /* ancillary data sent with HTSocket_writemsg, or null */
    size_t send_control_length;
    struct sockaddr_in client_address; /* the client's address and port */
    const char *http_version;      /* the client's protocol, "HTTP/1.1"; "HTTP/0.9" gets no head */
    const char *url;               /* the URL asked for, for reports */
    struct timeval start_time;     /* when the request began */

} HTRequest;

#ifdef __cplusplus
}
#endif

#endif
