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
struct HTStaticConfig;

/* When the first bytes of a response arrived (the input socket stamps it). */
typedef struct HTRequestTiming {
    int stamp_next_read;           /* 1: the next successful buffer fill stores first_read */
    struct timeval first_read;
} HTRequestTiming;

#define HT_REQUEST_EYECATCHER "HTREQUESTEYECATCHER"

typedef struct HTRequest {
    char eyecatcher[20];           /* HT_REQUEST_EYECATCHER, with its zero */

    /* ---- request records ---- */

    /* ---- socket layer, input socket, writer ---- */
    const struct HTStaticConfig *config; /* the server configuration; null: HTMyStaticConfig */
    struct HTThdGlobals *pool;     /* owner of the pool that holds the request's strings;
                                      null: the calling thread's */
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
