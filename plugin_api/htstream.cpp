// The data filter and CGI streams, the generic operations, the script loader.

#include "htstream.h"

#include "htapi.h"
#include "htapi_imports.h"

#include <cstring>

namespace plugrt {
namespace {

const char kSourceId[] = "plugin_api/htstream.cpp";

constexpr long kOpenAccepted = 200;  // a filter's open that keeps it in the chain
constexpr std::size_t kScriptBlock = 1024;
constexpr std::size_t kScriptBuffer = kScriptBlock + 2;
// A script header line is carried across blocks up to this length; the rest
// of a longer line is skipped.
constexpr std::size_t kScriptLineMax = 8192;
constexpr unsigned long kAddMode = 2; // httpd_setvar: add

struct FilterStream {
    StreamHead head;
    HTFilterOpen open;
    HTFilterWrite write;
    HTFilterClose close;
    HTAPIHandle *handle;
};

struct CgiStream {
    StreamHead head;
    int one;
    HTAPIHandle *handle;
};

bool api_traces() noexcept
{
    return traces(kTraceApi);
}

// ---- data filter ----

FilterStream *filter_of(HTStream *s)
{
    return reinterpret_cast<FilterStream *>(s);
}

int filter_write(HTStream *s, const char *data, int length)
{
    FilterStream *f = filter_of(s);
    const bool t = api_traces();
    long code = 0;
    unsigned long n = length < 0 ? 0 : static_cast<unsigned long>(length);
    const PluginScope scope = enter_plugin(f->handle, f->head.target, HTAPI_STEP_DATA_FILTER,
                                           f->handle->request->api->transmogrifier);
    HTAPI_TRACE(t, "plug-in..... DataFilter->write called\n");
    f->write(nullptr, data, &n, &code);
    leave_plugin(scope);
    HTAPI_TRACE(t, "plug-in..... Datafilter->write returns %d\n", static_cast<int>(code));
    return 0;
}

int filter_put_character(HTStream *s, int c)
{
    const char b = static_cast<char>(c);
    return filter_write(s, &b, 1);
}

int filter_put_string(HTStream *s, const char *text)
{
    return filter_write(s, text, text ? static_cast<int>(std::strlen(text)) : 0);
}

// Free and abort alike: the plug-in closes, then the target is freed (not aborted).
int filter_free(HTStream *s, void *argument)
{
    FilterStream *f = filter_of(s);
    const bool t = api_traces();
    long code = 0;
    const PluginScope scope = enter_plugin(f->handle, f->head.target, HTAPI_STEP_DATA_FILTER,
                                           f->handle->request->api->transmogrifier);
    HTAPI_TRACE(t, "plug-in..... DataFilter->close called\n");
    f->close(nullptr, &code);
    leave_plugin(scope);
    HTAPI_TRACE(t, "plug-in..... Datafilter->close returns %d\n", static_cast<int>(code));
    HTStream *target = f->head.target;
    f->head.target = nullptr;
    return stream_free(target, argument);
}

int zero_status(HTStream *, int *out)
{
    if (out != nullptr)
        *out = 0;
    return 0;
}

int filter_put_headers(HTStream *s, void *response)
{
    return stream_put_headers(filter_of(s)->head.target, response);
}

const HTStreamClass kFilterClass = {
    "DataFilterAPI", filter_free,  filter_free,  filter_put_character, filter_put_string,
    filter_write,    zero_status,  HTStream_messageSender, filter_put_headers,
};

// ---- CGI data stream ----

CgiStream *cgi_of(HTStream *s)
{
    return reinterpret_cast<CgiStream *>(s);
}

// With no target yet, the client's stream is the target.
HTStream *cgi_target(CgiStream *c)
{
    if (c->head.target == nullptr && c->handle != nullptr && c->handle->request != nullptr &&
        c->handle->request->header != nullptr)
        c->head.target = c->handle->request->header->output;
    return c->head.target;
}

int cgi_put_block(HTStream *s, const char *data, int length)
{
    return stream_write(cgi_target(cgi_of(s)), data, length);
}

int cgi_put_character(HTStream *s, int c)
{
    const char b = static_cast<char>(c);
    return cgi_put_block(s, &b, 1);
}

int cgi_put_string(HTStream *s, const char *text)
{
    return cgi_put_block(s, text, text ? static_cast<int>(std::strlen(text)) : 0);
}

int cgi_free(HTStream *s, void *argument)
{
    CgiStream *c = cgi_of(s);
    HTStream *target = cgi_target(c);
    c->head.target = nullptr;
    return stream_free(target, argument);
}

const HTStreamClass kCgiClass = {
    "CGIDataStream", cgi_free,       cgi_free,    cgi_put_character, cgi_put_string,
    cgi_put_block,   zero_status,    HTStream_messageSender, HTStream_putHeaders,
};

// ---- script results ----

// "Name: value" becomes HTTP_Name; a line without a colon or name is left out.
void script_header(HTAPIHandle *h, char *line, std::size_t length)
{
    char *colon = static_cast<char *>(std::memchr(line, ':', length));
    if (colon == nullptr || colon == line)
        return;
    *colon = '\0';
    const char *value = colon + 1;
    const char *end = line + length;
    while (value < end && static_cast<unsigned char>(*value) <= ' ')
        ++value;
    constexpr char kPrefix[] = "HTTP_";
    const std::size_t name_length = static_cast<std::size_t>(colon - line);
    auto *name = static_cast<char *>(pool_alloc(h, sizeof kPrefix + name_length));
    if (name == nullptr)
        return;
    std::memcpy(name, kPrefix, sizeof kPrefix - 1);
    std::memcpy(name + sizeof kPrefix - 1, line, name_length + 1);
    unsigned long mode = kAddMode;
    htsetvar(h, name, value, &mode);
}

HTStream *script_stream(HTAPIHandle *h, HTAPIReqHeader *header)
{
    HTStream *client = header ? header->output : nullptr;
    auto type_of = entry<HTCB_RESPONSE_TEXT>();
    const char *type = type_of ? type_of(h, HTAPI_RESP_CONTENT_TYPE) : nullptr;
    auto convert = entry<HTCB_CONVERSION_STREAM>();
    HTStream *s = convert ? convert(h, type ? type : "text/plain", client) : nullptr;
    return s ? s : client;
}

} // namespace

HTAPIHandle *resolve_handle(void *handle) noexcept
{
    if (handle == nullptr) {
        auto key = entry<HTCB_THREAD_KEY>();
        handle = key ? pthread_getspecific(key()) : nullptr;
    }
    return static_cast<HTAPIHandle *>(handle);
}

PluginScope enter_plugin(HTAPIHandle *h, HTStream *output, int step, void *transmogrifier) noexcept
{
    PluginScope s{};
    if (h == nullptr || h->request == nullptr || h->request->api == nullptr)
        return s;
    HTAPIRequest *r = h->request;
    s = {r, r->step, r->api->output, r->api->transmogrifier};
    r->step = step;
    r->api->output = output;
    r->api->transmogrifier = transmogrifier;
    return s;
}

void leave_plugin(const PluginScope &s) noexcept
{
    if (s.request == nullptr)
        return;
    s.request->step = s.step;
    s.request->api->output = s.output;
    s.request->api->transmogrifier = s.transmogrifier;
}

int stream_write(HTStream *s, const char *data, int length) noexcept
{
    return s && s->isa && s->isa->write ? s->isa->write(s, data, length) : 0;
}

int stream_free(HTStream *s, void *argument) noexcept
{
    return s && s->isa && s->isa->free ? s->isa->free(s, argument) : 0;
}

int stream_put_headers(HTStream *s, void *response) noexcept
{
    return s && s->isa && s->isa->put_headers ? s->isa->put_headers(s, response) : 0;
}

int stream_message(HTStream *s, int message, void *argument) noexcept
{
    return s && s->isa && s->isa->message ? s->isa->message(s, message, argument) : 0;
}

void *pool_alloc(HTAPIHandle *h, std::size_t size) noexcept
{
    auto alloc = entry<HTCB_POOL_ALLOC>();
    return alloc ? alloc(size, h) : nullptr;
}

} // namespace plugrt

using namespace plugrt;

extern "C" PLUGRT_EXPORT HTStream *HTFilterstream_new(HTStream *target, HTFilterOpen open,
                                                      HTFilterWrite write, HTFilterClose close,
                                                      void *handle) noexcept
{
    HTAPIHandle *h = resolve_handle(handle);
    auto *f = static_cast<FilterStream *>(pool_alloc(h, sizeof(FilterStream)));
    if (f == nullptr)
        out_of_memory(kSourceId, "HTFilterstream_new", __LINE__, sizeof(FilterStream));
    const bool t = api_traces();
    HTAPI_TRACE(t, "plug-in..... Create a new DataFilter stream\n");
    f->head = {&kFilterClass, target};
    f->open = open;
    f->write = write;
    f->close = close;
    f->handle = h;
    if (open == nullptr || write == nullptr || close == nullptr || h == nullptr ||
        h->request == nullptr || h->request->api == nullptr) {
        HTAPI_TRACE(t, "plug-in..... Invalid function pointer; DataFilter disabled\n");
        return target;
    }
    long code = 0;
    const PluginScope scope =
        enter_plugin(h, target, HTAPI_STEP_DATA_FILTER, h->request->api->transmogrifier);
    HTAPI_TRACE(t, "plug-in..... DataFilter->open called\n");
    open(nullptr, &code);
    leave_plugin(scope);
    HTAPI_TRACE(t, "plug-in..... Datafilter->open returns %d\n", static_cast<int>(code));
    if (code != kOpenAccepted) {
        HTAPI_TRACE(t, "plug-in..... DataFilter disabled\n");
        return target;
    }
    auto want = entry<HTCB_WANT_WARNINGS>();
    if (want != nullptr && want(h) != 0) {
        if (_HTTransmogrify_makeWarning(h) != 0)
            HTAPI_TRACE(t, "plug-in..... datafilter success adding warning header\n");
        else
            HTAPI_TRACE(t, "plug-in..... datafilter failed adding warning header\n");
    }
    return reinterpret_cast<HTStream *>(f);
}

extern "C" PLUGRT_EXPORT HTStream *HTCGI_new(HTStream *target, void *handle) noexcept
{
    HTAPIHandle *h = resolve_handle(handle);
    auto *c = static_cast<CgiStream *>(pool_alloc(h, sizeof(CgiStream)));
    if (c == nullptr)
        return nullptr;
    c->head = {&kCgiClass, target};
    c->one = 1;
    c->handle = h;
    return reinterpret_cast<HTStream *>(c);
}

extern "C" PLUGRT_EXPORT int HTStream_messageSender(HTStream *me, int message, void *out) noexcept
{
    if (message == HTAPI_MSG_STATUS) {
        if (out != nullptr)
            *static_cast<int *>(out) = 0;
        return 0;
    }
    if (message >= HTAPI_MSG_LOW_FIRST && message <= HTAPI_MSG_LOW_LAST)
        return 0;
    // A stream with no target yet has nobody to tell.
    return me ? stream_message(reinterpret_cast<StreamHead *>(me)->target, message, out) : 0;
}

extern "C" PLUGRT_EXPORT int HTStream_statusNOP(HTStream *me, int *out) noexcept
{
    if (out != nullptr)
        *out = 0;
    HTStream *target = me ? reinterpret_cast<StreamHead *>(me)->target : nullptr;
    if (target != nullptr && target->isa != nullptr && target->isa->status != nullptr)
        return target->isa->status(target, out);
    return 0;
}

extern "C" PLUGRT_EXPORT int HTStream_putHeaders(HTStream *me, void *response) noexcept
{
    return me ? stream_put_headers(reinterpret_cast<StreamHead *>(me)->target, response) : 0;
}

extern "C" PLUGRT_EXPORT int HTLoadScriptResultAPI(FILE *file, HTStream *target,
                                                   HTAPIReqHeader *header, void *handle) noexcept
{
    HTAPIHandle *h = resolve_handle(handle);
    if (file == nullptr)
        return -1;
    auto *buffer = static_cast<char *>(pool_alloc(h, kScriptBuffer));
    if (buffer == nullptr)
        out_of_memory(kSourceId, "HTLoadScriptResultAPI", __LINE__, kScriptBuffer);
    auto *line = static_cast<char *>(pool_alloc(h, kScriptLineMax + 1));
    if (line == nullptr)
        out_of_memory(kSourceId, "HTLoadScriptResultAPI", __LINE__, kScriptLineMax + 1);
    bool in_headers = true;
    bool skipping = false; // the rest of a line over kScriptLineMax
    std::size_t used = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, kScriptBlock, file);
        if (n == 0)
            break;
        std::size_t i = 0;
        while (in_headers && i < n) {
            const char *start = buffer + i;
            const char *lf = static_cast<const char *>(std::memchr(start, '\n', n - i));
            const std::size_t piece = lf ? static_cast<std::size_t>(lf - start) : n - i;
            if (!skipping && piece > kScriptLineMax - used)
                skipping = true;
            if (!skipping) {
                std::memcpy(line + used, start, piece);
                used += piece;
            }
            if (lf == nullptr) {
                i = n;
                break;
            }
            i += piece + 1;
            if (skipping) {
                skipping = false;
                used = 0;
                continue;
            }
            if (used != 0 && line[used - 1] == '\r')
                --used;
            if (used == 0) {
                in_headers = false;
                break;
            }
            line[used] = '\0';
            script_header(h, line, used);
            used = 0;
        }
        if (!in_headers && i < n) {
            if (target == nullptr)
                target = script_stream(h, header);
            stream_write(target, buffer + i, static_cast<int>(n - i));
        }
    }
    if (std::ferror(file))
        return -1;
    // A last header line without its LF still counts.
    if (in_headers && !skipping && used != 0) {
        if (line[used - 1] == '\r')
            --used;
        line[used] = '\0';
        script_header(h, line, used);
    }
    return HTAPI_SCRIPT_LOADED;
}
