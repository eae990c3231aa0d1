// The callback table, the exported data, the API data and user records, the
// unsupported calls and the frame shared by the request-bound entry points.

#include "htapi.h"

#include "htapi_imports.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace plugrt {
namespace {

const char kSourceId[] = "plugin_api/htapi.cpp";

struct Row {
    const char *api;
    unsigned checks;
    plugrt::ArgLine line;
    long bad_code;
    const char *bad_text;
};

constexpr Row kRows[] = {
#define PLUGRT_FRAME_ROW_(id, api, checks, line, bad, text) {api, checks, line, bad, text},
    PLUGRT_FRAMES(PLUGRT_FRAME_ROW_)
#undef PLUGRT_FRAME_ROW_
};

bool checks_pass(unsigned c, const plugrt::Args &a) noexcept
{
    using namespace plugrt;
    if ((c & kCheckName) && (a.a1 == nullptr || a.l1 == nullptr || *a.l1 == 0 || !length_ok(*a.l1)))
        return false;
    if ((c & kCheckBuffer) && (a.a2 == nullptr || a.l2 == nullptr || *a.l2 == 0 || !length_ok(*a.l2)))
        return false;
    if ((c & kCheckValue) && (a.a2 == nullptr || a.l2 == nullptr || !length_ok(*a.l2)))
        return false;
    if ((c & kCheckValueOpt) && a.l2 != nullptr && !length_ok(*a.l2))
        return false;
    if ((c & (kCheckSelector | kCheckOut)) && a.a3 == nullptr)
        return false;
    if ((c & kCheckText) && (a.a1 == nullptr || *static_cast<const char *>(a.a1) == '\0'))
        return false;
    if ((c & kCheckText2) && a.a2 == nullptr)
        return false;
    return true;
}

void arg_line(const Row &r, const plugrt::Args &a) noexcept
{
    using plugrt::ArgLine;
    const char *text1 = static_cast<const char *>(a.a1);
    switch (r.line) {
    case ArgLine::Name:
        HTAPI_TRACE(true, "plug-in..... %s() args..... name= %.*s ; name size= %d\n", r.api,
                    static_cast<int>(*a.l1), text1, static_cast<int>(*a.l1));
        break;
    case ArgLine::NameValue:
        HTAPI_TRACE(true, "plug-in..... %s() args..... name= %.*s ; name size= %d ; value size= %d\n",
                    r.api, static_cast<int>(*a.l1), text1, static_cast<int>(*a.l1),
                    a.a2 != nullptr && a.l2 != nullptr ? static_cast<int>(*a.l2) : 0);
        break;
    case ArgLine::Buffer:
        HTAPI_TRACE(true, "plug-in..... %s() args..... buffer= 0x%lx ; buffer size= %d\n", r.api,
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(a.a2)),
                    static_cast<int>(*a.l2));
        break;
    case ArgLine::Size:
        HTAPI_TRACE(true, "plug-in..... %s() args..... value size= %d\n", r.api,
                    static_cast<int>(*a.l2));
        break;
    case ArgLine::Text:
        HTAPI_TRACE(true, "plug-in..... %s() args..... name= %s\n", r.api, text1);
        break;
    case ArgLine::None:
        break;
    case ArgLine::TextValue:
        HTAPI_TRACE(true, "plug-in..... %s() args..... name= %s ; value= %s\n", r.api, text1,
                    static_cast<const char *>(a.a2));
        break;
    }
}

} // namespace

bool traces(int category) noexcept
{
    auto level = entry<HTCB_TRACE_LEVEL>();
    if (level == nullptr || level() == 0)
        return false;
    if (auto by_category = entry<HTCB_TRACE_CATEGORY>())
        return by_category(category) != 0;
    // A host without its own category test: its trace facility decides.
    return HTTrace_module(category) != 0;
}

Frame::Frame(Api api, void *handle, long *rc, const Args &args) noexcept : api_(api), rc_(rc)
{
    const Row &r = kRows[static_cast<int>(api)];
    tracing_ = traces(kTraceApi);
    HTAPI_TRACE(tracing_, "plug-in..... %s() called \n", r.api);
    if (rc == nullptr)
        return;
    if (all_api_callbacks == nullptr) {
        missing_ = true;
        finish(HTTPD_UNSUPPORTED);
        return;
    }
    if (!checks_pass(r.checks, args)) {
        if (tracing_ && r.bad_text != nullptr)
            emit(r.bad_text);
        finish(r.bad_code);
        return;
    }
    if (handle == nullptr) {
        HTAPI_TRACE(tracing_, "plug-in..... WARNING: handle is NULL; compatablity problems may occur!\n");
        auto key = need<HTCB_THREAD_KEY>();
        if (key == nullptr) {
            finish(HTTPD_UNSUPPORTED);
            return;
        }
        handle = pthread_getspecific(key());
        if (handle == nullptr) {
            finish(HTTPD_BAD_ARGUMENT);
            return;
        }
    }
    h_ = static_cast<HTAPIHandle *>(handle);
    if (tracing_)
        arg_line(r, args);
    live_ = true;
}

const char *Frame::api() const noexcept
{
    return kRows[static_cast<int>(api_)].api;
}

void Frame::finish(long code) noexcept
{
    live_ = false;
    if (rc_ == nullptr)
        return;
    if (missing_)
        code = HTTPD_UNSUPPORTED;
    *rc_ = code;
    HTAPI_TRACE(tracing_, "plug-in..... %s() return code %d\n", api(), static_cast<int>(code));
}

void *Frame::alloc(std::size_t size) noexcept
{
    auto pool = need<HTCB_POOL_ALLOC>();
    return pool ? pool(size, h_) : nullptr;
}

char *Frame::copy(const char *data, std::size_t length) noexcept
{
    auto *p = static_cast<char *>(alloc(length + 1));
    if (p == nullptr)
        return nullptr;
    if (length != 0)
        std::memcpy(p, data, length);
    p[length] = '\0';
    return p;
}

char *Frame::format(const char *fmt, ...) noexcept
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    char *p = n < 0 ? nullptr : static_cast<char *>(alloc(static_cast<std::size_t>(n) + 1));
    if (p != nullptr)
        std::vsnprintf(p, static_cast<std::size_t>(n) + 1, fmt, again);
    va_end(again);
    return p;
}

} // namespace plugrt

// The table, written once at start-up by set_api_callbacks.
extern "C" {
HTAPICallback *all_api_callbacks = nullptr;
}

extern "C" PLUGRT_EXPORT int null_int_callback(void) noexcept
{
    return 0;
}

extern "C" PLUGRT_EXPORT int set_api_callbacks(const HTAPICallback *table) noexcept
{
    if (all_api_callbacks == nullptr) {
        auto *t = static_cast<HTAPICallback *>(std::calloc(HTAPI_NCALLBACKS, sizeof(HTAPICallback)));
        if (t == nullptr)
            return -1;
        t[HTCB_INT_HOOK] = reinterpret_cast<HTAPICallback>(&null_int_callback);
        all_api_callbacks = t;
    }
    if (table != nullptr)
        std::memcpy(all_api_callbacks, table, HTAPI_NCALLBACKS * sizeof(HTAPICallback));
    return 0;
}

// Storage for the host and the plug-ins; a host that defines its own copies
// (the proxy's common library does) is what plug-ins bind to.
extern "C" {
uintptr_t HTMyStaticConfig[HT_STATIC_CONFIG_WORDS];
pthread_key_t tqos_key;
uintptr_t HTCFs_afterDeleteCallbacks[HT_CFS_AFTER_DELETE_WORDS];
uintptr_t HTTransmogrify_makeWarning;
const int CCAPIVersion[2] = {1, 0};
// Host cache results 1 to 30 become API codes 13 to 42; 0 and 31 to 33 are success.
const int errmap[HT_ERRMAP_SIZE] = {
    0,  13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
    29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 0,  0,  0};
}

#if UINTPTR_MAX == 0xFFFFFFFFu
// The production target's record sizes, which plug-ins were built against.
static_assert(sizeof HTMyStaticConfig == 500);
static_assert(sizeof HTCFs_afterDeleteCallbacks == 40);
static_assert(sizeof HTTransmogrify_makeWarning == 4);
static_assert(sizeof tqos_key == 4);
#endif
static_assert(sizeof errmap == 34 * sizeof(int) && sizeof CCAPIVersion == 2 * sizeof(int));

extern "C" PLUGRT_EXPORT HTAPIdata *HTAPIdata_new(void *pool) noexcept
{
    using namespace plugrt;
    HTAPI_TRACE(traces(kTraceApi), "plug-in..... Create a new API data structure\n");
    auto alloc = entry<HTCB_POOL_ALLOC>();
    auto *r = alloc ? static_cast<HTAPIdata *>(alloc(sizeof(HTAPIdata), pool)) : nullptr;
    if (r == nullptr)
        return nullptr;
    r->flags &= ~HTAPI_FLAGS_LIBRARY;
    r->output = nullptr;
    r->transmogrifier = nullptr;
    r->user_variables = nullptr;
    r->status = 0;
    auto atom = entry<HTCB_ATOM>();
    const char *no = atom ? atom("NO") : nullptr;
    r->convert_request_body = no ? no : "NO";
    r->chunk_state = HTAPI_CHUNK_SIZE_LINE;
    r->chunk_left = 0;
    std::memset(r->host, 0, sizeof r->host);
    return r;
}

extern "C" PLUGRT_EXPORT void HTAPIdata_delete(HTAPIdata *record) noexcept
{
    using namespace plugrt;
    if (record == nullptr)
        return;
    HTAPI_TRACE(traces(kTraceApi), "plug-in..... Deleting API data structure\n");
    if (record->user_variables != nullptr) {
        if (auto release = entry<HTCB_USERVAR_RELEASE>())
            release(record->user_variables);
        record->user_variables = nullptr;
    }
}

extern "C" PLUGRT_EXPORT void *HTUser_new(void) noexcept
{
    constexpr std::size_t size = HT_USER_WORDS * sizeof(uintptr_t);
    auto *u = static_cast<uintptr_t *>(std::malloc(size));
    if (u == nullptr)
        out_of_memory(plugrt::kSourceId, "HTUser_new", __LINE__, size);
    // The first word is the caller's.
    for (int i = 1; i < HT_USER_WORDS; ++i)
        u[i] = 0;
    return u;
}

namespace {

void unsupported(const char *line, long *rc) noexcept
{
    if (plugrt::traces(plugrt::kTraceApi))
        plugrt::emit(line);
    if (rc != nullptr)
        *rc = HTTPD_UNSUPPORTED;
}

} // namespace

extern "C" PLUGRT_EXPORT void HTATTRIB(void *, void *, void *, void *, void *, void *, long *rc) noexcept
{
    unsupported("plug-in..... HTTPD_attributes() unsupported.\n", rc);
}

extern "C" PLUGRT_EXPORT void HTREVTRA(void *, void *, void *, void *, void *, void *, long *rc) noexcept
{
    unsupported("plug-in..... HTTPD_reverse_translate() unsupported.\n", rc);
}

extern "C" PLUGRT_EXPORT void HTTRANS(void *, void *, void *, void *, void *, void *, long *rc) noexcept
{
    unsupported("plug-in..... HTTPD_translate() unsupported.\n", rc);
}
