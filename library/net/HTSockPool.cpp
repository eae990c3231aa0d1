// HTSockPool: the pool of idle origin connections and its collector.

#include "HTSockPool.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTConfig.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTMultiSelect.h"
#include "HTSocket.h"
#include "HTThread.h"
#include "HTTrace.h"
#include "afs_lhash.h"
#include "httpool.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool tracing() { return HT_TRACE_ON(HT_TRACE_HTTP); }

unsigned long ptr(const void *p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }

const HTStaticConfig *config_of(const HTRequest *request)
{
    return request && request->config ? request->config : &HTMyStaticConfig;
}

using Node = HTSockPoolServer;
using Link = HTSockPoolLink;

// ---- indexes ----

uint32_t key_of(uint32_t address, int port) { return address + static_cast<uint32_t>(port); }

// afs_HashBytes over the value's four bytes in memory order, kept mod n.
uint32_t byte_hash(uint32_t value, uint32_t n) { return afs_HashBytes(&value, sizeof value, n) % n; }

uint32_t chain_index(uint32_t key) { return byte_hash(key, HT_SOCKPOOL_CHAINS); }      // ohashEntry
uint32_t mutex_index(uint32_t key) { return byte_hash(key, HT_SOCKPOOL_MUTEXES); }     // ohashLock
uint32_t lock_index(uint32_t chain) { return byte_hash(chain, HT_SOCKPOOL_RWLOCKS); }  // ohashtblLock

// The lock of each chain, worked out once at the start.
uint8_t chainLock[HT_SOCKPOOL_CHAINS];

// ---- the table and its locks ----

Node *table[HT_SOCKPOOL_CHAINS];       // ohashTable
rwlock tableLocks[HT_SOCKPOOL_RWLOCKS]; // ohTableRWLock
// Each mutex on a cache line of its own: threads working on different
// servers do not share lines.
struct alignas(64) Mutex {
    pthread_mutex_t m = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
};
Mutex chainMutex[HT_SOCKPOOL_MUTEXES]; // ohashMutex
Mutex badMutex[HT_SOCKPOOL_MUTEXES];   // ohashBadMutex

pthread_mutex_t startLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> started{false};

std::atomic<HTSockPoolCloseFn> refusedClose{nullptr};
std::atomic<HTSockPoolObserver> collectObserver{nullptr};

// The collector's wake-up.
pthread_mutex_t gcLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gcCond;
bool gcWake = false;

// ---- free lists: blocks are chained so that they stay reachable; nothing is freed ----

// Each item on a cache line of its own: threads working on different
// servers do not share lines.
template <class T> struct alignas(64) Slot {
    T item;
};

template <class T, int N> struct Block {
    Block *next;
    Slot<T> items[N];
};

constexpr size_t kLine = 64;

template <class T, int N> struct FreeList {
    pthread_mutex_t lock;
    T *head;
    Block<T, N> *blocks;
    const char *operation;
    const char *message;

    // An item, zeroed; null when no new block can be made. The block is
    // made with no lock held.
    T *take()
    {
        pthread_mutex_lock(&lock);
        while (head == nullptr) {
            pthread_mutex_unlock(&lock);
            if (tracing())
                tfprintf(stderr, "%s", message);
            // The heap's blocks are only 16-byte aligned: room to align.
            void *raw = HTAlloc_calloc(1, sizeof(Block<T, N>) + kLine);
            if (raw == nullptr)
                return nullptr;
            auto *b = reinterpret_cast<Block<T, N> *>((reinterpret_cast<uintptr_t>(raw) + kLine - 1) &
                                                      ~static_cast<uintptr_t>(kLine - 1));
            pthread_mutex_lock(&lock);
            for (int i = 0; i < N; ++i) {
                b->items[i].item.next = head;
                head = &b->items[i].item;
            }
            b->next = blocks;
            blocks = b;
        }
        T *item = head;
        head = item->next;
        pthread_mutex_unlock(&lock);
        *item = T();
        return item;
    }
    // Reports exhaustion; nothing of the caller's may be held.
    [[noreturn]] void exhausted() const
    {
        out_of_memory("HTSockPool", operation, __LINE__, sizeof(Block<T, N>) + kLine);
    }
    void give(T *item)
    {
        *item = T();
        pthread_mutex_lock(&lock);
        item->next = head;
        head = item;
        pthread_mutex_unlock(&lock);
    }
};

FreeList<Node, HT_SOCKPOOL_NODE_BLOCK> nodeFree{PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, nullptr, nullptr, "ohashNewBlock",
                                                "Conn Pool... New block of server links\n"}; // ohashFreelist
FreeList<Link, HT_SOCKPOOL_LINK_BLOCK> linkFree{PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, nullptr, nullptr, "osocketNewBlock",
                                                "Conn Pool... New block of socket links\n"}; // osocketFreelist

// A taker's link often serves the same thread's next park: each thread
// keeps one spare, which costs no lock. A thread that ends keeps its spare
// for good (blocks are never freed anyway).
thread_local Link *spareLink = nullptr;

Link *take_link()
{
    if (Link *l = spareLink) {
        spareLink = nullptr;
        *l = Link();
        return l;
    }
    return linkFree.take();
}

void give_link(Link *l)
{
    if (spareLink == nullptr) {
        spareLink = l;
        return;
    }
    linkFree.give(l);
}

// ---- start ----

bool make_locks()
{
    for (int i = 0; i < HT_SOCKPOOL_RWLOCKS; ++i) {
        if (tableLocks[i] == 0)
            tableLocks[i] = rwlock_create();
        if (tableLocks[i] == 0)
            return false;
    }
    return true;
}

bool start_once()
{
    pthread_mutex_lock(&startLock);
    if (started.load(std::memory_order_relaxed)) {
        pthread_mutex_unlock(&startLock);
        return true;
    }
    if (!make_locks()) {
        pthread_mutex_unlock(&startLock);
        return false;
    }
    for (uint32_t c = 0; c < HT_SOCKPOOL_CHAINS; ++c)
        chainLock[c] = static_cast<uint8_t>(lock_index(c));
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&gcCond, &ca);
    pthread_condattr_destroy(&ca);

    // The starting thread's globals may go away before the collector ends:
    // the collector keeps the configuration pointer itself.
    const HTThdGlobals *g = lib_gettp();
    const auto *c = g && g->config ? static_cast<const HTStaticConfig *>(g->config) : &HTMyStaticConfig;

    const int rc = HTMultiSelect__startDetached(garbage_collect_server_conn, const_cast<HTStaticConfig *>(c));
    if (rc != 0) {
        if (tracing())
            tfprintf(stderr, "Error starting server conn gc thread rc:%d\n", rc);
        std::fprintf(stderr, "Error starting server conn gc thread rc:%d\n", rc);
        std::exit(1);
    }
    started.store(true, std::memory_order_release);
    pthread_mutex_unlock(&startLock);
    if (tracing())
        tfprintf(stderr, "Conn Pool... Done initializing\n");
    return true;
}

// Chains are walked without their locks: a node is appended complete with
// a release store (under the chain's write lock) and never removed, so an
// acquire load of a link always finds a whole node, or the end.
Node *first(uint32_t chain) { return __atomic_load_n(&table[chain], __ATOMIC_ACQUIRE); }
Node *next_of(const Node *n) { return __atomic_load_n(&n->next, __ATOMIC_ACQUIRE); }

// The once-only start, cheap once done.
inline bool start() { return started.load(std::memory_order_acquire) || start_once(); }

// The node of the server in its chain, or null.
Node *find(uint32_t chain, uint32_t address, int port)
{
    for (Node *n = first(chain); n; n = next_of(n))
        if (n->address == address && n->port == port)
            return n;
    return nullptr;
}

// The node a thread used last: a connection taken is usually parked again
// by the same thread for the same server. Nodes never go away or change
// their server, so the pointer stays right.
thread_local Node *lastNode = nullptr;

Node *find_server(uint32_t address, int port)
{
    Node *n = lastNode;
    if (n != nullptr && n->address == address && n->port == port)
        return n;
    n = find(chain_index(key_of(address, port)), address, port);
    if (n != nullptr)
        lastNode = n;
    return n;
}

// Closes every link of the list (taken off the table already) with the
// collector's close.
void close_links(Link *l)
{
    const HTSockPoolObserver observe = collectObserver.load(std::memory_order_acquire);
    while (l) {
        Link *next = l->next;
        HTSocket *s = l->socket;
        give_link(l);
        if (observe)
            observe(s);
        HTSocket_gcClose(s, __FILE__, __LINE__);
        DecLibSNMPOutboundAssociations();
        l = next;
    }
}

void close_refused(HTSocket *s, HTRequest *request)
{
    if (HTSockPoolCloseFn f = refusedClose.load(std::memory_order_acquire)) {
        f(s, request);
        return;
    }
    HTSocket_close(s, __FILE__, __LINE__, request);
    DecLibSNMPOutboundAssociations();
}

// Runs onChain(node) under the server's chain mutex, then onBad(node)
// under its bad-chain mutex, when the server has a node.
template <class C, class B> bool with_node(uint32_t address, int port, C &&onChain, B &&onBad)
{
    if (!start())
        return false;
    Node *n = find(chain_index(key_of(address, port)), address, port);
    if (n == nullptr)
        return false;
    pthread_mutex_lock(&chainMutex[n->mutex].m);
    onChain(n);
    pthread_mutex_unlock(&chainMutex[n->mutex].m);
    pthread_mutex_lock(&badMutex[n->mutex].m);
    onBad(n);
    pthread_mutex_unlock(&badMutex[n->mutex].m);
    return true;
}

} // namespace

extern "C" void HTSockPool_setRefusedClose(HTSockPoolCloseFn close) noexcept
{
    refusedClose.store(close, std::memory_order_release);
}

extern "C" int oSockPoolInit(void) noexcept { return start() ? HT_OK : HT_ERROR; }

extern "C" HTSocket *GetSockPoolConnection(uint32_t address, int port, HTRequest *request) noexcept
{
    if (!start())
        return nullptr;
    const bool t = tracing();
    if (t)
        tfprintf(stderr, "Conn Pool... Checking for existing connection in chain %d\n",
                 static_cast<int>(chain_index(key_of(address, port))));
    Node *n = find_server(address, port);
    if (n == nullptr)
        return nullptr;
    pthread_mutex_t *m = &chainMutex[n->mutex].m;
    pthread_mutex_lock(m);
    if (n->chain == nullptr || n->chain->socket == nullptr || n->chain->socket->socket <= 0) {
        if (t)
            tfprintf(stderr, "Conn Pool... Found server but there were no connections\n");
        pthread_mutex_unlock(m);
        return nullptr;
    }
    if (t)
        tfprintf(stderr, "Conn Pool... Found a connection\n");
    const time_t now = HTtime();
    const time_t limit = static_cast<time_t>(config_of(request)->server_idle_limit);
    Link *l = n->chain;
    if (now - l->parked <= limit) {
        n->chain = l->next;
        --n->count;
        pthread_mutex_unlock(m);
        HTSocket *s = l->socket;
        give_link(l);
        return s;
    }
    // The newest is too old, so all are: the collector closes them.
    n->chain = nullptr;
    n->count = 0;
    pthread_mutex_unlock(m);
    pthread_mutex_t *b = &badMutex[n->mutex].m;
    pthread_mutex_lock(b);
    Link **end = &n->bad;
    while (*end)
        end = &(*end)->next;
    *end = l;
    pthread_mutex_unlock(b);
    return nullptr;
}

extern "C" int addConnectionToPool(uint32_t address, int port, HTSocket *socket, HTRequest *request) noexcept
{
    const bool t = tracing();
    if (t)
        tfprintf(stderr, "Conn Pool... Trying to add socket %d to host %x to the pool\n", socket ? socket->socket : -1,
                 static_cast<unsigned>(address));
    if (socket == nullptr || address == 0 || port == 0) {
        if (t)
            tfprintf(stderr, "Conn Pool... Connection add failed\n");
        return HT_SOCKPOOL_NOT_ADDED;
    }
    if (!start())
        return HT_SOCKPOOL_NOT_ADDED;
    // Taken with no lock held: running out of memory leaves through
    // out_of_memory, with nothing taken and the socket still the caller's.
    Link *link = take_link();
    if (link == nullptr)
        linkFree.exhausted();

    Node *n = find_server(address, port);
    if (n == nullptr) {
        const uint32_t key = key_of(address, port);
        const uint32_t chain = chain_index(key);
        const rwlock lock = tableLocks[chainLock[chain]];
        if (t)
            tfprintf(stderr, "Conn Pool... Looks like we need to add %x to the pool\n", static_cast<unsigned>(address));
        Node *fresh = nodeFree.take();
        if (fresh == nullptr) {
            give_link(link);
            nodeFree.exhausted();
        }
        rwlockObtainWrite(lock);
        n = find(chain, address, port);
        if (n == nullptr) {
            fresh->address = address;
            fresh->port = port;
            fresh->mutex = static_cast<int>(mutex_index(key));
            // The node is complete before it is linked in (release stores).
            if (table[chain] == nullptr) {
                __atomic_store_n(&table[chain], fresh, __ATOMIC_RELEASE);
                if (t)
                    tfprintf(stderr, "Conn Pool... Added server %x to chain\n", static_cast<unsigned>(address));
            } else {
                Node *last = table[chain];
                while (last->next)
                    last = last->next;
                __atomic_store_n(&last->next, fresh, __ATOMIC_RELEASE);
                if (t)
                    tfprintf(stderr, "Conn Pool... Added another server %x to chain\n", static_cast<unsigned>(address));
            }
            n = fresh;
            fresh = nullptr;
        }
        rwlockRelease(lock);
        if (fresh)
            nodeFree.give(fresh);
    }

    pthread_mutex_t *m = &chainMutex[n->mutex].m;
    pthread_mutex_lock(m);
    if (n->count > config_of(request)->max_socket_per_server) {
        pthread_mutex_unlock(m);
        give_link(link);
        if (t)
            tfprintf(stderr, "Conn Pool... Closing socket %d to host %x because of MaxSocketPerServer limit\n",
                     socket->socket, static_cast<unsigned>(address));
        close_refused(socket, request);
        return HT_SOCKPOOL_DONE;
    }
    const time_t now = HTtime();
    link->socket = socket;
    link->parked = now;
    link->next = n->chain;
    const bool wasEmpty = n->chain == nullptr;
    n->chain = link;
    ++n->count;
    if (wasEmpty)
        n->lastUsed = now;
    const int fd = socket->socket;
    pthread_mutex_unlock(m);
    if (t) {
        if (wasEmpty)
            tfprintf(stderr, "lastSockUsed = %u\n", static_cast<unsigned>(now));
        tfprintf(stderr, "Conn Pool... Added socket %d to chain\n", fd);
    }
    return HT_SOCKPOOL_DONE;
}

extern "C" int GarbageCollectServerSockets(int limit) noexcept
{
    if (!start())
        return 0;
    const bool t = tracing();
    const time_t now = HTtime();
    for (uint32_t chain = 0; chain < HT_SOCKPOOL_CHAINS; ++chain) {
        for (Node *n = first(chain); n; n = next_of(n)) {
            if (n->address != 0 && n->port != 0) {
                if (t)
                    tfprintf(stderr, "Conn Pool... GC Checking server %u at port %d and chain %d\n",
                             static_cast<unsigned>(n->address), n->port, static_cast<int>(chain));
                pthread_mutex_t *m = &chainMutex[n->mutex].m;
                pthread_mutex_lock(m);
                Link *cut = nullptr;
                if (n->chain && now - n->lastUsed > limit) {
                    int kept = 0;
                    Link **at = &n->chain;
                    while (*at && now - (*at)->parked <= limit) {
                        at = &(*at)->next;
                        ++kept;
                    }
                    cut = *at;
                    *at = nullptr;
                    n->count = kept;
                }
                pthread_mutex_unlock(m);
                if (cut) {
                    if (t)
                        tfprintf(stderr, "Conn Pool... GC Removing sockets\n");
                    close_links(cut);
                }
                pthread_mutex_t *b = &badMutex[n->mutex].m;
                pthread_mutex_lock(b);
                Link *bad = n->bad;
                n->bad = nullptr;
                pthread_mutex_unlock(b);
                if (bad) {
                    if (t)
                        tfprintf(stderr, "Conn Pool... GC removing the bad old sockets\n");
                    close_links(bad);
                }
            }
        }
    }
    return 0;
}

extern "C" void *garbage_collect_server_conn(void *config) noexcept
{
    const auto *c = config ? static_cast<const HTStaticConfig *>(config) : &HTMyStaticConfig;
    block_signals();
    LinuxThreadSetUidGid(c->worker_user, c->worker_group);
    const intptr_t limit = c->server_idle_limit;
    if (limit > 0)
        millisleep(static_cast<unsigned>(limit > 86400 ? 86400 : limit) * 1000u);
    for (;;) {
        if (tracing())
            tfprintf(stderr, "Conn Pool... Started GC on Connection Pool\n");
        if (GarbageCollectServerSockets(static_cast<int>(c->server_idle_limit)) != 0 && tracing())
            tfprintf(stderr, "Conn Pool... Garbage collector thread having problems\n");
        // An interval of 0 would spin: one second at least.
        const intptr_t interval = c->server_gc_interval < 1 ? 1 : c->server_gc_interval;
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(interval);
        pthread_mutex_lock(&gcLock);
        while (!gcWake) {
            if (pthread_cond_timedwait(&gcCond, &gcLock, &deadline) == ETIMEDOUT)
                break;
        }
        gcWake = false;
        pthread_mutex_unlock(&gcLock);
    }
    return nullptr;
}

extern "C" void wakeupGCSC(void) noexcept
{
    if (!start())
        return;
    if (tracing())
        tfprintf(stderr, "Conn Pool... Wake up the garbage_collect_server_conn thread\n");
    pthread_mutex_lock(&gcLock);
    gcWake = true;
    pthread_cond_signal(&gcCond);
    pthread_mutex_unlock(&gcLock);
}

extern "C" void dumpSocketList(const HTSockPoolLink *link) noexcept
{
    if (!tracing())
        return;
    for (const Link *l = link; l; l = l->next)
        tfprintf(stderr, "               [sock %lx(%d), t %d]\n", ptr(l->socket), l->socket ? l->socket->socket : -1,
                 static_cast<int>(l->parked));
}

extern "C" void dumpServerList(const HTSockPoolServer *node, int chains) noexcept
{
    if (!tracing())
        return;
    for (const Node *n = node; n; n = n->next) {
        tfprintf(stderr, "SERVERNODE: %lx(addr: %x, port %d, cnt %x, lastSockUsed %u, next %lx).\n", ptr(n),
                 static_cast<unsigned>(n->address), n->port, static_cast<unsigned>(n->count),
                 static_cast<unsigned>(n->lastUsed), ptr(n->next));
        if (chains) {
            tfprintf(stderr, "            Socket Chain: %lx\n", ptr(n->chain));
            dumpSocketList(n->chain);
            tfprintf(stderr, "            Bad Chain: %lx\n", ptr(n->bad));
            dumpSocketList(n->bad);
        }
    }
}

extern "C" int HTSockPool__server(uint32_t address, int port, int *parked, int *bad) noexcept
{
    int p = 0, b = 0;
    const bool found = with_node(
        address, port, [&](Node *n) { p = n->count; },
        [&](Node *n) {
            for (const Link *l = n->bad; l; l = l->next)
                ++b;
        });
    if (parked)
        *parked = p;
    if (bad)
        *bad = b;
    return found ? 1 : 0;
}

extern "C" int HTSockPool__chainOf(uint32_t address, int port) noexcept
{
    return static_cast<int>(chain_index(key_of(address, port)));
}

extern "C" void HTSockPool__age(uint32_t address, int port, int seconds) noexcept
{
    with_node(
        address, port,
        [&](Node *n) {
            n->lastUsed -= seconds;
            for (Link *l = n->chain; l; l = l->next)
                l->parked -= seconds;
        },
        [](Node *) {});
}

extern "C" void HTSockPool__setCollectObserver(HTSockPoolObserver observer) noexcept
{
    collectObserver.store(observer, std::memory_order_release);
}
