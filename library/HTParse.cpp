// HTParse: URL parsing, simplification and escaping.

#include "HTParse.h"

#include <cstring>

namespace {

// Value of a hexadecimal digit, or -1. The byte is taken unsigned so that
// bytes of 128 and above never index or compare as negative numbers.
inline int hex_value(unsigned char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Handed out for a null text; never written by this module.
char empty_text[1];

} // namespace

extern "C" char *HTUnEscape(char *str)
{
    if (str == nullptr)
        return empty_text;
    char *pct = std::strchr(str, '%');
    if (pct == nullptr)
        return str;

    // Copy runs without "%" with memmove; only the escapes are decoded byte by byte.
    char *out = pct;
    const char *in = pct;
    for (;;) {
        // *in is a "%" here.
        const int hi = hex_value(static_cast<unsigned char>(in[1]));
        if (hi >= 0) {
            const int lo = hex_value(static_cast<unsigned char>(in[2]));
            if (lo >= 0) {
                *out++ = static_cast<char>(hi * 16 + lo);
                in += 3;
            } else if (in[2] == '\0') {
                *out++ = static_cast<char>(hi * 16);
                in += 2;
            } else {
                *out++ = *in++;
            }
        } else {
            *out++ = *in++;
        }
        const char *next = std::strchr(in, '%');
        const std::size_t run = next ? static_cast<std::size_t>(next - in) : std::strlen(in);
        std::memmove(out, in, run);
        out += run;
        in += run;
        if (next == nullptr)
            break;
    }
    *out = '\0';
    return str;
}
