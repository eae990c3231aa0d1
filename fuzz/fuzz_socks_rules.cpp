// Fuzzes the SOCKS rule file and the decisions over it: the input is a rule
// file, then (after a zero byte) destinations of six bytes each (address and
// port). Every decision is one of the three kinds, a SOCKS decision always
// comes with servers, and loading and freeing leave nothing behind. Names are
// resolved as dotted addresses only, so that no input reaches the network.

#include "HTSocks.h"
#include "fuzz_context.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int dotted_only(struct sockaddr_in *address, const char *text)
{
    std::string host(text);
    const auto colon = host.find(':');
    if (colon != std::string::npos) {
        const int port = std::atoi(host.c_str() + colon + 1);
        if (port < 0 || port > 65535)
            return -1;
        address->sin_port = htons(static_cast<uint16_t>(port));
        host.resize(colon);
    }
    address->sin_family = AF_INET;
    return inet_pton(AF_INET, host.c_str(), &address->sin_addr) == 1 ? 0 : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static HTThdGlobals *ctx = fuzz_context();
    (void)ctx;
    HTSocks__setResolver(dotted_only);
    const auto *split = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t text_size = split ? static_cast<size_t>(split - data) : size;
    std::string text(reinterpret_cast<const char *>(data), text_size);
    HTStaticConfig c{};
    Socks_init(&c);
    FILE *f = text.empty() ? nullptr : fmemopen(text.data(), text.size(), "r");
    Socks_loadConfiguration(f, &c);
    if (f)
        std::fclose(f);

    const uint8_t *d = split ? split + 1 : data;
    const size_t left = split ? size - text_size - 1 : 0;
    for (size_t at = 0; at + 6 <= left; at += 6) {
        struct sockaddr_in dest {};
        dest.sin_family = AF_INET;
        std::memcpy(&dest.sin_addr.s_addr, d + at, 4);
        std::memcpy(&dest.sin_port, d + at + 4, 2);
        HTList *servers = nullptr;
        const int r = check_cconf(&dest, &servers, &c);
        if (r != HT_SOCKS_SOCKD && r != HT_SOCKS_DIRECT && r != HT_SOCKS_DENY)
            std::abort();
        if (r == HT_SOCKS_SOCKD && (servers == nullptr || HTList_isEmptyF(servers)))
            std::abort();
    }
    Socks_free(&c);
    return 0;
}
