// MD4 (RFC 1320), for the URL digest the host computes (entries 59 to 62).

#include "orvhost.h"

#include <cstring>

namespace orvhost {
namespace {

inline uint32_t rotl(uint32_t x, int s)
{
    return (x << s) | (x >> (32 - s));
}

inline uint32_t f(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t g(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); }
inline uint32_t h(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }

// One 64-byte block; the words are little-endian whatever the machine.
void transform(uint32_t state[4], const unsigned char block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<uint32_t>(block[4 * i + 2]) << 16 |
               static_cast<uint32_t>(block[4 * i + 3]) << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    static const int kR1[4] = {3, 7, 11, 19};
    static const int kR2[4] = {3, 5, 9, 13};
    static const int kR3[4] = {3, 9, 11, 15};
    static const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = rotl(a + f(b, c, d) + x[i], kR1[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
        const int k = (i % 4) * 4 + i / 4;
        const uint32_t t = rotl(a + g(b, c, d) + x[k] + 0x5A827999u, kR2[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = rotl(a + h(b, c, d) + x[kOrder3[i]] + 0x6ED9EBA1u, kR3[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

} // namespace

void md4_init(Md4 *m)
{
    m->state[0] = 0x67452301u;
    m->state[1] = 0xEFCDAB89u;
    m->state[2] = 0x98BADCFEu;
    m->state[3] = 0x10325476u;
    m->count = 0;
}

void md4_update(Md4 *m, const unsigned char *data, std::size_t length)
{
    std::size_t have = static_cast<std::size_t>(m->count % 64);
    m->count += length;
    while (length > 0) {
        const std::size_t take = length < 64 - have ? length : 64 - have;
        std::memcpy(m->buffer + have, data, take);
        have += take;
        data += take;
        length -= take;
        if (have == 64) {
            transform(m->state, m->buffer);
            have = 0;
        }
    }
}

void md4_final(unsigned char digest[16], Md4 *m)
{
    const uint64_t bits = m->count * 8;
    static const unsigned char kPad[64] = {0x80};
    const std::size_t have = static_cast<std::size_t>(m->count % 64);
    md4_update(m, kPad, have < 56 ? 56 - have : 120 - have);
    unsigned char size[8];
    for (int i = 0; i < 8; ++i)
        size[i] = static_cast<unsigned char>(bits >> (8 * i));
    md4_update(m, size, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(m->state[i] >> (8 * j));
}

std::string md4_hex(const std::string &text)
{
    Md4 m;
    md4_init(&m);
    md4_update(&m, reinterpret_cast<const unsigned char *>(text.data()), text.size());
    unsigned char digest[16];
    md4_final(digest, &m);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

} // namespace orvhost
