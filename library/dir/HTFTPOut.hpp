// The FTP loader's answers on the request's output stream: a head (status
// line, Content-Type, Content-Length when known) before the body, and a
// data connection copied through. Stands in until the directory layer's
// page and raw streams carry the FTP answers as well.
#ifndef HTFTPOUT_HPP
#define HTFTPOUT_HPP

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "HTSocket.h"
#include "HTStream-t.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace htftp {

// 0, or -1 when there is no stream or it refused the bytes.
inline int send_head(HTRequest *request, int status, const char *reason, const char *type, long long length)
{
    HTStream *out = request->output_stream;
    if (out == nullptr)
        return -1;
    // An HTTP/0.9 client gets the body alone.
    if (request->http_version != nullptr && std::strcmp(request->http_version, "HTTP/0.9") == 0)
        return 0;
    char head[512];
    int n;
    if (length >= 0)
        n = std::snprintf(head, sizeof head, "HTTP/1.0 %d %s\r\nContent-Type: %s\r\nContent-Length: %lld\r\n\r\n",
                          status, reason, type, length);
    else
        n = std::snprintf(head, sizeof head, "HTTP/1.0 %d %s\r\nContent-Type: %s\r\n\r\n", status, reason, type);
    if (n <= 0 || n >= static_cast<int>(sizeof head))
        return -1;
    return out->isa->write(out, head, n) >= 0 ? 0 : -1;
}

inline int send_body(HTRequest *request, const char *bytes, size_t n)
{
    HTStream *out = request->output_stream;
    if (out == nullptr)
        return -1;
    while (n > 0) {
        const int part = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
        if (out->isa->write(out, bytes, part) < 0)
            return -1;
        bytes += part;
        n -= static_cast<size_t>(part);
    }
    return 0;
}

// Copies the socket until the peer closes it: the bytes copied, or -1.
inline long long copy_socket(HTSocket *socket, HTRequest *request)
{
    char block[8192];
    long long total = 0;
    for (;;) {
        const int n = HTSocket_read(socket, block, sizeof block, request);
        if (n < 0)
            return -1;
        if (n == 0) {
            if (socket->error == EAGAIN && (socket->error = 0, true) && HTSocket_isready(socket, 30000) > 0)
                continue;
            return total;
        }
        if (send_body(request, block, static_cast<size_t>(n)) != 0)
            return -1;
        total += n;
    }
}

} // namespace htftp

#endif
