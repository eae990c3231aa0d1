/*
 * hosttimer: the stand-in host's timer thread.
 *
 * Loaders register a socket's descriptor with a deadline before they block
 * on it; when the deadline passes first, the timer shuts the socket down in
 * both directions, so that the blocked read or write returns (end of stream
 * or an error) and the loader goes on. Unregister before closing the socket:
 * a descriptor number is reused by the next socket opened. The same thread
 * keeps the library's cached clock fresh (updatetimeRep, once a second) and
 * is the socket table's timer thread, allowed to close any descriptor.
 *
 * Every call may come from any thread.
 */
#ifndef HOSTTIMER_H
#define HOSTTIMER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the thread (once; later calls do nothing): 0, or -1 when it cannot be started. */
int hosttimer_start(void);
/* Stops and joins the thread; registrations are dropped. */
void hosttimer_stop(void);
/* Arms (or re-arms) the descriptor's deadline, milliseconds from now: 0, or -1 without a timer thread. */
int hosttimer_register(int descriptor, int milliseconds);
/* Disarms it: 0, or -1 when it was not registered (or had expired already). */
int hosttimer_unregister(int descriptor);
/* Number of deadlines that have expired since the start. */
unsigned long hosttimer_expirations(void);

#ifdef __cplusplus
}
#endif

#endif
