/*
 * HTInit: the library's start-up.
 *
 * The host calls HTInitAll from one thread, before it starts any thread
 * that does request work (it takes no lock: a step that runs out of memory
 * leaves through out_of_memory). It is the one place that knows every module: the layers
 * below never call upward, so each module that keeps per-thread state is
 * registered from here, in the order below, which is also the order in
 * which its callbacks run.
 */
#ifndef HTINIT_H
#define HTINIT_H

#include "HTResult.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Runs the start-up sequence: counters, the DNS cache, the thread keys, the
 * per-thread modules (globals, memory pool, list free lists, the response
 * header store, client-name lookups), the atom table's lock, the atoms and
 * the global atoms, the application table, the signal set-up
 * (HTGlobalSignalSetup: every handler restarts interrupted calls; SIGPROF is
 * blocked in the calling thread). HT_INIT_OK, or HT_INIT_FAILED when the
 * atom table's lock (or a thread key) cannot be made; the steps done before
 * the failure stay done, and a later call tries again from the failed step. Once it has
 * succeeded, later calls do nothing and give HT_INIT_OK.
 */
HT_EXPORT int HTInitAll(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
