// Hex vectors for the codec tests: "A0 19 02 01 ..." with "XX*N" repeating a
// byte N times, and heap copies of exactly a given size so that the sanitizer
// reports any read past a cut-off input.
#ifndef TESTS_SNMP_CODEC_HEXVEC_H
#define TESTS_SNMP_CODEC_HEXVEC_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

inline Bytes hex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const auto star = word.find('*');
        const unsigned value = static_cast<unsigned>(std::stoul(word.substr(0, star), nullptr, 16));
        const unsigned long times = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
        out.insert(out.end(), times, static_cast<unsigned char>(value));
    }
    return out;
}

inline std::string to_hex(const unsigned char *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

inline std::string to_hex(const Bytes &b)
{
    return to_hex(b.data(), b.size());
}

// A heap block of exactly `n` bytes holding the first n bytes of `b`.
struct ExactCopy {
    std::unique_ptr<unsigned char[]> block;
    size_t size;
    ExactCopy(const Bytes &b, size_t n) : block(new unsigned char[n]), size(n)
    {
        if (n)
            std::memcpy(block.get(), b.data(), n);
    }
    unsigned char *data() const { return block.get(); }
};

#endif
