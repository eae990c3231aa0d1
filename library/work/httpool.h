/*
 * httpool: the fixed pool of worker threads and their run queues.
 *
 * The host declares up to five pool blocks (contiguous ranges of worker
 * indexes), then starts N workers once with InitializeThreads. Any thread
 * hands work to the pool with RunOnThread: a function plus a work item of
 * seven pointer-sized words copied by value. Work for the RCA port (word 6 of
 * the item equals block 1's value) goes to block 1, work marked internal to
 * block 2, everything else to block 0. When no worker of the block is idle the
 * caller gives up, queues the item on the block's bounded run queue (a worker
 * drains its run queue before it goes idle), or waits. The pool ends only in
 * KillThreadPool. The "scm" flavour of the workers serves one shared response
 * queue as well.
 */
#ifndef HTTPOOL_H
#define HTTPOOL_H

#include "htexport.h"

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_WORK_ITEM_WORDS 7
/* Word of the work item holding the host's request record, and the local port. */
#define HT_WORK_ITEM_REQUEST 0
#define HT_WORK_ITEM_PORT 6
/* Words of the host's request record that the pool reads (pointer-sized words). */
#define HT_REQUEST_WORD_SEQUENCE 0
#define HT_REQUEST_WORD_SOCKET 20
#define HT_REQUEST_WORD_INTERNAL 84

#define HT_POOL_BLOCKS 5
#define HT_POOL_BLOCK_NORMAL 0
#define HT_POOL_BLOCK_RCA 1
#define HT_POOL_BLOCK_INTERNAL 2
/* Run-queue entries per worker of a block. */
#define HT_RUNQ_PER_WORKER 50

/* Modes of RunOnThread when no worker of the block is idle (any other value waits). */
#define HT_RUN_WAIT 1
#define HT_RUN_GIVE_UP 2
#define HT_RUN_QUEUE 3
#define HT_RUN_QUEUE_OR_WAIT 4

/*
 * A work function gets the worker's own copy of the item and the worker's
 * per-thread globals (null for scm workers). Its result is ignored.
 */
typedef void (*HTWorkFunction)(uintptr_t *item, void *globals);

typedef struct HTPoolBlock {
    int32_t value;      /* block 1: the RCA port; else only recorded */
    int32_t first;      /* first worker index, -1 when not set */
    int32_t last;       /* last worker index (inclusive) */
    int32_t firstCopy;
    int32_t busy;       /* workers of the block running work */
    int32_t waiting;    /* a dispatcher waits for a worker of this block */
    uintptr_t event;    /* pevent, set when a worker of the block becomes idle */
} HTPoolBlock;

typedef struct HTrunQueueEntry {
    HTWorkFunction function;
    uintptr_t item[HT_WORK_ITEM_WORDS];
    time_t queued;      /* HTtime() when queued */
    struct HTrunQueueEntry *next;
} HTrunQueueEntry;

/* Not locked by itself: the pool guards its queues with its run-queue locks. */
typedef struct HTrunQueue {
    HTrunQueueEntry *head;
    HTrunQueueEntry *tail;
    HTrunQueueEntry *freeList;
    int count;
} HTrunQueue;

/* One queue per block, and the response queue (scm workers only; null otherwise). */
HT_EXPORT extern HTrunQueue *HTrunQueues[HT_POOL_BLOCKS];
HT_EXPORT extern HTrunQueue *HTResponseQueue;

/* Names of the effective user and group every worker switches to (null: keep). */
HT_EXPORT extern const char *user_id;
HT_EXPORT extern const char *group_id;

/*
 * The two switches of the host configuration the pool reads: routing of
 * internal work to block 2, and the scm workers with their response queue
 * (read by InitializeThreads). Both off at start.
 */
HT_EXPORT void HTThreadPool_setInternalPool(int on) HT_NOEXCEPT;
HT_EXPORT void HTThreadPool_setScm(int on) HT_NOEXCEPT;

/*
 * Block -1 resets every block (and creates the block events) and returns 0;
 * 0..4 with size > 0 gives the block the next `size` worker indexes and
 * returns the next free index; anything else returns -1 and changes nothing.
 */
HT_EXPORT int setPoolBlock(int block, int value, int size) HT_NOEXCEPT;
/* last - first + 1 of a block (0 for ids outside 0..4). */
HT_EXPORT int getPoolBlockSize(int block) HT_NOEXCEPT;
/* The first block whose range holds the worker index, else 0. */
HT_EXPORT int HTgetThreadPoolBlockID(int index) HT_NOEXCEPT;
/* 1 (RCA port), 2 (internal work, when switched on) or 0; a null item counts as all zero. */
HT_EXPORT int getPoolBlockID(const uintptr_t *item) HT_NOEXCEPT;
/* A copy of a block's record; 0, or -1 for ids outside 0..4. */
HT_EXPORT int HTThreadPool_getBlock(int block, HTPoolBlock *out) HT_NOEXCEPT;

/*
 * Starts exactly n workers, all idle. Returns 0. Memory running short goes to
 * out_of_memory ("expandFreeList") before any worker starts, with no lock
 * held; the locks and queues made so far are kept for the next call.
 */
HT_EXPORT int InitializeThreads(int n) HT_NOEXCEPT;

/*
 * Hands the work to an idle worker of the item's block (item null: all
 * zero). Result: the worker's thread id; the caller's own id when the work
 * was queued; 0 when nothing was done (null function, pool disabled or not
 * started, mode 2 with no idle worker, mode 3 with a full queue).
 */
HT_EXPORT pthread_t RunOnThread(HTWorkFunction function, const uintptr_t *item, int mode) HT_NOEXCEPT;
/* The same, queueing on the response queue. */
HT_EXPORT pthread_t scm_RunOnThread(HTWorkFunction function, const uintptr_t *item, int mode) HT_NOEXCEPT;

/*
 * Disables the pool and tells every worker to end. With a non-zero wait
 * flag it waits up to 5 s in all (500 ms steps shared by every worker) and
 * then cancels the workers still running. A non-null reenable pointer makes
 * the pool dispatchable again afterwards. Returns 0.
 */
HT_EXPORT int KillThreadPool(int wait, void *reenable) HT_NOEXCEPT;

/* Creates the response queue with `entries` entries: 0, or 1 on failure (the queue as it was). */
HT_EXPORT int initResponseQ(int entries) HT_NOEXCEPT;

/* Queue primitives; the caller holds the lock that guards the queue. */
HT_EXPORT HTrunQueue *HTrunQueue_create(int entries) HT_NOEXCEPT;
/* 1 when queued at the tail, 0 when no entry is free; a null item queues zeros. */
HT_EXPORT int HTrunQueue_enque(HTrunQueue *queue, HTWorkFunction function,
                               const uintptr_t *item) HT_NOEXCEPT;
/*
 * Unlinks the head entry and returns it, already back on the free list: read
 * it before the lock is released. Null when empty.
 */
HT_EXPORT HTrunQueueEntry *HTrunQueue_deque(HTrunQueue *queue) HT_NOEXCEPT;
/* Frees every entry, queued and free; the header stays, empty. */
HT_EXPORT void HTrunQueue_destroy(HTrunQueue *queue) HT_NOEXCEPT;

/* Block 0 only (0 for other ids): queued entries; seconds the head has waited. */
HT_EXPORT int HTrunQueue_getQueueLength(int block) HT_NOEXCEPT;
HT_EXPORT int HTrunQueue_getLifeInqueue(int block) HT_NOEXCEPT;
/*
 * Block 0 only: moves up to `count` entries of block 0's run queue to the
 * internal block (marks their requests internal and dispatches them again
 * in mode 4). Returns the number moved.
 */
HT_EXPORT int HTrunQueue_destroyFirstSet(int block, int count) HT_NOEXCEPT;

/*
 * Sets the calling thread's effective group, then user, from the names (null
 * or unknown: that side is left alone); only the calling thread changes. The
 * plain variant leaves the user alone when it is root (id 0); the ForBind
 * variant sets it even then. 0, or -1 when a change was refused (traced under
 * "syscall", errno kept) or when memory to look the names up was short
 * (errno ENOMEM, nothing changed).
 */
HT_EXPORT int LinuxThreadSetUidGid(const char *user, const char *group) HT_NOEXCEPT;
HT_EXPORT int LinuxThreadSetUidGidForBind(const char *user, const char *group) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
