// hoststream: the host's streams around a plug-in stream in a proxied response.

#include "hoststream.h"

#include "HTClientRespHeaders.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTProxyCopy.h"
#include "HTStreamStack.h"
#include "HTWriter.h"

#include <cstring>
#include <strings.h>

namespace {

struct Early {
    Early *next;
    const char *name;
    const char *value;
    const char *line;
};

struct Piece {
    const HTStreamClass *isa;
    HostStreams *owner;
};

} // namespace

struct HostStreams {
    Piece head;
    Piece tail;
    HTStream *plugin;
    HTStream *writer;
    HTThdGlobals *g;
    HostHeadHook hook;
    void *owner;
    int filter;
    int seen;       // the head reached the head stream
    int out;        // the head reached the tail
    int raw;        // bytes went to the writer before any head
    int interim;    // an interim answer went to the writer
    int bypass;     // a no-transform answer passes the filter by
    int chunked;    // the answer is chunked
    int dechunk;    // its body reaches the plug-in stream de-chunked
    int rewritten;  // sent as changed by the plug-in stream
    int disabled;   // transmogrifiers that stepped aside
    int freed;      // the chain was freed
    int detached;   // freeing the chain leaves the writer alone
    Early *early;
    Early **early_tail;
    HTProxyFrame frame;
};

namespace {

HostStreams *of(HTStream *s) { return reinterpret_cast<Piece *>(s)->owner; }

HTStream *as_stream(Piece *p) { return reinterpret_cast<HTStream *>(p); }

int put(HTStream *to, const char *data, int length)
{
    return to && to->isa && to->isa->write && length > 0 ? to->isa->write(to, data, length) : 0;
}

// What the head passes bytes of the body to.
HTStream *next_of(HostStreams *h) { return h->bypass ? as_stream(&h->tail) : h->plugin; }

bool chunked_answer(HTThdGlobals *g)
{
    const char *te = HTClientRespHeaders_getValue("Transfer-Encoding", g);
    return te != nullptr && strcasestr(te, "chunked") != nullptr;
}

void start_dechunking(HostStreams *h)
{
    static const char kHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    HTProxyFrame_init(&h->frame, 0);
    HTProxyFrame_feed(&h->frame, kHead, sizeof kHead - 1, nullptr);
    h->dechunk = 1;
}

// The chunk data of a block goes on; sizes, extensions and the trailer stay behind.
int dechunked(HostStreams *h, const char *data, int length)
{
    int r = 0;
    const char *p = data;
    const char *const end = data + length;
    while (p < end && h->frame.state != HT_FRAME_DONE && h->frame.state != HT_FRAME_ERROR) {
        if (h->frame.state == HT_FRAME_CHUNK_DATA) {
            const long long room = end - p;
            const size_t n = static_cast<size_t>(h->frame.left < room ? h->frame.left : room);
            HTProxyFrame_feed(&h->frame, p, n, nullptr);
            if (put(next_of(h), p, static_cast<int>(n)) < 0)
                r = -1;
            p += n;
        } else if (HTProxyFrame_feed(&h->frame, p, 1, nullptr) == 0) {
            break;
        } else {
            ++p;
        }
    }
    return r;
}

// ---- the head stream ----

int head_put_headers(HTStream *s, void *headers)
{
    HostStreams *h = of(s);
    auto *store = static_cast<HTRespHeaders *>(headers);
    if (store != nullptr && store->status_code >= 100 && store->status_code < 200) {
        // An interim answer is no answer to change: it goes as it is, and the final one follows.
        h->interim = 1;
        return h->writer->isa->put_headers(h->writer, store);
    }
    h->seen = 1;
    h->chunked = chunked_answer(h->g);
    if (h->filter && HTClientRespHeaders_checkCCHeaders(h->g)) {
        h->bypass = 1;
        HTStream *t = as_stream(&h->tail);
        return t->isa->put_headers(t, store);
    }
    void *response = h->hook(h->owner, store ? store->status_code : -1);
    if (h->plugin->isa->put_headers)
        h->plugin->isa->put_headers(h->plugin, response);
    // A module that opens the rest of the chain later changes the body.
    if (!h->out)
        h->rewritten = 1;
    if (h->rewritten && h->chunked)
        start_dechunking(h);
    return HT_HEADERS_SENT;
}

int head_write(HTStream *s, const char *data, int length)
{
    HostStreams *h = of(s);
    if (!h->seen) {
        // Not an answer of the origin: a page made whole on this side.
        h->raw = 1;
        return put(h->writer, data, length);
    }
    return h->dechunk ? dechunked(h, data, length) : put(next_of(h), data, length);
}

int head_put_character(HTStream *s, int c)
{
    const char b = static_cast<char>(c);
    return head_write(s, &b, 1);
}

int head_put_string(HTStream *s, const char *text)
{
    return head_write(s, text, text ? static_cast<int>(std::strlen(text)) : 0);
}

int head_free(HTStream *s, void *argument)
{
    HostStreams *h = of(s);
    if (h->freed)
        return 0;
    h->freed = 1;
    // A head that never went out leaves nothing the client could reuse the connection after.
    if (!h->out)
        h->g->client_close = 1;
    return h->plugin->isa->free(h->plugin, argument);
}

int head_abort(HTStream *s, void *argument)
{
    HostStreams *h = of(s);
    if (h->freed)
        return 0;
    h->freed = 1;
    h->g->client_close = 1;
    return h->plugin->isa->abort(h->plugin, argument);
}

int head_status(HTStream *s, int *out)
{
    HostStreams *h = of(s);
    return h->plugin->isa->status ? h->plugin->isa->status(h->plugin, out) : 0;
}

int head_message(HTStream *s, int message, void *argument)
{
    HostStreams *h = of(s);
    if (message == HT_STREAM_MSG_TOUCHED) {
        if (argument != nullptr)
            *static_cast<int *>(argument) = !hoststream_untouched(h);
        return 0;
    }
    HTStream *to = h->bypass || !h->seen ? h->writer : h->plugin;
    if (message == HT_STREAM_MSG_IDENTIFY && !h->seen)
        to = h->plugin; // never taken for the plain writer: the head must be parsed
    return to->isa->message ? to->isa->message(to, message, argument) : 0;
}

const HTStreamClass kHeadClass = {"HostPluginHead", head_free,  head_abort,   head_put_character, head_put_string,
                                  head_write,       head_status, head_message, head_put_headers};

// ---- the tail stream ----

int tail_put_headers(HTStream *s, void *)
{
    HostStreams *h = of(s);
    h->out = 1;
    h->rewritten = !h->bypass && (h->filter || h->disabled == 0 || h->dechunk);
    if (h->rewritten) {
        HTClientRespHeaders_delete("Content-Length", h->g);
        if (h->chunked)
            HTClientRespHeaders_delete("Transfer-Encoding", h->g);
        HTClientRespHeaders_setHeaderValue("Connection", "close", HT_HEADER_REPLACE, h->g);
        h->g->client_close = 1;
        for (Early *e = h->early; e != nullptr; e = e->next)
            HTClientRespHeaders_addHeader(e->name, e->value, h->g);
    }
    h->early = nullptr;
    h->early_tail = &h->early;
    return h->writer->isa->put_headers(h->writer, HTStreamStack_store(h->g));
}

int tail_write(HTStream *s, const char *data, int length) { return put(of(s)->writer, data, length); }

int tail_put_character(HTStream *s, int c)
{
    const char b = static_cast<char>(c);
    return put(of(s)->writer, &b, 1);
}

int tail_put_string(HTStream *s, const char *text)
{
    return put(of(s)->writer, text, text ? static_cast<int>(std::strlen(text)) : 0);
}

int tail_free(HTStream *s, void *argument)
{
    HTStream *w = of(s)->writer;
    return of(s)->detached ? 0 : w->isa->free(w, argument);
}

int tail_abort(HTStream *s, void *argument)
{
    HTStream *w = of(s)->writer;
    return of(s)->detached ? 0 : w->isa->abort(w, argument);
}

int tail_status(HTStream *s, int *out)
{
    HTStream *w = of(s)->writer;
    return w->isa->status(w, out);
}

// The transmogrifier's "stepped aside" message is the host's; the rest is the writer's.
constexpr int kStepAside = 2006;

int tail_message(HTStream *s, int message, void *argument)
{
    HostStreams *h = of(s);
    if (message == kStepAside) {
        ++h->disabled;
        return 0;
    }
    return h->writer->isa->message(h->writer, message, argument);
}

const HTStreamClass kTailClass = {"HostPluginTail", tail_free,  tail_abort,   tail_put_character, tail_put_string,
                                  tail_write,       tail_status, tail_message, tail_put_headers};

} // namespace

extern "C" HostStreams *hoststream_new(void *writer, void *context, HostHeadHook hook, void *owner, int filter)
{
    auto *g = static_cast<HTThdGlobals *>(context);
    auto *h = static_cast<HostStreams *>(HTMemPoolAlloc(sizeof(HostStreams), g));
    std::memset(h, 0, sizeof *h);
    h->head = {&kHeadClass, h};
    h->tail = {&kTailClass, h};
    h->writer = static_cast<HTStream *>(writer);
    h->g = g;
    h->hook = hook;
    h->owner = owner;
    h->filter = filter;
    h->early_tail = &h->early;
    return h;
}

extern "C" void *hoststream_head(HostStreams *s) { return as_stream(&s->head); }
extern "C" void *hoststream_tail(HostStreams *s) { return as_stream(&s->tail); }
extern "C" void hoststream_set_plugin(HostStreams *s, void *stream) { s->plugin = static_cast<HTStream *>(stream); }
extern "C" int hoststream_head_seen(const HostStreams *s) { return s->seen; }
extern "C" int hoststream_rewritten(const HostStreams *s) { return s->rewritten; }

extern "C" int hoststream_untouched(const HostStreams *s)
{
    if (s->seen || s->raw || s->interim)
        return 0;
    const auto *w = reinterpret_cast<const HTWriter *>(s->writer);
    return !w->freed && !w->error && w->write_pos == 0 && w->body_count == 0 && w->header_count == 0;
}

extern "C" void *hoststream_client(void *stream)
{
    auto *s = static_cast<HTStream *>(stream);
    if (s == nullptr || s->isa != &kHeadClass)
        return stream;
    HostStreams *h = of(s);
    h->raw = 1;
    return h->writer;
}

extern "C" void hoststream_release(HostStreams *s)
{
    if (s->freed)
        return;
    s->detached = 1;
    head_free(as_stream(&s->head), nullptr);
}

extern "C" void hoststream_lines(HostStreams *s, HostLineFn fn, void *arg)
{
    const HTRespHeaders *store = s->seen ? HTStreamStack_store(s->g) : nullptr;
    for (HTList *e = store && store->headers ? store->headers->next : nullptr; e != nullptr; e = e->next)
        fn(arg, static_cast<const char *>(e->object));
    for (Early *e = s->early; e != nullptr; e = e->next)
        fn(arg, e->line);
}

extern "C" const char *hoststream_add(HostStreams *s, const char *name, const char *value)
{
    if (name == nullptr || value == nullptr)
        return nullptr;
    if (s->out)
        return HTClientRespHeaders_addHeader(name, value, s->g);
    // Lines of a plug-in stream (its Warning 214) describe a change of the
    // answer: they wait for the head to leave, and go only if it is changed.
    auto *e = static_cast<Early *>(HTMemPoolAlloc(sizeof(Early), s->g));
    *e = {nullptr, HTMemPoolStrdup(name, s->g), HTMemPoolStrdup(value, s->g),
          HTMemPool_vcat(s->g, name, ": ", value, "\r\n", static_cast<char *>(nullptr))};
    *s->early_tail = e;
    s->early_tail = &e->next;
    return e->line;
}

extern "C" int hoststream_no_transform(HostStreams *s)
{
    return s->seen ? HTClientRespHeaders_checkCCHeaders(s->g) : 0;
}
