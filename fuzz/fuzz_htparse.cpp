// Fuzzes HTParse: the first byte is the wanted-parts mask, the rest is a URL
// and a base URL separated by the first newline (no newline: an empty base).
// The result must fit the buffer HTParse sized for it: formatting the same
// parts into a roomier buffer must give the same text.

#include "HTParse.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    HTThdGlobals *ctx = fuzz_context();
    const int wanted = data[0] & 63;
    std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::size_t nl = rest.find('\n');
    std::string name = rest.substr(0, nl);
    std::string base = nl == std::string::npos ? std::string() : rest.substr(nl + 1);
    // Lengths up to the first zero byte, as a C caller would see them.
    const std::size_t nlen = std::strlen(name.c_str()), blen = std::strlen(base.c_str());
    char *r = HTParseWithLen(name.c_str(), nlen, base.c_str(), blen, wanted, ctx);
    HTParseParts given, related;
    HTParse_scan(name.data(), &given, nlen);
    HTParse_scan(base.data(), &related, blen);
    std::string roomy(nlen + blen + 64, '\0');
    HTParse_format(&given, &related, roomy.data(), wanted, ctx);
    if (std::strlen(r) >= nlen + blen + 10 || std::strcmp(r, roomy.c_str()) != 0)
        std::abort();
    fuzz_context_reset(ctx);
    return 0;
}
