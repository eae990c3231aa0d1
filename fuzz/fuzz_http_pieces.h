// Byte streams handed to the library in pieces of random sizes: sockets
// whose "secure" backend reads from the stream of their own and records
// what is written to them.
#ifndef FUZZ_HTTP_PIECES_H
#define FUZZ_HTTP_PIECES_H

#include "HTSecure.h"
#include "HTSocket.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

struct PieceStream {
    HTSocket socket{};
    const uint8_t *bytes = nullptr;
    size_t size = 0, at = 0;
    uint32_t seed = 0;
    std::string written;

    void start(const uint8_t *b, size_t n, uint32_t s)
    {
        socket = HTSocket{};
        socket.socket = -1;
        socket.secure = 1;
        bytes = b;
        size = n;
        at = 0;
        seed = s;
        written.clear();
    }
    int next_size()
    {
        seed = seed * 1103515245u + 12345u;
        const uint32_t r = seed >> 16;
        return (r & 7) == 0 ? static_cast<int>(r % 2048) + 1 : static_cast<int>(r % 16) + 1;
    }
};

inline PieceStream piece_streams[2];

inline PieceStream *piece_stream_of(HTSocket *s)
{
    for (PieceStream &p : piece_streams)
        if (&p.socket == s)
            return &p;
    return nullptr;
}

inline int piece_read(HTSocket *s, void *buffer, int length, HTRequest *)
{
    PieceStream *p = piece_stream_of(s);
    if (p == nullptr)
        return -1;
    const size_t n = std::min({static_cast<size_t>(length), static_cast<size_t>(p->next_size()), p->size - p->at});
    std::memcpy(buffer, p->bytes + p->at, n);
    p->at += n;
    return static_cast<int>(n);
}

inline int piece_write(HTSocket *s, const void *buffer, int length, HTRequest *)
{
    PieceStream *p = piece_stream_of(s);
    if (p == nullptr)
        return -1;
    p->written.append(static_cast<const char *>(buffer), static_cast<size_t>(length));
    return length;
}

inline const HTSecureBackend piece_backend = {nullptr, piece_read, piece_write, nullptr};

#endif
