/*
 * HTThread: the library's thread primitives.
 *
 * Small wrappers over POSIX threads that every threaded module uses: a plain
 * mutex, a recursive mutex, an auto-reset event, a writer-preferring
 * read-write lock, thread starters, "managed" threads that run destroy
 * callbacks when their function returns, and time and sleep helpers.
 * Handles are opaque pointer-sized words, 0 meaning none; nothing throws.
 */
#ifndef HTTHREAD_H
#define HTTHREAD_H

#include "HTResult.h"
#include "htexport.h"

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t pmutex;
typedef uintptr_t rmutex;
typedef uintptr_t pevent;
typedef uintptr_t rwlock;

/* Time and sleep. */
HT_EXPORT void millisleep(unsigned int ms) HT_NOEXCEPT;
HT_EXPORT void gettimecounts(time_t *seconds, long *microseconds) HT_NOEXCEPT;
/* Milliseconds of the time of day; wraps every 4,290,000 seconds. */
HT_EXPORT uint32_t getmillicount(void) HT_NOEXCEPT;
HT_EXPORT time_t getsecondcount(void) HT_NOEXCEPT;
HT_EXPORT void random_init(unsigned int seed) HT_NOEXCEPT;
HT_EXPORT int random_next(unsigned int *seed) HT_NOEXCEPT;

/* Plain (non-recursive, adaptive) mutex. */
HT_EXPORT pmutex pmutex_create(void) HT_NOEXCEPT;
HT_EXPORT void pmutex_destroy(pmutex m) HT_NOEXCEPT;
HT_EXPORT void pmutex_request(pmutex m) HT_NOEXCEPT;
/* HT_LOCK_TAKEN (0) when taken at once, else the non-zero error of the try. */
HT_EXPORT int pmutex_requestNoBlock(pmutex m) HT_NOEXCEPT;
HT_EXPORT void pmutex_release(pmutex m) HT_NOEXCEPT;
/*
 * HT_LOCK_TAKEN or HT_LOCK_NOT_TAKEN: immediate tries, then tries one second
 * apart until the time-out is used up.
 */
HT_EXPORT int pmutex_request_timeout(pmutex m, int timeout_ms) HT_NOEXCEPT;

/* Recursive mutex; time-out -1 means none. */
HT_EXPORT rmutex rmutex_create(void) HT_NOEXCEPT;
HT_EXPORT void rmutex_destroy(rmutex m) HT_NOEXCEPT;
HT_EXPORT int rmutex_request(rmutex m) HT_NOEXCEPT;
HT_EXPORT int rmutex_request_timeout(rmutex m, int timeout_ms) HT_NOEXCEPT;
HT_EXPORT void rmutex_release(rmutex m) HT_NOEXCEPT;

/*
 * Auto-reset event: a set wakes one waiter, or leaves the event signalled for
 * the next wait when nobody waits. Timed waits have a whole-second deadline
 * (now in seconds + timeout_ms / 1000); they return HT_WAIT_SIGNALLED (0)
 * on a set, else the time-out error. A negative time-out waits without limit.
 */
HT_EXPORT pevent pevent_create(void) HT_NOEXCEPT;
HT_EXPORT void pevent_destroy(pevent e) HT_NOEXCEPT;
HT_EXPORT void pevent_wait(pevent e) HT_NOEXCEPT;
HT_EXPORT int pevent_wait_timeout(pevent e, int timeout_ms) HT_NOEXCEPT;
HT_EXPORT int pevent_wait_timeout_ts(pevent e, const struct timespec *deadline) HT_NOEXCEPT;
HT_EXPORT void pevent_set(pevent e) HT_NOEXCEPT;
HT_EXPORT void pevent_setall(pevent e) HT_NOEXCEPT;
HT_EXPORT void pevent_reset(pevent e) HT_NOEXCEPT;

/* Read-write lock with writer preference while readers hold it. */
HT_EXPORT rwlock rwlock_create(void) HT_NOEXCEPT;
HT_EXPORT void rwlock_remove(rwlock l) HT_NOEXCEPT;
HT_EXPORT void rwlockObtainRead(rwlock l) HT_NOEXCEPT;
HT_EXPORT void rwlockObtainWrite(rwlock l) HT_NOEXCEPT;
HT_EXPORT void rwlockRelease(rwlock l) HT_NOEXCEPT;
HT_EXPORT int rwlockObtainReadNoBlock(rwlock l) HT_NOEXCEPT;
HT_EXPORT int rwlockObtainWriteNoBlock(rwlock l) HT_NOEXCEPT;
HT_EXPORT int rwlockHeldRead(rwlock l) HT_NOEXCEPT;
HT_EXPORT int rwlockHeldWrite(rwlock l) HT_NOEXCEPT;
HT_EXPORT void rwlockDowngrade(rwlock l) HT_NOEXCEPT;

/* Threads. Starters return the new thread's id, or 0 on failure; threads are joinable. */
typedef void *(*HTThreadRoutine)(void *);
HT_EXPORT pthread_t OsThreadMyself(void) HT_NOEXCEPT;
HT_EXPORT pthread_t StartThread(HTThreadRoutine routine, void *arg) HT_NOEXCEPT;
HT_EXPORT pthread_t lmc_StartThread(HTThreadRoutine routine, void *arg) HT_NOEXCEPT; /* 256 KiB stack */

/*
 * Managed threads: the new thread starts with the asynchronous signals
 * blocked and, when its function returns, runs the destroy callbacks
 * registered for it in ascending priority (equal priorities in registration
 * order). Result: the thread id, or (pthread_t)-1 on failure.
 */
typedef void (*HTManagedFn)(uintptr_t arg);
HT_EXPORT pthread_t pthread_create_managed(HTManagedFn fn, uintptr_t arg) HT_NOEXCEPT;
HT_EXPORT pthread_t pthread_create_managed_with_attr(const pthread_attr_t *attr, HTManagedFn fn,
                                                     uintptr_t arg) HT_NOEXCEPT;
/* Callbacks run with the table's lock held: they must not create threads or register callbacks. */
HT_EXPORT void pthread_ondestroy(pthread_t thread, HTManagedFn callback, uintptr_t arg,
                                 int priority) HT_NOEXCEPT;

HT_EXPORT void NameServerInit(void) HT_NOEXCEPT;

/* Internal, for tests: the millisecond count of a given time of day. */
uint32_t HTThread__millicount(unsigned long long seconds, unsigned long microseconds) HT_NOEXCEPT;
/* Internal, for tests: the threads inside a wait on the event. */
int HTThread__peventWaiting(pevent e) HT_NOEXCEPT;
/* Internal, for tests: who waits on a read-write lock: 1 a writer, 2 a reader, 3 both. */
int HTThread__rwlockWaiting(rwlock l) HT_NOEXCEPT;
/* Internal, for tests: capacities of the managed-thread slot and destroy arrays. */
void HTThread__managedCapacity(int *slots, int *records) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
