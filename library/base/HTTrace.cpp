// HTTrace: per-module tracing for the library and the host server.

#include "HTTrace.h"

#include "HTAlloc.h"
#include "HTClock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <resolv.h>
#include <strings.h>
#include <unistd.h>

extern "C" {

uint32_t tc_struct[HT_TRACE_NWORDS];
uint32_t *tc = tc_struct;

const HTTraceModuleInfo KnownModules[HT_TRACE_NMODULES + 1] = {
    {"none", 0, 0, 0},           {"aa", 1, 44, 0},          {"auth", 2, 44, 0},
    {"bag", 3, 44, 0},           {"base", 4, 22, 0},        {"cfgdll", 5, 22, 0},
    {"cgi", 6, 22, 0},           {"config", 7, 22, 0},      {"content", 8, 44, 0},
    {"dirbrw", 9, 44, 0},        {"dll", 10, 22, 0},        {"dns", 11, 22, 0},
    {"error", 12, 22, 0},        {"fileio", 13, 44, 0},     {"format", 14, 66, 0},
    {"ftp", 15, 22, 0},          {"gcother", 16, 22, 0},    {"gopher", 17, 22, 0},
    {"hash", 18, 44, 0},         {"heap", 19, 66, 0},       {"htcaio", 20, 66, 0x1},
    {"htcbio", 21, 66, 0x2},     {"htccompact", 22, 44, 0x4}, {"htcfs", 23, 44, 0x8},
    {"htcfsck", 24, 44, 0x10},   {"htcfsops", 25, 44, 0x20}, {"htcgc", 26, 44, 0x40},
    {"htcgceval", 27, 66, 0x80}, {"htchash", 28, 66, 0x100}, {"htcheap", 29, 66, 0x200},
    {"htchio", 30, 66, 0x400},   {"htcio", 31, 66, 0x800},  {"htciter", 32, 44, 0x10000},
    {"htclock", 33, 66, 0x1000}, {"htclsort", 34, 66, 0x2000}, {"htcwhdr", 35, 44, 0x4000},
    {"htcwrtr", 36, 44, 0x8000}, {"http", 37, 22, 0},       {"quorapi", 38, 44, 0},
    {"if", 39, 22, 0},           {"quillbase", 40, 22, 0},  {"quillpics", 41, 22, 0},
    {"lex", 42, 44, 0},          {"list", 43, 44, 0},       {"log", 44, 22, 0},
    {"mempool", 45, 22, 0},      {"netmonitor", 46, 66, 0}, {"nls", 47, 44, 0},
    {"oru", 48, 44, 0},          {"perfmon", 49, 44, 0},    {"pics", 50, 22, 0},
    {"proxy", 51, 22, 0},        {"proxycache", 52, 22, 0}, {"proxychain", 53, 22, 0},
    {"proxyinit", 54, 22, 0},    {"workqueue", 55, 44, 0},  {"rcacfg", 56, 22, 0},
    {"rcaclnt", 57, 22, 0},      {"rcacomm", 58, 22, 0},    {"rcahash", 59, 22, 0},
    {"rcalatency", 60, 22, 0},   {"rcaoop", 61, 66, 0},     {"rcaserv", 62, 22, 0},
    {"rchunk", 63, 22, 0},       {"request", 64, 22, 0},    {"selftest", 65, 22, 0},
    {"snmp", 66, 66, 0},         {"socket", 67, 44, 0},     {"socks", 68, 44, 0},
    {"ssi", 69, 44, 0},          {"ssl", 70, 44, 0},        {"stack", 71, 66, 0},
    {"status", 72, 44, 0},       {"stringlib", 73, 44, 0},  {"syscall", 74, 44, 0},
    {"tcp", 75, 44, 0},          {"time", 76, 44, 0},       {"timer", 77, 22, 0},
    {"threadpool", 78, 44, 0},   {"user", 79, 22, 0},       {"url", 80, 22, 0},
    {"vary", 81, 44, 0},         {"workthread", 82, 66, 0}, {"workthread-callback", 83, 66, 0},
    {"connection-pool", 84, 44, 0}, {"rtsp", 85, 44, 0},    {"persist", 86, 22, 0},
    {"res", 87, 66, 0},          {"scm", 88, 22, 0},        {"quill", 89, 22, 0},
    {"proxygroup", 90, 22, 0},   {"rcagroup", 91, 22, 0},   {"gcgroup", 92, 22, 0},
    {nullptr, 0, 0, 0},
};

const int32_t KnownGroups[][17] = {
    {90, 51, 52, 15, 53, 54, 63, 0},
    {89, 40, 41, 0},
    {91, 56, 59, 58, 62, 57, 60, 0},
    {92, 26, 27, 16, 0},
    {-1},
};

// The hooks and the log are exported under their own names for the host;
// the library reads and writes them with atomic loads and stores, so a
// reader never sees one torn. A null log means standard error. Opening and
// closing happen while tracing is quiet.
HTTraceHtcHook HTTrace_SetHtcBits = nullptr;
HTTraceHtcHook HTTrace_ClearHtcBits = nullptr;
FILE *trace_log = nullptr;

} // extern "C"

namespace {

// Atomic access to one of the exported plain objects above.
template <class T> struct Shared {
    T *p;
    T load(int order) const { return __atomic_load_n(p, order); }
    void store(T v, int order) const { __atomic_store_n(p, v, order); }
    T exchange(T v, int order) const { return __atomic_exchange_n(p, v, order); }
};

constexpr int kAcquire = __ATOMIC_ACQUIRE;
constexpr int kRelease = __ATOMIC_RELEASE;
constexpr int kAcqRel = __ATOMIC_ACQ_REL;

const Shared<HTTraceHtcHook> setHtcHook{&HTTrace_SetHtcBits};
const Shared<HTTraceHtcHook> clearHtcHook{&HTTrace_ClearHtcBits};
const Shared<FILE *> traceLog{&trace_log};
std::atomic<int> traceLogMaxMB{0};

uint32_t *flags() { return __atomic_load_n(&tc, __ATOMIC_RELAXED); }

uint32_t load_word(int i) { return __atomic_load_n(&flags()[i], __ATOMIC_RELAXED); }

void store_word(int i, uint32_t v) { __atomic_store_n(&flags()[i], v, __ATOMIC_RELAXED); }

bool valid_module(int m) { return m >= 0 && m < HT_TRACE_NMODULES; }

const int32_t *group_row(int module)
{
    for (const int32_t *row = KnownGroups[0]; row[0] != -1; row += 17)
        if (row[0] == module)
            return row;
    return nullptr;
}

int find_module(const char *name, size_t len)
{
    for (int i = 0; KnownModules[i].name != nullptr; ++i)
        if (std::strlen(KnownModules[i].name) == len &&
            strncasecmp(KnownModules[i].name, name, len) == 0)
            return i;
    return -1;
}

// "[0x<thread>/<seconds>]: ", the same form on 32- and 64-bit targets: at
// least eight hex digits and eight decimal digits, whatever the widths.
int format_prefix(char *out, size_t room)
{
    const unsigned long long self =
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(
            reinterpret_cast<void *>(pthread_self())));
    const long long now = static_cast<long long>(HTtime());
    return std::snprintf(out, room, "[0x%08llx/%08lld]: ", self, now);
}

} // namespace

extern "C" int HTTrace_level(int module, uint32_t level) noexcept
{
    if (!valid_module(module))
        return 0;
    return (load_word(module) != 0 && load_word(HT_TRACE_LEVEL_WORD) >= level) ? 1 : 0;
}

extern "C" int HTTrace_module(int module) noexcept
{
    if (!valid_module(module))
        return 0;
    return HTTrace_level(module, KnownModules[module].level);
}

extern "C" int tvfprintf(FILE *stream, const char *format, va_list args) noexcept
{
    (void)stream;
    if (format == nullptr)
        return 0;
    // The prefix holds no "%", so it can lead the caller's format and the
    // whole line goes out in one call on the locked stream.
    const size_t flen = std::strlen(format);
    char small[256];
    char *line = small;
    const size_t need = flen + 73;
    if (need > sizeof small) {
        line = static_cast<char *>(HTAlloc_malloc(need));
        if (line == nullptr)
            return 0; // a line that cannot be built is dropped
    }
    int n = format_prefix(line, need);
    if (n < 0 || static_cast<size_t>(n) >= need) {
        if (line != small)
            HTAlloc_free(line);
        return 0;
    }
    std::memcpy(line + n, format, flen + 1);

    FILE *log = traceLog.load(kAcquire);
    FILE *out = log ? log : stderr;
    flockfile(out);
    if (log != nullptr) {
        const long max = static_cast<long>(traceLogMaxMB.load(std::memory_order_relaxed));
        if (max >= 1 && ftell(log) > max * 1048576L)
            fseek(log, 0, SEEK_SET);
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int rc = std::vfprintf(out, line, args);
#pragma GCC diagnostic pop
    funlockfile(out);
    if (line != small)
        HTAlloc_free(line);
    return rc;
}

extern "C" int tfprintf(FILE *stream, const char *format, ...) noexcept
{
    va_list ap;
    va_start(ap, format);
    int rc = tvfprintf(stream, format, ap);
    va_end(ap);
    return rc;
}

extern "C" void HTTrace_set(int module, uint32_t value) noexcept
{
    if (!valid_module(module))
        return;
    if (const int32_t *row = group_row(module)) {
        for (int i = 1; i < 17 && row[i] != 0; ++i)
            HTTrace_set(row[i], value);
    }
    store_word(module, value);
    const uint32_t mask = KnownModules[module].htcBits;
    if (mask != 0) {
        if (value == 1 && load_word(HT_TRACE_LEVEL_WORD) >= KnownModules[module].level) {
            if (HTTraceHtcHook h = setHtcHook.load(kAcquire))
                h(mask);
        } else if (HTTraceHtcHook h = clearHtcHook.load(kAcquire)) {
            h(mask);
        }
    }
    if (module == HT_TRACE_RES) {
        if (value == 1)
            _res.options |= RES_DEBUG;
        else
            _res.options &= ~static_cast<unsigned long>(RES_DEBUG);
    }
}

extern "C" void HTTrace_setAll(uint32_t value) noexcept
{
    for (int m = 0; m < HT_TRACE_NMODULES; ++m)
        HTTrace_set(m, value);
}

extern "C" void HTTrace_reset(void) noexcept { HTTrace_setAll(0); }

namespace {

void set_numbered(int module, uint32_t value)
{
    HTTrace_set(module, value);
    if (module == HT_TRACE_PROXY)
        HTTrace_set(HT_TRACE_PROXYCACHE, value);
}

} // namespace

extern "C" void HTTrace_setByName(const char *name, uint32_t value) noexcept
{
    if (name == nullptr)
        return;
    if (strcasecmp(name, "all") == 0) {
        HTTrace_setAll(1);
        return;
    }
    const char *look = strcasecmp(name, "group") == 0 ? "user" : name;
    // Plural forms ("sockets") are tried without their "s": on a length, so
    // the caller's text is never written.
    size_t len = std::strlen(look);
    int number = find_module(look, len);
    while (number < 0 && len > 0 && (look[len - 1] == 's' || look[len - 1] == 'S')) {
        --len;
        number = find_module(look, len);
    }
    if (number >= 0) {
        set_numbered(number, value);
        return;
    }
    const long n = std::strtol(name, nullptr, 10);
    if (n == 0) {
        std::fprintf(stderr, "I........... have never heard of trace module \"%s\".\n", name);
        return;
    }
    if (n >= 1 && n <= 91)
        set_numbered(static_cast<int>(n), value);
}

extern "C" void HTTrace_getModuleName(int module, char *buffer, int *number_out) noexcept
{
    if (buffer)
        buffer[0] = '\0';
    if (number_out)
        *number_out = -1;
    // Taking the absolute value in unsigned arithmetic keeps INT_MIN defined.
    unsigned int m = module < 0 ? 0u - static_cast<unsigned int>(module)
                                : static_cast<unsigned int>(module);
    if (m >= HT_TRACE_NMODULES)
        return;
    if (buffer)
        std::strcpy(buffer, KnownModules[m].name);
    if (number_out)
        *number_out = static_cast<int>(m);
}

extern "C" uint32_t *HTTrace_getPtrToTraceFlags(uint32_t *array) noexcept
{
    if (array == nullptr) {
        __atomic_store_n(&tc, &tc_struct[0], __ATOMIC_RELEASE);
        return tc_struct;
    }
    __atomic_store_n(&tc, array, __ATOMIC_RELEASE);
    for (int i = 0; i < HT_TRACE_NWORDS; ++i)
        __atomic_store_n(&array[i], 0u, __ATOMIC_RELAXED);
    if (HTTraceHtcHook h = clearHtcHook.load(kAcquire))
        for (int m = 0; m < HT_TRACE_NMODULES; ++m)
            h(KnownModules[m].htcBits);
    return array;
}

extern "C" int HTTraceSet_SetHtcBits(HTTraceHtcHook hook) noexcept
{
    setHtcHook.store(hook, kRelease);
    return 0;
}

extern "C" int HTTraceSet_ClearHtcBits(HTTraceHtcHook hook) noexcept
{
    clearHtcHook.store(hook, kRelease);
    return 0;
}

extern "C" void HTTraceLog_setMaxSize(int megabytes) noexcept
{
    traceLogMaxMB.store(megabytes, std::memory_order_relaxed);
}

extern "C" void HTTraceLog_close(void) noexcept
{
    FILE *log = traceLog.exchange(nullptr, kAcqRel);
    if (log != nullptr && log != stderr)
        std::fclose(log);
}

extern "C" void HTTraceLog_open(const char *path) noexcept
{
    HTTraceLog_close();
    if (path == nullptr)
        return;
    const bool append = traceLogMaxMB.load(std::memory_order_relaxed) < 1;
    const int fd = append ? ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                          : ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr,
                     "Trace....... log \"%s\" could not be opened; tracing to stderr [errno was %d].\n",
                     path, errno);
        return;
    }
    FILE *f = fdopen(fd, append ? "a" : "w+");
    if (f == nullptr) {
        const int e = errno;
        ::close(fd);
        std::fprintf(stderr,
                     "Trace....... log \"%s\" could not be fdopen()'d; tracing to stderr [errno was %d].\n",
                     path, e);
        return;
    }
    // Unbuffered: the last lines before a crash must be on disk.
    std::setvbuf(f, nullptr, _IONBF, 0);
    traceLog.store(f, kRelease);
}
