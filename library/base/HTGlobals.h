/*
 * HTGlobals: per-thread globals, the module registry and process-wide counters.
 *
 * How a module keeps per-thread state. A module whose state lives with a
 * thread, a session or a request registers four callbacks once, at start-up,
 * with HTWorkThread_addModule and keeps the slot it is given:
 *
 *   create(slot, type, value)          a thread starts; returns the thread's
 *                                      key value (the globals record, made by
 *                                      the first module, "HTVInit"); a module
 *                                      may keep its word in module_slots[slot]
 *   init(slot, type, context, value)   a session (context 1) or request (2)
 *                                      begins on the thread
 *   uninit(slot, type, context, value) it ends; called in slot order
 *   destroy(slot, type, value)         the thread ends; last slot first, so
 *                                      the record outlives every other module
 *
 * The registry calls whatever is registered and knows no module by name: it
 * sits at the bottom of the library, and the modules above it hook in. The
 * library's start-up (HTInitAll, in HTInit.h) is the one place that knows
 * which modules to register and in what order. Registration happens during
 * start-up; afterwards the registry is read without locks. A callback that
 * is null is skipped.
 *
 * Running out of memory while a thread starts: a create callback releases
 * what it made itself before it calls out_of_memory; the registry then runs
 * the destroy callbacks of the slots created before it, last first, clears
 * the thread key, and lets the exception go on to the caller's frame, so a
 * half-started thread keeps nothing.
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

/* Creates the calling thread's globals and starts a session and a request; returns them. */
HT_EXPORT void *HTInitThd(int threadType) HT_NOEXCEPT;
/* Ends the request, then the session. */
HT_EXPORT void HTEndThd(int threadType, void *value) HT_NOEXCEPT;

/*
 * Registers a module and returns its slot; a name already registered keeps
 * its slot and callbacks. -1 when the table is full.
 */
HT_EXPORT int HTWorkThread_addModule(const char *name, HTModuleCreateFn create,
                                     HTModuleDestroyFn destroy, HTModuleInitFn init,
                                     HTModuleUninitFn uninit) HT_NOEXCEPT;
HT_EXPORT void *HTWorkThread_threadCreate(int threadType) HT_NOEXCEPT;
HT_EXPORT void HTWorkThread_threadExit(int threadType, void *value) HT_NOEXCEPT;
HT_EXPORT void HTWorkThread_threadStartWork(int threadType, int context, void *value) HT_NOEXCEPT;
HT_EXPORT void HTWorkThread_threadEndWork(int threadType, int context, void *value) HT_NOEXCEPT;
HT_EXPORT void HTWorkThread_svcThreadStartWork(int threadType, void *value) HT_NOEXCEPT;
HT_EXPORT void HTWorkThread_svcThreadEndWork(int threadType, void *value) HT_NOEXCEPT;
HT_EXPORT const char *HTWorkThread_typeName(int threadType) HT_NOEXCEPT;
/* "SESSION", "REQUEST" or "INVALID CONTEXT n". */
HT_EXPORT const char *HTWorkThread_contextName(int context) HT_NOEXCEPT;
/* Number of registered modules. */
HT_EXPORT int HTWorkThread_moduleCount(void) HT_NOEXCEPT;

/* The "HTVInit" module: registration (its slot) and its callbacks. */
int HTThdGlobals_register(void) HT_NOEXCEPT;
void *HTThdGlobals_create(int slot, int threadType, void *value) HT_NOEXCEPT;
int HTThdGlobals_destroy(int slot, int threadType, void *value) HT_NOEXCEPT;
int HTThdGlobals_init(int slot, int threadType, int context, void *value) HT_NOEXCEPT;
int HTThdGlobals_uninit(int slot, int threadType, int context, void *value) HT_NOEXCEPT;

/* The calling thread's globals, or null. */
HT_EXPORT HTThdGlobals *lib_gettp(void) HT_NOEXCEPT;

/*
 * The thread keys of start-up: HTThreadKey (the globals; its destructor does
 * nothing, the modules' destroy callbacks own the record) and tqos_key (the
 * send-control data a worker passes to the secure-socket wrapper). 0, or -1
 * when the system has no key left. Runs once; later calls return the first
 * result.
 */
HT_EXPORT int HTThreadKeys_create(void) HT_NOEXCEPT;
HT_EXPORT extern pthread_key_t tqos_key;

/* Thread key of the globals (created on first use). */
HT_EXPORT pthread_key_t GetHTThreadKey(void) HT_NOEXCEPT;
HT_EXPORT pthread_key_t *GetAddrHTThreadKey(void) HT_NOEXCEPT;
HT_EXPORT void SetHTThreadKey(pthread_key_t key) HT_NOEXCEPT;

/* Accessors of the session and request. */
HT_EXPORT void HTClientSocketAddress_extract(unsigned char out[16], void *value) HT_NOEXCEPT;
HT_EXPORT void HTServerSocketAddress_extract(unsigned char out[16], void *value) HT_NOEXCEPT;
HT_EXPORT const char *HTClientHost_extract(void *value) HT_NOEXCEPT;
HT_EXPORT const char *HTServerAddr_extract(void *value) HT_NOEXCEPT;
HT_EXPORT uintptr_t HTErrorInfo_extract(void *value) HT_NOEXCEPT;
HT_EXPORT void HTErrorInfo_set(void *value, uintptr_t info) HT_NOEXCEPT;
HT_EXPORT void *HTClientRespHeaders_extract(void *value) HT_NOEXCEPT;

typedef void (*HTTimerCallback)(void);
HT_EXPORT void HTTimer_setCallbacks(HTTimerCallback callback) HT_NOEXCEPT;
HT_EXPORT HTTimerCallback HTTimer_getCallback(void) HT_NOEXCEPT;
HT_EXPORT void ProfilingSetup(void) HT_NOEXCEPT;

/* Process-wide counters; Counters_init runs once, on first use if not before. */
HT_EXPORT void Counters_init(void) HT_NOEXCEPT;
HT_EXPORT uint32_t GetWWW_TraceFlag(void) HT_NOEXCEPT;
HT_EXPORT void SetWWW_TraceFlag(uint32_t level) HT_NOEXCEPT;
HT_EXPORT int GetnThreads(void) HT_NOEXCEPT;
HT_EXPORT void SetnThreads(int n) HT_NOEXCEPT;
HT_EXPORT int IncnThreads(void) HT_NOEXCEPT;
HT_EXPORT int DecnThreads(void) HT_NOEXCEPT;
HT_EXPORT int GetnThreadsActive(void) HT_NOEXCEPT;
HT_EXPORT void SetnThreadsActive(int n) HT_NOEXCEPT;
HT_EXPORT int IncnThreadsActive(void) HT_NOEXCEPT;
HT_EXPORT int DecnThreadsActive(void) HT_NOEXCEPT;
HT_EXPORT int GetnThreadsStarted(void) HT_NOEXCEPT;
HT_EXPORT void SetnThreadsStarted(int n) HT_NOEXCEPT;
HT_EXPORT int GetnPersistThreadsActive(void) HT_NOEXCEPT;
HT_EXPORT int IncnPersistThreadsActive(void) HT_NOEXCEPT;
HT_EXPORT int DecnPersistThreadsActive(void) HT_NOEXCEPT;
HT_EXPORT int IncLibSNMPOutboundAssociations(void) HT_NOEXCEPT;
HT_EXPORT int DecLibSNMPOutboundAssociations(void) HT_NOEXCEPT;
HT_EXPORT int GetLibSNMPOutboundAssociations(void) HT_NOEXCEPT;
HT_EXPORT time_t GetLibSNMPLastOutboundActivity(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
