// httpool: the fixed pool of worker threads and their run queues.

#include "httpool.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <new>
#include <unistd.h>

HTrunQueue *HTrunQueues[HT_POOL_BLOCKS];
HTrunQueue *HTResponseQueue;
const char *user_id;
const char *group_id;

namespace {

struct Worker;

struct Link {
    int index;
    Link *next;
    Worker *owner;
};

struct Pool;

struct Worker {
    int idle;                      // guarded by m
    HTWorkFunction function;       // guarded by m
    uintptr_t item[HT_WORK_ITEM_WORDS];
    std::atomic<pthread_t> tid{0}; // 0 once the thread has left the pool
    pthread_mutex_t m;
    pthread_cond_t c;
    int shutdown;                  // guarded by m
    int block;
    HTrunQueue *runq;
    HTrunQueue *respq;
    Link link;
    Pool *pool;
    pthread_t thread;              // kept for cancellation after tid is cleared
    std::atomic<bool> inPool{false};
    bool exiting = false;          // guarded by m: the thread is ending, do not cancel it
};

// One generation of workers. Every started thread holds a reference, so a
// later InitializeThreads never frees records that a lingering (cancelled or
// stuck) thread of an earlier generation still uses.
struct Pool {
    std::atomic<int> refs{1};
    int n = 0;
    bool scm = false;
    Worker *workers = nullptr;

    int slots = 0;    // Worker records made (at least one)
    int prepared = 0; // records whose mutex and condition were initialised

    void release()
    {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            for (int i = 0; i < prepared; ++i) {
                pthread_mutex_destroy(&workers[i].m);
                pthread_cond_destroy(&workers[i].c);
            }
            for (int i = 0; i < slots; ++i)
                workers[i].~Worker();
            HTAlloc_free(workers);
            this->~Pool();
            HTAlloc_free(this);
        }
    }
};

// A generation of n workers from the library's allocation point, or null
// (nothing left allocated).
Pool *new_pool(int n, bool scm)
{
    void *record = HTAlloc_malloc(sizeof(Pool));
    const int slots = n > 0 ? n : 1;
    void *array = record ? HTAlloc_calloc(static_cast<size_t>(slots), sizeof(Worker)) : nullptr;
    if (array == nullptr) {
        HTAlloc_free(record);
        return nullptr;
    }
    auto *p = new (record) Pool;
    p->n = n;
    p->scm = scm;
    p->workers = static_cast<Worker *>(array);
    for (int i = 0; i < slots; ++i)
        new (&p->workers[i]) Worker;
    p->slots = slots;
    return p;
}

struct IdleList {
    Link *head = nullptr;
    Link *tail = nullptr;
};

HTPoolBlock poolBlocks[HT_POOL_BLOCKS] = {
    {-1, -1, -1, -1, -1, 0, 0}, {-1, -1, -1, -1, -1, 0, 0}, {-1, -1, -1, -1, -1, 0, 0},
    {-1, -1, -1, -1, -1, 0, 0}, {-1, -1, -1, -1, -1, 0, 0}};
int nextFreeIndex = 0;

IdleList idleQ_Normal, idleQ_RCA, idleQ_Internal; // guarded by Run_thd_mtx

pmutex Run_thd_mtx, Run_pbthd_mtx, Run_req_mtx, Run_resp_mtx;
std::atomic<int> fDisable{0};
std::atomic<Pool *> currentPool{nullptr};
std::atomic<int> internalPool{0}, scmSwitch{0};
pthread_mutex_t initLock = PTHREAD_MUTEX_INITIALIZER;

bool trace_pool() { return HT_TRACE_ON(HT_TRACE_THREADPOOL); }
bool trace_scm() { return HT_TRACE_ON(HT_TRACE_SCM); }

IdleList &idle_list(int block)
{
    return block == HT_POOL_BLOCK_RCA ? idleQ_RCA
         : block == HT_POOL_BLOCK_INTERNAL ? idleQ_Internal
                                           : idleQ_Normal;
}

// The link's next pointer is cleared on both sides: a stale one would chain
// the list back into itself and hand a busy worker a second job.
void idle_append(int block, Link *l)
{
    IdleList &q = idle_list(block);
    l->next = nullptr;
    if (q.head == nullptr) {
        q.head = q.tail = l;
    } else {
        q.tail->next = l;
        q.tail = l;
    }
}

Link *idle_pop(int block)
{
    IdleList &q = idle_list(block);
    Link *l = q.head;
    if (l != nullptr) {
        q.head = l->next;
        if (q.head == nullptr)
            q.tail = nullptr;
        l->next = nullptr;
    }
    return l;
}

void idle_remove(int block, int index)
{
    IdleList &q = idle_list(block);
    Link *prev = nullptr;
    for (Link *l = q.head; l != nullptr; prev = l, l = l->next) {
        if (l->index != index)
            continue;
        if (prev)
            prev->next = l->next;
        else
            q.head = l->next;
        if (q.tail == l)
            q.tail = prev;
        l->next = nullptr;
        return;
    }
}

uintptr_t request_word(const uintptr_t *item, int word)
{
    if (item == nullptr || item[HT_WORK_ITEM_REQUEST] == 0)
        return 0;
    return reinterpret_cast<const uintptr_t *>(item[HT_WORK_ITEM_REQUEST])[word];
}

unsigned long seq_of(const uintptr_t *item)
{
    return static_cast<unsigned long>(request_word(item, HT_REQUEST_WORD_SEQUENCE));
}

int socket_of(const uintptr_t *item)
{
    return static_cast<int>(request_word(item, HT_REQUEST_WORD_SOCKET));
}

void copy_item(uintptr_t *to, const uintptr_t *from)
{
    if (from)
        std::memcpy(to, from, sizeof(uintptr_t) * HT_WORK_ITEM_WORDS);
    else
        std::memset(to, 0, sizeof(uintptr_t) * HT_WORK_ITEM_WORDS);
}

// Handed to a worker popped after a dispatcher queued work: it does nothing,
// and the worker then drains the queue as after any work.
void drain_only(uintptr_t *, void *) {}

struct Taken {
    HTWorkFunction function = nullptr;
    uintptr_t item[HT_WORK_ITEM_WORDS] = {};
};

// The head entry copied out while the lock is held (null function: empty).
Taken take_locked(HTrunQueue *q)
{
    Taken t;
    if (q == nullptr)
        return t;
    if (HTrunQueueEntry *e = HTrunQueue_deque(q)) {
        t.function = e->function;
        std::memcpy(t.item, e->item, sizeof t.item);
    }
    return t;
}

Taken take(HTrunQueue *q, pmutex lock)
{
    if (q == nullptr || lock == 0)
        return Taken{};
    pmutex_request(lock);
    Taken t = take_locked(q);
    pmutex_release(lock);
    return t;
}

// False when a lock could not be made (the ones made are kept for a later try).
bool create_locks()
{
    if (!Run_thd_mtx)
        Run_thd_mtx = pmutex_create();
    if (!Run_pbthd_mtx)
        Run_pbthd_mtx = pmutex_create();
    if (!Run_req_mtx)
        Run_req_mtx = pmutex_create();
    return Run_thd_mtx && Run_pbthd_mtx && Run_req_mtx;
}

void busy_change(int block, int delta)
{
    if (block < 0 || block >= HT_POOL_BLOCKS)
        return;
    pmutex_request(Run_pbthd_mtx);
    poolBlocks[block].busy += delta;
    pmutex_release(Run_pbthd_mtx);
}

void remove_from_list(Worker *w)
{
    if (!w->inPool.exchange(false))
        return;
    pmutex_request(Run_thd_mtx);
    idle_remove(w->block, w->link.index);
    pmutex_release(Run_thd_mtx);
    DecnThreads();
    pthread_mutex_lock(&w->m);
    w->idle = 1;
    pthread_mutex_unlock(&w->m);
    w->tid.store(0);
}

void block_worker_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGCHLD, SIGIO, 19, 20, 21, 22})
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct ThreadEnd {
    Worker *w;
    void *globals;
    bool scm;
};

void worker_end(void *arg)
{
    auto *e = static_cast<ThreadEnd *>(arg);
    pthread_mutex_lock(&e->w->m);
    e->w->exiting = true;
    pthread_mutex_unlock(&e->w->m);
    remove_from_list(e->w);
    if (!e->scm)
        HTWorkThread_threadExit(HT_THREAD_WORKER, e->globals);
    e->w->pool->release();
}

// Runs the function with cancellation allowed: KillThreadPool cancels a
// worker that stays in its work function past the time budget. Everywhere
// else the worker holds or may take locks, so it cannot be cancelled there.
void run_work(HTWorkFunction f, uintptr_t *item, void *globals)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    f(item, globals);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

// After a unit of work: the next queued entry, or (none left) the worker back
// on its idle list. The final test and the append happen under both the
// idle-list lock and the queue lock, so a dispatcher that queues meanwhile
// either sees the worker on the list or its entry is seen here.
bool next_or_idle(Worker *w, bool scm, Taken &t)
{
    if (scm) {
        t = take(w->respq, Run_resp_mtx);
        if (t.function) {
            if (trace_pool())
                tfprintf(stderr, "scm_HotThread... 0x%lx has queued work to do.\n",
                         static_cast<unsigned long>(pthread_self()));
            if (trace_scm())
                tfprintf(stderr, "scm_HotThread, picked work from response Q socket = %d seq = %lu\n",
                         socket_of(t.item), seq_of(t.item));
            return true;
        }
    }
    t = take(w->runq, Run_req_mtx);
    if (!t.function) {
        pthread_mutex_lock(&w->m);
        w->idle = 1;
        w->function = nullptr;
        pthread_mutex_unlock(&w->m);
        pmutex_request(Run_thd_mtx);
        pmutex_request(Run_req_mtx);
        t = take_locked(w->runq);
        if (!t.function && scm && Run_resp_mtx) {
            pmutex_request(Run_resp_mtx);
            t = take_locked(w->respq);
            pmutex_release(Run_resp_mtx);
        }
        if (t.function) {
            pthread_mutex_lock(&w->m);
            w->idle = 0;
            pthread_mutex_unlock(&w->m);
        } else {
            idle_append(w->block, &w->link);
        }
        pmutex_release(Run_req_mtx);
        pmutex_release(Run_thd_mtx);
        if (!t.function)
            return false;
    }
    if (trace_pool())
        tfprintf(stderr, "HotThread... 0x%lx has queued work to do.\n",
                 static_cast<unsigned long>(pthread_self()));
    if (scm && trace_scm())
        tfprintf(stderr, "scm_HotThread, picked work from Run Q socket = %d seq = %lu\n",
                 socket_of(t.item), seq_of(t.item));
    return true;
}

void *hot_thread(void *arg)
{
    auto *w = static_cast<Worker *>(arg);
    const bool scm = w->pool->scm;
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    block_worker_signals();
    void *globals = nullptr;
    if (!scm) {
        HTWorkThread_threadCreate(HT_THREAD_WORKER);
        globals = lib_gettp();
    }
    LinuxThreadSetUidGid(user_id, group_id);

    ThreadEnd end{w, globals, scm};
    pthread_cleanup_push(worker_end, &end);

    pthread_mutex_lock(&w->m);
    while (!w->shutdown) {
        if (w->function == nullptr)
            pthread_cond_wait(&w->c, &w->m);
        if (w->shutdown) {
            if (trace_pool())
                tfprintf(stderr, "HotThread... 0x%lx shutting down.\n",
                         static_cast<unsigned long>(pthread_self()));
            break;
        }
        Taken t;
        t.function = w->function;
        std::memcpy(t.item, w->item, sizeof t.item);
        if (trace_pool())
            tfprintf(stderr,
                     "HotThread...  0x%lx/0x%lx has work to do with functionp 0x%lx; %d threads active.\n",
                     static_cast<unsigned long>(pthread_self()),
                     static_cast<unsigned long>(w->tid.load()),
                     reinterpret_cast<unsigned long>(t.function), GetnThreadsActive());
        pthread_mutex_unlock(&w->m);
        busy_change(w->block, 1);

        if (t.function == nullptr) {
            // Woken without work.
            busy_change(w->block, -1);
            if (trace_pool())
                tfprintf(stderr, "HotThread... Got null functionP!! will sleep 1 second.\n");
            millisleep(1000);
            pthread_mutex_lock(&w->m);
            continue;
        }

        bool stopping = false;
        for (;;) {
            if (scm && trace_scm())
                tfprintf(stderr, "scm_HotThread, socket = %d seq = %lu\n", socket_of(t.item),
                         seq_of(t.item));
            std::memcpy(w->item, t.item, sizeof t.item);
            run_work(t.function, w->item, globals);
            pthread_mutex_lock(&w->m);
            stopping = w->shutdown != 0;
            pthread_mutex_unlock(&w->m);
            if (stopping) {
                if (trace_pool())
                    tfprintf(stderr, "HotThread... 0x%lx shutting down.\n",
                             static_cast<unsigned long>(pthread_self()));
                break;
            }
            if (!next_or_idle(w, scm, t)) {
                DecnThreadsActive();
                break;
            }
            pthread_mutex_lock(&w->m);
            w->function = t.function;
            pthread_mutex_unlock(&w->m);
        }

        // Back on the idle list (unless stopping): a waiting dispatcher may go on.
        bool wake = false;
        pmutex_request(Run_pbthd_mtx);
        poolBlocks[w->block].busy--;
        if (poolBlocks[w->block].waiting) {
            poolBlocks[w->block].waiting = 0;
            wake = true;
        }
        pmutex_release(Run_pbthd_mtx);
        if (wake && poolBlocks[w->block].event)
            pevent_set(poolBlocks[w->block].event);
        pthread_mutex_lock(&w->m);
        if (stopping)
            break;
    }
    pthread_mutex_unlock(&w->m);

    pthread_cleanup_pop(1);
    return nullptr;
}

pthread_t hand_over(Worker *w, HTWorkFunction function, const uintptr_t *item)
{
    if (trace_pool())
        tfprintf(stderr, "RunOnThd.... will wake up HotThd[%d] %lx -> %lx().\n", w->link.index,
                 static_cast<unsigned long>(w->thread), reinterpret_cast<unsigned long>(function));
    IncnThreadsActive();
    pthread_mutex_lock(&w->m);
    w->function = function;
    copy_item(w->item, item);
    w->idle = 0;
    pthread_mutex_unlock(&w->m);
    // Signalled after the unlock so that the worker does not wake only to
    // block on the mutex; it tests its function under the mutex before it
    // waits, so the signal cannot be missed.
    pthread_cond_signal(&w->c);
    return w->thread;
}

// After queueing: a worker of the block that went idle between the
// dispatcher's look at the idle list and its queueing would leave the entry
// stranded, so look again and hand the head entry over.
void recheck_idle(int block, HTrunQueue *q, pmutex qlock)
{
    pmutex_request(Run_thd_mtx);
    Link *l = fDisable.load() ? nullptr : idle_pop(block);
    pmutex_release(Run_thd_mtx);
    if (l == nullptr)
        return;
    Taken t = take(q, qlock);
    if (t.function)
        hand_over(l->owner, t.function, t.item);
    else
        hand_over(l->owner, drain_only, nullptr); // it goes idle again through its own check
}

pthread_t run_on_thread(HTWorkFunction function, const uintptr_t *item, int mode, bool scm)
{
    if (function == nullptr)
        return 0;
    const int block = getPoolBlockID(item);
    if (scm && trace_scm())
        tfprintf(stderr, "RunOnthread_Response called for socket = %d seq = %lu\n", socket_of(item),
                 seq_of(item));
    if (trace_pool())
        tfprintf(stderr, scm ? "scm_RunOnThread: seq = %lu\n" : "RunOnThread: seq = %lu\n",
                 seq_of(item));
    if (currentPool.load() == nullptr || Run_thd_mtx == 0)
        return 0;
    HTrunQueue *q = scm ? HTResponseQueue : HTrunQueues[block];
    pmutex qlock = scm ? Run_resp_mtx : Run_req_mtx;

    pmutex_request(Run_thd_mtx);
    for (;;) {
        if (fDisable.load()) {
            pmutex_release(Run_thd_mtx);
            return 0;
        }
        Link *l = idle_pop(block);
        pmutex_release(Run_thd_mtx);
        if (l != nullptr)
            return hand_over(l->owner, function, item);

        if (trace_pool())
            tfprintf(stderr, scm ? "<scm_RunOnThread: seq = %lu\n" : "<RunOnThread: seq = %lu\n",
                     seq_of(item));
        if (mode == HT_RUN_GIVE_UP)
            return 0;
        if (mode == HT_RUN_QUEUE || mode == HT_RUN_QUEUE_OR_WAIT) {
            int queued = 0;
            if (scm && mode == HT_RUN_QUEUE && trace_scm())
                tfprintf(stderr, "Adding response to Q\n");
            if (q != nullptr && qlock != 0) {
                pmutex_request(qlock);
                queued = HTrunQueue_enque(q, function, item);
                pmutex_release(qlock);
            }
            if (queued) {
                recheck_idle(block, q, qlock);
                return pthread_self();
            }
            if (mode == HT_RUN_QUEUE) {
                if (scm && trace_scm())
                    tfprintf(stderr, "Unable to queue response\n");
                return 0;
            }
        }
        // Wait for a worker of the block. The event is reset before the flag
        // is raised, so a worker that finishes in between is not missed.
        const pevent ev = poolBlocks[block].event;
        if (ev)
            pevent_reset(ev);
        pmutex_request(Run_pbthd_mtx);
        poolBlocks[block].waiting = 1;
        pmutex_release(Run_pbthd_mtx);
        if (ev)
            pevent_wait_timeout(ev, 1000);
        else
            millisleep(1000);
        pmutex_request(Run_thd_mtx);
    }
}

int queue_capacity(const HTrunQueue *q)
{
    int n = 0;
    for (const HTrunQueueEntry *e = q->head; e; e = e->next)
        ++n;
    for (const HTrunQueueEntry *e = q->freeList; e; e = e->next)
        ++n;
    return n;
}

void free_entries(HTrunQueueEntry *list)
{
    while (list) {
        HTrunQueueEntry *next = list->next;
        HTAlloc_free(list);
        list = next;
    }
}

// A free list of `entries` entries in *out; false (nothing left allocated)
// when memory is short.
bool make_entries(int entries, HTrunQueueEntry **out)
{
    HTrunQueueEntry *list = nullptr;
    for (int i = 0; i < entries; ++i) {
        auto *e = static_cast<HTrunQueueEntry *>(HTAlloc_calloc(1, sizeof(HTrunQueueEntry)));
        if (e == nullptr) {
            free_entries(list);
            return false;
        }
        e->next = list;
        list = e;
    }
    *out = list;
    return true;
}

// A queue of exactly `entries` entries: created, or an empty one resized
// (a later pool with other block sizes gets queues of its own size). Called
// with the queue's lock held, so it reports exhaustion as false, with the
// queue as it was, and the caller goes to out_of_memory once unlocked.
bool ensure_queue(HTrunQueue *&q, int entries)
{
    if (q != nullptr && (q->head != nullptr || queue_capacity(q) == entries))
        return true;
    HTrunQueueEntry *list = nullptr;
    if (!make_entries(entries, &list))
        return false;
    if (q == nullptr) {
        q = static_cast<HTrunQueue *>(HTAlloc_calloc(1, sizeof(HTrunQueue)));
        if (q == nullptr) {
            free_entries(list);
            return false;
        }
    } else {
        HTrunQueue_destroy(q);
    }
    q->freeList = list;
    return true;
}

[[noreturn]] void pool_out_of_memory(int line, size_t size)
{
    out_of_memory("httpool", "expandFreeList", line, size);
}

} // namespace

// ---- Configuration and blocks ------------------------------------------------

extern "C" void HTThreadPool_setInternalPool(int on) noexcept { internalPool.store(on != 0); }
extern "C" void HTThreadPool_setScm(int on) noexcept { scmSwitch.store(on != 0); }

extern "C" int setPoolBlock(int block, int value, int size) noexcept
{
    if (block < -1 || block >= HT_POOL_BLOCKS) {
        if (trace_pool())
            tfprintf(stderr, "poolBlock... invalid value %d %d %d.\n", block, value, size);
        return -1;
    }
    if (block == -1) {
        if (trace_pool())
            tfprintf(stderr, "poolBlock... Reset.\n");
        for (HTPoolBlock &b : poolBlocks) {
            b.value = b.first = b.last = b.firstCopy = b.busy = -1;
            b.waiting = 0;
            if (!b.event)
                b.event = pevent_create();
            pevent_reset(b.event);
        }
        nextFreeIndex = 0;
        return 0;
    }
    if (size <= 0) {
        if (trace_pool())
            tfprintf(stderr, "poolBlock... invalid block size %d %d %d.\n", block, value, size);
        return -1;
    }
    HTPoolBlock &b = poolBlocks[block];
    b.value = value;
    b.busy = 0;
    b.first = b.firstCopy = nextFreeIndex;
    b.last = nextFreeIndex + size - 1;
    nextFreeIndex += size;
    if (trace_pool())
        tfprintf(stderr, "poolBlock... poolBlock[%d] is set [%d -> %d], value = %d.\n", block,
                 b.first, b.last, value);
    return nextFreeIndex;
}

extern "C" int getPoolBlockSize(int block) noexcept
{
    if (block < 0 || block >= HT_POOL_BLOCKS)
        return 0;
    return poolBlocks[block].last - poolBlocks[block].first + 1;
}

extern "C" int HTgetThreadPoolBlockID(int index) noexcept
{
    for (int b = 0; b < HT_POOL_BLOCKS; ++b)
        if (poolBlocks[b].first >= 0 && index >= poolBlocks[b].first && index <= poolBlocks[b].last)
            return b;
    return 0;
}

extern "C" int getPoolBlockID(const uintptr_t *item) noexcept
{
    const uintptr_t port = item ? item[HT_WORK_ITEM_PORT] : 0;
    const int rca = poolBlocks[HT_POOL_BLOCK_RCA].value;
    if (port == static_cast<uintptr_t>(static_cast<intptr_t>(rca)))
        return HT_POOL_BLOCK_RCA;
    int block = HT_POOL_BLOCK_NORMAL;
    if (internalPool.load() && request_word(item, HT_REQUEST_WORD_INTERNAL) == 1)
        block = HT_POOL_BLOCK_INTERNAL;
    if (trace_pool())
        tfprintf(stderr, "getBlkID.... connection port %d, RCA port %d, block = %d\n",
                 static_cast<int>(port), rca, block);
    return block;
}

extern "C" int HTThreadPool_getBlock(int block, HTPoolBlock *out) noexcept
{
    if (block < 0 || block >= HT_POOL_BLOCKS || out == nullptr)
        return -1;
    if (Run_pbthd_mtx)
        pmutex_request(Run_pbthd_mtx);
    *out = poolBlocks[block];
    if (Run_pbthd_mtx)
        pmutex_release(Run_pbthd_mtx);
    return 0;
}

// ---- Starting and stopping the pool ------------------------------------------

extern "C" int InitializeThreads(int n) noexcept
{
    if (n < 0)
        n = 0;
    // Everything is allocated without throwing, and a shortage is reported
    // only once the start-up lock (and every pool lock) is released.
    pthread_mutex_lock(&initLock);
    if (!create_locks()) {
        pthread_mutex_unlock(&initLock);
        pool_out_of_memory(__LINE__, sizeof(pthread_mutex_t));
    }
    for (HTPoolBlock &b : poolBlocks)
        if (!b.event)
            b.event = pevent_create();
    const bool scm = scmSwitch.load() != 0;
    if (scm && !Run_resp_mtx)
        Run_resp_mtx = pmutex_create();
    bool queues = !scm || Run_resp_mtx;
    pmutex_request(Run_req_mtx);
    if (scm && queues) {
        pmutex_request(Run_resp_mtx);
        queues = ensure_queue(HTResponseQueue, n * HT_RUNQ_PER_WORKER);
        pmutex_release(Run_resp_mtx);
        if (queues && trace_scm())
            tfprintf(stderr, "Successfully created reponse Q\n");
    }
    for (int b = 0; b < HT_POOL_BLOCKS && queues; ++b) {
        int size = getPoolBlockSize(b);
        if (size <= 0)
            size = 1;
        queues = ensure_queue(HTrunQueues[b], size * HT_RUNQ_PER_WORKER);
    }
    pmutex_release(Run_req_mtx);
    Pool *p = queues ? new_pool(n, scm) : nullptr;
    if (p == nullptr) {
        pthread_mutex_unlock(&initLock);
        pool_out_of_memory(__LINE__, sizeof(Worker) * static_cast<size_t>(n > 0 ? n : 1));
    }

    int started = 0;
    pmutex_request(Run_thd_mtx);
    idleQ_Normal = idleQ_RCA = idleQ_Internal = IdleList{};
    for (int i = 0; i < n; ++i) {
        Worker &w = p->workers[i];
        w.idle = 1;
        w.shutdown = 0;
        w.function = nullptr;
        std::memset(w.item, 0, sizeof w.item);
        w.block = HTgetThreadPoolBlockID(i);
        w.runq = HTrunQueues[w.block];
        w.respq = HTResponseQueue;
        w.link = Link{i, nullptr, &w};
        w.pool = p;
        pthread_cond_init(&w.c, nullptr);
        pthread_mutex_init(&w.m, nullptr);
        p->prepared = i + 1;
        if (scm && trace_scm())
            tfprintf(stderr, "Calling scm_HotThread\n");
        p->refs.fetch_add(1);
        const pthread_t t = lmc_StartThread(hot_thread, &w);
        if (t == 0) {
            // Not on the idle list: work given to it would never run.
            p->refs.fetch_sub(1);
            continue;
        }
        pthread_detach(t);
        w.thread = t;
        w.tid.store(t);
        w.inPool.store(true);
        idle_append(w.block, &w.link);
        ++started;
        if (trace_pool())
            tfprintf(stderr,
                     scm ? "InitThread... SCM working thread[%d, 0x%lx] was created.\n"
                         : "InitThread... working thread[%d, 0x%lx] was created.\n",
                     i, static_cast<unsigned long>(t));
        if (i % 10 == 0)
            SetnThreads(started);
    }
    pmutex_release(Run_thd_mtx);
    // The previous generation is freed once its last thread has ended.
    if (Pool *old = currentPool.exchange(p))
        old->release();
    fDisable.store(0);
    SetnThreads(started);
    SetnThreadsStarted(started);
    pthread_mutex_unlock(&initLock);
    return 0;
}

extern "C" pthread_t RunOnThread(HTWorkFunction function, const uintptr_t *item, int mode) noexcept
{
    return run_on_thread(function, item, mode, false);
}

extern "C" pthread_t scm_RunOnThread(HTWorkFunction function, const uintptr_t *item, int mode) noexcept
{
    return run_on_thread(function, item, mode, true);
}

extern "C" int KillThreadPool(int wait, void *reenable) noexcept
{
    fDisable.store(1);
    pthread_mutex_lock(&initLock);
    Pool *p = currentPool.load();
    if (p != nullptr)
        p->refs.fetch_add(1);
    pthread_mutex_unlock(&initLock);
    if (p != nullptr) {
        for (int i = 0; i < p->n; ++i) {
            Worker &w = p->workers[i];
            if (w.tid.load() == 0)
                continue;
            pthread_mutex_lock(&w.m);
            if (w.shutdown) {
                pthread_mutex_unlock(&w.m);
                millisleep(10);
                pthread_mutex_lock(&w.m);
            } else {
                w.shutdown = 1;
                pthread_cond_signal(&w.c);
            }
            pthread_mutex_unlock(&w.m);
        }
        int steps = 0;
        for (int i = 0; i < p->n; ++i) {
            Worker &w = p->workers[i];
            if (w.tid.load() == 0)
                continue;
            if (wait) {
                while (w.tid.load() != 0 && steps < 10) {
                    millisleep(500);
                    ++steps;
                    if (steps % 2 == 0 && trace_pool())
                        tfprintf(stderr, "KillPool.... waiting on thread %d.\n", i);
                }
            }
            if (w.tid.load() != 0) {
                pthread_mutex_lock(&w.m);
                if (!w.exiting)
                    pthread_cancel(w.thread);
                pthread_mutex_unlock(&w.m);
                if (trace_pool())
                    tfprintf(stderr, "KillPool.... thread %d has been exterminated.\n", i);
                DecnThreadsActive();
                remove_from_list(&w);
            } else if (trace_pool()) {
                tfprintf(stderr, "KillPool.... thread %d has finished.\n", i);
            }
        }
        p->release();
    }
    SetnThreads(0);
    SetnThreadsStarted(0);
    SetnThreadsActive(0);
    if (reenable != nullptr)
        fDisable.store(0);
    return 0;
}

// ---- Run queues ------------------------------------------------------------------

extern "C" int initResponseQ(int entries) noexcept
{
    if (!Run_resp_mtx)
        Run_resp_mtx = pmutex_create();
    if (!Run_resp_mtx)
        return 1;
    pmutex_request(Run_resp_mtx);
    const bool made = ensure_queue(HTResponseQueue, entries);
    pmutex_release(Run_resp_mtx);
    return made ? 0 : 1;
}

extern "C" HTrunQueue *HTrunQueue_create(int entries) noexcept
{
    HTrunQueue *q = nullptr;
    if (!ensure_queue(q, entries))
        pool_out_of_memory(__LINE__, sizeof(HTrunQueueEntry));
    return q;
}

extern "C" int HTrunQueue_enque(HTrunQueue *q, HTWorkFunction function, const uintptr_t *item) noexcept
{
    if (q == nullptr || q->freeList == nullptr)
        return 0;
    HTrunQueueEntry *e = q->freeList;
    q->freeList = e->next;
    e->function = function;
    copy_item(e->item, item);
    e->queued = HTtime();
    e->next = nullptr;
    if (q->tail)
        q->tail->next = e;
    else
        q->head = e;
    q->tail = e;
    ++q->count;
    return 1;
}

extern "C" HTrunQueueEntry *HTrunQueue_deque(HTrunQueue *q) noexcept
{
    if (q == nullptr || q->head == nullptr)
        return nullptr;
    HTrunQueueEntry *e = q->head;
    q->head = e->next;
    if (q->head == nullptr)
        q->tail = nullptr;
    e->next = q->freeList;
    q->freeList = e;
    if (q->count > 0)
        --q->count;
    return e;
}

extern "C" void HTrunQueue_destroy(HTrunQueue *q) noexcept
{
    if (q == nullptr)
        return;
    for (HTrunQueueEntry *list : {q->head, q->freeList}) {
        while (list) {
            HTrunQueueEntry *next = list->next;
            HTAlloc_free(list);
            list = next;
        }
    }
    q->head = q->tail = q->freeList = nullptr;
    q->count = 0;
}

extern "C" int HTrunQueue_getQueueLength(int block) noexcept
{
    if (block != 0 || HTrunQueues[0] == nullptr || !Run_req_mtx)
        return 0;
    pmutex_request(Run_req_mtx);
    const int n = HTrunQueues[0]->count;
    pmutex_release(Run_req_mtx);
    return n;
}

extern "C" int HTrunQueue_getLifeInqueue(int block) noexcept
{
    if (block != 0 || HTrunQueues[0] == nullptr || !Run_req_mtx)
        return 0;
    pmutex_request(Run_req_mtx);
    const HTrunQueueEntry *h = HTrunQueues[0]->head;
    const int life = h ? static_cast<int>(HTtime() - h->queued) : 0;
    pmutex_release(Run_req_mtx);
    return life;
}

extern "C" int HTrunQueue_destroyFirstSet(int block, int count) noexcept
{
    if (block != 0 || !HTrunQueues[0] || !HTrunQueues[HT_POOL_BLOCK_INTERNAL] || !Run_req_mtx)
        return 0;
    int moved = 0;
    while (moved < count) {
        // Copied while the lock is held: the entry is already back on the free list.
        pmutex_request(Run_req_mtx);
        Taken t = take_locked(HTrunQueues[0]);
        if (t.function == nullptr) {
            pmutex_release(Run_req_mtx);
            break;
        }
        if (t.item[HT_WORK_ITEM_REQUEST] != 0)
            reinterpret_cast<uintptr_t *>(t.item[HT_WORK_ITEM_REQUEST])[HT_REQUEST_WORD_INTERNAL] = 1;
        pmutex_release(Run_req_mtx);
        RunOnThread(t.function, t.item, HT_RUN_QUEUE_OR_WAIT);
        ++moved;
    }
    return moved;
}

// ---- Effective user and group of one thread ----------------------------------------

namespace {

// Results of the lookups below.
enum class Found { Yes, No, NoMemory };

// The re-entrant lookups, first with a 2048-byte buffer on the stack, then
// retried with a larger one from the heap while it is too small.
template <class Lookup> Found with_buffer(Lookup &&lookup)
{
    char small[2048];
    char *buf = small;
    size_t size = sizeof small;
    Found result;
    for (;;) {
        const int rc = lookup(buf, size);
        if (rc == ERANGE && size < (1u << 20)) {
            if (buf != small)
                HTAlloc_free(buf);
            size *= 2;
            buf = static_cast<char *>(HTAlloc_malloc(size));
            if (buf == nullptr)
                return Found::NoMemory;
            continue;
        }
        result = rc == 0 ? Found::Yes : Found::No;
        break;
    }
    if (buf != small)
        HTAlloc_free(buf);
    return result;
}

Found lookup_user(const char *name, uid_t &uid, gid_t &gid)
{
    return with_buffer([&](char *buf, size_t size) {
        struct passwd pw, *res = nullptr;
        const int rc = getpwnam_r(name, &pw, buf, size, &res);
        if (rc != 0)
            return rc;
        if (res == nullptr)
            return 1; // no such user
        uid = pw.pw_uid;
        gid = pw.pw_gid;
        return 0;
    });
}

Found lookup_group(const char *name, gid_t &gid)
{
    return with_buffer([&](char *buf, size_t size) {
        struct group gr, *res = nullptr;
        const int rc = getgrnam_r(name, &gr, buf, size, &res);
        if (rc != 0)
            return rc;
        if (res == nullptr)
            return 1;
        gid = gr.gr_gid;
        return 0;
    });
}

// The C library's seteuid/setegid change every thread of the process; the
// raw system calls change only the calling thread.
int set_thread_egid(gid_t gid)
{
    if (syscall(SYS_setresgid, static_cast<gid_t>(-1), gid, static_cast<gid_t>(-1)) == 0)
        return 0;
    const int err = errno;
    if (HT_TRACE_ON(HT_TRACE_SYSCALL))
        tfprintf(stderr, "setresgid(-1, %u, -1) failed. rc=%d %s\n", static_cast<unsigned>(gid), err,
                 std::strerror(err));
    errno = err;
    return -1;
}

int set_thread_euid(uid_t uid)
{
    if (syscall(SYS_setresuid, static_cast<uid_t>(-1), uid, static_cast<uid_t>(-1)) == 0)
        return 0;
    const int err = errno;
    if (HT_TRACE_ON(HT_TRACE_SYSCALL))
        tfprintf(stderr, "setresuid(-1, %u, -1) failed. rc=%d %s\n", static_cast<unsigned>(uid), err,
                 std::strerror(err));
    errno = err;
    return -1;
}

int set_uid_gid(const char *user, const char *group, bool forBind)
{
    uid_t uid = 0;
    gid_t userGid = 0, gid = 0;
    const Found u = user != nullptr ? lookup_user(user, uid, userGid) : Found::No;
    const Found g = group != nullptr ? lookup_group(group, gid) : Found::No;
    if (u == Found::NoMemory || g == Found::NoMemory) {
        // The identity asked for is unknown: nothing is changed.
        errno = ENOMEM;
        return -1;
    }
    const bool haveUser = u == Found::Yes;
    bool haveGid = false;
    if (g == Found::Yes)
        haveGid = true;
    else if (haveUser) {
        gid = userGid;
        haveGid = true;
    }
    const bool setGid = haveGid && gid != 0;
    const bool setUid = haveUser && (uid != 0 || forBind);
    int rc = 0, err = 0;
    // Privileges are never wider than asked: a thread that gives up root
    // changes its group while it still may, then its user; one that takes
    // root back needs the user first to be allowed to change its group.
    if (setUid && uid == 0) {
        if (set_thread_euid(uid) != 0)
            rc = -1, err = errno;
        if (setGid && set_thread_egid(gid) != 0)
            rc = -1, err = errno;
    } else {
        if (setGid && set_thread_egid(gid) != 0)
            rc = -1, err = errno;
        if (setUid && set_thread_euid(uid) != 0)
            rc = -1, err = errno;
    }
    if (rc != 0)
        errno = err;
    return rc;
}

} // namespace

extern "C" int LinuxThreadSetUidGid(const char *user, const char *group) noexcept
{
    return set_uid_gid(user, group, false);
}

extern "C" int LinuxThreadSetUidGidForBind(const char *user, const char *group) noexcept
{
    return set_uid_gid(user, group, true);
}
