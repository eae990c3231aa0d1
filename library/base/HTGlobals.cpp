// HTGlobals: per-thread globals, the module registry and process-wide counters.

#include "HTGlobals.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTExcept.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ModuleRecord {
    HTModuleCreateFn create;
    HTModuleDestroyFn destroy;
    HTModuleInitFn init;
    HTModuleUninitFn uninit;
    char *name;
};

ModuleRecord registry[HT_MODULE_SLOTS];
// Published with release once a record is complete: threads that start
// later read the registry without the lock.
std::atomic<int> NumFunctions{0};
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;

pthread_key_t threadKey;
std::atomic<bool> threadKeySet{false};
pthread_once_t threadKeyOnce = PTHREAD_ONCE_INIT;
int threadKeysResult = -1;

void make_thread_key()
{
    if (!threadKeySet.load(std::memory_order_acquire)) {
        // The record belongs to its modules' destroy callbacks, not to the key.
        if (pthread_key_create(&threadKey, nullptr) == 0)
            threadKeySet.store(true, std::memory_order_release);
    }
    if (threadKeySet.load(std::memory_order_acquire) &&
        pthread_key_create(&tqos_key, nullptr) == 0)
        threadKeysResult = 0;
}

pthread_key_t key()
{
    pthread_once(&threadKeyOnce, make_thread_key);
    return threadKey;
}

std::atomic<HTTimerCallback> timerCallback{nullptr};

bool trace_wt() { return HT_TRACE_ON(HT_TRACE_WORKTHREAD); }
bool trace_cb() { return HT_TRACE_ON(HT_TRACE_WORKTHREAD_CALLBACK); }

int thread_number() { return static_cast<int>(reinterpret_cast<uintptr_t>(
                          reinterpret_cast<void *>(pthread_self()))); }

const char *const kTypeNames[16] = {
    "Accept thread", "Worker thread", "Log thread", "GC thread", "Restart thread",
    "Timer thread", "SNMP thread", "Net-monitor thread", "NT Performance Monitor thread",
    "JVM (Evil!) thread", "JVM (Evil!) main thread", "Divine thread",
    "Unknown thread type 12", "Unknown thread type 13", "Unknown thread type 14",
    "Unknown thread type 15",
};

int register_vinit()
{
    // Once: HTInitThd runs on every new thread.
    static std::atomic<int> slot{-1};
    int s = slot.load(std::memory_order_acquire);
    if (s < 0) {
        s = HTWorkThread_addModule("HTVInit", HTThdGlobals_create, HTThdGlobals_destroy,
                                   HTThdGlobals_init, HTThdGlobals_uninit);
        slot.store(s, std::memory_order_release);
    }
    return s;
}

} // namespace

pthread_key_t tqos_key;

extern "C" int HTThreadKeys_create(void) noexcept
{
    pthread_once(&threadKeyOnce, make_thread_key);
    return threadKeysResult;
}

// ---- Registry -------------------------------------------------------------

extern "C" int HTWorkThread_addModule(const char *name, HTModuleCreateFn create,
                                      HTModuleDestroyFn destroy, HTModuleInitFn init,
                                      HTModuleUninitFn uninit) noexcept
{
    if (name == nullptr)
        return -1;
    // Copied before the lock: running out of memory must not leave it held.
    const size_t len = std::strlen(name);
    char *copy = HTAlloc_strndup(name, len);
    if (copy == nullptr)
        out_of_memory("HTGlobals", "HTWorkThread_addModule", __LINE__, len + 1);

    pthread_mutex_lock(&registryLock);
    const int n = NumFunctions.load(std::memory_order_relaxed);
    for (int i = 0; i < n; ++i)
        if (std::strcmp(registry[i].name, name) == 0) {
            pthread_mutex_unlock(&registryLock);
            HTAlloc_free(copy);
            if (trace_wt())
                tfprintf(stderr, "Not adding.. thread-init functions for module \"%s\".\n", name);
            return i;
        }
    if (n >= HT_MODULE_SLOTS) {
        pthread_mutex_unlock(&registryLock);
        HTAlloc_free(copy);
        if (trace_wt())
            tfprintf(stderr, "Not adding.. thread-init functions for module \"%s\": table full.\n",
                     name);
        return -1;
    }
    registry[n] = ModuleRecord{create, destroy, init, uninit, copy};
    NumFunctions.store(n + 1, std::memory_order_release);
    pthread_mutex_unlock(&registryLock);
    if (trace_wt()) {
        tfprintf(stderr, "Added....... thread-init functions for module \"%s\" in slot %d.\n", name, n);
        tfprintf(stderr, "............ %lu\n", reinterpret_cast<unsigned long>(create));
        tfprintf(stderr, "............ %lu\n", reinterpret_cast<unsigned long>(destroy));
        tfprintf(stderr, "............ %lu\n", reinterpret_cast<unsigned long>(init));
        tfprintf(stderr, "............ %lu\n", reinterpret_cast<unsigned long>(uninit));
    }
    return n;
}

extern "C" int HTWorkThread_moduleCount(void) noexcept { return NumFunctions.load(std::memory_order_acquire); }

extern "C" const char *HTWorkThread_typeName(int threadType) noexcept
{
    if (threadType >= 0 && threadType < 16)
        return kTypeNames[threadType];
    return "Unknown thread type";
}

extern "C" const char *HTWorkThread_contextName(int context) noexcept
{
    switch (context) {
    case 0: return "INVALID CONTEXT 0";
    case 1: return "SESSION";
    case 2: return "REQUEST";
    case 3: return "INVALID CONTEXT 3";
    default: return "INVALID CONTEXT";
    }
}

namespace {

// Destroy callbacks of the slots below `count`, last first.
void destroy_slots(int count, int threadType, void *value)
{
    for (int i = count - 1; i >= 0; --i) {
        const ModuleRecord &m = registry[i];
        if (m.destroy) {
            if (trace_cb())
                tfprintf(stderr, "Destroy Fn.. for module \"%s\" being called.\n", m.name);
            m.destroy(i, threadType, value);
        } else if (trace_cb()) {
            tfprintf(stderr, "Destroy Fn.. not defined for module \"%s\".\n", m.name);
        }
    }
}

} // namespace

extern "C" void *HTWorkThread_threadCreate(int threadType) noexcept
{
    // A create callback that runs out of memory (having released its own
    // work) jumps back here: the modules made before it are destroyed again
    // before the exception goes on to the caller's frame, so a half-made
    // thread never keeps (or leaks) its globals.
    void *volatile value = nullptr;
    volatile int made = 0;
    HTExceptFrame frame;
    HTExcept_push(&frame, nullptr);
    if (setjmp(frame.env) != 0) {
        destroy_slots(made, threadType, value);
        pthread_setspecific(key(), nullptr);
        HTExcept__raise();
    }
    const int n = NumFunctions.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        const ModuleRecord &m = registry[i];
        if (m.create) {
            if (trace_cb())
                tfprintf(stderr, "Create Fn... for module \"%s\" being called.\n", m.name);
            value = m.create(i, threadType, value);
            made = i + 1;
            pthread_setspecific(key(), value);
        } else if (trace_cb()) {
            tfprintf(stderr, "Create Fn... not defined for module \"%s\".\n", m.name);
        }
    }
    HTExcept_pop(&frame, nullptr);
    if (trace_wt())
        tfprintf(stderr, "Create Fns.. done for thread %d (thread type %d)\n", thread_number(),
                 threadType);
    return value;
}

extern "C" void HTWorkThread_threadExit(int threadType, void *value) noexcept
{
    destroy_slots(NumFunctions.load(std::memory_order_acquire), threadType, value);
    if (trace_wt())
        tfprintf(stderr, "Destroy Fns. done for thread %d (thread type %d)\n", thread_number(),
                 threadType);
}

extern "C" void HTWorkThread_threadStartWork(int threadType, int context, void *value) noexcept
{
    const int n = NumFunctions.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        const ModuleRecord &m = registry[i];
        if (m.init) {
            if (trace_cb())
                tfprintf(stderr, "Init Fn..... for module \"%s\" being called.\n", m.name);
            m.init(i, threadType, context, value);
        } else if (trace_cb()) {
            tfprintf(stderr, "Init Fn..... not defined for module \"%s\".\n", m.name);
        }
    }
    if (trace_wt())
        tfprintf(stderr, "Init Fns.... done for thread %d (thread type %d) in context %s.\n",
                 thread_number(), threadType, HTWorkThread_contextName(context));
}

extern "C" void HTWorkThread_threadEndWork(int threadType, int context, void *value) noexcept
{
    const int n = NumFunctions.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        const ModuleRecord &m = registry[i];
        if (m.uninit) {
            if (trace_cb())
                tfprintf(stderr, "Uninit Fn... for module \"%s\" (@%lu) being called.\n", m.name,
                         reinterpret_cast<unsigned long>(m.uninit));
            m.uninit(i, threadType, context, value);
        } else if (trace_cb()) {
            tfprintf(stderr, "Uninit Fn... not defined for module \"%s\".\n", m.name);
        }
    }
    if (trace_wt())
        tfprintf(stderr, "Uninit Fns.. done for thread %d (thread type %d) in context %s.\n",
                 thread_number(), threadType, HTWorkThread_contextName(context));
}

extern "C" void HTWorkThread_svcThreadStartWork(int threadType, void *value) noexcept
{
    if (trace_wt())
        tfprintf(stderr, "Start-Work.. functions called for service-thread type %s.\n",
                 HTWorkThread_typeName(threadType));
    HTWorkThread_threadStartWork(threadType, HT_CONTEXT_SESSION, value);
    HTWorkThread_threadStartWork(threadType, HT_CONTEXT_REQUEST, value);
}

extern "C" void HTWorkThread_svcThreadEndWork(int threadType, void *value) noexcept
{
    if (trace_wt())
        tfprintf(stderr, "End-Work.... functions called for service-thread type %s.\n",
                 HTWorkThread_typeName(threadType));
    HTWorkThread_threadEndWork(threadType, HT_CONTEXT_REQUEST, value);
    HTWorkThread_threadEndWork(threadType, HT_CONTEXT_SESSION, value);
}

extern "C" void *HTInitThd(int threadType) noexcept
{
    register_vinit();
    void *value = HTWorkThread_threadCreate(threadType);
    HTWorkThread_threadStartWork(threadType, HT_CONTEXT_SESSION, value);
    HTWorkThread_threadStartWork(threadType, HT_CONTEXT_REQUEST, value);
    return value;
}

extern "C" void HTEndThd(int threadType, void *value) noexcept
{
    HTWorkThread_threadEndWork(threadType, HT_CONTEXT_REQUEST, value);
    HTWorkThread_threadEndWork(threadType, HT_CONTEXT_SESSION, value);
}

// ---- The "HTVInit" module -------------------------------------------------

extern "C" int HTThdGlobals_register(void) noexcept { return register_vinit(); }

extern "C" void *HTThdGlobals_create(int slot, int threadType, void *value) noexcept
{
    (void)slot;
    (void)value;
    auto *g = static_cast<HTThdGlobals *>(HTAlloc_calloc(1, sizeof(HTThdGlobals)));
    if (g == nullptr)
        out_of_memory("HTGlobals", "HTThdGlobals_create", __LINE__, sizeof(HTThdGlobals));
    g->session = &g->session_part;
    // A worker's session is waited on through its event: without one the
    // thread cannot serve, which counts as running out of memory.
    if (threadType == HT_THREAD_WORKER && (g->session->event = pevent_create()) == 0) {
        HTAlloc_free(g);
        out_of_memory("HTGlobals", "HTThdGlobals_create", __LINE__, sizeof(pthread_mutex_t));
    }
    pthread_setspecific(key(), g);
    g->thread_id = pthread_self();
    g->thread_type = threadType;
    std::memcpy(g->eyecatcher, "ZPKLTHD", 8);
    std::memcpy(g->session->eyecatcher, "ZPKSESS", 8);
    g->session->client_socket = -1;
    g->detailed_error = -1;
    return g;
}

extern "C" int HTThdGlobals_destroy(int slot, int threadType, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr)
        return 0;
    HTAlloc_free(g->session->buffer);
    pevent_destroy(g->session->event);
    if (pthread_getspecific(key()) == g)
        pthread_setspecific(key(), nullptr);
    HTAlloc_free(g);
    return 0;
}

extern "C" int HTThdGlobals_init(int slot, int threadType, int context, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr)
        return 0;
    if (context == HT_CONTEXT_REQUEST) {
        g->request_start = HTtime();
        g->request_status = 0;
        g->abort_flag = 0;
        g->error_info = 0;
        g->bytes_in = g->bytes_out = 0;
        g->stream_status = 0;
        g->server_pref = nullptr;
        g->forward_target = nullptr;
        g->url = nullptr;
        g->detailed_error = -1;
        g->detailed_error_text = nullptr;
        g->dns_lookup_usec = 0;
        g->explicit_forward = nullptr;
        g->alt_url[0] = g->alt_url[1] = nullptr;
        g->url_select = 0;
        g->suppress_errors = 0;
        g->retry_status = 0;
        g->no_merge = 0;
        g->plugin_flags = 0;
        g->ignore_headers = nullptr;
    } else {
        // The client-name fields belong to the name lookup's own module.
        HTSessionGlobals *s = g->session;
        std::memset(s->client_address, 0, sizeof s->client_address);
        std::memset(s->server_address, 0, sizeof s->server_address);
        s->client_host[0] = '\0';
        s->server_addr[0] = '\0';
        s->client_socket = -1;
        s->last_activity = HTtime();
        s->keepalive_count = 0;
        if (s->buffer && s->buffer_size)
            std::memset(s->buffer, 0, s->buffer_size);
    }
    return 0;
}

extern "C" int HTThdGlobals_uninit(int slot, int threadType, int context, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr)
        return 0;
    if (context == HT_CONTEXT_REQUEST) {
        for (void *&b : g->owned_block) {
            HTAlloc_free(b);
            b = nullptr;
        }
        g->connection = nullptr;
        g->origin_connection = nullptr;
        g->stream_status = 0;
    }
    // The session's FTP state and client connection are closed by the
    // modules that own them, through their own end-of-work callbacks.
    return 0;
}

extern "C" HTThdGlobals *lib_gettp(void) noexcept
{
    if (!threadKeySet.load(std::memory_order_acquire))
        return nullptr;
    return static_cast<HTThdGlobals *>(pthread_getspecific(threadKey));
}

extern "C" pthread_key_t GetHTThreadKey(void) noexcept { return key(); }

extern "C" pthread_key_t *GetAddrHTThreadKey(void) noexcept
{
    key();
    return &threadKey;
}

extern "C" void SetHTThreadKey(pthread_key_t k) noexcept
{
    pthread_once(&threadKeyOnce, [] {});
    threadKey = k;
    threadKeySet.store(true, std::memory_order_release);
}

// ---- Accessors ------------------------------------------------------------

namespace {

HTThdGlobals *globals(void *value)
{
    return value ? static_cast<HTThdGlobals *>(value) : lib_gettp();
}

} // namespace

extern "C" void HTClientSocketAddress_extract(unsigned char out[16], void *value) noexcept
{
    HTThdGlobals *g = globals(value);
    if (out && g)
        std::memcpy(out, g->session->client_address, 16);
}

extern "C" void HTServerSocketAddress_extract(unsigned char out[16], void *value) noexcept
{
    HTThdGlobals *g = globals(value);
    if (out && g)
        std::memcpy(out, g->session->server_address, 16);
}

extern "C" const char *HTClientHost_extract(void *value) noexcept
{
    HTThdGlobals *g = globals(value);
    return g ? g->session->client_host : nullptr;
}

extern "C" const char *HTServerAddr_extract(void *value) noexcept
{
    HTThdGlobals *g = globals(value);
    return g ? g->session->server_addr : nullptr;
}

extern "C" uintptr_t HTErrorInfo_extract(void *value) noexcept
{
    HTThdGlobals *g = globals(value);
    return g ? g->error_info : 0;
}

extern "C" void HTErrorInfo_set(void *value, uintptr_t info) noexcept
{
    if (HTThdGlobals *g = globals(value))
        g->error_info = info;
}

extern "C" void *HTClientRespHeaders_extract(void *value) noexcept
{
    HTThdGlobals *g = globals(value);
    return g ? g->client_resp_headers : nullptr;
}

extern "C" void HTTimer_setCallbacks(HTTimerCallback callback) noexcept
{
    timerCallback.store(callback, std::memory_order_release);
}

extern "C" HTTimerCallback HTTimer_getCallback(void) noexcept
{
    return timerCallback.load(std::memory_order_acquire);
}

extern "C" void ProfilingSetup(void) noexcept {}

// ---- Counters -------------------------------------------------------------
// Several threads change these at once, so every one is an atomic counter.

namespace {

std::atomic<int> nThreads{0};
std::atomic<int> nThreadsActive{0};
std::atomic<int> nThreadsStarted{0};
std::atomic<int> nPersistThreadsActive{0};
std::atomic<int> outboundAssociations{0};
std::atomic<long long> lastOutboundActivity{0};

} // namespace

extern "C" void Counters_init(void) noexcept {}

extern "C" uint32_t GetWWW_TraceFlag(void) noexcept
{
    uint32_t *flags = __atomic_load_n(&tc, __ATOMIC_RELAXED);
    return flags ? __atomic_load_n(&flags[HT_TRACE_LEVEL_WORD], __ATOMIC_RELAXED) : 0;
}

extern "C" void SetWWW_TraceFlag(uint32_t level) noexcept
{
    uint32_t *flags = __atomic_load_n(&tc, __ATOMIC_RELAXED);
    if (flags)
        __atomic_store_n(&flags[HT_TRACE_LEVEL_WORD], level, __ATOMIC_RELAXED);
}

extern "C" int GetnThreads(void) noexcept { return nThreads.load(); }
extern "C" void SetnThreads(int n) noexcept { nThreads.store(n); }
extern "C" int IncnThreads(void) noexcept { return nThreads.fetch_add(1) + 1; }
extern "C" int DecnThreads(void) noexcept { return nThreads.fetch_sub(1) - 1; }
extern "C" int GetnThreadsActive(void) noexcept { return nThreadsActive.load(); }
extern "C" void SetnThreadsActive(int n) noexcept { nThreadsActive.store(n); }
extern "C" int IncnThreadsActive(void) noexcept { return nThreadsActive.fetch_add(1) + 1; }
extern "C" int DecnThreadsActive(void) noexcept { return nThreadsActive.fetch_sub(1) - 1; }
extern "C" int GetnThreadsStarted(void) noexcept { return nThreadsStarted.load(); }
extern "C" void SetnThreadsStarted(int n) noexcept { nThreadsStarted.store(n); }
extern "C" int GetnPersistThreadsActive(void) noexcept { return nPersistThreadsActive.load(); }
extern "C" int IncnPersistThreadsActive(void) noexcept { return nPersistThreadsActive.fetch_add(1) + 1; }
extern "C" int DecnPersistThreadsActive(void) noexcept { return nPersistThreadsActive.fetch_sub(1) - 1; }

extern "C" int IncLibSNMPOutboundAssociations(void) noexcept
{
    lastOutboundActivity.store(static_cast<long long>(HTtime()));
    return outboundAssociations.fetch_add(1) + 1;
}

extern "C" int DecLibSNMPOutboundAssociations(void) noexcept { return outboundAssociations.fetch_sub(1) - 1; }
extern "C" int GetLibSNMPOutboundAssociations(void) noexcept { return outboundAssociations.load(); }

extern "C" time_t GetLibSNMPLastOutboundActivity(void) noexcept
{
    return static_cast<time_t>(lastOutboundActivity.load());
}
