// HTParse: URL parsing, simplification and escaping.

#include "HTParse.h"

#include "HTTrace.h"

#include <cstdint>
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

// Decodes [in, end) to `out` (out <= in), and writes a terminator. "+" becomes
// a blank when `plus` is set. Returns where the result ends as a C string: the
// terminator, or the first zero byte that "%00" produced.
//
// Sixteen bytes at a time: a block without "%" is copied whole (with "+"
// replaced); otherwise the bytes before the first "%" are, and the escape is
// decoded on its own. Nothing at or past `end` is read.
// Sixteen bytes as one value; GCC lowers the operations to whatever the
// target has (SSE2 here, plain words on a target without vectors).
typedef unsigned char v16 __attribute__((vector_size(16)));

inline v16 splat(unsigned char c) noexcept
{
    v16 v;
    for (int i = 0; i < 16; ++i)
        v[i] = c;
    return v;
}

char *unescape_span(unsigned char *in, unsigned char *const end, bool plus) noexcept
{
    unsigned char *out = in;
    unsigned char *first_zero = nullptr;
    const v16 pct = splat('%');
    // Without `plus`, "+" is "replaced" by itself.
    const v16 plus_char = splat('+');
    const v16 blank = splat(plus ? ' ' : '+');

    while (in < end) {
        // A short last block is loaded into a zeroed vector: zero is never "%".
        const bool whole = end - in >= 16;
        const std::size_t n = whole ? 16 : static_cast<std::size_t>(end - in);
        v16 v = {};
        if (whole)
            std::memcpy(&v, in, 16);
        else
            std::memcpy(&v, in, n);
        v = (v == plus_char) ? blank : v;
        const v16 hit = (v == pct);
        uint64_t lanes[2];
        std::memcpy(lanes, &hit, sizeof lanes);
        if ((lanes[0] | lanes[1]) == 0) {
            if (whole)
                std::memcpy(out, &v, 16);
            else
                std::memcpy(out, &v, n);
            in += n;
            out += n;
            continue;
        }
        // Bytes before the first "%" of the block.
        std::size_t k = 0;
        while (in[k] != '%')
            ++k;
        std::memcpy(out, &v, k);
        in += k;
        out += k;
        // *in is a "%". in[1] is read only before `end`; in[2] only when in[1]
        // is a digit.
        const int hi = (end - in > 1) ? hex_value(in[1]) : -1;
        const int lo = (hi >= 0 && end - in > 2) ? hex_value(in[2]) : -1;
        if (lo >= 0) {
            const unsigned char byte = static_cast<unsigned char>(hi * 16 + lo);
            if (byte == 0 && first_zero == nullptr)
                first_zero = out;
            *out++ = byte;
            in += 3;
        } else if (hi >= 0 && end - in == 2) {
            // One hexadecimal digit that ends the text.
            if (hi == 0 && first_zero == nullptr)
                first_zero = out;
            *out++ = static_cast<unsigned char>(hi * 16);
            in += 2;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
    return reinterpret_cast<char *>(first_zero ? first_zero : out);
}

} // namespace

extern "C" char *HTUnEscape(char *str)
{
    if (str == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_URL))
            tfprintf(stderr, "HTUnEscape.. Called with NULL argument.\n");
        return empty_text;
    }
    char *pct = std::strchr(str, '%');
    if (pct != nullptr) {
        unsigned char *from = reinterpret_cast<unsigned char *>(pct);
        unescape_span(from, from + std::strlen(pct), false);
    }
    return str;
}

extern "C" char *HTUnEscapeSpan(char *str, size_t length, int plus_is_blank)
{
    if (str == nullptr)
        return empty_text;
    unsigned char *from = reinterpret_cast<unsigned char *>(str);
    return unescape_span(from, from + length, plus_is_blank != 0);
}
