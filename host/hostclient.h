/*
 * hostclient: the stand-in host's client side.
 *
 * An accept thread takes each client connection, gives it a session record
 * (hostsession.h) and hands it to the library's connection manager. When
 * the connection has input (or fails, or stays idle too long) the manager's
 * select thread calls the dispatch function, which only queues the
 * connection for a worker of the pool (RunOnThread) and returns. The worker
 * serves the request waiting on the connection (and any the client sent
 * behind it) and gives the connection back to the manager, or ends it
 * (removeConnection, close, putSession). For now every request gets one
 * fixed answer.
 *
 * Requests: a request line "METHOD TARGET HTTP/x.y" and header lines of at
 * most HOST_LINE_MAX bytes each, at most HOST_HEADERS_MAX of them; a body
 * announced by Content-Length is read and dropped. HTTP/1.1 connections
 * stay open unless the client says "Connection: close", HTTP/1.0 ones only
 * with "Connection: keep-alive". A bad request gets 400, a chunked body
 * 411, and the connection ends after the answer.
 */
#ifndef HOSTCLIENT_H
#define HOSTCLIENT_H

#include "HTConfig.h"
#include "hostconf.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HOST_LINE_MAX 8192
#define HOST_HEADERS_MAX 100

/* The client side's settings (directives of hostclient_directives). */
typedef struct HostClientSettings {
    char listen_address[64];   /* ListenAddress: dotted IPv4 (default 127.0.0.1) */
    int listen_port;           /* ListenPort: 0 lets the system choose */
    int workers;               /* WorkerThreads: the pool's workers (default 32) */
    int sessions;              /* Sessions: session records (default 20000) */
    int persist_timeout;       /* PersistTimeout: idle seconds of a kept connection (default 60) */
    int request_timeout;       /* RequestTimeout: seconds a read or write of a request may wait
                                  (default 30; 0: no limit) */
} HostClientSettings;

extern HostClientSettings hostclient_settings;

/*
 * The directives: the client side's own, and the library's connection
 * fields of HTStaticConfig (SelectThreads, WorkerUser, WorkerGroup,
 * MaxSocketPerServer, ServerIdleLimit, ServerGCInterval, ServerConnPool).
 */
HostDirectiveTable hostclient_directives(HTStaticConfig *config);

/*
 * Starts the worker pool, the session pool and the accept thread on the
 * configured address and port (the library is started already). 0, or -1
 * with a message on standard error.
 */
int hostclient_start(void);
/* Stops accepting (connections already accepted are served on). */
void hostclient_stop(void);
/* The port accepted on (the system's choice when configured 0). */
int hostclient_port(void);

typedef struct HostClientStats {
    unsigned long accepts;     /* connections accepted */
    unsigned long refused;     /* accepted but closed at once: no session record free */
    unsigned long requests;    /* requests answered */
    unsigned long timeouts;    /* connections ended after an idle time-out or a poll error */
    unsigned long ends;        /* connections ended, for any reason */
} HostClientStats;

void hostclient_stats(HostClientStats *out);

/* ---- the request head, parsed from the lines the worker reads ---- */

typedef struct HostRequestHead {
    int http11;                /* HTTP/1.1 or later */
    int keep_alive;            /* the connection stays open after the answer */
    long long content_length;  /* -1: none */
    int chunked;               /* a Transfer-Encoding was given */
    int headers;               /* header lines seen */
} HostRequestHead;

/* The request line: 0, or -1 when it is not "METHOD TARGET HTTP/d.d". */
int hostclient_parseRequestLine(const char *line, HostRequestHead *head);
/*
 * One header line (a continuation line, starting with a blank, is taken as
 * part of the previous one and ignored): 0, or -1 when it has no name and
 * colon, or a Content-Length that is not a number or contradicts an earlier
 * one.
 */
int hostclient_parseHeaderLine(const char *line, HostRequestHead *head);

#ifdef __cplusplus
}
#endif

#endif
