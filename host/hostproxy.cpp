// hostproxy: the configuration directives of proxy selection.

#include "hostproxy.h"

#include "HTAlloc.h"
#include "HTList.h"
#include "servprox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

HTStaticConfig *config_of(void *target) { return static_cast<HTStaticConfig *>(target); }

bool one_word(const char *args, char *error)
{
    if (*args == '\0') {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "needs a value");
        return false;
    }
    if (std::strpbrk(args, " \t") != nullptr) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "takes one value");
        return false;
    }
    return true;
}

int set_default(void *target, const char *args, char *error, int type)
{
    if (!one_word(args, error))
        return -1;
    return proxychain_setDefaultProxy(nullptr, config_of(target), type, args);
}

int http_proxy(void *t, const char *a, char *e) { return set_default(t, a, e, HT_PROXY_TYPE_HTTP); }
int ftp_proxy(void *t, const char *a, char *e) { return set_default(t, a, e, HT_PROXY_TYPE_FTP); }
int gopher_proxy(void *t, const char *a, char *e) { return set_default(t, a, e, HT_PROXY_TYPE_GOPHER); }

// proxy_chain <http|ftp|gopher> <proxy> <domains...>
int proxy_chain(void *target, const char *args, char *error)
{
    char scheme[16] = "";
    char proxy[1024] = "";
    int used = 0;
    if (std::sscanf(args, "%15s %1023s %n", scheme, proxy, &used) < 2 || args[used] == '\0') {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "needs a scheme, a proxy and domains");
        return -1;
    }
    int type;
    if (strcasecmp(scheme, "http") == 0)
        type = HT_PROXY_TYPE_HTTP;
    else if (strcasecmp(scheme, "ftp") == 0)
        type = HT_PROXY_TYPE_FTP;
    else if (strcasecmp(scheme, "gopher") == 0)
        type = HT_PROXY_TYPE_GOPHER;
    else {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "unknown scheme \"%s\" (http, ftp or gopher)", scheme);
        return -1;
    }
    return proxychain_addDomains(nullptr, config_of(target), type, proxy, args + used);
}

// Repeated no_proxy lines add to the list.
int no_proxy(void *target, const char *args, char *error)
{
    if (*args == '\0') {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "needs domains");
        return -1;
    }
    HTStaticConfig *config = config_of(target);
    std::string all;
    for (HTList *e = config->no_proxy ? config->no_proxy->next : nullptr; e; e = e->next) {
        const auto *d = static_cast<const HTProxyDomain *>(e->object);
        all += d->name;
        if (d->port != 0)
            all += ":" + std::to_string(d->port);
        all += ",";
    }
    all += args;
    return proxychain_setNoProxyList(nullptr, config, all.c_str());
}

int fallback_proxy(void *target, const char *args, char *error)
{
    if (!one_word(args, error))
        return -1;
    return proxychain_setFallbackProxy(config_of(target), args);
}

// parent_proxy <proxy>, or "-" for a slot that takes the fall-back.
int parent_proxy(void *target, const char *args, char *error)
{
    if (!one_word(args, error))
        return -1;
    return proxychain_addParent(config_of(target), std::strcmp(args, "-") == 0 ? nullptr : args);
}

int proxy_host(void *target, const char *args, char *error)
{
    if (!one_word(args, error))
        return -1;
    HTStaticConfig *config = config_of(target);
    char *copy = HTAlloc_strdup(args);
    if (copy == nullptr) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "out of memory");
        return -1;
    }
    HTAlloc_free(config->proxy_host_name);
    config->proxy_host_name = copy;
    return 0;
}

int proxy_port(void *target, const char *args, char *error)
{
    char *end = nullptr;
    const long port = std::strtol(args, &end, 10);
    if (*args == '\0' || *end != '\0' || port < 1 || port > 65535) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "needs a port from 1 to 65535");
        return -1;
    }
    config_of(target)->proxy_port = port;
    return 0;
}

const HostDirective kDirectives[] = {
    {"http_proxy", http_proxy},         {"ftp_proxy", ftp_proxy},     {"gopher_proxy", gopher_proxy},
    {"proxy_chain", proxy_chain},       {"no_proxy", no_proxy},       {"fallback_proxy", fallback_proxy},
    {"parent_proxy", parent_proxy},     {"proxy_host", proxy_host},   {"proxy_port", proxy_port},
};

} // namespace

extern "C" HostDirectiveTable hostproxy_directives(HTStaticConfig *config)
{
    return {kDirectives, sizeof kDirectives / sizeof kDirectives[0], config};
}

extern "C" void hostproxy_free(HTStaticConfig *config)
{
    if (config == nullptr)
        return;
    proxychain_free(nullptr, config);
    HTAlloc_free(config->proxy_host_name);
    config->proxy_host_name = nullptr;
    config->proxy_port = 0;
}
