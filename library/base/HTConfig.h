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

/* Fields in use, in order; HT_CONFIG_USED counts them. */
#define HT_CONFIG_USED 12

struct HTList;

typedef struct HTStaticConfig {
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

    uintptr_t reserved[HT_CONFIG_WORDS - HT_CONFIG_USED];
} HTStaticConfig;

HT_EXPORT extern HTStaticConfig HTMyStaticConfig;

#ifdef __cplusplus
}
#endif

#endif
