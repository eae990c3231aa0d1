/*
 * HTConfig: the server's static configuration record.
 *
 * The host fills HTMyStaticConfig from its configuration at start-up; it is
 * read-only while requests run, and each module reads the fields it names
 * below (a request or context carries a pointer to it). The record is 125
 * pointer-sized words on every target, because plug-ins and the host see it
 * as exported data of that size: fields are added by taking words from the
 * reserved tail, each field one word (a pointer, or an integer of pointer
 * size), and lists hang off pointers.
 */
#ifndef HTCONFIG_H
#define HTCONFIG_H

#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_CONFIG_WORDS 125

struct HTList;
struct HTDirIcon;
struct HTDirHref;

/* Fields in use, in order; HT_CONFIG_USED counts them. */
#define HT_CONFIG_USED 53

struct HTList;

typedef struct HTStaticConfig {
    /* ---- socket layer, SOCKS rules, socket table, writer (13 words) ---- */
    uintptr_t local_address;        /* IPv4 (network order) outgoing connections bind to; 0: none */
    uintptr_t socks_old_style;      /* 1: every connection goes through socks_server */
    uintptr_t socks_server;         /* IPv4 (network order) of the old-style SOCKS server */
    uintptr_t flexible_socks;       /* 1: the SOCKS rules decide per destination */
    struct HTList *socks_rules;     /* HTSocksEntry objects in file order; null: no rule file */
    char *socks_user;               /* user id sent in SOCKS requests (heap text) */
    intptr_t udp_send_buffer;       /* SO_SNDBUF of datagram sockets; 0: system default */
    intptr_t udp_receive_buffer;    /* SO_RCVBUF of datagram sockets; 0: system default */
    uintptr_t socket_debugging;     /* 1: HTSocketTable_init switches the ownership checks on */
    struct HTList *blocked_headers; /* heap texts: response-header prefixes the writer drops */
    uintptr_t response_time_header; /* 1: the writer sets the header named below */
    char *response_time_name;       /* that header's name (heap text) */
    uintptr_t flush_after_headers;  /* 1: the writer sends the head as soon as it is complete */

    /*
     * Proxy selection (servprox.h). The texts and lists belong to the
     * proxychain_* functions, which replace and release them; chain lists
     * hold HTProxyChainEntry records, the no-proxy list HTProxyDomain ones.
     */
    char *http_proxy;              /* default proxy for http and https, or null */
    struct HTList *http_chains;
    char *gopher_proxy;
    struct HTList *gopher_chains;
    char *ftp_proxy;
    struct HTList *ftp_chains;
    struct HTList *no_proxy;
    char *fallback_proxy;          /* stands in for an empty round-robin slot */
    char **parent_proxies;         /* round-robin parents for http and https ... */
    intptr_t parent_proxy_count;   /* ... and their number; 0: no round robin */
    /* This proxy as its Warning lines name it; a null name stands for the host's name. */
    char *proxy_host_name;
    intptr_t proxy_port;

    /* ---- connection manager, origin connection pool (7 words) ---- */
    intptr_t select_threads;        /* select threads watching idle client connections, 1 to 256;
                                       read once, when the manager starts (others are clamped) */
    char *worker_user;              /* effective user of the select threads and the collector
                                       (heap text; null: keep) */
    char *worker_group;             /* their effective group (heap text; null: keep) */
    intptr_t max_socket_per_server; /* a park is refused when more than this many connections to
                                       the server are parked already */
    intptr_t server_idle_limit;     /* seconds a parked origin connection stays usable */
    intptr_t server_gc_interval;    /* seconds between the collector's passes (below 1: 1) */
    uintptr_t server_conn_pool;     /* 1: the HTTP client parks and takes origin connections */

    /* ---- HTTP loader (5 words) ---- */
    intptr_t request_body_limit;    /* largest client body forwarded, in bytes; 0: no limit */
    struct HTList *crlf_patterns;   /* HTPattern objects: POST URLs whose body gets a CR LF */
    uintptr_t poll_100_continue;    /* 1: wait up to 2 s for an interim answer before any body */
    intptr_t cache_percentage;      /* a broken client is ignored from this share of the body on,
                                       while the response is being cached */
    uintptr_t connection_management; /* 1: requests may run as split request and response halves */

    /*
     * Directory pages (HTDirBrowse.h). The icons are HTDirIcon and
     * HTDirHref records of the HTAddIcon family (heap memory, chained in
     * the order they were added).
     */
    uintptr_t dir_flags;            /* HT_DIR_* listing flags */
    uintptr_t dir_description;      /* 1: a description column */
    intptr_t dir_max_description;   /* characters of a description shown */
    uintptr_t dir_exact_bytes;      /* 1: sizes below 1000 bytes as byte counts */
    intptr_t dir_min_name;          /* the name column's least width; 0: none */
    intptr_t dir_max_name;          /* its greatest width; 0: no bound */
    intptr_t dir_readme;            /* HT_DIR_README_*: where a README goes */
    intptr_t dir_ftp_welcome;       /* the same for an FTP server's welcome text */
    uintptr_t dir_peek_title;       /* 1: an HTML file's title is its description */
    char *dir_background;           /* background image path on this server, or null */
    struct HTDirIcon *dir_icon_unknown;
    struct HTDirIcon *dir_icon_blank;
    struct HTDirIcon *dir_icon_parent;
    struct HTDirIcon *dir_icon_dir;
    struct HTDirIcon *dir_type_icons; /* first of the chain of type icons */
    struct HTDirHref *dir_hrefs;    /* first of the chain of link rules */

    uintptr_t reserved[HT_CONFIG_WORDS - HT_CONFIG_USED];
} HTStaticConfig;

HT_EXPORT extern HTStaticConfig HTMyStaticConfig;

#ifdef __cplusplus
}
#endif

#endif
