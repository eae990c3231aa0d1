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
