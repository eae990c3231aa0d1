// Fuzzes domain lists and server-preference lists. The input up to the
// first line feed is a domain list text: every entry parseDomains keeps has
// a port from 0 to 65535 and a name without separators taken from the
// text, and a query over the list as a no-proxy list never fails. The rest is a preference list and
// a current URL (separated by a zero byte): taking items until none is left
// always ends, items hold no blank, and each next URL is an item followed by
// the URL's path.

#include "HTList.h"
#include "HTServerPref.h"
#include "servprox.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool separator(char c) { return c == ',' || static_cast<unsigned char>(c) < 33; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 20000)
        return 0;
    HTThdGlobals *g = fuzz_request();
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t nl = input.find('\n');
    const std::string domains = input.substr(0, nl).c_str();
    const std::string rest = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    const std::string list = rest.c_str();
    const std::string url = rest.size() > list.size() ? rest.substr(list.size() + 1).c_str() : std::string();

    HTList *parsed = parseDomains(g, domains.c_str());
    for (HTList *e = parsed ? parsed->next : nullptr; e; e = e->next) {
        const auto *d = static_cast<const HTProxyDomain *>(e->object);
        if (d->port < 0 || d->port > 65535)
            std::abort();
        for (const char *c = d->name; *c; ++c)
            if (separator(*c))
                std::abort();
        if (std::strstr(domains.c_str(), d->name) == nullptr)
            std::abort();
    }
    HTStaticConfig config{};
    config.no_proxy = parsed;
    proxychain_queryProxyChain(g, &config, nullptr, 0, list.c_str(), 80);
    proxychain_freeDomains(parsed, g);

    utilServerPref_initialize(g);
    utilServerPref_createList(list.c_str(), g);
    g->url = url.c_str();
    const std::string made = utilServerPref_getList(g);
    const char *scheme = std::strstr(url.c_str(), "://");
    const char *path = scheme ? std::strchr(scheme + 3, '/') : nullptr;
    utilServerPref_set(g);
    size_t items = 0;
    while (char *next = utilServerPref_getNextURL(g)) {
        if (path == nullptr || ++items > made.size())
            std::abort();
        const size_t n = std::strlen(next), pn = std::strlen(path);
        if (n < pn || std::strcmp(next + n - pn, path) != 0 || std::memchr(next, ' ', n - pn) != nullptr)
            std::abort();
    }
    // The list reads as it was made, whatever was taken from it.
    if (made != utilServerPref_getList(g))
        std::abort();
    if (!utilServerPref_isEmpty(g) && path != nullptr)
        std::abort();
    g->url = nullptr;
    fuzz_context_reset(g);
    return 0;
}
