// hostsubreq: the requests the host makes for a plug-in, loaded by the library.

#include "hostsubreq.h"

#include "HTAccess.h"
#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTError.h"
#include "HTGlobals.h"
#include "HTInit.h"
#include "HTList.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTParse.h"
#include "HTRequest.h"
#include "HTRespHeaders-t.h"
#include "HTStream-t.h"
#include "HTWriter.h"

#include <strings.h>

#include <cstring>

namespace orvhost {
namespace {

// The stream the loader writes the answer into.
struct Capture {
    HTStream stream;
    SubAnswer *answer;
    int heads;
};

Capture *capture(HTStream *s) { return reinterpret_cast<Capture *>(s); }

void pass(SubAnswer *a, const char *data, std::size_t n)
{
    if (a->keep)
        a->bytes.append(data, n);
    if (auto *f = static_cast<HTStream *>(a->forward); f != nullptr && f->isa != nullptr && f->isa->write != nullptr)
        f->isa->write(f, data, static_cast<int>(n));
}

void take(HTStream *s, const char *data, std::size_t n)
{
    SubAnswer *a = capture(s)->answer;
    a->body_bytes += n;
    pass(a, data, n);
}

int nothing(HTStream *, void *) { return 0; }

int put_character(HTStream *s, int c)
{
    const char b = static_cast<char>(c);
    take(s, &b, 1);
    return 0;
}

int put_string(HTStream *s, const char *text)
{
    if (text != nullptr)
        take(s, text, std::strlen(text));
    return 0;
}

int write(HTStream *s, const char *data, int length)
{
    if (length < 0)
        return -1;
    take(s, data, static_cast<std::size_t>(length));
    return 0;
}

int status(HTStream *, int *out)
{
    if (out != nullptr)
        *out = 0;
    return 0;
}

int message(HTStream *s, int message, void *argument)
{
    Capture *c = capture(s);
    int *word = static_cast<int *>(argument);
    switch (message) {
    case HT_STREAM_MSG_IDENTIFY:
        // Not the socket writer: the response header store parses the head for us.
        if (word != nullptr)
            *word = 0;
        return 0;
    case HT_STREAM_MSG_TOUCHED:
        if (word != nullptr)
            *word = c->heads > 0 || c->answer->body_bytes > 0;
        return 0;
    case HT_STREAM_MSG_PURGE:
    case HT_MSG_QUERY_STATUS:
    case HT_MSG_DONT_BUFFER:
    case HT_MSG_NO_STORE:
        return 0;
    case HT_MSG_NO_STORE_QUERY:
        if (word != nullptr)
            *word = 0;
        return 0;
    case HT_MSG_HEADER_LENGTH:
        if (word != nullptr)
            *word = static_cast<int>(c->answer->head_bytes);
        return 0;
    case HT_MSG_BODY_LENGTH:
        if (word != nullptr)
            *word = static_cast<int>(c->answer->body_bytes);
        return 0;
    default:
        return -1;
    }
}

// The head as the store hands it over; an interim answer's status gives way
// to the final one's.
int put_headers(HTStream *s, void *headers)
{
    auto *set = static_cast<HTRespHeaders *>(headers);
    if (set == nullptr)
        return HT_HEADERS_SENT;
    if (set->prepare != nullptr)
        set->prepare(set, nullptr, 0, 0, set->owner);
    std::string head = set->status_line != nullptr ? set->status_line : "";
    for (HTList *e = set->headers ? set->headers->next : nullptr; e != nullptr; e = e->next)
        head += static_cast<const char *>(e->object);
    head += "\r\n";
    Capture *c = capture(s);
    SubAnswer *a = c->answer;
    ++c->heads;
    if (set->status_code >= 200 || a->status == 0)
        a->status = set->status_code > 0 ? set->status_code : 0;
    a->head_bytes += head.size();
    pass(a, head.data(), head.size());
    return HT_HEADERS_SENT;
}

const HTStreamClass kCaptureClass = {"SubRequestAnswer", nothing, nothing, put_character, put_string,
                                     write, status, message, put_headers};

bool named(const std::string &name, const char *wanted) { return strcasecmp(name.c_str(), wanted) == 0; }

// The words of the context a load sets; on a worker they may belong to the
// request the plug-in proxies, which gets them back afterwards.
struct Saved {
    explicit Saved(HTThdGlobals *c)
        : g(c), url(c->url), headers(c->client_headers), headers_length(c->client_headers_length),
          body(c->buffered_body), body_length(c->buffered_body_length), remaining(c->remaining_body),
          expect(c->expect_continue), pass(c->pass_through), mapping(c->mapping), healthy(c->output_healthy),
          client_close(c->client_close), persist(c->persist_mapping)
    {
    }
    ~Saved()
    {
        g->url = url;
        g->client_headers = headers;
        g->client_headers_length = headers_length;
        g->buffered_body = body;
        g->buffered_body_length = body_length;
        g->remaining_body = remaining;
        g->expect_continue = expect;
        g->pass_through = pass;
        g->mapping = mapping;
        g->output_healthy = healthy;
        // An answer cut short still ends the connection it went to.
        g->client_close = client_close || g->client_close;
        g->persist_mapping = persist;
    }
    Saved(const Saved &) = delete;
    Saved &operator=(const Saved &) = delete;

    HTThdGlobals *g;
    const char *url;
    const char *headers;
    size_t headers_length;
    const char *body;
    size_t body_length;
    long long remaining;
    int expect, pass, mapping, healthy, client_close, persist;
};

void load(int method, const SubRequest &s, SubAnswer *a, HTThdGlobals *g)
{
    Saved saved(g);
    HTRequest *request = HTRequest_new(g);
    request->config = &HTMyStaticConfig;
    request->method = method;
    request->http_version = "HTTP/1.1";

    bool host = false, length = false;
    std::string block;
    for (const auto &[name, value] : s.headers) {
        host = host || named(name, "Host");
        length = length || named(name, "Content-Length");
        block += name + ": " + value + "\r\n";
    }
    if (!host) {
        const char *authority = HTParse(s.url.c_str(), "", PARSE_HOST, g);
        if (authority != nullptr && *authority != '\0')
            block += std::string("Host: ") + authority + "\r\n";
    }
    if (!s.body.empty() && !length)
        block += "Content-Length: " + std::to_string(s.body.size()) + "\r\n";
    g->client_headers = HTMemPoolStrdup(block.c_str(), g);
    g->client_headers_length = block.size();
    g->buffered_body = nullptr;
    g->buffered_body_length = 0;
    if (!s.body.empty()) {
        auto *copy = static_cast<char *>(HTMemPoolAlloc(s.body.size(), g));
        std::memcpy(copy, s.body.data(), s.body.size());
        g->buffered_body = copy;
        g->buffered_body_length = s.body.size();
        request->content_length = static_cast<long long>(s.body.size());
        request->content_length_set = 1;
    }
    g->remaining_body = 0;
    g->expect_continue = 0;
    g->pass_through = 0;
    g->mapping = 0;
    g->output_healthy = 0;
    g->client_close = 0;
    // The server connection is not the plug-in client's to keep.
    g->persist_mapping = 0;

    Capture c{{&kCaptureClass}, a, 0};
    request->output_stream = &c.stream;
    char *url = HTMemPoolStrdup(s.url.c_str(), g);
    request->url = url;
    const int r = HTLoadToStream(url, 0, request, g);
    if (r != HT_ACCESS_DONE && HTAccess_outputUntouched(request)) {
        // Nothing was loaded and no loader said why: the answer is still a page.
        const bool unknown = request->error_code == HT_ERR_NO_PROTOCOL;
        HTLoadError(request, unknown ? 501 : 502,
                    unknown ? "Proxy Error: the URL's scheme is not supported."
                            : "Proxy Error: the document cannot be loaded.",
                    g);
    }
    a->from_server = r == HT_ACCESS_DONE && g->output_healthy > 0;
    HTRequest_delete(request);
}

} // namespace

bool sub_start()
{
    return HTInitAll() == HT_INIT_OK;
}

bool sub_load_alone(void *context, const SubRequest &s, SubAnswer *a)
{
    if (context == nullptr)
        return sub_load(s, a);
    HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, context);
    const bool loaded = sub_load(s, a);
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, context);
    return loaded;
}

bool sub_load(const SubRequest &s, SubAnswer *a)
{
    const int method = HTMethod_enum(s.method.c_str());
    if (method <= 0)
        return false;
    HTThdGlobals *g = lib_gettp();
    const bool own = g == nullptr;
    if (own) {
        // A thread of the plug-in's own: a context for this one load.
        if (!sub_start())
            return false;
        g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
        if (g == nullptr)
            return false;
    }
    load(method, s, a, g);
    if (own) {
        HTEndThd(HT_THREAD_WORKER, g);
        HTWorkThread_threadExit(HT_THREAD_WORKER, g);
    }
    return true;
}

} // namespace orvhost
