/*
 * HTGlobals: per-thread globals, the module registry and process-wide counters.
 *
 * Modules that keep per-thread state register four callbacks; when a thread
 * of a given type starts or stops, or begins or ends a session or request,
 * the registry calls every module's callback in slot order (destroy in
 * reverse). Registration happens during start-up; afterwards the registry is
 * read without locks. The module "HTVInit" (slot 0 in practice) creates the
 * globals record that the later modules fill.
 */
#ifndef HTGLOBALS_H
#define HTGLOBALS_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Callbacks: create returns the new thread-key value. */
typedef void *(*HTModuleCreateFn)(int slot, int threadType, void *value);
typedef int (*HTModuleDestroyFn)(int slot, int threadType, void *value);
typedef int (*HTModuleInitFn)(int slot, int threadType, int context, void *value);
typedef int (*HTModuleUninitFn)(int slot, int threadType, int context, void *value);

/* Library start-up: 1, or 0 when a lock the library needs cannot be made. */
HT_EXPORT int HTInitAll(void);

/* Creates the calling thread's globals and starts a session and a request; returns them. */
HT_EXPORT void *HTInitThd(int threadType);
/* Ends the request, then the session. */
HT_EXPORT void HTEndThd(int threadType, void *value);

/*
 * Registers a module and returns its slot; a name already registered keeps
 * its slot and callbacks. -1 when the table is full.
 */
HT_EXPORT int HTWorkThread_addModule(const char *name, HTModuleCreateFn create,
                                     HTModuleDestroyFn destroy, HTModuleInitFn init,
                                     HTModuleUninitFn uninit);
HT_EXPORT void *HTWorkThread_threadCreate(int threadType);
HT_EXPORT void HTWorkThread_threadExit(int threadType, void *value);
HT_EXPORT void HTWorkThread_threadStartWork(int threadType, int context, void *value);
HT_EXPORT void HTWorkThread_threadEndWork(int threadType, int context, void *value);
HT_EXPORT void HTWorkThread_svcThreadStartWork(int threadType, void *value);
HT_EXPORT void HTWorkThread_svcThreadEndWork(int threadType, void *value);
HT_EXPORT const char *HTWorkThread_typeName(int threadType);
/* "SESSION", "REQUEST" or "INVALID CONTEXT n". */
HT_EXPORT const char *HTWorkThread_contextName(int context);
/* Number of registered modules. */
HT_EXPORT int HTWorkThread_moduleCount(void);

/* The "HTVInit" module. */
HT_EXPORT void *HTThdGlobals_create(int slot, int threadType, void *value);
HT_EXPORT int HTThdGlobals_destroy(int slot, int threadType, void *value);
HT_EXPORT int HTThdGlobals_init(int slot, int threadType, int context, void *value);
HT_EXPORT int HTThdGlobals_uninit(int slot, int threadType, int context, void *value);

/* The calling thread's globals, or null. */
HT_EXPORT HTThdGlobals *lib_gettp(void);

/* Thread key of the globals (created on first use). */
HT_EXPORT pthread_key_t GetHTThreadKey(void);
HT_EXPORT pthread_key_t *GetAddrHTThreadKey(void);
HT_EXPORT void SetHTThreadKey(pthread_key_t key);

/* Accessors of the session and request. */
HT_EXPORT void HTClientSocketAddress_extract(unsigned char out[16], void *value);
HT_EXPORT void HTServerSocketAddress_extract(unsigned char out[16], void *value);
HT_EXPORT const char *HTClientHost_extract(void *value);
HT_EXPORT const char *HTServerAddr_extract(void *value);
HT_EXPORT uintptr_t HTErrorInfo_extract(void *value);
HT_EXPORT void HTErrorInfo_set(void *value, uintptr_t info);
HT_EXPORT void *HTClientRespHeaders_extract(void *value);

typedef void (*HTTimerCallback)(void);
HT_EXPORT void HTTimer_setCallbacks(HTTimerCallback callback);
HT_EXPORT HTTimerCallback HTTimer_getCallback(void);
HT_EXPORT void ProfilingSetup(void);

/* Process-wide counters; Counters_init runs once, on first use if not before. */
HT_EXPORT void Counters_init(void);
HT_EXPORT uint32_t GetWWW_TraceFlag(void);
HT_EXPORT void SetWWW_TraceFlag(uint32_t level);
HT_EXPORT int GetnThreads(void);
HT_EXPORT void SetnThreads(int n);
HT_EXPORT int IncnThreads(void);
HT_EXPORT int DecnThreads(void);
HT_EXPORT int GetnThreadsActive(void);
HT_EXPORT void SetnThreadsActive(int n);
HT_EXPORT int IncnThreadsActive(void);
HT_EXPORT int DecnThreadsActive(void);
HT_EXPORT int GetnThreadsStarted(void);
HT_EXPORT void SetnThreadsStarted(int n);
HT_EXPORT int GetnPersistThreadsActive(void);
HT_EXPORT int IncnPersistThreadsActive(void);
HT_EXPORT int DecnPersistThreadsActive(void);
HT_EXPORT int IncLibSNMPOutboundAssociations(void);
HT_EXPORT int DecLibSNMPOutboundAssociations(void);
HT_EXPORT int GetLibSNMPOutboundAssociations(void);
HT_EXPORT time_t GetLibSNMPLastOutboundActivity(void);

#ifdef __cplusplus
}
#endif

#endif
