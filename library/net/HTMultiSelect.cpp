// HTMultiSelect: the connection manager and the session pool.

#include "HTMultiSelect.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTConfig.h"
#include "HTInputSocket.h"
#include "HTSocket.h"
#include "HTTrace.h"
#include "httpool.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool tracing() { return HT_TRACE_ON(HT_TRACE_CONNECTION_POOL); }

unsigned long ptr(const void *p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }

// The sequence number in the first word of a dispatch argument.
unsigned long seq_of(const void *argument)
{
    return argument ? static_cast<unsigned long>(*static_cast<const uintptr_t *>(argument)) : 0;
}

// ---- connection records and their lists ----

// Slot of a record that was on the poll list when the array was built but
// found no free entry: not polled, but its idle time-out is still tested.
constexpr int kNoSlot = -1;
constexpr int kUnpolled = -2;

struct Conn {
    Conn *next;
    Conn *prev;
    HTDispatchFn dispatch;
    void *argument;
    int socket;
    int slot;        // entry in the thread's poll array while a poll is prepared, else kNoSlot
    long long added; // now_ms() when put on the poll list
    int timeout;     // idle seconds
    int timedOut;    // HT_DISPATCH_*
};

struct List {
    Conn *head = nullptr;
    Conn *tail = nullptr;
    int count = 0;

    void append(Conn *c)
    {
        c->next = nullptr;
        c->prev = tail;
        if (tail)
            tail->next = c;
        else
            head = c;
        tail = c;
        ++count;
    }
    void unlink(Conn *c)
    {
        if (c->prev)
            c->prev->next = c->next;
        else
            head = c->next;
        if (c->next)
            c->next->prev = c->prev;
        else
            tail = c->prev;
        c->next = c->prev = nullptr;
        --count;
    }
    Conn *find(int socket) const
    {
        for (Conn *c = head; c; c = c->next)
            if (c->socket == socket)
                return c;
        return nullptr;
    }
};

struct SelectThread {
    List poll;       // pollSocketHead/Tail, under pollLock
    List ready;      // readyHead/Tail, under pollLock; only the thread itself moves records off it
    List service;    // serviceHead/Tail, under serviceLock
    pthread_mutex_t pollLock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    pthread_mutex_t serviceLock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    pthread_cond_t pollCond = PTHREAD_COND_INITIALIZER;
    int recvSock;    // wake-up pipe, read end (entry 0 of every poll)
    int sendSock;    // write end
    int16_t blocked; // pollThreadBlocked: inside poll
    int16_t kicked;  // pollThreadKicked: a wake-up byte is on its way
    int id;          // pollThreadId
    int connsInUse;  // records of this thread on any list, under pollLock
};

SelectThread threads[HT_SELECT_THREADS_MAX];

// Set once by the start; read afterwards without a lock (the once guard
// orders the start before every use).
std::atomic<int> nThreads{0};
int maxPfds = 0;
struct pollfd *fdarray = nullptr;
const HTStaticConfig *config = nullptr;
pthread_once_t startOnce = PTHREAD_ONCE_INIT;
int pollEntries = HT_POLL_ENTRIES; // a test may lower it before the start

constexpr char kTestByte = '#';
constexpr char kWakeByte = '@';
// A small stack: 256 select threads must fit a 32-bit address space.
constexpr size_t kManagerStack = 256 * 1024;

// ---- sessions (declared here: the poll pass reads the counters) ----

pthread_mutex_t sessionLock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
std::atomic<long> maxCountSessions{0};  // vly_maxCountSessions
std::atomic<long> countSessions{0};     // vly_countSessions
std::atomic<long> freeSessionBufs{0};   // vly_freeSessionBufs
std::atomic<long> sessErrors{0};        // vly_sessErrors

// Idle time in milliseconds of the monotonic clock, read at each use: the
// cached clock of HTtime() has whole seconds and follows its updater, so a
// connection added while that lags would be ended early.
long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How far idle time-outs are shifted right while sessions run short.
int timeout_shift()
{
    const long s = maxCountSessions.load(std::memory_order_relaxed);
    const long c = countSessions.load(std::memory_order_relaxed);
    if (2 * c <= s)
        return 0;
    if (4 * (s - c) >= s)
        return 1;
    return 3;
}

SelectThread &thread_of(int socket) { return threads[socket % nThreads.load(std::memory_order_relaxed)]; }

int clamp_threads(intptr_t configured)
{
    intptr_t n = configured;
    if (n < 1)
        n = 1;
    else if (n > HT_SELECT_THREADS_MAX)
        n = HT_SELECT_THREADS_MAX;
    if (n != configured && tracing())
        tfprintf(stderr, "Connection Mgmt - select thread count %ld outside 1..%d; using %ld\n",
                 static_cast<long>(configured), HT_SELECT_THREADS_MAX, static_cast<long>(n));
    return static_cast<int>(n);
}

[[noreturn]] void start_failed() { std::exit(1); }

void start()
{
    config = &HTMyStaticConfig;
    const int n = clamp_threads(config->select_threads);
    const int m = pollEntries / n + HT_POLL_ENTRIES_SPARE;
    fdarray = static_cast<struct pollfd *>(
        HTAlloc_calloc(static_cast<size_t>(n) * static_cast<size_t>(m), sizeof(struct pollfd)));
    if (fdarray == nullptr) {
        std::fprintf(stderr, "Failed to initialize connection management threads: Out of memory\n");
        start_failed();
    }
    maxPfds = m;
    if (tracing())
        tfprintf(stderr,
                 "Connection Mgmt - Create poll fd : threads %d, fd size %d, max fd per thread %d, fdarray %lx\n",
                 n, static_cast<int>(sizeof(struct pollfd)), m, ptr(fdarray));
    for (int t = 0; t < n; ++t) {
        SelectThread &st = threads[t];
        st.poll = List();
        st.ready = List();
        st.service = List();
        st.recvSock = st.sendSock = -1;
        st.blocked = st.kicked = 0;
        st.id = t;
        st.connsInUse = 0;
    }
    for (int t = 0; t < n; ++t)
        if (connectLoopback(t) != HT_OK)
            start_failed();
    // Published before the threads start: they and every caller after the
    // once guard read it.
    nThreads.store(n, std::memory_order_release);

    for (int t = 0; t < n; ++t) {
        const int rc = HTMultiSelect__startDetached(select_thread_function, &threads[t].id);
        if (rc != 0) {
            if (tracing())
                tfprintf(stderr, "Error starting select thread rc: %d\n", rc);
            std::fprintf(stderr, "Error starting select thread rc:%d\n", rc);
            start_failed();
        }
    }
}

// One byte into the thread's pipe: true when it went in.
bool write_wake_byte(const SelectThread &st)
{
    for (;;) {
        const ssize_t r = write(st.sendSock, &kWakeByte, 1);
        if (r == 1)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Empties the thread's pipe. An empty pipe is no byte, not an error: an
// adder sets the kicked flag before its byte goes in. HT_ERROR when the pipe
// failed or held something else than wake-up bytes.
int drain_pipe(const SelectThread &st)
{
    for (;;) {
        char bytes[64];
        const ssize_t r = read(st.recvSock, bytes, sizeof bytes);
        if (r > 0) {
            for (ssize_t i = 0; i < r; ++i)
                if (bytes[i] != kWakeByte) {
                    std::fprintf(stderr, "Socket error, return code %d, error %d\n", static_cast<int>(r), 0);
                    return HT_ERROR;
                }
            if (static_cast<size_t>(r) < sizeof bytes)
                return HT_OK;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return HT_OK;
        std::fprintf(stderr, "Socket error, return code %d, error %d\n", static_cast<int>(r), r < 0 ? errno : 0);
        return HT_ERROR;
    }
}

// Appends the record to its thread's poll list and wakes the thread: with a
// byte when it sits in poll (unless a byte is on its way already), with the
// condition when it waits for its first connection. HT_ERROR when the byte
// could not be written; the record stays on the list.
int watch(SelectThread &st, Conn *c, bool again)
{
    const bool t = tracing();
    const int id = st.id;
    // Once the lock is released the record may be dispatched, re-added and
    // removed by others: only copies are read after that.
    const int socket = c->socket;
    pthread_mutex_lock(&st.pollLock);
    st.poll.append(c);
    if (!again)
        ++st.connsInUse;
    if (t) {
        if (again) {
            tfprintf(stderr, "Thread %d: Re-adding socket:%d\n", id, c->socket);
            tfprintf(stderr, "Thread %d: pollThreadBlocked:%d\nPollThreadKicked:%d\n", id, st.blocked, st.kicked);
        } else {
            tfprintf(stderr, "Accept thread:%d Added new connection socket:%d \t argP:%lx\n", id, c->socket,
                     ptr(c->argument));
            tfprintf(stderr, "pollThreadBlocked:%d\tPollThreadKicked:%d\n", st.blocked, st.kicked);
        }
    }
    if (st.blocked && !st.kicked) {
        st.kicked = 1;
        pthread_mutex_unlock(&st.pollLock);
        if (t) {
            if (again)
                tfprintf(stderr, "Thread %d: Sending char on loopback socket\n", id);
            else
                tfprintf(stderr, "Sending char on loopback socket\n");
        }
        if (!write_wake_byte(st)) {
            // No byte will come: the next adder must try again.
            pthread_mutex_lock(&st.pollLock);
            st.kicked = 0;
            pthread_mutex_unlock(&st.pollLock);
            std::fprintf(stderr, "Error sending on TCP loopback connection\n");
            return HT_ERROR;
        }
    } else {
        if (st.poll.head == c && st.poll.tail == c) {
            if (t) {
                if (again)
                    tfprintf(stderr, "Thread %d: Signalling pollsocketcond\n", id);
                else
                    tfprintf(stderr, "Signalling pollsocketcond\n");
            }
            pthread_cond_signal(&st.pollCond);
        }
        pthread_mutex_unlock(&st.pollLock);
    }
    if (again && t)
        tfprintf(stderr, "Thread %d:Re-added socket %d and signalled pollsocketcond\n", id, socket);
    return HT_OK;
}

int re_add(int socket, HTDispatchFn dispatch, bool replace, int timeout)
{
    if (socket < 0)
        return HT_ERROR;
    commInit();
    SelectThread &st = thread_of(socket);
    if (tracing())
        tfprintf(stderr, "Adding socket %d -> thread %d\n", socket, st.id);
    pthread_mutex_lock(&st.serviceLock);
    Conn *c = st.service.find(socket);
    if (c)
        st.service.unlink(c);
    pthread_mutex_unlock(&st.serviceLock);
    if (c == nullptr) {
        if (tracing()) {
            if (replace)
                tfprintf(stderr, "Can't find socket %d in service queue SCM.\n", socket);
            else
                tfprintf(stderr, "Can't find socket %d in service queue\n", socket);
        }
        return HT_ERROR;
    }
    c->slot = kNoSlot;
    c->timedOut = HT_DISPATCH_INPUT;
    c->added = now_ms();
    c->timeout = timeout < 0 ? 0 : timeout;
    if (replace)
        c->dispatch = dispatch;
    return watch(st, c, true);
}

void trace_events(int socket, short events)
{
    tfprintf(stderr, "Poll() indicates an error on socket %d\n", socket);
    if (events & POLLERR)
        tfprintf(stderr, "poll indicates exception (POLLERR) on socket %d.\n", socket);
    if (events & POLLHUP)
        tfprintf(stderr, "poll indicates exception (POLLHUP) on  socket %d.\n", socket);
    if (events & POLLNVAL)
        tfprintf(stderr, "poll indicates exception (POLLNVAL) on socket %d.\n", socket);
}

// Every record of the poll list back to "no slot" (a pass that failed).
void clear_slots(SelectThread &st)
{
    pthread_mutex_lock(&st.pollLock);
    for (Conn *c = st.poll.head; c; c = c->next)
        c->slot = kNoSlot;
    pthread_mutex_unlock(&st.pollLock);
}

// The records found ready, in order, each moved to the service list and
// dispatched. What the dispatch needs is copied first: once the record is on
// the service list a worker may re-add or remove (and free) it.
void dispatch_ready(SelectThread &st)
{
    pthread_mutex_lock(&st.pollLock);
    Conn *c = st.ready.head;
    st.ready = List();
    pthread_mutex_unlock(&st.pollLock);
    while (c) {
        Conn *next = c->next;
        const HTDispatchFn fn = c->dispatch;
        void *const argument = c->argument;
        const int socket = c->socket;
        const int flag = c->timedOut;
        pthread_mutex_lock(&st.serviceLock);
        st.service.append(c);
        pthread_mutex_unlock(&st.serviceLock);
        if (tracing())
            tfprintf(stderr, "Calling dispatch function socket=%d seq = %lu\n", socket, seq_of(argument));
        if (fn)
            fn(argument, flag);
        c = next;
    }
}

} // namespace

// ---- the manager ----

extern "C" void commInit(void) noexcept
{
    if (pthread_once(&startOnce, start) != 0) {
        std::fprintf(stderr, "commInit failed\n");
        std::exit(1);
    }
}

extern "C" int connectLoopback(int thread) noexcept
{
    SelectThread &st = threads[thread];
    int fds[2];
    int rc = pipe2(fds, O_NONBLOCK | O_CLOEXEC);
    if (rc != 0) {
        std::fprintf(stderr, "Error %s pipe rc %d error %d\n", "connectLoopback", rc, errno);
        return HT_ERROR;
    }
    st.recvSock = fds[0];
    st.sendSock = fds[1];
    rc = static_cast<int>(write(st.sendSock, &kTestByte, 1));
    if (rc != 1) {
        std::fprintf(stderr, "Error %s write return code %d error %d\n", "connectLoopback", rc, errno);
        return HT_ERROR;
    }
    char b = 0;
    rc = static_cast<int>(read(st.recvSock, &b, 1));
    if (rc != 1 || b != kTestByte) {
        std::fprintf(stderr, "Error %s read return code %d error %d\n", "connectLoopback", rc, rc < 0 ? errno : 0);
        return HT_ERROR;
    }
    return HT_OK;
}

extern "C" void block_signals(void) noexcept
{
    // The asynchronous signals: SIGHUP, SIGINT, SIGTRAP, SIGABRT, SIGUSR1,
    // SIGUSR2, SIGPIPE, SIGALRM, SIGCHLD, SIGSTOP (not blockable), SIGTSTP,
    // SIGTTIN, SIGTTOU, SIGURG, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
    // SIGWINCH, SIGIO.
    static const int blocked[] = {1, 2, 5, 6, 10, 12, 13, 14, 17, 19, 20, 21, 22,
                                  23, 24, 25, 26, 27, 28, 29};
    HTGlobalSignalSetup();
    sigset_t set;
    sigemptyset(&set);
    for (int sig : blocked)
        sigaddset(&set, sig);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        std::perror("pthread_sigmask");
}

extern "C" int getError(void) noexcept { return errno; }

extern "C" int pollActiveConnections(int thread) noexcept
{
    SelectThread &st = threads[thread];
    struct pollfd *pfd = fdarray + static_cast<size_t>(thread) * static_cast<size_t>(maxPfds);
    const int n = nThreads.load(std::memory_order_relaxed);
    const bool t = tracing();

    pthread_mutex_lock(&st.pollLock);
    while (st.poll.head == nullptr)
        pthread_cond_wait(&st.pollCond, &st.pollLock);
    const int shift = timeout_shift();
    pfd[0].fd = st.recvSock;
    pfd[0].events = POLLIN;
    pfd[0].revents = 0;
    int used = 1;
    int wanted = 1;
    int maxfd = st.recvSock;
    long long wait = HT_POLL_WAIT_MAX;
    const long long built = now_ms();
    for (Conn *c = st.poll.head; c; c = c->next) {
        long long left = c->added + 1000LL * c->timeout - built;
        if (left < 0)
            left = 0;
        left = (left + 999) / 1000; // whole seconds, rounded up: the wake-up comes after the time-out
        if (left < wait)
            wait = left;
        ++wanted;
        if (used < maxPfds) {
            pfd[used].fd = c->socket;
            pfd[used].events = POLLIN;
            pfd[used].revents = 0;
            if (c->socket > maxfd)
                maxfd = c->socket;
            c->slot = used++;
        } else {
            c->slot = kUnpolled;
        }
    }
    if (t)
        tfprintf(stderr, "Select thread:%d/%d using timeout %d\n", thread, n, static_cast<int>(wait));
    st.blocked = 1;
    pthread_mutex_unlock(&st.pollLock);
    if (wanted > used)
        std::fprintf(stderr, "Poll thread %d: Too many FDs to poll: %d of %d\n", thread, wanted, maxPfds);
    if (t)
        tfprintf(stderr, "Select thread:%d/%d calling poll for %d file descriptors\n", thread, n, used);

    const int ready = poll(pfd, static_cast<nfds_t>(used), static_cast<int>(wait) * 1024);
    const int error = errno;

    pthread_mutex_lock(&st.pollLock);
    st.blocked = 0;
    // A byte may also be there with the flag clear: the adder that set it
    // was still writing when the previous pass cleared it.
    const bool drain = st.kicked || (ready > 0 && (pfd[0].revents & POLLIN));
    st.kicked = 0;
    pthread_mutex_unlock(&st.pollLock);

    if (ready < 0) {
        std::fprintf(stderr, "t%d poll() failed; maxfd %d, numfds %d, tv %d*1024.  error %d.\n", thread, maxfd,
                     used, static_cast<int>(wait), error);
        clear_slots(st);
        if (drain)
            drain_pipe(st);
        if (error == EINTR) {
            block_signals();
            sched_yield();
        }
        return HT_ERROR;
    }
    if (drain && drain_pipe(st) != HT_OK) {
        clear_slots(st);
        return HT_ERROR;
    }

    pthread_mutex_lock(&st.pollLock);
    const long long now = now_ms();
    for (Conn *c = st.poll.head, *next; c; c = next) {
        next = c->next;
        const int slot = c->slot;
        if (slot == kNoSlot)
            continue; // added after the array was built: the next pass sees it
        c->slot = kNoSlot;
        bool isReady = false;
        int flag = HT_DISPATCH_INPUT;
        if (slot >= used) {
            if (t)
                tfprintf(stderr, "Interrupting socket %d because slot %d too big (%d) for poll().\n", c->socket,
                         slot, used);
            isReady = true;
        } else if (slot > 0 && ready > 0) {
            const short ev = pfd[slot].revents;
            if (ev & (POLLERR | POLLHUP | POLLNVAL)) {
                if (t)
                    trace_events(c->socket, ev);
                isReady = true;
                flag = HT_DISPATCH_TIMEOUT;
            } else if (ev & POLLIN) {
                if (t)
                    tfprintf(stderr, "Select thread:%d - select indicates read on socket %d.\n", thread, c->socket);
                isReady = true;
            }
        }
        if (!isReady) {
            const long long idle = now - c->added;
            if (idle >= 1000LL * (c->timeout >> shift)) {
                if (t)
                    tfprintf(stderr, "Select thread:%d - timeout on socket %d: %d >= %d.\n", thread, c->socket,
                             static_cast<int>(idle / 1000), static_cast<int>(wait));
                isReady = true;
                flag = HT_DISPATCH_TIMEOUT;
            }
        }
        if (isReady) {
            c->timedOut = flag;
            st.poll.unlink(c);
            st.ready.append(c);
            if (t)
                tfprintf(stderr, "Added socket:%d arg:%lx to ready List\n", c->socket, ptr(c->argument));
        }
    }
    pthread_mutex_unlock(&st.pollLock);
    return HT_OK;
}

extern "C" void *select_thread_function(void *index) noexcept
{
    const int t = *static_cast<int *>(index);
    block_signals();
    LinuxThreadSetUidGid(config->worker_user, config->worker_group);
    for (;;) {
        if (pollActiveConnections(t) == HT_OK)
            dispatch_ready(threads[t]);
    }
    return nullptr;
}

extern "C" int addNewConnection(int socket, HTDispatchFn dispatch, void *argument, int timeout) noexcept
{
    if (socket < 0)
        return HT_CONN_NOT_WATCHED;
    commInit();
    SelectThread &st = thread_of(socket);
    if (tracing())
        tfprintf(stderr, "Adding socket %d -> thread %d, seq = %lu\n", socket, st.id, seq_of(argument));
    auto *c = static_cast<Conn *>(HTAlloc_malloc(sizeof(Conn)));
    if (c == nullptr)
        return HT_CONN_NOT_WATCHED;
    c->next = c->prev = nullptr;
    c->dispatch = dispatch;
    c->argument = argument;
    c->socket = socket;
    c->slot = kNoSlot;
    c->added = now_ms();
    c->timeout = timeout < 0 ? 0 : timeout;
    c->timedOut = HT_DISPATCH_INPUT;
    return watch(st, c, false);
}

extern "C" int reAddConnection(int socket, int timeout) noexcept { return re_add(socket, nullptr, false, timeout); }

extern "C" int scm_reAddConnection(int socket, HTDispatchFn dispatch, int timeout) noexcept
{
    return re_add(socket, dispatch, true, timeout);
}

extern "C" int removeConnection(int socket) noexcept
{
    const bool t = tracing();
    if (t)
        tfprintf(stderr, "> removeConnection %d\n", socket);
    Conn *c = nullptr;
    if (socket >= 0 && nThreads.load(std::memory_order_acquire) > 0) {
        SelectThread &st = thread_of(socket);
        pthread_mutex_lock(&st.serviceLock);
        c = st.service.find(socket);
        if (c)
            st.service.unlink(c);
        pthread_mutex_unlock(&st.serviceLock);
        pthread_mutex_lock(&st.pollLock);
        if (c == nullptr) {
            c = st.poll.find(socket);
            if (c)
                st.poll.unlink(c);
        }
        if (c)
            --st.connsInUse;
        pthread_mutex_unlock(&st.pollLock);
    }
    if (c == nullptr) {
        if (t)
            tfprintf(stderr, "< removeConnection -1\n");
        return HT_ERROR;
    }
    HTAlloc_free(c);
    if (t)
        tfprintf(stderr, "< removeConnection 0\n");
    return HT_OK;
}

extern "C" int HTMultiSelect__startDetached(void *(*routine)(void *), void *argument) noexcept
{
    pthread_attr_t attr;
    pthread_attr_t *use = &attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "Error initializing select thread attribute error:%d\n", rc);
        use = nullptr;
    } else if ((rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED)) != 0) {
        std::fprintf(stderr, "Error settting detachstate attribute for select thread error:%d\n", rc);
        pthread_attr_destroy(&attr);
        use = nullptr;
    } else {
        pthread_attr_setstacksize(&attr, kManagerStack);
    }
    pthread_t tid;
    rc = pthread_create(&tid, use, routine, argument);
    if (use != nullptr)
        pthread_attr_destroy(&attr);
    else if (rc == 0)
        pthread_detach(tid);
    return rc;
}

extern "C" void HTMultiSelect__setPollEntries(int total) noexcept
{
    if (nThreads.load(std::memory_order_acquire) == 0 && total > 0)
        pollEntries = total;
}

extern "C" int HTMultiSelect__threads(void) noexcept { return nThreads.load(std::memory_order_acquire); }

extern "C" void HTMultiSelect__wakePipe(int thread, int *recvEnd, int *sendEnd) noexcept
{
    const bool known = thread >= 0 && thread < nThreads.load(std::memory_order_acquire);
    if (recvEnd)
        *recvEnd = known ? threads[thread].recvSock : -1;
    if (sendEnd)
        *sendEnd = known ? threads[thread].sendSock : -1;
}

extern "C" void HTMultiSelect__counts(int thread, int *poll, int *ready, int *service) noexcept
{
    int p = 0, r = 0, s = 0;
    if (thread >= 0 && thread < nThreads.load(std::memory_order_acquire)) {
        SelectThread &st = threads[thread];
        pthread_mutex_lock(&st.pollLock);
        p = st.poll.count;
        r = st.ready.count;
        pthread_mutex_unlock(&st.pollLock);
        pthread_mutex_lock(&st.serviceLock);
        s = st.service.count;
        pthread_mutex_unlock(&st.serviceLock);
    }
    if (poll)
        *poll = p;
    if (ready)
        *ready = r;
    if (service)
        *service = s;
}

// ---- sessions ----

namespace {

using Word = uintptr_t;

// The pool: one block of records, the free list through words 99 and 100.
Word *records = nullptr;
long recordCount = 0;
Word *freeListHead = nullptr;
Word *freeListTail = nullptr;

constexpr int kClearedOnHandOut[] = {HT_SESSION_BLOCK_A, HT_SESSION_BLOCK_B, HT_SESSION_BLOCK_C, 90, 91};
constexpr int kClearedOnRelease[] = {21, 22, 23, 24, 26, 27, 28, 84, HT_SESSION_IN_USE};
constexpr int kOwnedBlocks[] = {HT_SESSION_BLOCK_A, HT_SESSION_BLOCK_B, HT_SESSION_BLOCK_C};

Word *link_of(Word w) { return reinterpret_cast<Word *>(w); }
Word word_of(Word *r) { return reinterpret_cast<Word>(r); }
HTInputSocket *input_of(Word *r) { return reinterpret_cast<HTInputSocket *>(r[HT_SESSION_INPUT]); }

void push_head(Word *r)
{
    r[HT_SESSION_FREE_PREV] = 0;
    r[HT_SESSION_FREE_NEXT] = word_of(freeListHead);
    if (freeListHead)
        freeListHead[HT_SESSION_FREE_PREV] = word_of(r);
    else
        freeListTail = r;
    freeListHead = r;
}

void push_tail(Word *r)
{
    r[HT_SESSION_FREE_NEXT] = 0;
    r[HT_SESSION_FREE_PREV] = word_of(freeListTail);
    if (freeListTail)
        freeListTail[HT_SESSION_FREE_NEXT] = word_of(r);
    else
        freeListHead = r;
    freeListTail = r;
}

Word *pop_head()
{
    Word *r = freeListHead;
    if (r == nullptr)
        return nullptr;
    freeListHead = link_of(r[HT_SESSION_FREE_NEXT]);
    if (freeListHead)
        freeListHead[HT_SESSION_FREE_PREV] = 0;
    else
        freeListTail = nullptr;
    r[HT_SESSION_FREE_NEXT] = r[HT_SESSION_FREE_PREV] = 0;
    return r;
}

// The record of the pool that `p` is, or null.
Word *record_of(void *p)
{
    if (records == nullptr || p == nullptr)
        return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t first = reinterpret_cast<uintptr_t>(records);
    const uintptr_t size = HT_SESSION_WORDS * sizeof(Word);
    if (at < first || (at - first) % size != 0 || (at - first) / size >= static_cast<uintptr_t>(recordCount))
        return nullptr;
    return static_cast<Word *>(p);
}

void release_records(Word *block, long n)
{
    if (block == nullptr)
        return;
    for (long i = 0; i < n; ++i)
        HTInputSocket_freeHeap(input_of(block + i * HT_SESSION_WORDS));
    HTAlloc_free(block);
}

void trace_no_buffer() { std::fprintf(stderr, "getSession: Could not obtain buffer for request\n"); }

} // namespace

extern "C" int initSessions(int n) noexcept
{
    if (n < 0)
        return HT_ERROR;
    Word *block = nullptr;
    if (n > 0) {
        block = static_cast<Word *>(HTAlloc_calloc(static_cast<size_t>(n), HT_SESSION_WORDS * sizeof(Word)));
        if (block == nullptr) {
            std::fprintf(stderr, "Error allocating SessionInfo: %d\n", errno);
            return HT_ERROR;
        }
    }
    long buffered = 0;
    for (long i = 0; i < n; ++i) {
        Word *r = block + i * HT_SESSION_WORDS;
        r[HT_SESSION_SEQUENCE] = static_cast<Word>(i);
        if (buffered < HT_SESSION_BUFFERS_CACHED) {
            HTInputSocket *in = HTInputSocket_newHeap(nullptr, nullptr);
            if (in == nullptr) {
                trace_no_buffer();
                release_records(block, i);
                return HT_ERROR;
            }
            r[HT_SESSION_INPUT] = reinterpret_cast<Word>(in);
            ++buffered;
        }
    }

    pthread_mutex_lock(&sessionLock);
    if (countSessions.load(std::memory_order_relaxed) > 0) {
        pthread_mutex_unlock(&sessionLock);
        if (tracing())
            tfprintf(stderr, "initSessions: %ld sessions still handed out; pool kept\n",
                     countSessions.load(std::memory_order_relaxed));
        release_records(block, n);
        return HT_ERROR;
    }
    Word *old = records;
    const long oldCount = recordCount;
    records = block;
    recordCount = n;
    freeListHead = freeListTail = nullptr;
    for (long i = 0; i < n; ++i)
        push_head(block + i * HT_SESSION_WORDS);
    maxCountSessions.store(n, std::memory_order_relaxed);
    countSessions.store(0, std::memory_order_relaxed);
    freeSessionBufs.store(buffered, std::memory_order_relaxed);
    sessErrors.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&sessionLock);
    release_records(old, oldCount);
    return HT_OK;
}

extern "C" void *getSession(void) noexcept
{
    pthread_mutex_lock(&sessionLock);
    Word *r = freeListHead;
    if (r == nullptr) {
        pthread_mutex_unlock(&sessionLock);
        return nullptr;
    }
    if (r[HT_SESSION_INPUT] == 0) {
        // The record stays at the head of the free list when no buffer comes.
        HTInputSocket *in = HTInputSocket_newHeap(nullptr, nullptr);
        if (in == nullptr) {
            pthread_mutex_unlock(&sessionLock);
            trace_no_buffer();
            return nullptr;
        }
        r[HT_SESSION_INPUT] = reinterpret_cast<Word>(in);
    } else {
        freeSessionBufs.fetch_sub(1, std::memory_order_relaxed);
        HTInputSocket_reset(input_of(r), nullptr);
    }
    pop_head();
    ++r[HT_SESSION_USE_COUNT];
    for (int w : kClearedOnHandOut)
        r[w] = 0;
    countSessions.fetch_add(1, std::memory_order_relaxed);
    r[HT_SESSION_IN_USE] = 1;
    const unsigned long seq = static_cast<unsigned long>(r[HT_SESSION_SEQUENCE]);
    pthread_mutex_unlock(&sessionLock);
    if (tracing())
        tfprintf(stderr, "getSession found seq = %lu\n", seq);
    return r;
}

extern "C" void putSession(void *session) noexcept
{
    if (session == nullptr)
        return;
    pthread_mutex_lock(&sessionLock);
    Word *r = record_of(session);
    if (r == nullptr || r[HT_SESSION_IN_USE] != 1) {
        pthread_mutex_unlock(&sessionLock);
        if (tracing())
            tfprintf(stderr, "putSession: sessionP=0x%lx is not handed out; ignored\n", ptr(session));
        return;
    }
    countSessions.fetch_sub(1, std::memory_order_relaxed);
    if (tracing())
        tfprintf(stderr, "putSession called for sessionP=0x%lx seq = %lu\n", ptr(session),
                 static_cast<unsigned long>(r[HT_SESSION_SEQUENCE]));
    for (int w : kClearedOnRelease)
        r[w] = 0;
    --r[HT_SESSION_USE_COUNT];
    for (int w : kOwnedBlocks) {
        HTAlloc_free(reinterpret_cast<void *>(r[w]));
        r[w] = 0;
    }
    if (r[HT_SESSION_INPUT] == 0) {
        sessErrors.fetch_add(1, std::memory_order_relaxed);
        push_tail(r);
    } else if (freeSessionBufs.load(std::memory_order_relaxed) >= HT_SESSION_BUFFERS_CACHED) {
        HTInputSocket_freeHeap(input_of(r));
        r[HT_SESSION_INPUT] = 0;
        push_tail(r);
    } else {
        push_head(r);
        freeSessionBufs.fetch_add(1, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&sessionLock);
}

extern "C" void HTConnGetSessionStats(long stats[HT_SESSION_STATS]) noexcept
{
    if (stats == nullptr)
        return;
    stats[HT_SESSION_STAT_IN_USE] = countSessions.load(std::memory_order_relaxed);
    stats[HT_SESSION_STAT_SIZE] = maxCountSessions.load(std::memory_order_relaxed);
    stats[HT_SESSION_STAT_ERRORS] = sessErrors.load(std::memory_order_relaxed);
    stats[HT_SESSION_STAT_BUFFERED] = freeSessionBufs.load(std::memory_order_relaxed);
}
