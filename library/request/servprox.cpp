// servprox: choosing the next hop of a request.

#include "servprox.h"

#include "HTAlloc.h"
#include "HTAtom.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTParse.h"
#include "HTString.h"
#include "HTTrace.h"

#include <atomic>
#include <cctype>
#include <csetjmp>
#include <cstring>

namespace {

bool trace_chain() { return HT_TRACE_ON(HT_TRACE_PROXYCHAIN); }
bool trace_proxy() { return HT_TRACE_ON(HT_TRACE_PROXY); }

// Readers of the configuration never see a half-updated counter: one atomic
// word, taken modulo the slot count, is always a valid index.
std::atomic<unsigned> roundRobin{0};

bool separator(char c) { return c == ',' || static_cast<unsigned char>(c) < 33; }

// Runs work(state) under a recovery frame of its own. When memory runs out
// inside, cleanup(state) releases whatever work had built and the failure
// goes on to the caller's frame (or ends the process, as out_of_memory
// does). `state` lives in the caller's frame and is only reached through
// the pointer, so its contents are current when the frame is taken.
void guarded(void (*work)(void *), void (*cleanup)(void *), void *state, const char *function,
             HTThdGlobals *context)
{
    HTExceptFrame frame;
    HTExcept_push(&frame, context);
    if (setjmp(frame.env) != 0) {
        cleanup(state);
        out_of_memory("servprox", function, __LINE__, 0);
    }
    work(state);
    HTExcept_pop(&frame, context);
}

void free_domain(HTProxyDomain *d)
{
    if (d != nullptr) {
        HTAlloc_free(d->name);
        HTAlloc_free(d);
    }
}

struct DomainBuild {
    HTThdGlobals *pool;
    const char *text;
    HTList *list;
    HTProxyDomain *pending; // allocated, not yet in the list
};

// The port of an item: digits only, at most 65535; -1 otherwise.
int item_port(const char *p, const char *end)
{
    if (p == end)
        return -1;
    long v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        v = v * 10 + (*p - '0');
        if (v > 65535)
            return -1;
    }
    return static_cast<int>(v);
}

void build_domains(void *state)
{
    auto *b = static_cast<DomainBuild *>(state);
    const char *p = b->text;
    for (;;) {
        while (*p != '\0' && separator(*p))
            ++p;
        if (*p == '\0')
            return;
        const char *start = p;
        while (*p != '\0' && !separator(*p))
            ++p;
        const char *end = p;
        const char *colon = nullptr;
        for (const char *q = start; q < end; ++q)
            if (*q == ':')
                colon = q;
        int port = 0;
        const char *name_end = end;
        if (colon != nullptr) {
            port = item_port(colon + 1, end);
            name_end = colon;
            if (port < 0) {
                if (trace_chain())
                    tfprintf(stderr, "ProxyChain.. item \"%.*s\" left out: bad port.\n",
                             static_cast<int>(end - start), start);
                continue;
            }
        }
        auto *d = static_cast<HTProxyDomain *>(HTAlloc_calloc(1, sizeof(HTProxyDomain)));
        if (d == nullptr)
            out_of_memory("ProxyChainDomain", "parseDomains", __LINE__, sizeof(HTProxyDomain));
        b->pending = d;
        const size_t n = static_cast<size_t>(name_end - start);
        d->name = HTAlloc_strndup(start, n);
        if (d->name == nullptr)
            out_of_memory("domain name", "parseDomains", __LINE__, n + 1);
        d->port = port;
        if (b->list == nullptr)
            b->list = HTList_new(b->pool);
        HTList_appendObject(b->list, d, b->pool);
        b->pending = nullptr;
    }
}

void release_domains(void *state)
{
    auto *b = static_cast<DomainBuild *>(state);
    free_domain(b->pending);
    proxychain_freeDomains(b->list, b->pool);
}

struct EntryBuild {
    HTThdGlobals *pool;
    HTList **chains;
    const char *proxy;
    const char *domains;
    HTProxyChainEntry *pending;
};

void build_entry(void *state)
{
    auto *b = static_cast<EntryBuild *>(state);
    auto *e = static_cast<HTProxyChainEntry *>(HTAlloc_calloc(1, sizeof(HTProxyChainEntry)));
    if (e == nullptr)
        out_of_memory("ProxyChainEntry", "proxychain_addDomains", __LINE__, sizeof *e);
    b->pending = e;
    const size_t n = std::strlen(b->proxy);
    e->proxy = HTAlloc_strndup(b->proxy, n);
    if (e->proxy == nullptr)
        out_of_memory("ProxyChainEntry", "proxychain_addDomains", __LINE__, n + 1);
    e->domains = parseDomains(b->pool, b->domains);
    if (*b->chains == nullptr)
        *b->chains = HTList_new(b->pool);
    HTList_appendObject(*b->chains, e, b->pool);
    b->pending = nullptr;
}

void free_entry(HTProxyChainEntry *e, HTThdGlobals *pool)
{
    if (e != nullptr) {
        HTAlloc_free(e->proxy);
        proxychain_freeDomains(e->domains, pool);
        HTAlloc_free(e);
    }
}

void release_entry(void *state)
{
    auto *b = static_cast<EntryBuild *>(state);
    free_entry(b->pending, b->pool);
}

void free_chains(HTList *chains, HTThdGlobals *pool)
{
    if (chains == nullptr)
        return;
    for (HTList *e = chains->next; e != nullptr; e = e->next)
        free_entry(static_cast<HTProxyChainEntry *>(e->object), pool);
    HTList_delete(chains, pool);
}

char *heap_copy(const char *text, const char *function)
{
    if (text == nullptr)
        return nullptr;
    const size_t n = std::strlen(text);
    char *copy = HTAlloc_strndup(text, n);
    if (copy == nullptr)
        out_of_memory("servprox", function, __LINE__, n + 1);
    return copy;
}

char **default_slot(HTStaticConfig *config, int type)
{
    switch (type) {
    case HT_PROXY_TYPE_HTTP: return &config->http_proxy;
    case HT_PROXY_TYPE_FTP: return &config->ftp_proxy;
    case HT_PROXY_TYPE_GOPHER: return &config->gopher_proxy;
    default: return nullptr;
    }
}

HTList *const *chain_slot(const HTStaticConfig *config, int type)
{
    switch (type) {
    case HT_PROXY_TYPE_HTTP: return &config->http_chains;
    case HT_PROXY_TYPE_FTP: return &config->ftp_chains;
    case HT_PROXY_TYPE_GOPHER: return &config->gopher_chains;
    default: return nullptr;
    }
}

bool starts_with_digit(const char *host) { return host[0] >= '0' && host[0] <= '9'; }

bool ends_with(const char *host, size_t host_length, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return n <= host_length && std::memcmp(host + host_length - n, suffix, n) == 0;
}

bool is_noncacheable_item(const HTProxyDomain *d) { return strcasecomp(d->name, "noncacheable") == 0; }

} // namespace

extern "C" HTList *parseDomains(HTThdGlobals *pool, const char *text) noexcept
{
    if (text == nullptr || *text == '\0')
        return nullptr;
    DomainBuild b{pool, text, nullptr, nullptr};
    guarded(build_domains, release_domains, &b, "parseDomains", pool);
    return b.list;
}

extern "C" void proxychain_freeDomains(HTList *domains, HTThdGlobals *pool) noexcept
{
    if (domains == nullptr)
        return;
    for (HTList *e = domains->next; e != nullptr; e = e->next)
        free_domain(static_cast<HTProxyDomain *>(e->object));
    HTList_delete(domains, pool);
}

extern "C" int proxychain_setDefaultProxy(HTThdGlobals *pool, HTStaticConfig *config, int type,
                                          const char *proxy) noexcept
{
    (void)pool;
    char **slot = config ? default_slot(config, type) : nullptr;
    if (slot == nullptr)
        return -1;
    char *copy = heap_copy(proxy, "proxychain_setDefaultProxy");
    HTAlloc_free(*slot);
    *slot = copy;
    if (trace_chain()) {
        static const char *const kNames[] = {"HTTP", "FTP", "GOPHER"};
        tfprintf(stderr, "Set default %s proxy chain: %s.\n", kNames[type], proxy ? proxy : "");
    }
    return 0;
}

extern "C" int proxychain_addDomains(HTThdGlobals *pool, HTStaticConfig *config, int type,
                                     const char *proxy, const char *domains) noexcept
{
    if (config == nullptr || proxy == nullptr || *proxy == '\0' || domains == nullptr ||
        *domains == '\0')
        return -1;
    HTList *const *chains = chain_slot(config, type);
    if (chains == nullptr)
        return -1;
    if (trace_chain())
        tfprintf(stderr, "Setting proxy chain for proxy: %s.\n", proxy);
    EntryBuild b{pool, const_cast<HTList **>(chains), proxy, domains, nullptr};
    guarded(build_entry, release_entry, &b, "proxychain_addDomains", pool);
    return 0;
}

extern "C" int proxychain_setNoProxyList(HTThdGlobals *pool, HTStaticConfig *config,
                                         const char *domains) noexcept
{
    if (config == nullptr)
        return -1;
    if (trace_chain())
        tfprintf(stderr, "Setting no_proxy list to... %s\n", domains ? domains : "");
    HTList *list = parseDomains(pool, domains);
    proxychain_freeDomains(config->no_proxy, pool);
    config->no_proxy = list;
    return 0;
}

extern "C" int proxychain_setFallbackProxy(HTStaticConfig *config, const char *proxy) noexcept
{
    if (config == nullptr)
        return -1;
    char *copy = heap_copy(proxy, "proxychain_setFallbackProxy");
    HTAlloc_free(config->fallback_proxy);
    config->fallback_proxy = copy;
    return 0;
}

extern "C" int proxychain_addParent(HTStaticConfig *config, const char *proxy) noexcept
{
    if (config == nullptr)
        return -1;
    const size_t n = static_cast<size_t>(config->parent_proxy_count);
    char *copy = proxy && *proxy ? heap_copy(proxy, "proxychain_addParent") : nullptr;
    auto **grown = static_cast<char **>(HTAlloc_realloc(config->parent_proxies, (n + 1) * sizeof(char *)));
    if (grown == nullptr) {
        HTAlloc_free(copy);
        out_of_memory("servprox", "proxychain_addParent", __LINE__, (n + 1) * sizeof(char *));
    }
    grown[n] = copy;
    config->parent_proxies = grown;
    config->parent_proxy_count = static_cast<intptr_t>(n + 1);
    return 0;
}

extern "C" void proxychain_free(HTThdGlobals *pool, HTStaticConfig *config) noexcept
{
    if (config == nullptr)
        return;
    for (char **s : {&config->http_proxy, &config->ftp_proxy, &config->gopher_proxy,
                     &config->fallback_proxy}) {
        HTAlloc_free(*s);
        *s = nullptr;
    }
    for (HTList **c : {&config->http_chains, &config->ftp_chains, &config->gopher_chains}) {
        free_chains(*c, pool);
        *c = nullptr;
    }
    proxychain_freeDomains(config->no_proxy, pool);
    config->no_proxy = nullptr;
    for (intptr_t i = 0; i < config->parent_proxy_count; ++i)
        HTAlloc_free(config->parent_proxies[i]);
    HTAlloc_free(config->parent_proxies);
    config->parent_proxies = nullptr;
    config->parent_proxy_count = 0;
}

extern "C" const char *proxychain_queryProxyChain(HTThdGlobals *context, const HTStaticConfig *config,
                                                  const HTRequest *request, int type,
                                                  const char *host, int port) noexcept
{
    (void)context;
    if (config == nullptr || host == nullptr)
        return nullptr;
    HTList *const *chains = chain_slot(config, type);
    if (chains == nullptr)
        return nullptr;
    const size_t host_length = std::strlen(host);
    const bool address = starts_with_digit(host);
    const bool cacheable = request == nullptr || request->cacheable != 0;

    if (config->no_proxy != nullptr)
        for (HTList *e = config->no_proxy->next; e != nullptr; e = e->next) {
            const auto *d = static_cast<const HTProxyDomain *>(e->object);
            if (d->port != 0 && d->port != port)
                continue;
            if (is_noncacheable_item(d)) {
                if (!cacheable) {
                    if (trace_chain())
                        tfprintf(stderr, "override.... proxy - noncacheable!\n");
                    return nullptr;
                }
                continue;
            }
            if (address) {
                if (std::strcmp(host, d->name) == 0) {
                    if (trace_chain())
                        tfprintf(stderr, "override.... proxy - hit on IP address.\n");
                    return nullptr;
                }
            } else if (ends_with(host, host_length, d->name)) {
                if (trace_chain())
                    tfprintf(stderr, "override.... proxy - hit on hostname.\n");
                return nullptr;
            }
        }

    if (*chains != nullptr)
        for (HTList *c = (*chains)->next; c != nullptr; c = c->next) {
            const auto *entry = static_cast<const HTProxyChainEntry *>(c->object);
            if (entry->domains == nullptr)
                continue;
            for (HTList *e = entry->domains->next; e != nullptr; e = e->next) {
                const auto *d = static_cast<const HTProxyDomain *>(e->object);
                if (d->port != 0 && d->port != port)
                    continue;
                if (address ? std::strcmp(host, d->name) == 0 : ends_with(host, host_length, d->name)) {
                    if (trace_chain())
                        tfprintf(stderr, address ? "Proxy %s - hit on IP address.\n"
                                                 : "Proxy %s - hit on hostname.\n",
                                 entry->proxy);
                    return entry->proxy;
                }
            }
        }

    switch (type) {
    case HT_PROXY_TYPE_HTTP: return config->http_proxy;
    case HT_PROXY_TYPE_FTP: return config->ftp_proxy;
    default: return config->gopher_proxy;
    }
}

namespace {

const char *forward_target(const char *target, HTThdGlobals *context)
{
    const size_t n = std::strlen(target);
    char *scan = HTMemPoolStrdup_len(target, n, context);
    HTParseParts parts;
    HTParse_scan(scan, &parts, n);
    const char *result;
    if (parts.host == nullptr)
        result = HTMemPool_cat("http://", target, context);
    else if (*parts.host != '\0')
        result = HTMemPoolStrdup_len(target, n, context);
    else
        return nullptr;
    const size_t rn = std::strlen(result);
    if (rn == 0 || result[rn - 1] != '/') {
        if (trace_proxy())
            tfprintf(stderr, "ProxyFor.... append trailing '/' for %s\n", result);
        result = HTMemPool_cat(result, "/", context);
    }
    return result;
}

int default_port(const char *scheme)
{
    if (std::strcmp(scheme, "http") == 0)
        return 80;
    if (std::strcmp(scheme, "https") == 0)
        return 443;
    if (std::strcmp(scheme, "gopher") == 0)
        return 70;
    if (std::strcmp(scheme, "ftp") == 0)
        return 21;
    return 80;
}

} // namespace

extern "C" const char *HTProxy_for(HTRequest *request, const char *hostAndPort, HTAtom *scheme,
                                   HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = context ? context : lib_gettp();
    if (g != nullptr && g->forward_target != nullptr) {
        if (trace_proxy())
            tfprintf(stderr, "ProxyFor.... rca forward \"%s\".\n", g->forward_target);
        return HTMemPool_vcat(g, "http://", g->forward_target, "/", static_cast<char *>(nullptr));
    }
    if (g != nullptr && g->explicit_forward != nullptr)
        if (const char *r = forward_target(g->explicit_forward, g))
            return r;

    const HTStaticConfig *config =
        g != nullptr && g->config != nullptr ? static_cast<const HTStaticConfig *>(g->config)
                                             : &HTMyStaticConfig;
    const char *name = scheme ? HTAtom_getName(scheme) : "";
    char *host = HTMemPoolStrdup(hostAndPort ? hostAndPort : "", g);
    int port = 0;
    if (char *colon = std::strchr(host, ':')) {
        *colon = '\0';
        long v = 0;
        for (const char *p = colon + 1; *p >= '0' && *p <= '9' && v <= 65535; ++p)
            v = v * 10 + (*p - '0');
        port = v <= 65535 ? static_cast<int>(v) : 0;
    } else {
        port = default_port(name);
    }
    if (port == 0)
        port = 80;

    const bool web = std::strcmp(name, "http") == 0 || std::strcmp(name, "https") == 0;
    const char *proxy = nullptr;
    if (web)
        proxy = proxychain_queryProxyChain(g, config, request, HT_PROXY_TYPE_HTTP, host, port);
    else if (std::strcmp(name, "ftp") == 0)
        proxy = proxychain_queryProxyChain(g, config, request, HT_PROXY_TYPE_FTP, host, port);
    else if (std::strcmp(name, "gopher") == 0)
        proxy = proxychain_queryProxyChain(g, config, request, HT_PROXY_TYPE_GOPHER, host, port);

    const intptr_t count = config->parent_proxy_count;
    if (web && count > 0 && config->parent_proxies != nullptr) {
        const unsigned slot =
            roundRobin.fetch_add(1, std::memory_order_relaxed) % static_cast<unsigned>(count);
        const char *parent = config->parent_proxies[slot];
        const bool empty = parent == nullptr || *parent == '\0';
        if (trace_proxy())
            tfprintf(stderr, "Proxy....... choosing #%u [%s].\n", slot, empty ? "-none-" : parent);
        proxy = empty ? config->fallback_proxy : parent;
    }
    if (trace_proxy())
        tfprintf(stderr, "For......... %s, proxy is %s.\n", name, proxy ? proxy : "NONE");
    return proxy;
}

extern "C" void HTProxy__resetRoundRobin(void) noexcept { roundRobin.store(0); }
