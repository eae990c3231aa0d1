// hostplugin: the configured plug-ins, loaded through plugrt.

#include "hostplugin.h"

#include "hostaccess.h"
#include "orvhost.h"

#include <dlfcn.h>
#include <fnmatch.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// In hostclient.cpp: this file sees plugrt.h, whose declarations of the
// shared data differ from the library's.
extern "C" int hostplugin_write(struct HTSocket *client, const char *data, int length, struct HTRequest *request);

namespace {

using ServiceFn = void (*)(void *handle, long *return_code);

struct Service {
    std::string pattern;
    std::string library;
    std::string function;
    ServiceFn step = nullptr;
};

std::vector<Service> services;

int refuse(char *error, const char *why)
{
    std::snprintf(error, HOSTCONF_ERROR_MAX, "%s", why);
    return -1;
}

int service_plugin(void *, const char *args, char *error)
{
    char pattern[HOSTCONF_LINE_MAX], library[HOSTCONF_LINE_MAX], function[HOSTCONF_LINE_MAX], extra[2];
    if (std::sscanf(args, "%4095s %4095s %4095s %1s", pattern, library, function, extra) != 3)
        return refuse(error, "expected URL-PATTERN LIBRARY FUNCTION");
    services.push_back(Service{pattern, library, function, nullptr});
    return 0;
}

const HostDirective kDirectives[] = {
    {"ServicePlugin", service_plugin},
};

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

// The client's header lines (each ending in CR LF) as the model's fields.
void take_headers(orvhost::Request &rq, const char *headers)
{
    for (const char *p = headers; p && *p;) {
        const char *end = std::strstr(p, "\r\n");
        if (end == nullptr)
            break;
        const char *colon = static_cast<const char *>(std::memchr(p, ':', static_cast<size_t>(end - p)));
        if (colon != nullptr) {
            const char *v = colon + 1;
            while (v < end && (*v == ' ' || *v == '\t'))
                ++v;
            rq.request_headers.push_back({std::string(p, colon), std::string(v, end), std::string()});
        }
        p = end + 2;
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
    if (services.empty())
        return 0;
    std::string error;
    if (orvhost::plugrt(&error) == nullptr) {
        std::fprintf(stderr, "standin-proxy: libplugrt cannot be loaded: %s\n", error.c_str());
        return -1;
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

extern "C" int hostplugin_serve(const char *method, const char *url, const char *headers, int keep_alive,
                                HTSocket *client, HTRequest *request, unsigned long *written, int *keep)
{
    for (const Service &s : services) {
        if (s.step == nullptr || fnmatch(s.pattern.c_str(), url, FNM_NOESCAPE) != 0)
            continue;
        orvhost::Request rq(HTAPI_STEP_SERVICE);
        rq.set_method(strcasecmp(method, "HEAD") == 0 ? HTAPI_METHOD_HEAD : HTAPI_METHOD_GET);
        rq.text[HTAPI_METHOD] = method;
        rq.text[HTAPI_URL] = url;
        const char *query = std::strchr(url, '?');
        rq.text[HTAPI_QUERY_STRING] = query ? query + 1 : "";
        take_headers(rq, headers);
        rq.bind();
        long rc = 0;
        s.step(rq.handle(), &rc);
        orvhost::Request::unbind();
        if (rc == 0)
            continue;
        std::string type = rq.text.count(HTAPI_RESP_CONTENT_TYPE) ? rq.text[HTAPI_RESP_CONTENT_TYPE] : "";
        if (type.empty() && !rq.conversions.empty())
            type = rq.conversions.front()->type;
        const int status = rq.status > 0 ? rq.status : 200;
        std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                           (rq.reason.empty() || (rq.reason == "OK" && status != 200) ? reason_for(status) : rq.reason) +
                           "\r\n";
        if (!type.empty())
            head += "Content-Type: " + type + "\r\n";
        for (const orvhost::Header &h : rq.response_headers)
            head += h.raw.empty() ? h.name + ": " + h.value + "\r\n" : h.raw + "\r\n";
        head += "Content-Length: " + std::to_string(rq.sink.data.size()) + "\r\n";
        head += std::string("Via: 1.1 ") + hostaccess_viaName() + "\r\n";
        head += keep_alive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        if (strcasecmp(method, "HEAD") != 0)
            head += rq.sink.data;
        const int w = hostplugin_write(client, head.data(), static_cast<int>(head.size()), request);
        *written = w > 0 ? static_cast<unsigned long>(w) : 0;
        *keep = keep_alive && w == static_cast<int>(head.size());
        return status;
    }
    return 0;
}
