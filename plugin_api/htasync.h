/*
 * htasync: the latch of asynchronous requests and the four plug-in calls.
 *
 * The latch lives in request memory and is completed by host threads. Its
 * count never goes below 0 (a surplus completion is dropped), waiting lasts
 * while it is above 0, every change wakes every waiter, and deleting waits
 * for 0, so no host thread can still be inside the record when it goes.
 */
#ifndef HTASYNC_H
#define HTASYNC_H

#include "plugrt_host.h"

#include <pthread.h>

struct HTAsyncLatch {
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    int count; // requests started and not yet completed
};

#endif
