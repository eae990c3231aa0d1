// Fuzzes HTSimplify: the result is never longer than the input, also when
// simplified a second time.

#include "HTParse.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HTThdGlobals *ctx = fuzz_context();
    char *url = new char[size + 1];
    std::memcpy(url, data, size);
    url[size] = '\0';
    const std::size_t before = std::strlen(url);
    if (HTSimplify(url, ctx) != url || std::strlen(url) > before)
        std::abort();
    const std::size_t once = std::strlen(url);
    HTSimplify(url, ctx);
    if (std::strlen(url) > once)
        std::abort();
    delete[] url;
    fuzz_context_reset(ctx);
    return 0;
}
