// A client connection for the dir layer's tests: a writer on one end of a
// socket pair, as a loader gets it, and the bytes that reach the other end.
#ifndef DIR_FIXTURE_HPP
#define DIR_FIXTURE_HPP

#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTSocket.h"
#include "HTWriter.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

struct ClientEnd {
    int peer = -1;
    HTSocket *socket = nullptr;
    HTRequest request{};
    HTStaticConfig config{};
    std::thread reader;
    std::string received;

    explicit ClientEnd(HTThdGlobals *g, const char *version = "HTTP/1.1")
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        peer = fds[1];
        socket = HTSocketQueue_get();
        socket->socket = fds[0];
        request.config = &config;
        request.pool = g;
        request.http_version = version;
        request.output_stream = HTWriter_newNoClose(socket, &request);
        // Read as it comes, so that a large answer never fills the pair.
        reader = std::thread([this] {
            char buf[65536];
            for (;;) {
                const ssize_t r = read(peer, buf, sizeof buf);
                if (r <= 0)
                    break;
                received.append(buf, static_cast<size_t>(r));
            }
        });
    }
    // Everything the client got, once the writer's end is closed.
    const std::string &finish()
    {
        if (socket != nullptr && socket->socket >= 0) {
            HTSocket_close(socket, __FILE__, __LINE__, nullptr);
            socket = nullptr;
        }
        if (reader.joinable())
            reader.join();
        return received;
    }
    ~ClientEnd()
    {
        finish();
        if (peer >= 0)
            close(peer);
    }
};

// The body of an answer (after its blank line), or the whole text without one.
inline std::string body_of(const std::string &answer)
{
    const size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? answer : answer.substr(at + 4);
}

inline std::string head_of(const std::string &answer)
{
    const size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(0, at + 4);
}

#endif
