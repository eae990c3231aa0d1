/*
 * servprox: choosing the next hop of a request.
 *
 * A request goes direct to its origin server or through another proxy. The
 * configuration (HTStaticConfig) holds, per scheme type, a default proxy
 * and a chain list (proxies for hosts that match their domain lists), a
 * no-proxy list of domains that always go direct, and a round-robin list of
 * parent proxies for http and https with a fall-back proxy for its empty
 * slots. The per-thread context may name a peer-cache or an explicit
 * forward target, which wins over everything else.
 *
 * Domains match by plain suffix: "example.org" matches "www.example.org"
 * and also "badexample.org"; a host that starts with a digit (an address)
 * matches only an identical entry. An entry with a port matches only that
 * port. A no-proxy item named "noncacheable" (in any case) sends every
 * request whose cacheable flag is clear direct.
 *
 * The configuration is built once, by one thread, and only read while
 * requests run. Its texts and lists come from the general heap and belong
 * to these functions: the setters replace and release what was there, and
 * proxychain_free releases it all.
 */
#ifndef SERVPROX_H
#define SERVPROX_H

#include "HTConfig.h"
#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HTList;
struct HTAtom;

/* Scheme types of the default proxies and chain lists. */
#define HT_PROXY_TYPE_HTTP 0 /* http and https */
#define HT_PROXY_TYPE_FTP 1
#define HT_PROXY_TYPE_GOPHER 2

/* A domain of a chain or of the no-proxy list; port 0 matches every port. */
typedef struct HTProxyDomain {
    char *name;
    int port;
} HTProxyDomain;

/* A proxy and the domains it serves. */
typedef struct HTProxyChainEntry {
    char *proxy;
    struct HTList *domains;
} HTProxyChainEntry;

/*
 * A new domain list from the text: items separated by any run of commas and
 * characters below 33; the last ':' of an item starts its decimal port.
 * An item whose port is not a number from 0 to 65535 is left out (traced).
 * Null for a null or empty text or when no item is left. `pool` is the
 * context whose list free list the elements come from (null: the master).
 * Running out of memory releases what was built and goes to out_of_memory.
 */
HT_EXPORT struct HTList *parseDomains(HTThdGlobals *pool, const char *text) HT_NOEXCEPT;
/* Releases a list made by parseDomains. */
HT_EXPORT void proxychain_freeDomains(struct HTList *domains, HTThdGlobals *pool) HT_NOEXCEPT;

/* A copy of `proxy` (null: none) becomes the default of the type; 0, or -1 for another type. */
HT_EXPORT int proxychain_setDefaultProxy(HTThdGlobals *pool, HTStaticConfig *config, int type,
                                         const char *proxy) HT_NOEXCEPT;
/*
 * Appends {proxy, parseDomains(domains)} to the type's chain list (made when
 * missing): 0, or -1 when either text is null or empty or the type unknown.
 */
HT_EXPORT int proxychain_addDomains(HTThdGlobals *pool, HTStaticConfig *config, int type,
                                    const char *proxy, const char *domains) HT_NOEXCEPT;
/* The no-proxy list becomes parseDomains(domains); 0. */
HT_EXPORT int proxychain_setNoProxyList(HTThdGlobals *pool, HTStaticConfig *config,
                                        const char *domains) HT_NOEXCEPT;
/* A copy of `proxy` (null: none) becomes the fall-back of empty round-robin slots; 0. */
HT_EXPORT int proxychain_setFallbackProxy(HTStaticConfig *config, const char *proxy) HT_NOEXCEPT;
/* Appends a round-robin parent (null or empty: an empty slot); 0. */
HT_EXPORT int proxychain_addParent(HTStaticConfig *config, const char *proxy) HT_NOEXCEPT;
/* Releases every proxy-selection text and list of the configuration and clears them. */
HT_EXPORT void proxychain_free(HTThdGlobals *pool, HTStaticConfig *config) HT_NOEXCEPT;

/*
 * The proxy for `host` and `port` under the no-proxy list and the type's
 * chains and default, or null for direct (also for an unknown type). The
 * request (may be null: cacheable) supplies the cacheable flag. The result
 * points into the configuration.
 */
HT_EXPORT const char *proxychain_queryProxyChain(HTThdGlobals *context, const HTStaticConfig *config,
                                                 const HTRequest *request, int type,
                                                 const char *host, int port) HT_NOEXCEPT;

/*
 * The proxy URL for a request to `hostAndPort` ("host" or "host:port") with
 * the scheme `scheme`, or null for direct. In order: the context's
 * peer-cache forward target ("http://target/"), its explicit forward target
 * (a URL, or a bare host name that gets "http://"; a trailing '/' is
 * added), the chains for http, https, ftp and gopher, and for http and https
 * the round-robin parents, whose slot replaces the chain's answer. The
 * configuration is the context's (null: HTMyStaticConfig). The result is
 * pool memory or points into the configuration.
 */
HT_EXPORT const char *HTProxy_for(HTRequest *request, const char *hostAndPort,
                                  struct HTAtom *scheme, HTThdGlobals *context) HT_NOEXCEPT;

/* Internal, for tests: the round-robin counter starts again at slot 0. */
void HTProxy__resetRoundRobin(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
