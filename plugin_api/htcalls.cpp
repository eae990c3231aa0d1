// Authentication, scripts, files, escaping, logs, restart, proxying, labels,
// variants, rewriting and the pool calls.

#include "htcalls.h"

#include "htapi.h"
#include "htapibody.h"
#include "htstream.h"
#include "mogrify.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace plugrt {
namespace {

constexpr int kHostDone = 200;       // entries 17 and 18: done
constexpr int kAuthFound = 1;        // entry 44 answers non-zero for good credentials
constexpr long kVariantFound = 1;    // entry 125
constexpr char kFreeWarning[] =
    "[00/Mon/Year:Hr:Mi:Se -0000] Do not call HTTPD_MP_free!\n\t\t Memory from pool will be freed later.";

bool in_steps(int step, std::initializer_list<int> steps)
{
    for (int s : steps)
        if (s == step)
            return true;
    return false;
}

// 11 and 9 as HTTPD_write gives them; 0 when output is still accepted.
long output_refused(const HTAPIdata *api)
{
    if (api->flags & HTAPI_FLAG_NO_OUTPUT)
        return HTTPD_NO_OUTPUT;
    if ((api->status == 412 || api->status == 304) && api->output == nullptr)
        return HTTPD_BODY_FAILURE;
    return HTTPD_SUCCESS;
}

HTAPIRequest *request_of(Frame &f)
{
    HTAPIRequest *r = f.handle()->request;
    return r != nullptr && r->api != nullptr ? r : nullptr;
}

// HTTPD_exec and HTTPD_file: output still accepted (11, 9), the name copied
// (2), the step allowed (4). The pool copy of the name, or null once the
// call has been finished.
char *response_call(Frame &f, const char *name, const unsigned long *length,
                    std::initializer_list<int> steps, HTAPIRequest **request)
{
    if (!f.live())
        return nullptr;
    HTAPIRequest *r = request_of(f);
    if (r == nullptr) {
        f.finish(HTTPD_FAILURE);
        return nullptr;
    }
    if (long refused = output_refused(r->api)) {
        f.finish(refused);
        return nullptr;
    }
    char *copy = f.copy(name, *length);
    if (copy == nullptr) {
        f.finish(f.no_memory());
        return nullptr;
    }
    if (!in_steps(r->step, steps)) {
        f.finish(HTTPD_WRONG_STEP);
        return nullptr;
    }
    *request = r;
    return copy;
}

// Writes "%s" with the text to the log of that kind; the buffer is freed here.
long log_text(Frame &f, int kind, char *buffer)
{
    auto log = f.need<HTCB_LOG>();
    if (log != nullptr)
        log(kind, "%s", buffer);
    std::free(buffer);
    return log ? HTTPD_SUCCESS : HTTPD_UNSUPPORTED;
}

// A malloc copy of the text, terminated; null when the sum would wrap or memory is short.
char *heap_copy(const char *text, std::size_t length)
{
    if (length >= SIZE_MAX)
        return nullptr;
    auto *p = static_cast<char *>(std::malloc(length + 1));
    if (p != nullptr) {
        std::memcpy(p, text, length);
        p[length] = '\0';
    }
    return p;
}

void plain_log(void *handle, const char *text, unsigned long *length, long *rc, Api api, int kind)
{
    Frame f(api, handle, rc, {text, length, nullptr, nullptr, nullptr});
    if (!f.live())
        return;
    char *copy = heap_copy(text, *length);
    if (copy == nullptr) {
        f.finish(HTTPD_NO_MEMORY);
        return;
    }
    f.finish(log_text(f, kind, copy));
}

int method_code(const char *name)
{
    static const struct {
        const char *name;
        int code;
    } kMethods[] = {{"GET", HTAPI_METHOD_GET},
                    {"HEAD", HTAPI_METHOD_HEAD},
                    {"POST", HTAPI_METHOD_POST},
                    {"PUT", HTAPI_METHOD_PUT}};
    for (const auto &m : kMethods)
        if (std::strcmp(m.name, name) == 0)
            return m.code;
    return -1;
}

void proxy(void *handle, const char *url, unsigned long *url_length, const char *body,
           unsigned long *body_length, long *rc, Api api)
{
    Frame f(api, handle, rc, {url, url_length, body, body_length, nullptr});
    if (!f.live())
        return;
    HTAPIRequest *r = request_of(f);
    if (r == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    if (!in_steps(r->step, {HTAPI_STEP_REQUEST_START, HTAPI_STEP_ROUTING, HTAPI_STEP_SERVICE})) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    char *target = f.copy(url, *url_length);
    auto get_text = f.need<HTCB_REQUEST_TEXT>();
    auto set_url = f.need<HTCB_SET_URL>();
    auto prepare = f.need<HTCB_PREPARE_PROXY>();
    auto run = f.need<HTCB_PROXY_RUN>();
    auto origin_field = f.need<HTCB_ORIGIN_FIELD>();
    auto replace = f.need<HTCB_PROXY_HEADER_REPLACE>();
    if (f.missing()) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    if (target == nullptr) {
        f.finish(f.no_memory());
        return;
    }
    HTAPIHandle *h = f.handle();
    const char *old_url = get_text(h, HTAPI_URL);
    char *saved_url = old_url ? f.copy(old_url, std::strlen(old_url)) : nullptr;
    if (old_url != nullptr && saved_url == nullptr) {
        f.finish(f.no_memory());
        return;
    }
    const int saved_method = r->method;
    const char *method = origin_field(h, HTAPI_FIELD_METHOD);
    if (method != nullptr && method_code(method) >= 0)
        r->method = method_code(method);
    long code = HTTPD_FAILURE;
    if (set_url(h, target) == kHostDone && prepare(h) == kHostDone) {
        code = HTTPD_SUCCESS;
        // The plug-in's body is copied: its memory stays the plug-in's.
        if (body != nullptr && body_length != nullptr && *body_length != 0 && h->body == nullptr &&
            !store_body(h, body, *body_length, false, false))
            code = HTTPD_BODY_FAILURE;
        if (code == HTTPD_SUCCESS &&
            (r->method == HTAPI_METHOD_POST || r->method == HTAPI_METHOD_PUT || h->body_used != 0)) {
            // What is sent is the stored body: Content-Length says exactly that.
            char *length = f.format("%lu", static_cast<unsigned long>(h->body_used));
            if (length == nullptr) {
                code = f.no_memory();
            } else {
                HTAPI_TRACE(f.tracing(),
                            "plug-in..... %s() resetting Content-Length header to %s for POST/PUT.\n",
                            f.api(), length);
                replace(h, "Content-Length", length, 0);
            }
        }
        if (code == HTTPD_SUCCESS)
            code = run(h) >= 0 ? HTTPD_PROXIED : HTTPD_FAILURE;
        std::free(h->body);
        h->body = nullptr;
        h->body_used = 0;
        h->body_capacity = 0;
        r->api->flags |= HTAPI_FLAG_NO_OUTPUT;
    }
    if (saved_url != nullptr)
        set_url(h, saved_url);
    r->method = saved_method;
    f.finish(code);
}

void escape(const char *api, int which, const char *input, unsigned long *length, char *output,
            long *rc)
{
    const bool tracing = traces(kTraceApi);
    HTAPI_TRACE(tracing, "plug-in..... %s() called \n", api);
    if (rc == nullptr)
        return;
    long code = HTTPD_BAD_ARGUMENT;
    if (input != nullptr && output != nullptr && length != nullptr && length_ok(*length)) {
        code = HTTPD_UNSUPPORTED;
        if (which == HTCB_ENCODE) {
            if (auto f = entry<HTCB_ENCODE>())
                code = (f(input, length, output), HTTPD_DONE);
        } else if (auto f = entry<HTCB_DECODE>()) {
            code = (f(input, length, output), HTTPD_DONE);
        }
    }
    *rc = code;
    HTAPI_TRACE(tracing, "plug-in..... %s() return code %d\n", api, static_cast<int>(code));
}

void *pool_of(void *pool)
{
    return resolve_handle(pool);
}

const char *text_or_null(const char *t)
{
    return t ? t : "NULL";
}

} // namespace
} // namespace plugrt

using namespace plugrt;

extern "C" PLUGRT_EXPORT void HTAUTHEN(void *handle, long *return_code) noexcept
{
    Frame f(Api::Authenticate, handle, return_code, {});
    if (!f.live())
        return;
    HTAPIRequest *r = request_of(f);
    if (r == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    if (r->api->flags & HTAPI_FLAG_NO_OUTPUT) {
        f.finish(HTTPD_NO_OUTPUT);
        return;
    }
    if (!in_steps(r->step, {HTAPI_STEP_REQUEST_START, HTAPI_STEP_AUTHENTICATION,
                            HTAPI_STEP_AUTHORIZATION, HTAPI_STEP_ROUTING})) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    if (r->auth_scheme == HTAPI_AUTH_NONE) {
        f.finish(HTTPD_BAD_ARGUMENT);
        return;
    }
    auto text = f.need<HTCB_AUTH_TEXT>();
    auto check = f.need<HTCB_CHECK_CREDENTIALS>();
    if (f.missing()) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    HTAPIHandle *h = f.handle();
    const bool password_scheme = in_steps(r->auth_scheme, {HTAPI_AUTH_BASIC, HTAPI_AUTH_FORM, HTAPI_AUTH_CERT});
    int good = 0;
    if (password_scheme && !r->auth_flag)
        good = check(h, text(h, HTAPI_USERNAME), text(h, HTAPI_PASSWORD));
    else
        good = check(h, text(h, HTAPI_AUTH_STRING), nullptr);
    f.finish(good == kAuthFound || good != 0 ? HTTPD_SUCCESS : HTTPD_NOT_AUTHENTICATED);
}

extern "C" PLUGRT_EXPORT void HTEXEC(void *handle, const char *script, unsigned long *length,
                                     long *return_code) noexcept
{
    Frame f(Api::Exec, handle, return_code, {script, length, nullptr, nullptr, nullptr});
    HTAPIRequest *r = nullptr;
    char *name = response_call(f, script, length,
                               {HTAPI_STEP_REQUEST_START, HTAPI_STEP_AUTHORIZATION, HTAPI_STEP_ROUTING,
                                HTAPI_STEP_SERVICE, HTAPI_STEP_ERROR},
                               &r);
    if (name == nullptr)
        return;
    auto record = f.need<HTCB_SET_SCRIPT>();
    auto run = f.need<HTCB_RUN_SCRIPT>();
    auto done = f.need<HTCB_SCRIPT_DONE>();
    if (f.missing()) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    record(f.handle(), name);
    FILE *output = run(f.handle());
    if (output == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    const int loaded = HTLoadScriptResultAPI(output, r->api->output, r->header, f.handle());
    done(f.handle(), output);
    f.finish(loaded == HTAPI_SCRIPT_LOADED ? HTTPD_SUCCESS : HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTFILE(void *handle, const char *name, unsigned long *length,
                                     long *return_code) noexcept
{
    Frame f(Api::File, handle, return_code, {name, length, nullptr, nullptr, nullptr});
    HTAPIRequest *r = nullptr;
    char *path = response_call(f, name, length,
                               {HTAPI_STEP_REQUEST_START, HTAPI_STEP_AUTHORIZATION, HTAPI_STEP_ROUTING,
                                HTAPI_STEP_SERVICE, HTAPI_STEP_DATA_FILTER, HTAPI_STEP_TRANSMOGRIFIER,
                                HTAPI_STEP_ERROR},
                               &r);
    if (path == nullptr)
        return;
    auto send = f.need<HTCB_SEND_FILE>();
    if (send == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    HTStream *out = nullptr;
    if (r->step == HTAPI_STEP_TRANSMOGRIFIER) {
        auto *t = static_cast<TransmogrifierHead *>(r->api->transmogrifier);
        out = t ? t->target : nullptr;
    } else {
        if (r->api->output == nullptr) {
            auto client = f.need<HTCB_RESPONSE_STREAM>();
            auto convert = f.need<HTCB_CONVERSION_STREAM>();
            auto type_of = entry<HTCB_RESPONSE_TEXT>();
            HTStream *raw = client ? client(f.handle()) : nullptr;
            const char *type = type_of ? type_of(f.handle(), HTAPI_RESP_CONTENT_TYPE) : nullptr;
            HTStream *s = convert && raw ? convert(f.handle(), type ? type : "text/plain", raw) : nullptr;
            r->api->output = s ? s : raw;
        }
        out = r->api->output;
    }
    const int sent = out ? send(f.handle(), file, out) : 1;
    std::fclose(file);
    f.finish(sent == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTENC(void *, const char *input, unsigned long *length, char *output,
                                    long *return_code) noexcept
{
    escape("HTTPD_encode", HTCB_ENCODE, input, length, output, return_code);
}

extern "C" PLUGRT_EXPORT void HTDEC(void *, const char *input, unsigned long *length, char *output,
                                    long *return_code) noexcept
{
    escape("HTTPD_decode", HTCB_DECODE, input, length, output, return_code);
}

extern "C" PLUGRT_EXPORT void HTLOGE(void *handle, const char *text, unsigned long *length,
                                     long *return_code) noexcept
{
    Frame f(Api::LogError, handle, return_code, {text, length, nullptr, nullptr, nullptr});
    if (!f.live())
        return;
    auto stamp_of = f.need<HTCB_TIME_STAMP>();
    const char *stamp = stamp_of ? stamp_of() : nullptr;
    if (stamp == nullptr)
        stamp = "";
    // "[" stamp "] " text "\n": measured, never assumed.
    const std::size_t stamp_length = std::strlen(stamp);
    std::size_t size = 0;
    if (__builtin_add_overflow(stamp_length, static_cast<std::size_t>(*length), &size) ||
        __builtin_add_overflow(size, std::size_t{5}, &size)) {
        f.finish(HTTPD_NO_MEMORY);
        return;
    }
    auto *buffer = static_cast<char *>(std::malloc(size));
    if (buffer == nullptr) {
        f.finish(HTTPD_NO_MEMORY);
        return;
    }
    char *w = buffer;
    *w++ = '[';
    std::memcpy(w, stamp, stamp_length);
    w += stamp_length;
    *w++ = ']';
    *w++ = ' ';
    std::memcpy(w, text, *length);
    w += *length;
    *w++ = '\n';
    *w = '\0';
    f.finish(log_text(f, HTAPI_LOG_ERROR, buffer));
}

extern "C" PLUGRT_EXPORT void HTLOGT(void *handle, const char *text, unsigned long *length,
                                     long *return_code) noexcept
{
    Frame f(Api::LogTrace, handle, return_code, {text, length, nullptr, nullptr, nullptr});
    if (!f.live())
        return;
    auto level = f.need<HTCB_TRACE_LEVEL>();
    if (level == nullptr || level() == 0) {
        HTAPI_TRACE(f.tracing(), "plug-in..... traceFlag level == LEVEL_OFF, skip.\n");
        f.finish(level ? HTTPD_SUCCESS : HTTPD_UNSUPPORTED);
        return;
    }
    char *line = static_cast<char *>(f.alloc(static_cast<std::size_t>(*length) + 2));
    if (line == nullptr) {
        f.finish(f.no_memory());
        return;
    }
    std::memcpy(line, text, *length);
    line[*length] = '\n';
    line[*length + 1] = '\0';
    emit("%s", line);
    f.finish(HTTPD_SUCCESS);
}

extern "C" PLUGRT_EXPORT void HTLOGA(void *handle, const char *text, unsigned long *length,
                                     long *return_code) noexcept
{
    plain_log(handle, text, length, return_code, Api::LogAccess, HTAPI_LOG_ACCESS);
}

extern "C" PLUGRT_EXPORT void HTLOGV(void *handle, const char *text, unsigned long *length,
                                     long *return_code) noexcept
{
    plain_log(handle, text, length, return_code, Api::LogEvent, HTAPI_LOG_EVENT);
}

extern "C" PLUGRT_EXPORT void HTREST(long *return_code) noexcept
{
    // The calling thread's current request, always.
    auto key = entry<HTCB_THREAD_KEY>();
    void *current = key ? pthread_getspecific(key()) : nullptr;
    Frame f(Api::Restart, current, return_code, {});
    if (!f.live())
        return;
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || in_steps(r->step, {HTAPI_STEP_NONE, HTAPI_STEP_DATA_FILTER, HTAPI_STEP_LOG})) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    auto restart = f.need<HTCB_RESTART>();
    if (restart == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    restart(f.handle(), 0);
    f.finish(HTTPD_SUCCESS);
}

extern "C" PLUGRT_EXPORT void HTPROXY(void *handle, const char *url, unsigned long *url_length,
                                      const char *body, unsigned long *body_length,
                                      long *return_code) noexcept
{
    proxy(handle, url, url_length, body, body_length, return_code, Api::Proxy);
}

extern "C" PLUGRT_EXPORT void HTNOAUPXY(void *handle, const char *url, unsigned long *url_length,
                                        const char *body, unsigned long *body_length,
                                        long *return_code) noexcept
{
    proxy(handle, url, url_length, body, body_length, return_code, Api::NoAuthProxy);
}

extern "C" PLUGRT_EXPORT void HTSUPLBL(void *handle, const char *label, unsigned long *length,
                                       long *return_code) noexcept
{
    Frame f(Api::SupplyLabel, handle, return_code, {label, length, nullptr, nullptr, nullptr});
    if (!f.live())
        return;
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || r->step != HTAPI_STEP_LABEL) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    char *copy = f.copy(label, *length);
    auto supply = f.need<HTCB_SUPPLY_LABEL>();
    if (supply == nullptr || copy == nullptr) {
        f.finish(supply ? f.no_memory() : HTTPD_UNSUPPORTED);
        return;
    }
    supply(f.handle(), copy);
    f.finish(HTTPD_SUCCESS);
}

extern "C" PLUGRT_EXPORT void htvins(void *handle, const char *uri, const char *dimension,
                                     const char *variant, const char *file, long *return_code) noexcept
{
    Frame f(Api::VariantInsert, handle, return_code, {});
    if (!f.live())
        return;
    if (uri == nullptr || dimension == nullptr || variant == nullptr || file == nullptr) {
        f.finish(HTTPD_BAD_ARGUMENT);
        return;
    }
    auto insert = f.need<HTCB_VARIANT_INSERT>();
    const long retc = insert ? insert(f.handle(), uri, dimension, variant, file) : HTTPD_UNSUPPORTED;
    HTAPI_TRACE(f.tracing(), "plug-in..... httpd_variant_insert()... retc %ld \n", retc);
    f.finish(retc);
}

extern "C" PLUGRT_EXPORT void htvfind(void *handle, const char *uri, const char *dimension,
                                      const char *variant, long *return_code) noexcept
{
    Frame f(Api::VariantLookup, handle, return_code, {});
    if (!f.live())
        return;
    if (uri == nullptr || dimension == nullptr || variant == nullptr) {
        f.finish(HTTPD_BAD_ARGUMENT);
        return;
    }
    auto lookup = f.need<HTCB_VARIANT_LOOKUP>();
    const long retc = lookup ? lookup(f.handle(), uri, dimension, variant) : 0;
    HTAPI_TRACE(f.tracing(), "plug-in..... httpd_variant_lookup() retc %ld \n", retc);
    f.finish(retc == kVariantFound ? HTTPD_SUCCESS : HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTURLRW(void *handle, void *a, void *b, void *c, void *d, void *e,
                                      long *return_code) noexcept
{
    Frame f(Api::UrlRewrite, handle, return_code, {});
    if (!f.live())
        return;
    if (a == nullptr || b == nullptr || c == nullptr || d == nullptr || e == nullptr) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_urlrewrite() got (a) null pointer argument(s).\n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || r->step != HTAPI_STEP_TRANSMOGRIFIER) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_urlrewrite() can only be called in transmogrify step.\n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    auto rewrite = f.need<HTCB_URL_REWRITE>();
    f.finish(rewrite ? rewrite(f.handle(), a, b, c, d, e) : HTTPD_UNSUPPORTED);
}

extern "C" PLUGRT_EXPORT void HTINVURLRW(void *handle, const char *url, char **rewritten,
                                         long *return_code) noexcept
{
    Frame f(Api::InvUrlRewrite, handle, return_code, {});
    if (!f.live())
        return;
    if (rewritten != nullptr)
        *rewritten = nullptr;
    if (url == nullptr || rewritten == nullptr) {
        f.finish(HTTPD_BAD_ARGUMENT);
        return;
    }
    char *copy = f.copy(url, std::strlen(url));
    auto inverse = f.need<HTCB_INV_URL_REWRITE>();
    if (copy == nullptr || inverse == nullptr) {
        f.finish(inverse ? f.no_memory() : HTTPD_UNSUPPORTED);
        return;
    }
    *rewritten = inverse(f.handle(), copy);
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_inv_url_rewrite %s --> %s.\n", url, text_or_null(*rewritten));
    f.finish(HTTPD_SUCCESS);
}

namespace {

// A call the host carries out whole: the entry is called with the request
// and the plug-in's arguments, and the result says only whether the host
// has that entry.
template <int N, typename... Args>
void hand_to_host(Api api, void *handle, long *return_code, long done, Args... args) noexcept
{
    Frame f(api, handle, return_code, {});
    if (!f.live())
        return;
    auto entry = f.need<N>();
    if (entry != nullptr)
        entry(f.handle(), args...);
    f.finish(entry ? done : HTTPD_UNSUPPORTED);
}

} // namespace

extern "C" PLUGRT_EXPORT void HTCOOKIERW(void *handle, void *a, void *b, void *c, long *return_code) noexcept
{
    hand_to_host<HTCB_COOKIE_REWRITE>(Api::CookieRewrite, handle, return_code, HTTPD_SUCCESS, a, b, c);
}

extern "C" PLUGRT_EXPORT void HTADDRWTAG(void *handle, void *a, void *b, long *return_code) noexcept
{
    hand_to_host<HTCB_REWRITE_TAG_ADD>(Api::AddRewriteTag, handle, return_code, HTTPD_DONE, a, b);
}

extern "C" PLUGRT_EXPORT void HTREMRWTAG(void *handle, void *a, void *b, long *return_code) noexcept
{
    hand_to_host<HTCB_REWRITE_TAG_REMOVE>(Api::RemoveRewriteTag, handle, return_code, HTTPD_DONE, a, b);
}

// ---- the request's pool ----

extern "C" PLUGRT_EXPORT void *HTMPMALLOC(void *pool, long size) noexcept
{
    void *p = nullptr;
    void *owner = pool_of(pool);
    if (size >= 0 && owner != nullptr)
        if (auto alloc = entry<HTCB_POOL_ALLOC>())
            p = alloc(static_cast<std::size_t>(size), owner);
    HTAPI_TRACE(traces(kTraceApi), "plug-in..... HTTPD_MP_malloc(0x%lx, %ld) ->0x%lx<-.\n",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pool)), size,
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return p;
}

extern "C" PLUGRT_EXPORT void *HTMPCALLOC(void *pool, long count, long size) noexcept
{
    void *p = nullptr;
    void *owner = pool_of(pool);
    unsigned long total = 0;
    if (count > 0 && size > 0 && owner != nullptr &&
        !__builtin_mul_overflow(static_cast<unsigned long>(count), static_cast<unsigned long>(size), &total))
        if (auto calloc = entry<HTCB_POOL_CALLOC>())
            p = calloc(static_cast<std::size_t>(count), static_cast<std::size_t>(size), owner);
    HTAPI_TRACE(traces(kTraceApi), "plug-in..... HTTPD_MP_calloc(0x%lx, %ld, %ld) ->0x%lx<-.\n",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pool)), count, size,
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return p;
}

extern "C" PLUGRT_EXPORT char *HTMPSTRDUP(void *pool, const char *text) noexcept
{
    char *p = nullptr;
    void *owner = pool_of(pool);
    if (text != nullptr && owner != nullptr)
        if (auto dup = entry<HTCB_POOL_STRDUP>())
            p = dup(text, owner);
    HTAPI_TRACE(traces(kTraceApi), "plug-in..... HTTPD_MP_strdup(0x%lx, %s) ->0x%lx<-.\n",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pool)), text_or_null(text),
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return p;
}

extern "C" PLUGRT_EXPORT char *HTMPSTRCAT(void *pool, const char *a, const char *b) noexcept
{
    char *p = nullptr;
    void *owner = pool_of(pool);
    if (owner != nullptr && (a != nullptr || b != nullptr)) {
        if (a != nullptr && b != nullptr) {
            if (auto cat = entry<HTCB_POOL_STRCAT>())
                p = cat(a, b, owner);
        } else if (auto dup = entry<HTCB_POOL_STRDUP>()) {
            p = dup(a ? a : b, owner);
        }
    }
    HTAPI_TRACE(traces(kTraceApi), "plug-in..... HTTPD_MP_strcat(0x%lx, %s, %s) ->%s<-.\n",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pool)), text_or_null(a),
                text_or_null(b), text_or_null(p));
    return p;
}

extern "C" PLUGRT_EXPORT void HTMPFREE(void *) noexcept
{
    if (auto log = entry<HTCB_LOG>())
        log(HTAPI_LOG_ERROR, "%s", kFreeWarning);
}
