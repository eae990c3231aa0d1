#include "HTOutStream.h"

#include "HTClientRespHeaders.h"
#include "HTGlobals.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTStreamStack.h"
#include "HTSuffix.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A page is kept in pool blocks of this size, chained, so that growing it
// never copies what is already there.
constexpr size_t kSegment = 16384;

struct Segment {
    Segment *next;
    size_t used;
    char bytes[kSegment];
};

struct OutStream {
    const HTStreamClass *isa;
    HTStream *sink;
    HTRequest *request;
    HTThdGlobals *g;
    int status;
    const char *type;
    long long declared;       // raw: the length promised; -1: none
    long long passed;         // raw: body bytes passed on
    int keep_all;             // 1: the HTML stream, holding the page
    Segment *first;
    Segment *last;
    long long kept;
    int head_sent;
    int head_only;            // a HEAD request: the body is counted, never sent
    const char *encoding;     // Content-Encoding, or null
    int broken;
    int done;                 // freed or aborted
};

OutStream *self(HTStream *me) { return reinterpret_cast<OutStream *>(me); }

HTThdGlobals *globals(HTThdGlobals *context) { return context ? context : lib_gettp(); }

bool http09(const HTRequest *request)
{
    return request && request->http_version && std::strcmp(request->http_version, "HTTP/0.9") == 0;
}

const char *version_of(const HTRequest *request)
{
    return request && request->http_version && std::strcmp(request->http_version, "HTTP/1.1") == 0 ? "HTTP/1.1"
                                                                                                    : "HTTP/1.0";
}

void send_head(OutStream *s, long long length)
{
    s->head_sent = 1;
    if (length < 0 && s->g)
        s->g->client_close = 1;
    if (http09(s->request))
        return;
    char line[96];
    std::snprintf(line, sizeof line, "%s %d %s\r\n", version_of(s->request), s->status,
                  HTOutStream_reason(s->status));
    char length_text[24];
    std::snprintf(length_text, sizeof length_text, "%lld", length);
    // An HTTP/1.0 client that asked to keep its connection keeps it only when told so.
    const bool kept = length >= 0 && s->request && s->request->keep_alive &&
                      std::strcmp(version_of(s->request), "HTTP/1.0") == 0;
    HTRespHeaders *store = s->g ? HTStreamStack_store(s->g) : nullptr;
    if (store != nullptr) {
        // Through the store, so that the writer's header rules and the
        // plug-ins' lines apply as to any other answer.
        HTStreamStackStatus_init(s->g);
        store->status_line = HTMemPoolStrdup(line, s->g);
        store->status_code = s->status;
        HTClientRespHeaders_addHeader("Content-Type", s->type, s->g);
        if (s->encoding)
            HTClientRespHeaders_addHeader("Content-Encoding", s->encoding, s->g);
        if (length >= 0)
            HTClientRespHeaders_addHeader("Content-Length", length_text, s->g);
        else
            HTClientRespHeaders_addHeader("Connection", "close", s->g);
        if (kept)
            HTClientRespHeaders_addHeader("Connection", "keep-alive", s->g);
        HTClientRespHeaders_putHeadersCheckResponse(s->sink, s->g);
        return;
    }
    const char *head = HTMemPool_vcat(s->g, line, "Content-Type: ", s->type, "\r\n",
                                      s->encoding ? "Content-Encoding: " : "", s->encoding ? s->encoding : "",
                                      s->encoding ? "\r\n" : "",
                                      length >= 0 ? "Content-Length: " : "Connection: close",
                                      length >= 0 ? length_text : "", "\r\n",
                                      kept ? "Connection: keep-alive\r\n" : "", "\r\n", static_cast<char *>(nullptr));
    if (s->sink->isa->write(s->sink, head, static_cast<int>(std::strlen(head))) < 0)
        s->broken = 1;
}

void keep(OutStream *s, const char *data, size_t length)
{
    while (length > 0) {
        if (s->last == nullptr || s->last->used == kSegment) {
            auto *seg = static_cast<Segment *>(HTMemPoolAlloc(sizeof(Segment), s->g));
            seg->next = nullptr;
            seg->used = 0;
            if (s->last)
                s->last->next = seg;
            else
                s->first = seg;
            s->last = seg;
        }
        const size_t n = std::min(length, kSegment - s->last->used);
        std::memcpy(s->last->bytes + s->last->used, data, n);
        s->last->used += n;
        s->kept += static_cast<long long>(n);
        data += n;
        length -= n;
    }
}

int pass(OutStream *s, const char *data, int length)
{
    if (s->broken)
        return -1;
    if (length <= 0 || s->head_only)
        return 0;
    if (s->sink->isa->write(s->sink, data, length) < 0) {
        s->broken = 1;
        return -1;
    }
    return 0;
}

int out_write(HTStream *me, const char *data, int length)
{
    OutStream *s = self(me);
    if (s->done || data == nullptr || length <= 0)
        return s->broken ? -1 : 0;
    if (s->keep_all) {
        keep(s, data, static_cast<size_t>(length));
        return 0;
    }
    if (!s->head_sent)
        send_head(s, s->declared);
    long long n = length;
    if (s->declared >= 0 && n > s->declared - s->passed)
        n = s->declared - s->passed;
    s->passed += n;
    return pass(s, data, static_cast<int>(n));
}

int out_put_string(HTStream *me, const char *text)
{
    return text ? out_write(me, text, static_cast<int>(std::strlen(text))) : 0;
}

int out_put_character(HTStream *me, int c)
{
    const char ch = static_cast<char>(c);
    return out_write(me, &ch, 1);
}

int out_free(HTStream *me, void *)
{
    OutStream *s = self(me);
    if (s->done)
        return s->broken ? -1 : 0;
    s->done = 1;
    if (s->keep_all) {
        send_head(s, s->kept);
        for (Segment *seg = s->first; seg && !s->broken; seg = seg->next)
            pass(s, seg->bytes, static_cast<int>(seg->used));
    } else {
        if (!s->head_sent)
            send_head(s, s->declared);
        if (s->declared >= 0 && s->passed < s->declared && s->g && !s->head_only)
            s->g->client_close = 1;
    }
    const int r = s->sink->isa->free(s->sink, nullptr);
    const int whole = !s->broken && r >= 0;
    if (s->g)
        s->g->output_healthy = whole;
    return whole ? 0 : -1;
}

int out_abort(HTStream *me, void *reason)
{
    OutStream *s = self(me);
    if (s->done)
        return 0;
    s->done = 1;
    s->first = s->last = nullptr;
    if (s->g)
        s->g->output_healthy = 0;
    if (s->head_sent) {
        if (s->g)
            s->g->client_close = 1;
        if (s->sink->isa->abort)
            s->sink->isa->abort(s->sink, reason);
    }
    return 0;
}

int out_status(HTStream *me, int *out)
{
    OutStream *s = self(me);
    if (s->broken) {
        if (out)
            *out = -1;
        return -1;
    }
    return s->sink->isa->status ? s->sink->isa->status(s->sink, out) : 0;
}

int out_message(HTStream *me, int message, void *argument)
{
    OutStream *s = self(me);
    return s->sink->isa->message ? s->sink->isa->message(s->sink, message, argument) : -1;
}

// The answer's head is this stream's own: a head from upstream is not sent.
int out_put_headers(HTStream *, void *) { return HT_HEADERS_TAKEN; }

const HTStreamClass kOutClass = {"OutputStream", out_free,   out_abort,  out_put_character, out_put_string,
                                 out_write,      out_status, out_message, out_put_headers};

HTStream *make(HTRequest *request, HTStream *sink, int status, const char *type, long long length, int keepAll,
               HTThdGlobals *context)
{
    if (sink == nullptr && request != nullptr)
        sink = request->output_stream;
    if (sink == nullptr || sink->isa == nullptr)
        return nullptr;
    HTThdGlobals *g = globals(context);
    auto *s = static_cast<OutStream *>(HTMemPoolAlloc(sizeof(OutStream), g));
    std::memset(s, 0, sizeof *s);
    s->isa = &kOutClass;
    s->sink = sink;
    s->request = request;
    s->g = g;
    s->status = status;
    s->type = type ? type : HT_SUFFIX_DEFAULT_TYPE;
    s->declared = length < 0 ? HT_OUT_LENGTH_UNKNOWN : length;
    s->keep_all = keepAll;
    s->head_only = request != nullptr && request->method == HT_METHOD_HEAD;
    return reinterpret_cast<HTStream *>(s);
}

} // namespace

extern "C" HTStream *HTOutStream_newHTML(HTRequest *request, HTStream *sink, int status,
                                         HTThdGlobals *context) noexcept
{
    return make(request, sink, status, "text/html", HT_OUT_LENGTH_UNKNOWN, 1, context);
}

extern "C" HTStream *HTOutStream_newRaw(HTRequest *request, HTStream *sink, int status, const char *contentType,
                                        long long length, HTThdGlobals *context) noexcept
{
    return make(request, sink, status, contentType, length, 0, context);
}

extern "C" int HTOutStream_setEncoding(HTStream *stream, const char *encoding) noexcept
{
    if (stream == nullptr || stream->isa != &kOutClass)
        return -1;
    OutStream *s = self(stream);
    if (s->head_sent || s->keep_all)
        return -1;
    s->encoding = encoding;
    return 0;
}

extern "C" const char *HTOutStream_reason(int status) noexcept
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Unknown";
    }
}
