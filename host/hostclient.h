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
 * (removeConnection, close, putSession). A full run queue, or no free
 * session record, gets 503 and the connection ends: a select thread never
 * waits for a worker.
 *
 * Requests: a request line "METHOD TARGET HTTP/x.y" of at most HOST_LINE_MAX
 * bytes (else 414), header lines of at most HOST_LINE_MAX bytes each, at
 * most HOST_HEADERS_MAX of them and HOST_HEAD_MAX bytes in all (else 431);
 * anything malformed, two framings or two differing lengths give 400.
 * CONNECT gets 501; a target that is not an absolute URL gets 400, one of a
 * scheme no loader serves 501; the connection ends after each of these.
 * An absolute URL goes to the loader (hostloader.h) with the hop-by-hop
 * fields (those of hostloader_forwarded and those Connection names) left
 * out and "Via: 1.1 NAME" added. HTTP/1.1 connections stay open unless the
 * client says "Connection: close", HTTP/1.0 ones only with "Connection:
 * keep-alive". Every answer has a line in the access log (hostaccess.h).
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
#define HOST_HEAD_MAX 65536

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
 * The start in three steps, in this order (the library is started
 * already): the worker pool (its client block and the internal block 2)
 * and the session records; the listening socket on the configured address
 * and port; the accept thread. Each gives 0, or -1 with a message on
 * standard error; a step already done gives 0.
 */
int hostclient_startPool(void);
int hostclient_bind(void);
int hostclient_accept(void);
/* All three, with the workers' user and group from the configuration. */
int hostclient_start(void);
/* Workers serving a connection now. */
int hostclient_busy(void);
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
 * colon, a Content-Length that is not a number or contradicts an earlier
 * one, or a Content-Length beside a Transfer-Encoding (in either order).
 */
int hostclient_parseHeaderLine(const char *line, HostRequestHead *head);
/*
 * 1 when the header line's name is one of the comma-separated options of
 * `connection` (the Connection lines' values, joined): a field the client
 * meant for this hop only. 0 otherwise, and for null arguments.
 */
int hostclient_namedByConnection(const char *line, const char *connection);

#ifdef __cplusplus
}
#endif

#endif
