// hostplugin: the configured plug-ins, loaded through plugrt.

#include "hostplugin.h"

#include "hostaccess.h"
#include "hostservice.h"
#include "orvhost.h"

#include <dlfcn.h>
#include <fnmatch.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>


namespace {

using ServiceFn = void (*)(void *handle, long *return_code);

struct Service {
    std::string pattern;
    std::string library;
    std::string function;
    ServiceFn step = nullptr;
};

std::vector<Service> services;

// A data filter (open, write, close) or a transmogrifier (open, write, close, error).
struct StreamPlugin {
    bool filter = false;
    std::string pattern;
    std::string library;
    std::string names[4];
    void *functions[4] = {};
    HTTransmogrifierModule module{};
};

std::vector<StreamPlugin> stream_plugins;

int refuse(char *error, const char *why)
{
    std::snprintf(error, HOSTCONF_ERROR_MAX, "%s", why);
    return -1;
}

// The library must open and have every function, so that a mistake shows
// at its line (and with --check) rather than at the first request.
int check_library(const std::string &library, const std::string *names, int count, char *error)
{
    void *lib = dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (lib == nullptr) {
        const char *why = dlerror();
        std::snprintf(error, HOSTCONF_ERROR_MAX, "cannot load %s: %s", library.c_str(), why ? why : "");
        return -1;
    }
    int r = 0;
    for (int i = 0; i < count && r == 0; ++i)
        if (dlsym(lib, names[i].c_str()) == nullptr) {
            std::snprintf(error, HOSTCONF_ERROR_MAX, "%s has no function %s", library.c_str(), names[i].c_str());
            r = -1;
        }
    dlclose(lib);
    return r;
}

int service_plugin(void *, const char *args, char *error)
{
    char pattern[HOSTCONF_LINE_MAX], library[HOSTCONF_LINE_MAX], function[HOSTCONF_LINE_MAX], extra[2];
    if (std::sscanf(args, "%4095s %4095s %4095s %1s", pattern, library, function, extra) != 3)
        return refuse(error, "expected URL-PATTERN LIBRARY FUNCTION");
    const std::string name = function;
    if (check_library(library, &name, 1, error) != 0)
        return -1;
    services.push_back(Service{pattern, library, function, nullptr});
    return 0;
}

int stream_plugin(const char *args, bool filter, char *error)
{
    const int count = filter ? 3 : 4;
    char pattern[HOSTCONF_LINE_MAX], library[HOSTCONF_LINE_MAX], extra[2];
    char f[4][HOSTCONF_LINE_MAX];
    const int got = std::sscanf(args, "%4095s %4095s %4095s %4095s %4095s %4095s %1s", pattern, library, f[0],
                                f[1], f[2], f[3], extra);
    if (got != 2 + count)
        return refuse(error, filter ? "expected URL-PATTERN LIBRARY OPEN WRITE CLOSE"
                                    : "expected URL-PATTERN LIBRARY OPEN WRITE CLOSE ERROR");
    StreamPlugin p;
    p.filter = filter;
    p.pattern = pattern;
    p.library = library;
    for (int i = 0; i < count; ++i)
        p.names[i] = f[i];
    if (check_library(p.library, p.names, count, error) != 0)
        return -1;
    stream_plugins.push_back(std::move(p));
    return 0;
}

const HostDirective kDirectives[] = {
    {"ServicePlugin", service_plugin},
    {"FilterPlugin", [](void *, const char *args, char *error) { return stream_plugin(args, true, error); }},
    {"TransmogrifierPlugin", [](void *, const char *args, char *error) { return stream_plugin(args, false, error); }},
};

// The head of a proxied answer reached the plug-in streams: the response record they take.
void *head_arrived(void *owner, int status)
{
    auto *live = static_cast<orvhost::Live *>(owner);
    live->model.response.status = status;
    live->view();
    return &live->model.response;
}

const char *reason_for(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    default: return status < 400 ? "OK" : "Error";
    }
}

} // namespace

extern "C" HostDirectiveTable hostplugin_directives(struct HTStaticConfig *config)
{
    return {kDirectives, sizeof kDirectives / sizeof kDirectives[0], config};
}

extern "C" int hostplugin_count(void) { return static_cast<int>(services.size()); }

extern "C" int hostplugin_check(void)
{
    int bad = 0;
    for (const Service &s : services) {
        void *lib = dlopen(s.library.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (lib == nullptr && access(s.library.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "standin-proxy: plug-in %s cannot be read\n", s.library.c_str());
            ++bad;
        }
        if (lib != nullptr)
            dlclose(lib);
    }
    return bad == 0 ? 0 : -1;
}

extern "C" int hostplugin_load(void)
{
    if (services.empty() && stream_plugins.empty())
        return 0;
    std::string error;
    if (orvhost::plugrt(&error) == nullptr) {
        std::fprintf(stderr, "standin-proxy: libplugrt cannot be loaded: %s\n", error.c_str());
        return -1;
    }
    // Transformation warnings in the proxy, in this proxy's name.
    orvhost::Host::get().want_warnings = 1;
    orvhost::Host::get().warning_agent = hostaccess_viaName();
    for (StreamPlugin &p : stream_plugins) {
        void *lib = orvhost::load_plugin(p.library, &error);
        if (lib == nullptr) {
            std::fprintf(stderr, "standin-proxy: plug-in %s: %s\n", p.library.c_str(), error.c_str());
            return -1;
        }
        for (int i = 0; i < (p.filter ? 3 : 4); ++i)
            if ((p.functions[i] = dlsym(lib, p.names[i].c_str())) == nullptr) {
                std::fprintf(stderr, "standin-proxy: plug-in %s has no %s\n", p.library.c_str(), p.names[i].c_str());
                return -1;
            }
        if (!p.filter) {
            HTTransmogrifierModule &m = p.module;
            m.name = p.library.c_str();
            m.open_name = p.names[0].c_str();
            m.write_name = p.names[1].c_str();
            m.close_name = p.names[2].c_str();
            m.error_name = p.names[3].c_str();
            m.open = reinterpret_cast<decltype(m.open)>(p.functions[0]);
            m.write = reinterpret_cast<decltype(m.write)>(p.functions[1]);
            m.close = reinterpret_cast<decltype(m.close)>(p.functions[2]);
            m.error = reinterpret_cast<decltype(m.error)>(p.functions[3]);
        }
    }
    for (Service &s : services) {
        void *lib = orvhost::load_plugin(s.library, &error);
        if (lib == nullptr) {
            std::fprintf(stderr, "standin-proxy: plug-in %s: %s\n", s.library.c_str(), error.c_str());
            return -1;
        }
        s.step = reinterpret_cast<ServiceFn>(dlsym(lib, s.function.c_str()));
        if (s.step == nullptr) {
            std::fprintf(stderr, "standin-proxy: plug-in %s has no %s\n", s.library.c_str(), s.function.c_str());
            return -1;
        }
    }
    return 0;
}

extern "C" int hostplugin_serve(void *request, void *context, void *client, int keep_alive, unsigned long *written,
                                int *keep)
{
    HostServiceRequest d;
    hostservice_describe(request, context, client, &d);
    if (d.method == nullptr)
        return 0;
    for (const Service &s : services) {
        if (s.step == nullptr || fnmatch(s.pattern.c_str(), d.url, FNM_NOESCAPE) != 0)
            continue;
        orvhost::Live live(HTAPI_STEP_SERVICE);
        orvhost::Request &rq = live.model;
        live.service = &d;
        rq.set_method(d.method_index);
        rq.header().input = d.input;
        rq.header().transfer_coding = d.chunked ? "chunked" : nullptr;
        rq.handle()->body_left = d.content_length > 0 ? static_cast<uint64_t>(d.content_length) : 0;
        // The client sends its body only after 100 Continue: the first read asks for it.
        rq.handle()->preread = d.expect_continue && (d.chunked || d.content_length > 0);
        live.bind();
        long rc = 0;
        s.step(rq.handle(), &rc);
        live.unbind();
        *written = 0;
        *keep = 0;
        if (live.client_gone)
            return 408; // nothing more can reach a client that went away
        const bool body_left = d.chunked ? rq.header().transfer_coding != nullptr : rq.handle()->body_left > 0;
        if (rq.proxy_runs > 0) {
            // The plug-in had the request proxied: the server's answer (or the
            // error page) is whole in the sink, head and all, and is the
            // client's whatever the plug-in returned; its framing is the
            // server's, so the connection ends after it.
            if (rq.sink.data.empty()) {
                int complete = 0;
                *written = hostservice_answer(request, context, client, 502, "Bad Gateway", nullptr, 0, nullptr, 0, 0,
                                              &complete);
                return 502;
            }
            *written = hostservice_forward(request, client, rq.sink.data.data(), rq.sink.data.size());
            const int proxied = std::atoi(rq.sink.data.size() > 9 && rq.sink.data.compare(0, 5, "HTTP/") == 0
                                              ? rq.sink.data.c_str() + 9 : "0");
            return proxied > 0 ? proxied : 502;
        }
        if (rc == 0) {
            if (live.body_taken == 0)
                continue;
            int complete = 0;
            *written = hostservice_answer(request, context, client, 500, "Internal Server Error", nullptr, 0,
                                          nullptr, 0, 0, &complete);
            return 500;
        }
        std::string type = rq.text.count(HTAPI_RESP_CONTENT_TYPE) ? rq.text[HTAPI_RESP_CONTENT_TYPE] : "";
        if (type.empty() && !rq.conversions.empty())
            type = rq.conversions.front()->type;
        const int status = rq.status > 0 ? rq.status : 200;
        const std::string reason =
            rq.reason.empty() || (rq.reason == "OK" && status != 200) ? reason_for(status) : rq.reason;
        std::vector<std::string> lines;
        if (!type.empty())
            lines.push_back("Content-Type: " + type);
        for (const orvhost::Header &h : rq.response_headers)
            lines.push_back(h.raw.empty() ? h.name + ": " + h.value : h.raw);
        std::vector<const char *> texts;
        for (const std::string &l : lines)
            texts.push_back(l.c_str());
        // A body left unread ends the connection after the answer.
        const int keep_after = keep_alive && !body_left;
        int complete = 0;
        *written = hostservice_answer(request, context, client, status, reason.c_str(), texts.data(), texts.size(),
                                      rq.sink.data.data(), rq.sink.data.size(), keep_after, &complete);
        *keep = keep_after && complete;
        return status;
    }
    return 0;
}

extern "C" int hostplugin_stream_count(void) { return static_cast<int>(stream_plugins.size()); }

extern "C" void *hostplugin_streams_begin(const char *url, void *writer, void *context, void **output)
{
    *output = writer;
    const StreamPlugin *chosen = nullptr;
    for (const StreamPlugin &p : stream_plugins)
        if (p.functions[0] != nullptr && fnmatch(p.pattern.c_str(), url, FNM_NOESCAPE) == 0) {
            chosen = &p;
            break;
        }
    const orvhost::Plugrt *rt = chosen ? orvhost::plugrt() : nullptr;
    if (rt == nullptr)
        return nullptr;
    auto *live = new orvhost::Live(chosen->filter ? HTAPI_STEP_DATA_FILTER : HTAPI_STEP_TRANSMOGRIFIER);
    live->model.header().output = static_cast<HTStream *>(writer);
    live->streams = hoststream_new(writer, context, head_arrived, live, chosen->filter ? 1 : 0);
    live->bind();
    auto *tail = static_cast<HTStream *>(hoststream_tail(live->streams));
    void *handle = live->model.handle();
    HTStream *stream = nullptr;
    if (chosen->filter)
        stream = rt->HTFilterstream_new(tail, reinterpret_cast<HTFilterOpen>(chosen->functions[0]),
                                        reinterpret_cast<HTFilterWrite>(chosen->functions[1]),
                                        reinterpret_cast<HTFilterClose>(chosen->functions[2]), handle);
    else
        stream = rt->HTTransmogrify_new(tail, &chosen->module, handle);
    if (stream == nullptr || stream == tail) {
        // The filter declined at its open (or memory ran out): the answer goes as it comes.
        delete live;
        return nullptr;
    }
    hoststream_set_plugin(live->streams, stream);
    *output = hoststream_head(live->streams);
    return live;
}

extern "C" int hostplugin_streams_untouched(void *live)
{
    return hoststream_untouched(static_cast<orvhost::Live *>(live)->streams);
}

extern "C" int hostplugin_streams_end(void *live)
{
    auto *l = static_cast<orvhost::Live *>(live);
    hoststream_release(l->streams);
    const int rewritten = hoststream_rewritten(l->streams);
    delete l;
    return rewritten;
}
