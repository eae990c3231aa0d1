// Fuzzes the copying of answers to the client. The first byte seeds the
// sizes of the reads the answer arrives in, the second says whether the
// request was HEAD (bit 0), whether the client speaks HTTP/1.0 (bit 1) and
// whether it asked for keep-alive (bit 2); the rest is what the server
// sends before it closes. An HTTP/1.1 client must get exactly the bytes the
// framing gives the answer (fed the whole answer at once), never a byte
// past them; an HTTP/1.0 client whose connection stays must be able to
// frame what it got by itself; and the server connection may be reused
// only when that framing found a complete answer that allows it, with
// nothing behind it.

#include "HTInputSocket.h"
#include "HTMethod.h"
#include "HTProxyCopy.h"
#include "HTStream-t.h"
#include "fuzz_context.h"
#include "fuzz_http_pieces.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string client;

struct Sink {
    HTStream stream;
};

int sink_write(HTStream *, const char *data, int n)
{
    client.append(data, static_cast<size_t>(n));
    return 0;
}
int sink_put_string(HTStream *, const char *text)
{
    client.append(text);
    return 0;
}
int sink_put_character(HTStream *, int c)
{
    client += static_cast<char>(c);
    return 0;
}
int sink_message(HTStream *, int message, void *argument)
{
    if (message == HT_STREAM_MSG_IDENTIFY)
        *static_cast<int *>(argument) = HT_STREAM_TYPE_WRITER;
    return 0;
}
int sink_done(HTStream *, void *) { return 0; }
int sink_status(HTStream *, int *out)
{
    *out = 0;
    return 0;
}
int sink_headers(HTStream *, void *) { return HT_HEADERS_SENT; }

const HTStreamClass kSink = {"FuzzSink", sink_done, sink_done, sink_put_character, sink_put_string,
                             sink_write, sink_status, sink_message, sink_headers};

std::string lower(std::string t)
{
    for (char &c : t)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return t;
}

std::string trimmed(const std::string &t)
{
    size_t a = 0, b = t.size();
    while (a < b && (t[a] == ' ' || t[a] == '\t'))
        ++a;
    while (b > a && (t[b - 1] == ' ' || t[b - 1] == '\t' || t[b - 1] == '\r'))
        --b;
    return t.substr(a, b - a);
}

// What an HTTP/1.0 client told to keep its connection got must frame
// itself: after any interim heads, a final head with "Connection:
// keep-alive" and a body of its Content-Length (none for HEAD, 204, 304).
bool frames_itself(const std::string &got, bool head_request)
{
    size_t at = 0;
    for (;;) {
        size_t end = std::string::npos;
        for (size_t i = at; i < got.size(); ++i)
            if (got[i] == '\n' && i + 1 < got.size() &&
                (got[i + 1] == '\n' || (got[i + 1] == '\r' && i + 2 < got.size() && got[i + 2] == '\n'))) {
                end = got[i + 1] == '\n' ? i + 2 : i + 3;
                break;
            }
        if (end == std::string::npos)
            return false;
        const std::string head = got.substr(at, end - at);
        at = end;
        const size_t sp = head.find(' ');
        const int status = sp == std::string::npos ? -1 : std::atoi(head.c_str() + sp + 1);
        if (status >= 100 && status < 200 && status != 101)
            continue;
        const std::string body = got.substr(at);
        bool keep = false;
        std::string length;
        size_t line = head.find('\n') + 1;
        while (line < head.size()) {
            const size_t next = head.find('\n', line);
            const std::string l = head.substr(line, (next == std::string::npos ? head.size() : next) - line);
            line = next == std::string::npos ? head.size() : next + 1;
            const size_t colon = l.find(':');
            if (colon == std::string::npos)
                continue;
            const std::string name = lower(trimmed(l.substr(0, colon)));
            if (name == "connection" && lower(trimmed(l.substr(colon + 1))) == "keep-alive")
                keep = true;
            if (name == "content-length" && length.empty())
                length = trimmed(l.substr(colon + 1));
        }
        if (!keep)
            return false;
        if (head_request || status == 204 || status == 304)
            return body.empty();
        return !length.empty() && std::strtoull(length.c_str(), nullptr, 10) == body.size();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 262144)
        return 0;
    HTThdGlobals *g = fuzz_request();
    const bool head = data[1] & 1;
    const bool oneZero = data[1] & 2;
    const bool asks = data[1] & 4;
    PieceStream &server = piece_streams[0];
    server.start(data + 2, size - 2, data[0]);
    HTSecure_setBackend(&piece_backend);
    client.clear();

    HTRequest request{};
    request.pool = g;
    request.method = head ? HT_METHOD_HEAD : HT_METHOD_GET;
    request.http_version = oneZero ? "HTTP/1.0" : "HTTP/1.1";
    request.keep_alive = asks;
    HTInputSocket *in = HTInputSocket_new(&server.socket, &request);
    Sink sink{{&kSink}};
    g->server_close = 0;
    g->client_close = 0;
    const int r = HTProxyCopy(in, &sink.stream, g);

    // The framing of the whole answer at once.
    HTProxyFrame f;
    HTProxyFrame_init(&f, head);
    size_t used = 0;
    for (;;) {
        int interim = 0;
        const size_t u = HTProxyFrame_feed(&f, reinterpret_cast<const char *>(server.bytes) + used,
                                           server.size - used, &interim);
        used += u;
        if (!interim || used == server.size)
            break;
    }
    if (used == server.size)
        HTProxyFrame_closed(&f);
    if (r == HT_COPY_BAD_HEAD) {
        if (!f.head_overrun || !client.empty() || !g->server_close)
            std::abort();
    } else if (oneZero) {
        if (r > 0 && !g->client_close && (!asks || !frames_itself(client, head)))
            std::abort();
    } else {
        if (client.size() > used)
            std::abort();
        if (client != std::string(reinterpret_cast<const char *>(server.bytes), client.size()))
            std::abort();
        if (f.state != HT_FRAME_ERROR && client.size() != used)
            std::abort();
    }
    // Bytes still unread behind the answer are the socket's to report (they
    // would be waiting in the kernel); bytes read past it forbid reuse.
    if (!g->server_close && (!HTProxyFrame_reusable(&f) || server.at > used))
        std::abort();
    HTSecure_setBackend(nullptr);
    fuzz_context_reset(g);
    return 0;
}
