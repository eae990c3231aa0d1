// hostloader: the stand-in host's forwarding of proxy requests.

#include "hostloader.h"

#include "hostplugin.h"

#include "HTAccess.h"
#include "HTAlloc.h"
#include "HTError.h"
#include "HTAnchor.h"
#include "HTList.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTServerPref.h"
#include "HTSocket.h"
#include "HTTP.h"
#include "HTWild.h"
#include "HTWriter.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <climits>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

HostLoaderSettings hostloader_settings = {0, 0};

namespace {

HTStaticConfig *cfg(void *target) { return static_cast<HTStaticConfig *>(target); }

template <class T> int set_number(T *field, const char *args, long low, long high, char *error)
{
    long v = 0;
    if (hostconf_number(args, low, high, &v, error) != 0)
        return -1;
    *field = static_cast<T>(v);
    return 0;
}

int crlf_pattern(void *c, const char *v, char *error)
{
    HTPattern *p = HTPattern_new(v);
    if (p == nullptr) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "not a URL pattern");
        return -1;
    }
    if (cfg(c)->crlf_patterns == nullptr)
        cfg(c)->crlf_patterns = HTList_new(nullptr);
    HTList_appendObject(cfg(c)->crlf_patterns, p, nullptr);
    return 0;
}

int persist(void *, const char *v, char *error)
{
    uintptr_t on = 0;
    if (hostconf_flag(v, &on, error) != 0)
        return -1;
    hostloader_settings.persist_mapping = on != 0;
    return 0;
}

int local_files(void *, const char *v, char *error)
{
    uintptr_t on = 0;
    if (hostconf_flag(v, &on, error) != 0)
        return -1;
    hostloader_settings.local_files = on != 0;
    return 0;
}

// ServerPreference PATTERN SERVER...: requests whose URL matches are tried
// on the servers in turn, the URL's path kept. The first matching line wins.
struct Preference {
    HTPattern *pattern;
    std::string servers;
};
std::vector<Preference> preferences;

int server_preference(void *, const char *v, char *error)
{
    const char *blank = std::strpbrk(v, " \t");
    const char *servers = blank;
    while (servers != nullptr && (*servers == ' ' || *servers == '\t'))
        ++servers;
    if (blank == nullptr || *servers == '\0') {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "needs a URL pattern and servers");
        return -1;
    }
    HTPattern *p = HTPattern_new(std::string(v, blank).c_str());
    if (p == nullptr) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "not a URL pattern");
        return -1;
    }
    preferences.push_back({p, servers});
    return 0;
}

const HostDirective kDirectives[] = {
    {"RequestBodyLimit",
     [](void *c, const char *v, char *e) { return set_number(&cfg(c)->request_body_limit, v, 0, LONG_MAX, e); }},
    {"AppendCRLFtoPost", crlf_pattern},
    {"Poll100Continue", [](void *c, const char *v, char *e) { return hostconf_flag(v, &cfg(c)->poll_100_continue, e); }},
    {"CachePercentage",
     [](void *c, const char *v, char *e) { return set_number(&cfg(c)->cache_percentage, v, 0, 100, e); }},
    {"ConnectionManagement",
     [](void *c, const char *v, char *e) { return hostconf_flag(v, &cfg(c)->connection_management, e); }},
    {"PersistMapping", persist},
    {"LocalFiles", local_files},
    {"ServerPreference", server_preference},
};

int requestTimeout = 0;

// Server sockets wait at most the request time-out for each read and write.
void server_timer(HTSocket *s, HTRequest *, int on)
{
    if (s == nullptr || s->socket < 0 || requestTimeout <= 0)
        return;
    timeval tv{on ? requestTimeout : 0, 0};
    setsockopt(s->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s->socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool name_is(const char *line, const char *name)
{
    const size_t n = std::strlen(name);
    return strncasecmp(line, name, n) == 0 && (line[n] == ':' || line[n] == ' ' || line[n] == '\t');
}

// Whether the forwarded lines (each ending in CR LF) carry a Host line.
bool has_host(const char *lines, size_t length)
{
    const char *p = lines;
    const char *const end = lines + length;
    while (p != nullptr && p < end) {
        if (end - p > 5 && name_is(p, "host"))
            return true;
        p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (p != nullptr)
            ++p;
    }
    return false;
}

} // namespace

extern "C" HostDirectiveTable hostloader_directives(HTStaticConfig *config)
{
    return {kDirectives, sizeof kDirectives / sizeof kDirectives[0], config};
}

extern "C" void hostloader_free(HTStaticConfig *config)
{
    for (Preference &p : preferences)
        HTPattern_free(p.pattern);
    preferences.clear();
    if (config->crlf_patterns == nullptr)
        return;
    for (HTList *e = config->crlf_patterns->next; e != nullptr; e = e->next)
        HTPattern_free(static_cast<HTPattern *>(e->object));
    HTList_delete(config->crlf_patterns, nullptr);
    config->crlf_patterns = nullptr;
}

extern "C" void hostloader_install(int request_timeout)
{
    requestTimeout = request_timeout;
    HTServerSocketTimer = server_timer;
}

extern "C" int hostloader_takes(const char *target)
{
    if (target == nullptr)
        return 0;
    for (const char *scheme : {"http://", "https://", "gopher://", "ftp://", "file://"}) {
        const size_t n = std::strlen(scheme);
        if (strncasecmp(target, scheme, n) == 0 && target[n] != '\0')
            return 1;
    }
    return 0;
}

extern "C" int hostloader_refused(const char *target)
{
    return target != nullptr && !hostloader_settings.local_files && strncasecmp(target, "file:", 5) == 0;
}

extern "C" int hostloader_forwarded(const char *line, int chunked)
{
    static const char *const kHopByHop[] = {"connection", "proxy-connection", "keep-alive", "te",
                                            "trailer", "upgrade", "proxy-authorization"};
    for (const char *name : kHopByHop)
        if (name_is(line, name))
            return 0;
    if (chunked && (name_is(line, "transfer-encoding") || name_is(line, "content-length")))
        return 0;
    return 1;
}

extern "C" void hostloader_prepare(HTRequest *request, HTThdGlobals *g, HTInputSocket *in, const HostForward *f)
{
    request->method = HTMethod_enum(f->method);
    request->anchor = HTAnchor_findAddress(f->target, g);
    request->url = f->target;
    request->content_length = f->content_length;
    request->content_length_set = f->content_length >= 0;
    request->client_input = in;
    request->transfer_coding = f->chunked ? "chunked" : nullptr;
    // HTTP/1.1 to the origin whatever the client speaks, so that the server
    // connection can be kept (the library frames the answer for an HTTP/1.0
    // client); only a request without Host, which HTTP/1.1 forbids, goes as
    // HTTP/1.0.
    request->downgrade = !f->http11 && !has_host(f->headers, f->headers_length);
    request->http_version = f->http11 ? "HTTP/1.1" : "HTTP/1.0";
    request->keep_alive = f->keep_alive;
    g->client_headers = f->headers;
    g->client_headers_length = f->headers_length;
    // An HTTP/1.0 client's expectation is ignored: it would never see a 100.
    g->expect_continue = f->expect_continue && f->http11;
    g->persist_mapping = hostloader_settings.persist_mapping;
    g->remaining_body = f->content_length > 0 ? f->content_length : 0;
}

extern "C" int hostloader_serve(HTRequest *request, HTThdGlobals *g, HTSocket *client, HTInputSocket *in,
                                const HostForward *f)
{
    hostloader_prepare(request, g, in, f);
    if (request->method <= 0) {
        // A method the table does not know goes as "GET" would not do: refuse it.
        static const char kNotImplemented[] =
            "HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        HTSocket_write(client, kNotImplemented, sizeof kNotImplemented - 1, request);
        return 0;
    }

    // The next hop, the loader and the retries are the document loader's.
    g->url = request->url;
    for (const Preference &p : preferences)
        if (HTPattern_url_match(p.pattern, nullptr, request->url, g) != nullptr) {
            utilServerPref_createList(p.servers.c_str(), g);
            break;
        }
    HTStream *out = HTWriter_newNoClose(client, request);
    request->output_stream = out;
    void *streams = nullptr;
    if (hostplugin_stream_count() > 0) {
        void *output = out;
        streams = hostplugin_streams_begin(f->target, out, g, &output);
        request->output_stream = static_cast<HTStream *>(output);
    }
    const int r = HTLoadDocument(request, g);
    if (streams != nullptr) {
        // The loader freed the chain (or never used it); the rest is the writer's.
        const bool untouched = hostplugin_streams_untouched(streams) != 0;
        if (hostplugin_streams_end(streams))
            g->client_close = 1;
        request->output_stream = out;
        if (r != HT_ACCESS_DONE && !untouched) {
            out->isa->free(out, nullptr);
            return 0;
        }
    }
    if (r != HT_ACCESS_DONE && HTAccess_outputUntouched(request)) {
        // Nothing was loaded and no loader said why: the client still gets a page.
        const bool unknown = request->error_code == HT_ERR_NO_PROTOCOL;
        HTLoadError(request, unknown ? 501 : 502,
                    unknown ? "Proxy Error: the URL's scheme is not supported." : "Proxy Error: the document cannot be loaded.",
                    g);
    }
    if (r != HT_ACCESS_DONE || g->output_healthy <= 0) {
        // An error page, an answer cut short (or nothing): flush it, and end the connection.
        if (out && out->isa && out->isa->free)
            out->isa->free(out, nullptr);
        return 0;
    }
    return f->keep_alive && !g->client_close && g->output_healthy > 0;
}
