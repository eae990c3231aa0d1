/*
 * HTMultiSelect: the connection manager and the session pool.
 *
 * Idle persistent client connections are not held by a worker. The worker
 * hands the descriptor to the manager, which watches it with poll in one of
 * N select threads (socket s belongs to thread s mod N). When input
 * arrives, when the connection fails, or when it has been idle too long,
 * the select thread calls the connection's dispatch function, which hands
 * the connection to a worker again; the worker serves the next request and
 * then gives the connection back (reAddConnection) or ends it
 * (removeConnection). A record moves: poll list (watched) -> ready list
 * (found ready, touched only by its select thread) -> service list (a worker
 * owns the connection) -> poll list again, or freed.
 *
 * The manager starts on the first addNewConnection (or commInit) and lives
 * for the process. N is HTMyStaticConfig.select_threads, read once then;
 * a value outside 1..256 is clamped into that range with a trace. Each
 * thread polls at most 40000 / N + 100 descriptors a pass (its wake-up pipe
 * among them); connections beyond that wait unpolled, still subject to
 * their idle time-outs, and the pass says so on standard error. Start-up
 * failures end the process with status 1 after a message on standard error.
 *
 * A select thread asleep in poll is woken by one byte written into a pipe
 * whose read end is always in its poll set; at most one byte is in a pipe
 * at any time. A thread waiting for its first connection is woken by a
 * condition signal instead. Poll waits last W x 1024 ms, W the shortest
 * time left of any watched connection's idle time-out in seconds (rounded
 * up), at most 110 s. Idle time is kept in milliseconds of the monotonic
 * clock: a connection is never ended as idle before its time-out has passed.
 *
 * Idle time-outs shrink when sessions run short: with S sessions in the
 * pool and C handed out, a connection's time-out counts in full while
 * 2C <= S, halved while 4(S - C) >= S, and an eighth beyond that. The
 * shortened time-out is tested whenever a pass ends; the poll wait is still
 * computed from the full one.
 *
 * Results: HT_OK (0) or HT_ERROR (-1) as each function says.
 */
#ifndef HTMULTISELECT_H
#define HTMULTISELECT_H

#include "HTResult.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_SELECT_THREADS_MAX 256
/* Poll entries: HT_POLL_ENTRIES / N + HT_POLL_ENTRIES_SPARE per select thread. */
#define HT_POLL_ENTRIES 40000
#define HT_POLL_ENTRIES_SPARE 100
/* Longest poll wait, in units of 1024 ms. */
#define HT_POLL_WAIT_MAX 110

/* Values of the timed-out argument of a dispatch. */
#define HT_DISPATCH_INPUT 0    /* input is waiting */
#define HT_DISPATCH_TIMEOUT 1  /* idle too long, or poll reported an error or hang-up */

/*
 * Called on the select thread as dispatch(argument, timed-out flag): it
 * must only hand the connection on (normally with RunOnThread) and return.
 * When it is called, the connection is on its service list: the worker then
 * calls reAddConnection or removeConnection for it.
 */
typedef void (*HTDispatchFn)(void *argument, int timedOut);

/* Result of addNewConnection when the connection is not watched. */
#define HT_CONN_NOT_WATCHED (-2)

/*
 * Watches the socket for `argument` (the host's session record: its first
 * word is the sequence number the traces print) with an idle time-out in
 * seconds. HT_OK; HT_ERROR when the wake-up byte could not be written (the
 * connection is watched all the same, from the thread's next pass, at most
 * 110 x 1024 ms later); HT_CONN_NOT_WATCHED, changing nothing, when the
 * socket is negative or no record can be made.
 */
HT_EXPORT int addNewConnection(int socket, HTDispatchFn dispatch, void *argument, int timeout) HT_NOEXCEPT;
/*
 * Moves the socket from its service list back to its poll list with a new
 * idle time-out. HT_ERROR, changing nothing, when the socket is not on its
 * service list; HT_ERROR also when the wake-up failed (the connection is
 * watched all the same, from the next pass).
 */
HT_EXPORT int reAddConnection(int socket, int timeout) HT_NOEXCEPT;
/* As reAddConnection, also replacing the dispatch function. */
HT_EXPORT int scm_reAddConnection(int socket, HTDispatchFn dispatch, int timeout) HT_NOEXCEPT;
/*
 * Forgets the socket: looked for on its service list, then on its poll
 * list, unlinked and freed (HT_OK); HT_ERROR when it is on neither. A record
 * on the ready list, about to be dispatched, is not found.
 */
HT_EXPORT int removeConnection(int socket) HT_NOEXCEPT;

/* Starts the manager: the tables and the N select threads. Once; later calls do nothing. */
HT_EXPORT void commInit(void) HT_NOEXCEPT;
/* A select thread: `index` points at its number. Never returns. */
HT_EXPORT void *select_thread_function(void *index) HT_NOEXCEPT;
/* One poll pass of the thread: HT_OK, or HT_ERROR when poll or the wake-up pipe failed. */
HT_EXPORT int pollActiveConnections(int thread) HT_NOEXCEPT;
/*
 * Makes the thread's wake-up pipe (both ends non-blocking) and tests it with
 * one byte: HT_OK, or HT_ERROR after a message on standard error.
 */
HT_EXPORT int connectLoopback(int thread) HT_NOEXCEPT;
/* Signal set-up of a manager thread: HTGlobalSignalSetup, then the asynchronous signals blocked. */
HT_EXPORT void block_signals(void) HT_NOEXCEPT;
/* errno. */
HT_EXPORT int getError(void) HT_NOEXCEPT;

/* ---- sessions ---- */

/*
 * A session record is HT_SESSION_WORDS pointer-sized words, the host's
 * per-connection state. The pool owns the words named below; it also
 * clears the host's request words on hand-out (29, 31, 32, 90, 91) and on
 * release (21-24, 26-28, 84, 95), and on release frees the heap blocks that
 * words 29, 31 and 32 point to (HTAlloc_free). Every other word belongs to
 * the host and is left alone.
 */
#define HT_SESSION_WORDS 101
#define HT_SESSION_SEQUENCE 0    /* the record's index in the pool, set when it is made */
#define HT_SESSION_BLOCK_A 29    /* heap blocks the host hangs on the record */
#define HT_SESSION_BLOCK_B 31
#define HT_SESSION_BLOCK_C 32
#define HT_SESSION_USE_COUNT 88  /* hand-outs not yet given back */
#define HT_SESSION_INPUT 89      /* HTInputSocket (heap) of the connection */
#define HT_SESSION_IN_USE 95     /* 1 while handed out */
#define HT_SESSION_FREE_NEXT 99  /* free-list links */
#define HT_SESSION_FREE_PREV 100

/* Free records that keep their input buffer; beyond it a given-back record's buffer is freed. */
#define HT_SESSION_BUFFERS_CACHED 64

/* Words of HTConnGetSessionStats. */
#define HT_SESSION_STAT_IN_USE 0   /* records handed out */
#define HT_SESSION_STAT_SIZE 1     /* records in the pool */
#define HT_SESSION_STAT_ERRORS 2   /* records given back without an input buffer */
#define HT_SESSION_STAT_BUFFERED 3 /* free records holding an input buffer */
#define HT_SESSION_STATS 4

/*
 * Makes a pool of n zeroed records, record i with sequence number i, the
 * first 64 with an input buffer; the last one made is handed out first.
 * A pool made before is released first, which is refused (HT_ERROR, the old
 * pool kept) while any of its records is handed out. HT_OK, or HT_ERROR when
 * memory runs short (after a message on standard error; nothing is kept).
 */
HT_EXPORT int initSessions(int n) HT_NOEXCEPT;
/*
 * A free record with an input buffer (bound to no socket: HTInputSocket_reset
 * binds it), its hand-out words cleared; null when none is free, or when no
 * input buffer can be made (the record stays free).
 */
HT_EXPORT void *getSession(void) HT_NOEXCEPT;
/*
 * Gives the record back. A record that is not handed out (given back twice,
 * or not from the pool) is ignored with a trace.
 */
HT_EXPORT void putSession(void *session) HT_NOEXCEPT;
/* Fills the HT_SESSION_STATS words (HT_SESSION_STAT_*). */
HT_EXPORT void HTConnGetSessionStats(long stats[HT_SESSION_STATS]) HT_NOEXCEPT;

/*
 * Internal: starts a detached manager thread (a select thread, the pool's
 * collector) with a 256 KiB stack; when the attributes cannot be set up,
 * with a message on standard error, it starts with the default ones. The
 * result of pthread_create.
 */
int HTMultiSelect__startDetached(void *(*routine)(void *), void *argument) HT_NOEXCEPT;
/*
 * Internal, for tests: the total that replaces HT_POLL_ENTRIES when the
 * manager starts (a machine whose descriptor limit is below 40 100 cannot
 * fill the real tables). No effect once started.
 */
void HTMultiSelect__setPollEntries(int total) HT_NOEXCEPT;
/* Internal, for tests: the select-thread count after clamping (0 before the start). */
int HTMultiSelect__threads(void) HT_NOEXCEPT;
/* Internal, for tests: the descriptors of the thread's wake-up pipe. */
void HTMultiSelect__wakePipe(int thread, int *recvEnd, int *sendEnd) HT_NOEXCEPT;
/* Internal, for tests: connections on the thread's poll, ready and service lists. */
void HTMultiSelect__counts(int thread, int *poll, int *ready, int *service) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
