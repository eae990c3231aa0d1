/*
 * plugrt.h: the plug-in programming interface of the proxy server.
 *
 * A plug-in is a shared object that the server loads next to libplugrt; the
 * server calls the plug-in's step functions on its request threads with an
 * opaque request handle, and the plug-in calls the functions below with that
 * handle. A null handle stands for the calling thread's current request.
 *
 * Every request-bound call stores its result through its last argument (the
 * codes of plugrt_codes.h); with a null result pointer the call does nothing.
 * Lengths are passed by pointer and must be below 2^31. Memory the library
 * hands back belongs to the request and goes away with it.
 *
 * Plain C99; nothing here needs more than <stddef.h> and <pthread.h>.
 */
#ifndef PLUGRT_H
#define PLUGRT_H

#include "plugrt_codes.h"

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define PLUGRT_EXPORT __attribute__((visibility("default")))
#else
#define PLUGRT_EXPORT
#endif

/* C++ callers see every function as noexcept: none of them throws. */
#ifdef __cplusplus
#define PLUGRT_NOEXCEPT noexcept
#else
#define PLUGRT_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Server variables (CGI-style names, headers, counters) and user variables. */
PLUGRT_EXPORT void HTXTRACT(void *handle, const char *name, unsigned long *name_length,
                            char *buffer, unsigned long *buffer_length,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTBINXTRACT(void *handle, const char *name, unsigned long *name_length,
                               void *buffer, unsigned long *buffer_length,
                               long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTSET(void *handle, const char *name, unsigned long *name_length,
                         const char *value, unsigned long *value_length,
                         long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTBINSET(void *handle, const char *name, unsigned long *name_length,
                            const void *value, unsigned long *value_length,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTREPLACE(void *handle, const char *name, unsigned long *name_length,
                             const char *value, unsigned long *value_length,
                             unsigned long *selector, long *return_code) PLUGRT_NOEXCEPT;
/* The value (request memory) or null. */
PLUGRT_EXPORT char *htgetvar(void *handle, const char *name,
                             unsigned long *selector) PLUGRT_NOEXCEPT;
/* Returns the code HTTPD_set would store; *mode: 0 replace, 1 replace or add, 2 add, 3 delete. */
PLUGRT_EXPORT long htsetvar(void *handle, const char *name, const char *value,
                            unsigned long *mode) PLUGRT_NOEXCEPT;
/* Integer variables: 0 when the name is known, 1 otherwise. */
PLUGRT_EXPORT long htgetvarint(void *handle, const char *name, int *value) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT long htsetvarint(void *handle, const char *name, int value) PLUGRT_NOEXCEPT;

/* The request body (decoded when chunked) and the response. */
PLUGRT_EXPORT void HTREAD(void *handle, char *buffer, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTWRITE(void *handle, const char *data, unsigned long *length,
                           long *return_code) PLUGRT_NOEXCEPT;

/* A transmogrifier module opens and closes the rest of the chain (transmogrifier step only). */
PLUGRT_EXPORT void htopen(void *handle, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void htclose(void *handle, long *return_code) PLUGRT_NOEXCEPT;

/*
 * Asynchronous requests: a handle counts the requests started on it; wait
 * returns when every one has completed. The request description is the
 * server's. 0 success, 1 failure.
 */
PLUGRT_EXPORT void HTCREATASYN(void *handle, void **async_handle, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTSTARTHTTPR(void *handle, void *description, void *async_handle,
                                long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTWAITASYN(void *handle, void *async_handle, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTDELASYN(void *handle, void *async_handle, long *return_code) PLUGRT_NOEXCEPT;

/* Cache access, bound to the request. */
PLUGRT_EXPORT void HTCACHBLE(void *handle, const char *url, long *out, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTCACHEGINV(void *handle, const char *url, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTCACHEGOWN(void *handle, const char *url, char **owner,
                               long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTCAPEEK(void *handle, void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;

/*
 * Direct cache-entry calls (no request). Each sets *return_code to 0 first;
 * the server's cache results come back mapped through errmap (17: no cache
 * handle, 35: bad arguments, 2: a result outside the map).
 */
typedef struct HTAPICacheConfig {
    int reserved; /* 0 */
    int major;
    int minor;
} HTAPICacheConfig;
struct HTAPICacheAttributes;
PLUGRT_EXPORT void CCLOOKUP(const char *key, unsigned long *key_length, int *found,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCCREATE(const char *key, unsigned long *key_length,
                            const struct HTAPICacheAttributes *attributes,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCREAD(const char *key, unsigned long *key_length, void *buffer,
                          unsigned long *length, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCWRITE(const char *key, unsigned long *key_length, const void *headers,
                           unsigned long *headers_length, const void *data,
                           unsigned long *data_length, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTTPD_CC_WriteHeaders(const char *key, unsigned long *key_length,
                                         const void *headers, unsigned long *length,
                                         long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTTPD_CC_WriteData(const char *key, unsigned long *key_length, const void *data,
                                      unsigned long *length, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCDELETE(const char *key, unsigned long *key_length, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCINVAL(const char *key, unsigned long *key_length, long *return_code) PLUGRT_NOEXCEPT;
/* *lock receives the lock that CCUNLOCK gives back. */
PLUGRT_EXPORT void CCLOCK(const char *key, unsigned long *key_length, void **lock,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCUNLOCK(void *lock, long *return_code) PLUGRT_NOEXCEPT;
/* Replaces the entry of the key by a fresh one with the attributes. */
PLUGRT_EXPORT void CCSWAP(const char *key, unsigned long *key_length,
                          const struct HTAPICacheAttributes *attributes,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCGCONF(HTAPICacheConfig *config, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCGATTR(const char *key, unsigned long *key_length,
                           struct HTAPICacheAttributes *attributes, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void CCSATTR(const char *key, unsigned long *key_length,
                           const struct HTAPICacheAttributes *attributes,
                           long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTTPD_CC_CDFEnable(void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTTPD_CC_Dis_CDF(void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTTPD_CC_Ena_CDF(void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTGETCUR(void *handle, void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTDROPCUR(void *handle, void *a, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTINSCUR(void *handle, void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;

/* Authentication, scripts, files, encoding, logs, restart, proxying, labels, variants. */
PLUGRT_EXPORT void HTAUTHEN(void *handle, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTEXEC(void *handle, const char *script, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTFILE(void *handle, const char *name, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
/* URL escaping: *length in the input's length, out the output's; output room 3 * length + 1. */
PLUGRT_EXPORT void HTENC(void *handle, const char *input, unsigned long *length, char *output,
                         long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTDEC(void *handle, const char *input, unsigned long *length, char *output,
                         long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTLOGE(void *handle, const char *text, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTLOGT(void *handle, const char *text, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTLOGA(void *handle, const char *text, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTLOGV(void *handle, const char *text, unsigned long *length,
                          long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTREST(long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTPROXY(void *handle, const char *url, unsigned long *url_length,
                           const char *body, unsigned long *body_length,
                           long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTNOAUPXY(void *handle, const char *url, unsigned long *url_length,
                             const char *body, unsigned long *body_length,
                             long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTSUPLBL(void *handle, const char *label, unsigned long *length,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void htvins(void *handle, const char *uri, const char *dimension, const char *variant,
                          const char *file, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void htvfind(void *handle, const char *uri, const char *dimension,
                           const char *variant, long *return_code) PLUGRT_NOEXCEPT;

/* URL and cookie rewriting (the values are the server's). */
PLUGRT_EXPORT void HTURLRW(void *handle, void *a, void *b, void *c, void *d, void *e,
                           long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTINVURLRW(void *handle, const char *url, char **rewritten,
                              long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTCOOKIERW(void *handle, void *a, void *b, void *c, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTADDRWTAG(void *handle, void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTREMRWTAG(void *handle, void *a, void *b, long *return_code) PLUGRT_NOEXCEPT;

/*
 * Request memory (pool: a handle; null: the calling thread's request),
 * released with the request. HTMPFREE frees nothing.
 */
PLUGRT_EXPORT void *HTMPMALLOC(void *pool, long size) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void *HTMPCALLOC(void *pool, long count, long size) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT char *HTMPSTRDUP(void *pool, const char *text) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT char *HTMPSTRCAT(void *pool, const char *a, const char *b) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTMPFREE(void *memory) PLUGRT_NOEXCEPT;

/* Not supported: each stores HTTPD_UNSUPPORTED. */
PLUGRT_EXPORT void HTATTRIB(void *handle, void *a1, void *a2, void *a3, void *a4, void *a5,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTREVTRA(void *handle, void *a1, void *a2, void *a3, void *a4, void *a5,
                            long *return_code) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void HTTRANS(void *handle, void *a1, void *a2, void *a3, void *a4, void *a5,
                           long *return_code) PLUGRT_NOEXCEPT;

/*
 * Storage defined for the server and its plug-ins; the library does not use
 * it. The server's own definitions, when it has them, are the ones every
 * plug-in binds to. Sizes are in pointer-sized words.
 */
#define HT_STATIC_CONFIG_WORDS 125
#define HT_CFS_AFTER_DELETE_WORDS 10
PLUGRT_EXPORT extern uintptr_t HTMyStaticConfig[HT_STATIC_CONFIG_WORDS];
PLUGRT_EXPORT extern pthread_key_t tqos_key;
PLUGRT_EXPORT extern uintptr_t HTCFs_afterDeleteCallbacks[HT_CFS_AFTER_DELETE_WORDS];
PLUGRT_EXPORT extern uintptr_t HTTransmogrify_makeWarning;

/* Cache access interface version (major, minor) and the cache result map. */
#define HT_ERRMAP_SIZE 34
PLUGRT_EXPORT extern const int CCAPIVersion[2];
PLUGRT_EXPORT extern const int errmap[HT_ERRMAP_SIZE];

#ifdef __cplusplus
}
#endif

#endif
