/*
 * hostasync: the client side's view of the asynchronous requests (entry 157).
 *
 * A worker resets its context's memory when a request ends; a plug-in may
 * have returned while a request it started still writes into that memory
 * (its latch, its description). The worker waits for them first.
 */
#ifndef HOSTASYNC_H
#define HOSTASYNC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Entry 157 runs its requests on the program's pool (its internal block 2). */
void hostasync_attach(void);
/* Waits until every asynchronous request the calling thread started has ended. */
void hostasync_drain(void);

#ifdef __cplusplus
}
#endif

#endif
