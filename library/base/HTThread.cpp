// HTThread: the library's thread primitives.

#include "HTThread.h"

#include "HTAlloc.h"
#include "HTTrace.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <resolv.h>
#include <sys/time.h>

namespace {

// Every mutex of this module spins briefly before it blocks.
void init_adaptive(pthread_mutex_t *m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

template <class T> T *rec(uintptr_t h) { return reinterpret_cast<T *>(h); }
template <class T> uintptr_t handle(T *p) { return reinterpret_cast<uintptr_t>(p); }

struct PMutex {
    pthread_mutex_t m;
};

struct PEvent {
    int32_t signalled;
    // Threads inside a wait, and wake-ups handed out by set but not yet
    // consumed (never more than the waiters). A waiter returns 0 only by
    // consuming a wake-up, so spurious wake-ups and time-outs lose no set.
    int32_t waiting;
    pthread_mutex_t m;
    pthread_cond_t c;
    int32_t wakeups;
};

struct RMutex {
    pmutex guard;
    pmutex owner_lock;
    pevent event;
    pthread_t owner;
    int count;
};

constexpr uint32_t kReaderMask = 0x3fffffffu;
constexpr uint32_t kReaderWaiting = 0x40000000u;
constexpr uint32_t kWriterWaiting = 0x80000000u;

struct RWLock {
    pthread_mutex_t *m;
    pthread_cond_t *c;
    // Changed only under m; a releasing reader reads the count without it.
    std::atomic<uint32_t> state;
};

void trace_syscall(const char *fmt, int rc)
{
    if (HT_TRACE_ON(HT_TRACE_SYSCALL)) {
        char buf[128];
        const char *text = strerror_r(rc, buf, sizeof buf);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        tfprintf(stderr, fmt, rc, text);
#pragma GCC diagnostic pop
    }
}

} // namespace

// ---- Time and sleep -------------------------------------------------------

extern "C" void millisleep(unsigned int ms) noexcept
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}

extern "C" void gettimecounts(time_t *seconds, long *microseconds) noexcept
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (seconds)
        *seconds = tv.tv_sec;
    if (microseconds)
        *microseconds = static_cast<long>(tv.tv_usec);
}

extern "C" uint32_t HTThread__millicount(unsigned long long seconds, unsigned long microseconds) noexcept
{
    return static_cast<uint32_t>(microseconds / 1000) +
           static_cast<uint32_t>(seconds % 4290000ULL) * 1000u;
}

extern "C" uint32_t getmillicount(void) noexcept
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return HTThread__millicount(static_cast<unsigned long long>(tv.tv_sec),
                                static_cast<unsigned long>(tv.tv_usec));
}

extern "C" time_t getsecondcount(void) noexcept { return time(nullptr); }

extern "C" void random_init(unsigned int seed) noexcept { std::srand(seed); }

extern "C" int random_next(unsigned int *seed) noexcept { return seed ? rand_r(seed) : std::rand(); }

// ---- pmutex ---------------------------------------------------------------

extern "C" pmutex pmutex_create(void) noexcept
{
    auto *p = static_cast<PMutex *>(HTAlloc_calloc(1, sizeof(PMutex)));
    if (p == nullptr)
        return 0;
    init_adaptive(&p->m);
    return handle(p);
}

extern "C" void pmutex_destroy(pmutex m) noexcept
{
    if (m == 0)
        return;
    // A mutex that is still held is left alone rather than freed under its holder.
    if (pthread_mutex_destroy(&rec<PMutex>(m)->m) == 0)
        HTAlloc_free(rec<PMutex>(m));
}

extern "C" void pmutex_request(pmutex m) noexcept { pthread_mutex_lock(&rec<PMutex>(m)->m); }

extern "C" int pmutex_requestNoBlock(pmutex m) noexcept { return pthread_mutex_trylock(&rec<PMutex>(m)->m); }

extern "C" void pmutex_release(pmutex m) noexcept { pthread_mutex_unlock(&rec<PMutex>(m)->m); }

extern "C" int pmutex_request_timeout(pmutex m, int timeout_ms) noexcept
{
    if (timeout_ms <= 0)
        return 1;
    int tries = 0;
    for (long k = 0; k < timeout_ms; k += 1000)
        ++tries;
    for (int i = 0; i < tries; ++i)
        if (pmutex_requestNoBlock(m) == 0)
            return 0;
    for (int i = 0; i < tries; ++i) {
        if (pmutex_requestNoBlock(m) == 0)
            return 0;
        millisleep(1000);
    }
    return 1;
}

// ---- pevent ---------------------------------------------------------------

extern "C" pevent pevent_create(void) noexcept
{
    auto *e = static_cast<PEvent *>(HTAlloc_calloc(1, sizeof(PEvent)));
    if (e == nullptr)
        return 0;
    init_adaptive(&e->m);
    pthread_cond_init(&e->c, nullptr);
    return handle(e);
}

extern "C" void pevent_destroy(pevent h) noexcept
{
    if (h == 0)
        return;
    PEvent *e = rec<PEvent>(h);
    pthread_mutex_destroy(&e->m);
    pthread_cond_destroy(&e->c);
    HTAlloc_free(e);
}

namespace {

int event_wait(PEvent *e, const struct timespec *deadline)
{
    pthread_mutex_lock(&e->m);
    if (e->signalled) {
        e->signalled = 0;
        pthread_mutex_unlock(&e->m);
        return 0;
    }
    ++e->waiting;
    int rc = 0;
    while (e->wakeups == 0) {
        int r = deadline ? pthread_cond_timedwait(&e->c, &e->m, deadline)
                         : pthread_cond_wait(&e->c, &e->m);
        if (r != 0 && r != EINTR) {
            rc = r;
            break;
        }
    }
    // A set that arrived together with the time-out still counts as a set.
    if (e->wakeups > 0) {
        --e->wakeups;
        rc = 0;
    }
    --e->waiting;
    pthread_mutex_unlock(&e->m);
    return rc;
}

} // namespace

extern "C" int HTThread__peventWaiting(pevent h) noexcept
{
    PEvent *e = rec<PEvent>(h);
    pthread_mutex_lock(&e->m);
    const int n = e->waiting;
    pthread_mutex_unlock(&e->m);
    return n;
}

extern "C" void pevent_wait(pevent h) noexcept { event_wait(rec<PEvent>(h), nullptr); }

extern "C" int pevent_wait_timeout(pevent h, int timeout_ms) noexcept
{
    if (timeout_ms < 0)
        return event_wait(rec<PEvent>(h), nullptr);
    struct timespec dl;
    dl.tv_sec = time(nullptr) + timeout_ms / 1000;
    dl.tv_nsec = 0;
    return event_wait(rec<PEvent>(h), &dl);
}

extern "C" int pevent_wait_timeout_ts(pevent h, const struct timespec *deadline) noexcept
{
    return event_wait(rec<PEvent>(h), deadline);
}

extern "C" void pevent_set(pevent h) noexcept
{
    PEvent *e = rec<PEvent>(h);
    pthread_mutex_lock(&e->m);
    if (e->waiting > e->wakeups) {
        ++e->wakeups;
        pthread_cond_signal(&e->c);
    } else {
        e->signalled = 1;
    }
    pthread_mutex_unlock(&e->m);
}

extern "C" void pevent_setall(pevent h) noexcept
{
    PEvent *e = rec<PEvent>(h);
    pthread_mutex_lock(&e->m);
    if (e->waiting > e->wakeups) {
        e->wakeups = e->waiting;
        pthread_cond_broadcast(&e->c);
    } else {
        e->signalled = 1;
    }
    pthread_mutex_unlock(&e->m);
}

extern "C" void pevent_reset(pevent h) noexcept
{
    PEvent *e = rec<PEvent>(h);
    pthread_mutex_lock(&e->m);
    // Wake-ups already handed to waiters are sets that happened; only the
    // stored signal is withdrawn.
    e->signalled = 0;
    pthread_mutex_unlock(&e->m);
}

// ---- rmutex ---------------------------------------------------------------

extern "C" rmutex rmutex_create(void) noexcept
{
    auto *r = static_cast<RMutex *>(HTAlloc_calloc(1, sizeof(RMutex)));
    if (r == nullptr)
        return 0;
    r->guard = pmutex_create();
    r->owner_lock = pmutex_create();
    r->event = pevent_create();
    if (!r->guard || !r->owner_lock || !r->event) {
        pmutex_destroy(r->guard);
        pmutex_destroy(r->owner_lock);
        pevent_destroy(r->event);
        HTAlloc_free(r);
        return 0;
    }
    return handle(r);
}

extern "C" void rmutex_destroy(rmutex h) noexcept
{
    if (h == 0)
        return;
    RMutex *r = rec<RMutex>(h);
    pmutex_request(r->guard);
    const bool owned = r->count != 0;
    pmutex_release(r->guard);
    if (owned)
        return;
    pmutex_destroy(r->guard);
    pmutex_destroy(r->owner_lock);
    pevent_destroy(r->event);
    HTAlloc_free(r);
}

extern "C" int rmutex_request_timeout(rmutex h, int timeout_ms) noexcept
{
    RMutex *r = rec<RMutex>(h);
    const pthread_t self = pthread_self();
    pmutex_request(r->guard);
    for (;;) {
        if (r->count == 0) {
            r->owner = self;
            r->count = 1;
            // Free whenever the count is 0, so the try always succeeds; a
            // try also records no guard-before-owner order, which a nested
            // request (owner held, guard taken) would seem to invert.
            pmutex_requestNoBlock(r->owner_lock);
            pmutex_release(r->guard);
            return 0;
        }
        if (pthread_equal(r->owner, self)) {
            ++r->count;
            pmutex_release(r->guard);
            return 0;
        }
        pmutex_release(r->guard);
        int rc = 0;
        if (timeout_ms == -1)
            pevent_wait(r->event);
        else
            rc = pevent_wait_timeout(r->event, timeout_ms);
        pmutex_request(r->guard);
        if (rc != 0 && r->count != 0) {
            pmutex_release(r->guard);
            return 1;
        }
    }
}

extern "C" int rmutex_request(rmutex h) noexcept { return rmutex_request_timeout(h, -1); }

extern "C" void rmutex_release(rmutex h) noexcept
{
    RMutex *r = rec<RMutex>(h);
    pmutex_request(r->guard);
    if (r->count != 0 && pthread_equal(r->owner, pthread_self())) {
        if (--r->count == 0) {
            r->owner = pthread_t();
            pmutex_release(r->owner_lock);
        }
    }
    pevent_setall(r->event);
    pmutex_release(r->guard);
}

// ---- rwlock ---------------------------------------------------------------

extern "C" rwlock rwlock_create(void) noexcept
{
    auto *l = static_cast<RWLock *>(HTAlloc_calloc(1, sizeof(RWLock)));
    if (l == nullptr)
        return 0;
    l->m = static_cast<pthread_mutex_t *>(HTAlloc_calloc(1, sizeof(pthread_mutex_t)));
    l->c = static_cast<pthread_cond_t *>(HTAlloc_calloc(1, sizeof(pthread_cond_t)));
    if (l->m == nullptr || l->c == nullptr) {
        HTAlloc_free(l->m);
        HTAlloc_free(l->c);
        HTAlloc_free(l);
        return 0;
    }
    init_adaptive(l->m);
    pthread_cond_init(l->c, nullptr);
    new (&l->state) std::atomic<uint32_t>(0);
    return handle(l);
}

extern "C" void rwlock_remove(rwlock h) noexcept
{
    if (h == 0)
        return;
    RWLock *l = rec<RWLock>(h);
    pthread_mutex_destroy(l->m);
    pthread_cond_destroy(l->c);
    HTAlloc_free(l->m);
    HTAlloc_free(l->c);
    HTAlloc_free(l);
}

namespace {

uint32_t readers(uint32_t s) { return s & kReaderMask; }

} // namespace

extern "C" void rwlockObtainRead(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    pthread_mutex_lock(l->m);
    for (;;) {
        uint32_t s = l->state.load(std::memory_order_relaxed);
        if (readers(s) == 0 || !(s & kWriterWaiting))
            break;
        l->state.fetch_or(kReaderWaiting, std::memory_order_relaxed);
        pthread_cond_wait(l->c, l->m);
        l->state.fetch_and(~kReaderWaiting, std::memory_order_relaxed);
    }
    l->state.fetch_add(1, std::memory_order_release);
    pthread_mutex_unlock(l->m);
}

extern "C" void rwlockObtainWrite(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    pthread_mutex_lock(l->m);
    while (readers(l->state.load(std::memory_order_relaxed)) != 0) {
        l->state.fetch_or(kWriterWaiting, std::memory_order_relaxed);
        pthread_cond_wait(l->c, l->m);
        l->state.fetch_and(~kWriterWaiting, std::memory_order_relaxed);
    }
    // The mutex stays held: that is the write hold.
}

extern "C" void rwlockRelease(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    bool broadcast;
    if (readers(l->state.load(std::memory_order_acquire)) != 0) {
        pthread_mutex_lock(l->m);
        uint32_t s = l->state.fetch_sub(1, std::memory_order_release) - 1;
        const uint32_t r = readers(s);
        broadcast = (r == 0 && (s & (kReaderWaiting | kWriterWaiting))) ||
                    (r != 0 && !(s & kWriterWaiting) && (s & kReaderWaiting));
        pthread_mutex_unlock(l->m);
    } else {
        uint32_t s = l->state.load(std::memory_order_relaxed);
        broadcast = (s & kReaderWaiting) && !(s & kWriterWaiting);
        pthread_mutex_unlock(l->m);
    }
    if (broadcast)
        pthread_cond_broadcast(l->c);
}

extern "C" int HTThread__rwlockWaiting(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    pthread_mutex_lock(l->m);
    const uint32_t s = l->state.load(std::memory_order_relaxed);
    pthread_mutex_unlock(l->m);
    return ((s & kWriterWaiting) ? 1 : 0) | ((s & kReaderWaiting) ? 2 : 0);
}

extern "C" int rwlockObtainReadNoBlock(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    if (pthread_mutex_trylock(l->m) != 0)
        return 0;
    uint32_t s = l->state.load(std::memory_order_relaxed);
    if (readers(s) != 0 && (s & kWriterWaiting)) {
        pthread_mutex_unlock(l->m);
        return 0;
    }
    l->state.fetch_add(1, std::memory_order_release);
    pthread_mutex_unlock(l->m);
    return 1;
}

extern "C" int rwlockObtainWriteNoBlock(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    if (pthread_mutex_trylock(l->m) != 0)
        return 0;
    if (readers(l->state.load(std::memory_order_relaxed)) != 0) {
        pthread_mutex_unlock(l->m);
        return 0;
    }
    return 1;
}

extern "C" int rwlockHeldRead(rwlock h) noexcept
{
    return readers(rec<RWLock>(h)->state.load(std::memory_order_acquire)) != 0 ? 1 : 0;
}

extern "C" int rwlockHeldWrite(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    if (readers(l->state.load(std::memory_order_acquire)) != 0)
        return 0;
    if (pthread_mutex_trylock(l->m) == 0) {
        pthread_mutex_unlock(l->m);
        return 0;
    }
    return 1;
}

extern "C" void rwlockDowngrade(rwlock h) noexcept
{
    RWLock *l = rec<RWLock>(h);
    uint32_t s = l->state.fetch_add(1, std::memory_order_release) + 1;
    const bool broadcast = (s & kReaderWaiting) && !(s & kWriterWaiting);
    pthread_mutex_unlock(l->m);
    if (broadcast)
        pthread_cond_broadcast(l->c);
}

// ---- Thread starters ------------------------------------------------------

namespace {

pthread_attr_t startAttr;
pthread_once_t startAttrOnce = PTHREAD_ONCE_INIT;
pthread_attr_t lmcAttr;
pthread_once_t lmcAttrOnce = PTHREAD_ONCE_INIT;
// The 256 KiB starter sets the stack size of its shared attributes on every call.
pthread_mutex_t lmcAttrLock = PTHREAD_MUTEX_INITIALIZER;

} // namespace

extern "C" pthread_t OsThreadMyself(void) noexcept { return pthread_self(); }

extern "C" pthread_t StartThread(HTThreadRoutine routine, void *arg) noexcept
{
    pthread_once(&startAttrOnce, [] { pthread_attr_init(&startAttr); });
    pthread_t tid;
    int rc = pthread_create(&tid, &startAttr, routine, arg);
    if (rc != 0) {
        trace_syscall("pthread_create failed. rc=%d %s\n", rc);
        return pthread_t();
    }
    return tid;
}

extern "C" pthread_t lmc_StartThread(HTThreadRoutine routine, void *arg) noexcept
{
    pthread_once(&lmcAttrOnce, [] { pthread_attr_init(&lmcAttr); });
    pthread_mutex_lock(&lmcAttrLock);
    if (pthread_attr_setstacksize(&lmcAttr, 0x40000) != 0) {
        pthread_mutex_unlock(&lmcAttrLock);
        if (HT_TRACE_ON(HT_TRACE_SYSCALL))
            tfprintf(stderr, "pthread_setstacksize failed?\n");
        return pthread_t();
    }
    pthread_t tid;
    int rc = pthread_create(&tid, &lmcAttr, routine, arg);
    pthread_mutex_unlock(&lmcAttrLock);
    if (rc != 0) {
        trace_syscall("pthread_create failed. rc=%d %s\n", rc);
        return pthread_t();
    }
    return tid;
}

extern "C" void NameServerInit(void) noexcept { res_init(); }

// ---- Managed threads ------------------------------------------------------

namespace {

struct ThreadSlot {
    int32_t in_use;
    pthread_t thread;
    HTManagedFn fn;
    uintptr_t arg;
};

struct DestroyRecord {
    int32_t in_use;
    pthread_t thread;
    HTManagedFn callback;
    uintptr_t arg;
    int32_t priority;
};

struct ManagedTable {
    pmutex guard;
    ThreadSlot *slots;
    int slot_capacity;
    int hint;
    DestroyRecord *records;
    int record_capacity;
};

ManagedTable managed;
pthread_mutex_t managedInit = PTHREAD_MUTEX_INITIALIZER;

// The table's guard, made on first use; a first use that finds memory short
// leaves it to the next one rather than disabling managed threads for good.
bool table_ready()
{
    if (__atomic_load_n(&managed.guard, __ATOMIC_ACQUIRE) != 0)
        return true;
    pthread_mutex_lock(&managedInit);
    if (managed.guard == 0)
        __atomic_store_n(&managed.guard, pmutex_create(), __ATOMIC_RELEASE);
    const bool ready = managed.guard != 0;
    pthread_mutex_unlock(&managedInit);
    return ready;
}

// Grows an array of `T` to `want` entries, zero-filling the new ones.
template <class T> bool grow(T *&array, int &capacity, int want)
{
    void *p = HTAlloc_realloc(array, static_cast<size_t>(want) * sizeof(T));
    if (p == nullptr)
        return false;
    array = static_cast<T *>(p);
    std::memset(static_cast<void *>(array + capacity), 0,
                static_cast<size_t>(want - capacity) * sizeof(T));
    capacity = want;
    return true;
}

void *managed_entry(void *arg)
{
    const int idx = static_cast<int>(reinterpret_cast<uintptr_t>(arg));
    pmutex_request(managed.guard);
    HTManagedFn fn = managed.slots[idx].fn;
    uintptr_t farg = managed.slots[idx].arg;
    pmutex_release(managed.guard);

    fn(farg);

    pmutex_request(managed.guard);
    const pthread_t self = managed.slots[idx].thread;
    for (int i = 0; i < managed.record_capacity; ++i) {
        DestroyRecord &r = managed.records[i];
        if (r.in_use && pthread_equal(r.thread, self)) {
            r.callback(r.arg);
            r.in_use = 0;
        }
    }
    managed.slots[idx].in_use = 0;
    if (idx < managed.hint)
        managed.hint = idx;
    pmutex_release(managed.guard);
    return nullptr;
}

const pthread_t kFailed = static_cast<pthread_t>(-1);

} // namespace

extern "C" pthread_t pthread_create_managed_with_attr(const pthread_attr_t *attr, HTManagedFn fn,
                                                      uintptr_t arg) noexcept
{
    sigset_t saved;
    if (fn == nullptr || pthread_sigmask(SIG_SETMASK, nullptr, &saved) != 0)
        return kFailed;
    sigset_t block;
    sigemptyset(&block);
    for (int s : {SIGHUP, SIGPIPE, SIGALRM, SIGCHLD, SIGUSR1, SIGUSR2, SIGIO, 19, 20, 21, 22})
        sigaddset(&block, s);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    pthread_t result = kFailed;
    if (table_ready()) {
        pmutex_request(managed.guard);
        int idx = managed.hint;
        while (idx < managed.slot_capacity && managed.slots[idx].in_use)
            ++idx;
        bool ok = true;
        if (idx + 1 > managed.slot_capacity)
            ok = grow(managed.slots, managed.slot_capacity, (idx + 32) / 32 * 32);
        if (ok) {
            ThreadSlot &slot = managed.slots[idx];
            slot.in_use = 1;
            slot.fn = fn;
            slot.arg = arg;
            pthread_t tid;
            int rc = pthread_create(&tid, attr, managed_entry,
                                    reinterpret_cast<void *>(static_cast<uintptr_t>(idx)));
            if (rc == 0) {
                managed.slots[idx].thread = tid;
                // The C library reuses thread ids: callbacks left by an
                // earlier thread of this id must never fire for this one.
                for (int i = 0; i < managed.record_capacity; ++i)
                    if (managed.records[i].in_use && pthread_equal(managed.records[i].thread, tid))
                        managed.records[i].in_use = 0;
                managed.hint = idx + 1;
                result = tid;
            } else {
                managed.slots[idx].in_use = 0;
                managed.hint = idx;
            }
        }
        pmutex_release(managed.guard);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return result;
}

extern "C" pthread_t pthread_create_managed(HTManagedFn fn, uintptr_t arg) noexcept
{
    return pthread_create_managed_with_attr(nullptr, fn, arg);
}

extern "C" void pthread_ondestroy(pthread_t thread, HTManagedFn callback, uintptr_t arg,
                                  int priority) noexcept
{
    if (callback == nullptr || !table_ready())
        return;
    pmutex_request(managed.guard);
    DestroyRecord *&recs = managed.records;
    const int cap = managed.record_capacity;
    int p = cap;
    for (int i = 0; i < cap; ++i)
        if (recs[i].in_use && recs[i].priority > priority) {
            p = i;
            break;
        }
    while (p > 0 && !recs[p - 1].in_use)
        --p;
    if (p >= cap || recs[p].in_use) {
        int q = p + 1;
        while (q < cap && recs[q].in_use)
            ++q;
        if (q > cap)
            q = cap;
        if (q + 1 > managed.record_capacity &&
            !grow(managed.records, managed.record_capacity, (q + 32) / 32 * 32)) {
            pmutex_release(managed.guard);
            return;
        }
        if (q > p)
            std::memmove(static_cast<void *>(&recs[p + 1]), &recs[p],
                         static_cast<size_t>(q - p) * sizeof(DestroyRecord));
    }
    recs[p].in_use = 1;
    recs[p].thread = thread;
    recs[p].callback = callback;
    recs[p].arg = arg;
    recs[p].priority = priority;
    pmutex_release(managed.guard);
}

extern "C" void HTThread__managedCapacity(int *slots, int *records) noexcept
{
    if (!table_ready())
        return;
    pmutex_request(managed.guard);
    if (slots)
        *slots = managed.slot_capacity;
    if (records)
        *records = managed.record_capacity;
    pmutex_release(managed.guard);
}
