/*
 * htapi: the frame that every request-bound entry point of libplugrt shares.
 *
 * One row per entry point (PLUGRT_FRAMES) gives its API name, the argument
 * checks and the argument trace; Frame carries a call through the common
 * steps: the "called" line, the null result pointer, the checks, the
 * null-handle fallback, the argument line, and at the end the result line.
 * Callbacks are reached through Frame::need, which records a missing entry
 * so that the call answers -1.
 *
 * Nothing here owns a resource: every type is trivially destructible, so the
 * host's out-of-memory jump may leave any frame.
 */
#ifndef HTAPI_H
#define HTAPI_H

#include "htapi_cb.h"

#include <cstdarg>
#include <cstdio>
#include <type_traits>

namespace plugrt {

// Entry N of the installed table, or null (no table yet, or left out).
template <int N> inline typename Cb<N>::fn *entry() noexcept
{
    HTAPICallback *t = all_api_callbacks;
    return t ? reinterpret_cast<typename Cb<N>::fn *>(t[N]) : nullptr;
}

// Trace categories the host is asked about (entry 89).
constexpr int kTraceApi = 38;
constexpr int kTraceStored = 64;
constexpr int kTraceChunk = 37;

// Whether lines of the category are wanted: the level first, one call.
bool traces(int category) noexcept;

// One trace line through entry 15; nothing without it.
template <class... A> inline void emit(const char *format, A... args) noexcept
{
    if (auto f = entry<HTCB_TRACE>())
        f(stderr, format, args...);
}

// A trace line when `on`; the format is checked as printf's.
#define HTAPI_TRACE(on, ...)                  \
    do {                                      \
        if (on) {                             \
            if (false)                        \
                std::printf(__VA_ARGS__);     \
            ::plugrt::emit(__VA_ARGS__);      \
        }                                     \
    } while (0)

// Lengths below 2^31: `length + 1` cannot wrap and "%.*s" takes an int.
constexpr unsigned long kMaxLength = 0x7FFFFFFFul;
inline bool length_ok(unsigned long n) noexcept { return n <= kMaxLength; }

// Argument checks of a row; each failed check gives the row's bad-argument code.
enum : unsigned {
    kCheckName = 1,      // a1 and *l1 set, 0 < *l1 < 2^31
    kCheckBuffer = 2,    // a2 and *l2 set, 0 < *l2 < 2^31
    kCheckValue = 4,     // a2 and l2 set, *l2 < 2^31 (zero allowed)
    kCheckValueOpt = 8,  // a2 and l2 may be null; *l2 < 2^31 when given
    kCheckSelector = 16, // a3 set
    kCheckText = 32,     // a1 a non-empty text
    kCheckText2 = 64,    // a2 a text
    kCheckOut = 128      // a3 set
};

// How a row's argument line is written.
enum class ArgLine : unsigned char { Name, NameValue, Buffer, Size, Text, TextValue, None };

// Texts of the calls whose bad arguments are answered otherwise than with 3.
#define HTAPI_GETVAR_BAD "plug-in..... httpd_getvar() parameter error\n"
#define HTAPI_GETVARINT_BAD "plug-in...... httpd_getvarint() no such variable\n"
#define HTAPI_SETVARINT_BAD "plug-in...... httpd_setvariant() no such variable\n"

// id, API name, checks, argument line, code and line for bad arguments.
#define PLUGRT_FRAMES(X)                                                                      \
    X(Extract, "HTTPD_extract", kCheckName | kCheckBuffer, ArgLine::Name, 3, nullptr)        \
    X(BinExtract, "HTTPD_binextract", kCheckName | kCheckBuffer, ArgLine::Name, 3, nullptr)  \
    X(Set, "HTTPD_set", kCheckName | kCheckValue, ArgLine::NameValue, 3, nullptr)            \
    X(BinSet, "HTTPD_binset", kCheckName | kCheckValue, ArgLine::Name, 3, nullptr)           \
    X(Replace, "HTTPD_replace", kCheckName | kCheckValueOpt | kCheckSelector,                \
      ArgLine::NameValue, 3, nullptr)                                                        \
    X(GetVar, "httpd_getvar", kCheckText | kCheckSelector, ArgLine::Text, 3, HTAPI_GETVAR_BAD) \
    X(SetVar, "httpd_setvar", kCheckText | kCheckText2 | kCheckSelector, ArgLine::TextValue, \
      3, nullptr)                                                                            \
    X(GetVarInt, "httpd_getvarint", kCheckText | kCheckOut, ArgLine::Text, 1,                \
      HTAPI_GETVARINT_BAD)                                                                   \
    X(SetVarInt, "httpd_setvarint", kCheckText, ArgLine::Text, 1, HTAPI_SETVARINT_BAD)       \
    X(Read, "HTTPD_read", kCheckBuffer, ArgLine::Buffer, 3, nullptr)                         \
    X(Write, "HTTPD_write", kCheckBuffer, ArgLine::Size, 3, nullptr)                         \
    X(Open, "HTTPD_open", 0, ArgLine::None, 3, nullptr)                                      \
    X(Close, "HTTPD_close", 0, ArgLine::None, 3, nullptr)                                    \
    X(GetAsync, "HTTPD_get_async_handle", 0, ArgLine::None, 1, nullptr)                      \
    X(StartHttp, "HTTPD_start_http_req", 0, ArgLine::None, 1, nullptr)                       \
    X(WaitAsync, "HTTPD_wait_async_handle", 0, ArgLine::None, 1, nullptr)                    \
    X(DeleteAsync, "HTTPD_delete_async_handle", 0, ArgLine::None, 1, nullptr)                \
    X(Cacheable, "HTTPD_cacheable_url", 0, ArgLine::None, 1, nullptr)                        \
    X(CachegInvalidate, "HTTPD_cacheg_invalidate_url", 0, ArgLine::None, 1, nullptr)         \
    X(CachegOwner, "HTTPD_cacheg_url_owner", 0, ArgLine::None, 1, nullptr)                   \
    X(CachePeek, "HTTPD_cache_peek", 0, ArgLine::None, 3, nullptr)                           \
    X(Authenticate, "HTTPD_authenticate", 0, ArgLine::None, 3, nullptr)                      \
    X(Exec, "HTTPD_exec", kCheckName, ArgLine::Name, 3, nullptr)                             \
    X(File, "HTTPD_file", kCheckName, ArgLine::Name, 3, nullptr)                             \
    X(LogError, "HTTPD_log_error", kCheckName, ArgLine::None, 3, nullptr)                    \
    X(LogTrace, "HTTPD_log_trace", kCheckName, ArgLine::None, 3, nullptr)                    \
    X(LogAccess, "HTTPD_log_access", kCheckName, ArgLine::None, 3, nullptr)                  \
    X(LogEvent, "HTTPD_log_event", kCheckName, ArgLine::None, 3, nullptr)                    \
    X(Restart, "HTTPD_restart", 0, ArgLine::None, 3, nullptr)                                \
    X(Proxy, "HTTPD_proxy", kCheckName | kCheckValueOpt, ArgLine::Name, 3, nullptr)          \
    X(NoAuthProxy, "HTTPD_noauth_proxy", kCheckName | kCheckValueOpt, ArgLine::Name, 3,      \
      nullptr)                                                                               \
    X(SupplyLabel, "HTTPD_supply_label", kCheckName, ArgLine::Name, 3, nullptr)              \
    X(VariantInsert, "httpd_variant_insert", 0, ArgLine::None, 3, nullptr)                   \
    X(VariantLookup, "httpd_variant_lookup", 0, ArgLine::None, 3, nullptr)                   \
    X(UrlRewrite, "HTTPD_urlrewrite", 0, ArgLine::None, 1, nullptr)                          \
    X(InvUrlRewrite, "HTTPD_inv_url_rewrite", 0, ArgLine::None, 3, nullptr)                  \
    X(CookieRewrite, "HTTPD_junctionrewritesetcookie", 0, ArgLine::None, 3, nullptr)         \
    X(AddRewriteTag, "HTTPD_add_rewrite_tag", 0, ArgLine::None, 3, nullptr)                  \
    X(RemoveRewriteTag, "HTTPD_remove_rewrite_tag", 0, ArgLine::None, 3, nullptr)

enum class Api : unsigned char {
#define PLUGRT_FRAME_ID_(id, api, checks, line, bad, text) id,
    PLUGRT_FRAMES(PLUGRT_FRAME_ID_)
#undef PLUGRT_FRAME_ID_
};

// The arguments the checks and the argument line look at.
struct Args {
    const void *a1;
    const unsigned long *l1;
    const void *a2;
    const unsigned long *l2;
    const void *a3;
};

class Frame {
public:
    // Steps 1 to 5. `rc` may be null (the call then ends after the "called" line).
    Frame(Api api, void *handle, long *rc, const Args &args) noexcept;

    bool live() const noexcept { return live_; }
    bool tracing() const noexcept { return tracing_; }
    HTAPIHandle *handle() const noexcept { return h_; }
    const char *api() const noexcept;

    // Entry N for a call that cannot do without it; a missing one makes the result -1.
    template <int N> typename Cb<N>::fn *need() noexcept
    {
        auto f = entry<N>();
        if (f == nullptr)
            missing_ = true;
        return f;
    }
    bool missing() const noexcept { return missing_; }

    // Step 7: stores the code (or -1 after a missing entry) and traces it.
    void finish(long code) noexcept;
    long result() const noexcept { return rc_ ? *rc_ : -1; }

    // Request memory (entry 46, 48): null when the pool gives none.
    void *alloc(std::size_t size) noexcept;
    // A terminated pool copy of `length` bytes.
    char *copy(const char *data, std::size_t length) noexcept;
    // A pool text formatted in a buffer of exactly its size.
    char *format(const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
    // 2 for a failed allocation, or -1 when the pool entries are missing.
    long no_memory() const noexcept { return missing_ ? HTTPD_UNSUPPORTED : HTTPD_NO_MEMORY; }

private:
    Api api_;
    long *rc_;
    HTAPIHandle *h_ = nullptr;
    bool tracing_ = false;
    bool live_ = false;
    bool missing_ = false;
};
static_assert(std::is_trivially_destructible_v<Frame>);

} // namespace plugrt

#endif
