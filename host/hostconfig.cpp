// hostconfig: the network layer's directives, and the whole file.

#include "hostconfig.h"

#include "hostaccess.h"
#include "hostplugin.h"

#include "HTAlloc.h"
#include "HTList.h"
#include "HTSocks.h"
#include "HTString.h"
#include "htstab.h"
#include "hostclient.h"
#include "hostio.h"
#include "hostloader.h"
#include "hostproxy.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The number of descriptors the socket table is sized for.
constexpr int expected_descriptors = 1024;

HTStaticConfig *cfg(void *target) { return static_cast<HTStaticConfig *>(target); }

// The value as written, without a pair of double quotes around it.
std::string value_of(const char *args)
{
    size_t length = 0;
    const char *start = hostconf_unquoted(args, &length);
    return std::string(start, length);
}

int refuse(char *error, const char *why)
{
    std::snprintf(error, HOSTCONF_ERROR_MAX, "%s", why);
    return -1;
}

int byte_count(const char *args, intptr_t *out, char *error)
{
    long n = 0;
    if (hostconf_number(args, 0, 0x7fffffffL, &n, error) != 0)
        return -1;
    *out = n;
    return 0;
}

int local_address(void *t, const char *args, char *error)
{
    struct in_addr a;
    if (inet_pton(AF_INET, value_of(args).c_str(), &a) != 1)
        return refuse(error, "not a dotted IPv4 address");
    cfg(t)->local_address = a.s_addr;
    return 0;
}

int socks_server(void *t, const char *args, char *error)
{
    Socks_setServer(value_of(args).c_str(), cfg(t));
    return cfg(t)->socks_old_style ? 0 : refuse(error, "the SOCKS server does not resolve");
}

int flexible_socks(void *t, const char *args, char *error)
{
    return hostconf_flag(args, &cfg(t)->flexible_socks, error);
}

int socks_rules(void *t, const char *args, char *error)
{
    FILE *f = std::fopen(value_of(args).c_str(), "r");
    if (f == nullptr)
        return refuse(error, "the rule file cannot be opened");
    Socks_loadConfiguration(f, cfg(t));
    std::fclose(f);
    return 0;
}

int socks_user(void *t, const char *args, char *error)
{
    return hostconf_text(args, &cfg(t)->socks_user, error);
}

int udp_send_buffer(void *t, const char *args, char *error)
{
    return byte_count(args, &cfg(t)->udp_send_buffer, error);
}

int udp_receive_buffer(void *t, const char *args, char *error)
{
    return byte_count(args, &cfg(t)->udp_receive_buffer, error);
}

int socket_debugging(void *t, const char *args, char *error)
{
    return hostconf_flag(args, &cfg(t)->socket_debugging, error);
}

int block_header(void *t, const char *args, char *error)
{
    const std::string v = value_of(args);
    if (v.empty())
        return refuse(error, "expected a header name or prefix");
    char *copy = HTAlloc_strdup(v.c_str());
    if (copy == nullptr)
        return refuse(error, "out of memory");
    HTStaticConfig *c = cfg(t);
    if (c->blocked_headers == nullptr)
        c->blocked_headers = HTList_new(nullptr);
    HTList_appendObject(c->blocked_headers, copy, nullptr);
    return 0;
}

int response_time_header(void *t, const char *args, char *error)
{
    if (hostconf_text(args, &cfg(t)->response_time_name, error) != 0)
        return -1;
    cfg(t)->response_time_header = 1;
    return 0;
}

int flush_after_headers(void *t, const char *args, char *error)
{
    return hostconf_flag(args, &cfg(t)->flush_after_headers, error);
}

int error_log(void *, const char *args, char *error)
{
    return hostio_openErrorLog(value_of(args).c_str()) == 0
               ? 0
               : refuse(error, "the error log cannot be opened");
}

const HostDirective network_directives[] = {
    {"LocalAddress", local_address},
    {"SocksServer", socks_server},
    {"FlexibleSocks", flexible_socks},
    {"SocksRules", socks_rules},
    {"SocksUser", socks_user},
    {"UdpSendBuffer", udp_send_buffer},
    {"UdpReceiveBuffer", udp_receive_buffer},
    {"SocketDebugging", socket_debugging},
    {"BlockHeader", block_header},
    {"ResponseTimeHeader", response_time_header},
    {"FlushAfterHeaders", flush_after_headers},
    {"ErrorLog", error_log},
};

} // namespace

extern "C" HostDirectiveTable hostconfig_directives(HTStaticConfig *config)
{
    return HostDirectiveTable{network_directives,
                              sizeof network_directives / sizeof network_directives[0], config};
}

extern "C" int hostconfig_load(const char *path, HTStaticConfig *config, char *error)
{
    HTStaticConfig *c = config ? config : &HTMyStaticConfig;
    if (c->socks_user == nullptr)
        Socks_init(c);
    const HostDirectiveTable tables[] = {hostconfig_directives(c), hostproxy_directives(c),
                                         hostclient_directives(c), hostloader_directives(c),
                                         hostaccess_directives(c), hostplugin_directives(c)};
    const size_t n = sizeof tables / sizeof tables[0];
    char ignored[HOSTCONF_ERROR_MAX];
    const int result = path ? hostconf_read(path, tables, n, error ? error : ignored)
                            : hostconf_readText("", "(built-in)", tables, n, error ? error : ignored);
    if (result >= 0)
        HTSocketTable_init(c, expected_descriptors, 1);
    return result;
}

extern "C" void hostconfig_free(HTStaticConfig *config)
{
    HTStaticConfig *c = config ? config : &HTMyStaticConfig;
    Socks_free(c);
    if (c->blocked_headers != nullptr)
        HTList_deleteAndFreeContents(c->blocked_headers, nullptr);
    c->blocked_headers = nullptr;
    HTAlloc_free(c->response_time_name);
    c->response_time_name = nullptr;
    c->response_time_header = 0;
    HTAlloc_free(c->worker_user);
    c->worker_user = nullptr;
    HTAlloc_free(c->worker_group);
    c->worker_group = nullptr;
    hostproxy_free(c);
    hostloader_free(c);
}
