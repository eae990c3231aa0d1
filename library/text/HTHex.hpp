// HTHex: the value of a hexadecimal digit, for the parsers of percent
// escapes and chunk sizes. Internal (C++ only, not installed).
#ifndef HTHEX_HPP
#define HTHEX_HPP

namespace ht {

// 0 to 15, or -1 for any other byte. The byte is taken unsigned, so bytes of
// 128 and above never compare as negative numbers.
constexpr int hex_value(unsigned char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

static_assert(hex_value('0') == 0 && hex_value('f') == 15 && hex_value('F') == 15 && hex_value('g') == -1 &&
              hex_value(0xB0) == -1);

} // namespace ht

#endif
