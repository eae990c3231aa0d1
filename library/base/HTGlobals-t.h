/*
 * HTGlobals-t.h: the per-thread globals record (types only).
 *
 * Every thread that does request work owns one record, reachable through the
 * thread key and passed as the last argument ("context") of most library
 * functions. It holds one word per registered module (the memory pool, the
 * list free list, ...) and the state of the request being served; the
 * session part sits at its end. Modules add the request fields they own to
 * the request part.
 */
#ifndef HTGLOBALS_T_H
#define HTGLOBALS_T_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Module slots in each record; the registry hands out at most this many. */
#define HT_MODULE_SLOTS 32

/* Work contexts. */
#define HT_CONTEXT_SESSION 1
#define HT_CONTEXT_REQUEST 2

/* Work-thread types (HTWorkThread_typeName gives their names). */
#define HT_THREAD_ACCEPT 0
#define HT_THREAD_WORKER 1
#define HT_THREAD_LOG 2
#define HT_THREAD_GC 3

struct HTMemPool;
struct HTList;
struct HTSocket;
struct HTInputSocket;

/* Bits of plugin_flags: what the request carries that needs the response head parsed. */
#define HT_PLUGIN_LOG 0x01          /* a logging plug-in */
#define HT_PLUGIN_POSTEXIT 0x02     /* a post-exit plug-in */
#define HT_PLUGIN_USER_HEADERS 0x04 /* user-defined response headers */

typedef struct HTSessionGlobals {
    char eyecatcher[8];            /* "ZPKSESS" */
    uintptr_t event;               /* pevent; worker threads only */
    unsigned char client_address[16];
    unsigned char server_address[16];
    char client_host[256];
    char server_addr[64];
    int client_socket;             /* -1: none */
    time_t last_activity;
    char *buffer;                  /* owned, released with the record */
    size_t buffer_size;
    /* Reverse lookup of the client's name (HTTCP: FetchClientHostName). */
    uintptr_t name_event;          /* pevent set when the lookup ends; created on first use */
    int name_state;                /* HT_NAME_NONE, HT_NAME_RUNNING or HT_NAME_DONE */
    char *client_name;             /* heap text of the name found, or null */
    /* Keep-alive count of the client connection; -1: close it after this response. */
    int keepalive_count;
} HTSessionGlobals;

/* States of the client name lookup of a session. */
#define HT_NAME_NONE 0
#define HT_NAME_RUNNING 1
#define HT_NAME_DONE 2

typedef struct HTThdGlobals {
    char eyecatcher[8];            /* "ZPKLTHD" */
    pthread_t thread_id;
    int thread_type;
    HTSessionGlobals *session;     /* points at session_part */
    uintptr_t module_slots[HT_MODULE_SLOTS];

    /* The request being served. */
    struct HTMemPool *mempool;     /* first block of the pool; also in its module slot */
    const void *config;            /* the host's static configuration */
    const char *url;
    time_t request_start;
    int request_status;
    int abort_flag;
    uintptr_t error_info;
    int detailed_error;            /* -1: none */
    const char *detailed_error_text;
    void *client_resp_headers;     /* the response header store (HTRespHeaders-t.h), per thread */
    void *server_pref;             /* server-preference state (HTServerPref.h), pool memory, or null */
    const char *forward_target;    /* peer-cache forward target ("host:port"), or null */
    void *connection;
    void *origin_connection;
    void *owned_block[2];          /* released at the end of each request */
    int stream_status;
    long bytes_in;
    long bytes_out;
    long long dns_lookup_usec;     /* time the last resolver call took; 0: answered without one */

    /* Request records, proxy selection and the response header store. */
    const char *explicit_forward;  /* explicit forward target: a host name or a URL, or null */
    const char *alt_url[2];        /* alternative URLs that may stand in for url */
    int url_select;                /* 0: url; 1 or 2: alt_url[0] or alt_url[1] */
    int suppress_errors;           /* non-zero: HTLoadError produces no error page */
    int retry_status;              /* cleared by the document loader before each retry */
    int no_merge;                  /* non-zero: plug-in header lines wait, unmerged */
    unsigned int plugin_flags;     /* HT_PLUGIN_* below */
    struct HTList *ignore_headers; /* names of response headers the header filter drops, or null */

    /* Protocol dispatch. */
    int no_fallback;               /* non-zero: a failed peer-cache forward is not retried at the origin */

    /*
     * HTTP loader. The server connection outlives a request (kept for the
     * next one on this thread when the origin pool is off); the loader's
     * request-scoped words are cleared when each request begins.
     */
    struct HTSocket *server_socket; /* the current server connection, or null */
    uint32_t server_address;       /* its IPv4 address (network order); 0: none */
    int server_port;               /* its port; 0: none */
    char host_port[24];            /* "a.b.c.d:port" of the request's server */
    /* Persist mapping of the client connection: a server connection reserved for it. */
    int persist_mapping;           /* the client connection keeps its server connection */
    struct HTSocket *reserved_socket;
    uint32_t reserved_address;
    int reserved_port;
    unsigned long client_seq;      /* sequence number of the client connection (traces) */
    int origin_socket;             /* descriptor noted for the connection manager; -1: none */
    int use_connmgmt;              /* this request runs request and response halves apart */
    /* ---- request-scoped from here (cleared when a request begins) ---- */
    const char *client_headers;    /* the client's header lines as the server forwards them */
    size_t client_headers_length;
    const char *buffered_body;     /* a body already read from the client, or null */
    size_t buffered_body_length;
    long long remaining_body;      /* client body bytes still to forward */
    int expect_continue;           /* the client sent "Expect: 100-continue" */
    int pass_through;              /* the head is the client header block, unchanged */
    int mapping;                   /* network failures answer 400 instead of 504 */
    int server_close;              /* the server connection must not be reused */
    int output_healthy;            /* the client accepted the whole response */
    int client_close;              /* the client connection must end after this response */
    int keep_alive_head;           /* the head to an HTTP/1.0 client says "Connection: keep-alive" */
    int io_error;                  /* the server connection failed while reading */
    int reused;                    /* the request went over a kept connection */
    int request_half_done;         /* the split mode's request half has run */
    int more_to_read;              /* the response's framing was not complete */
    int caching;                   /* the response is being written to the cache */
    long long response_length;     /* the response's Content-Length; -1: none */
    struct HTInputSocket *server_input; /* buffered reader of the server connection (pool) */
    char *sent_head;               /* the head last sent, for a resend (pool) */
    int sent_head_length;

    HTSessionGlobals session_part;
} HTThdGlobals;

#ifdef __cplusplus
}
#endif

#endif
