// Fuzzes the escape round trip: HTEscape under the class of the first byte,
// then HTUnEscape, must give the input back; only bytes of the class may be
// left unescaped; and HTUnEscape alone never lengthens any text.

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
    const unsigned char mask = static_cast<unsigned char>(data[0] & 7);
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string original(text.c_str()); // up to the first zero byte

    char *escaped = HTEscape(original.c_str(), mask, ctx);
    for (const char *p = escaped; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32 || c >= 127 || c == ' ')
            std::abort();
    }
    if (std::string(HTUnEscape(escaped)) != original)
        std::abort();

    char *raw = new char[original.size() + 1];
    std::memcpy(raw, original.c_str(), original.size() + 1);
    if (std::strlen(HTUnEscape(raw)) > original.size())
        std::abort();
    delete[] raw;
    fuzz_context_reset(ctx);
    return 0;
}
