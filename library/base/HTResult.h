/*
 * HTResult: the result conventions of htcommon, one family a block.
 *
 * Most functions of the library return HT_OK (0) on success and HT_ERROR
 * (-1) on failure; a function's header says when it follows another family
 * below, whose numbers are fixed by the callers that compare them (the host
 * and plug-ins check the raw values, so none of them may change). Failures
 * never cross the interface as exceptions: a result, a null pointer, or an
 * error code stored in the request or the context.
 */
#ifndef HTRESULT_H
#define HTRESULT_H

/* The common family: 0 done, -1 not done. */
#define HT_OK 0
#define HT_ERROR (-1)

/* Predicates and finders (HTDNSCache_lookup, HTMethod_hasBody ...): 1 yes, 0 no. */
#define HT_YES 1
#define HT_NO 0

/* Library start-up, HTInitAll: 1 done, 0 failed. */
#define HT_INIT_OK 1
#define HT_INIT_FAILED 0

/* Event waits (pevent_wait_timeout ...): 0 signalled, anything else the wait's error. */
#define HT_WAIT_SIGNALLED 0

/* Mutex requests with a time-out (pmutex_request_timeout): 0 taken, 1 not taken. */
#define HT_LOCK_TAKEN 0
#define HT_LOCK_NOT_TAKEN 1

/* HashAdd: 0 added, 1 no chain entry could be had. */
#define HT_HASH_ADDED 0
#define HT_HASH_NO_ENTRY 1

/* StrongHash_Insert, inverse sense: 1 inserted, 0 failed. */
#define HT_STRONGHASH_INSERTED 1
#define HT_STRONGHASH_FAILED 0

#endif
