// hostconfig: directives of the host's configuration file.

#include "hostconfig.h"

#include "HTAlloc.h"
#include "HTList.h"
#include "HTSocks.h"
#include "HTString.h"
#include "htstab.h"
#include "hostclient.h"
#include "hostio.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The number of descriptors the socket table is sized for.
constexpr int expected_descriptors = 1024;

bool flag(const char *word, uintptr_t *out)
{
    if (positive(word)) {
        *out = 1;
        return true;
    }
    if (negative(word)) {
        *out = 0;
        return true;
    }
    return false;
}

bool number(const char *word, intptr_t *out)
{
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(word, &end, 10);
    if (errno != 0 || end == word || *end != '\0' || v < 0 || v > 0x7fffffffL)
        return false;
    *out = v;
    return true;
}

bool replace_text(char **slot, const char *text)
{
    char *copy = HTAlloc_strdup(text);
    if (copy == nullptr)
        return false;
    HTAlloc_free(*slot);
    *slot = copy;
    return true;
}

// The directive tables of the host's other parts.
struct PartTable {
    const HostConfigDirective *directives;
    size_t count;
};
const PartTable parts[] = {
    {hostclient_directives, hostclient_directiveCount},
};

const char *apply_part(HTStaticConfig *c, const char *name, const char *value)
{
    for (const PartTable &t : parts)
        for (size_t i = 0; i < t.count; ++i)
            if (strcasecomp(name, t.directives[i].name) == 0)
                return t.directives[i].apply(c, value);
    return "unknown directive";
}

// One directive; the message for a bad one, or null.
const char *apply(HTStaticConfig *c, char **args, int argc)
{
    const char *name = args[0];
    const char *value = args[1];
    if (argc != 2)
        return "a directive takes exactly one value";
    if (strcasecomp(name, "LocalAddress") == 0) {
        struct in_addr a;
        if (inet_pton(AF_INET, value, &a) != 1)
            return "not a dotted IPv4 address";
        c->local_address = a.s_addr;
    } else if (strcasecomp(name, "SocksServer") == 0) {
        Socks_setServer(value, c);
        if (!c->socks_old_style)
            return "the SOCKS server does not resolve";
    } else if (strcasecomp(name, "FlexibleSocks") == 0) {
        if (!flag(value, &c->flexible_socks))
            return "expected on or off";
    } else if (strcasecomp(name, "SocksRules") == 0) {
        FILE *f = std::fopen(value, "r");
        if (f == nullptr)
            return "the rule file cannot be opened";
        Socks_loadConfiguration(f, c);
        std::fclose(f);
    } else if (strcasecomp(name, "SocksUser") == 0) {
        if (!replace_text(&c->socks_user, value))
            return "out of memory";
    } else if (strcasecomp(name, "UdpSendBuffer") == 0) {
        if (!number(value, &c->udp_send_buffer))
            return "expected a byte count";
    } else if (strcasecomp(name, "UdpReceiveBuffer") == 0) {
        if (!number(value, &c->udp_receive_buffer))
            return "expected a byte count";
    } else if (strcasecomp(name, "SocketDebugging") == 0) {
        if (!flag(value, &c->socket_debugging))
            return "expected on or off";
    } else if (strcasecomp(name, "BlockHeader") == 0) {
        char *copy = HTAlloc_strdup(value);
        if (copy == nullptr)
            return "out of memory";
        if (c->blocked_headers == nullptr)
            c->blocked_headers = HTList_new(nullptr);
        HTList_appendObject(c->blocked_headers, copy, nullptr);
    } else if (strcasecomp(name, "ResponseTimeHeader") == 0) {
        if (!replace_text(&c->response_time_name, value))
            return "out of memory";
        c->response_time_header = 1;
    } else if (strcasecomp(name, "FlushAfterHeaders") == 0) {
        if (!flag(value, &c->flush_after_headers))
            return "expected on or off";
    } else if (strcasecomp(name, "ErrorLog") == 0) {
        if (hostio_openErrorLog(value) != 0)
            return "the error log cannot be opened";
    } else {
        return apply_part(c, name, value);
    }
    return nullptr;
}

} // namespace

extern "C" int hostconfig_load(const char *path, HTStaticConfig *config)
{
    HTStaticConfig *c = config ? config : &HTMyStaticConfig;
    FILE *f = path ? std::fopen(path, "r") : nullptr;
    if (f == nullptr)
        return -1;
    if (c->socks_user == nullptr)
        Socks_init(c);
    int bad = 0;
    int number_of_line = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        ++number_of_line;
        const size_t n = std::strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n') {
            std::fprintf(stderr, "hostconfig: %s:%d: line too long\n", path, number_of_line);
            ++bad;
            int ch;
            while ((ch = std::getc(f)) != EOF && ch != '\n') {
            }
            continue;
        }
        char *args[HT_MAX_ARGS];
        const int argc = parse_args(line, args);
        if (argc == 0)
            continue;
        if (const char *why = apply(c, args, argc)) {
            std::fprintf(stderr, "hostconfig: %s:%d: %s: %s\n", path, number_of_line, args[0], why);
            ++bad;
        }
    }
    std::fclose(f);
    HTSocketTable_init(c, expected_descriptors, 1);
    return bad;
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
}
