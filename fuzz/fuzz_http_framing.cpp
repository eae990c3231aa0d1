// Fuzzes the copying of answers to the client. The first byte seeds the
// sizes of the reads the answer arrives in, the second says whether the
// request was HEAD; the rest is what the server sends before it closes.
// The client must get exactly the bytes the framing gives the answer (fed
// the whole answer at once), never a byte past them, and the connection
// may be reused only when that framing found a complete answer that
// allows it, with nothing behind it.

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 262144)
        return 0;
    HTThdGlobals *g = fuzz_request();
    const bool head = data[1] & 1;
    PieceStream &server = piece_streams[0];
    server.start(data + 2, size - 2, data[0]);
    HTSecure_setBackend(&piece_backend);
    client.clear();

    HTRequest request{};
    request.pool = g;
    request.method = head ? HT_METHOD_HEAD : HT_METHOD_GET;
    HTInputSocket *in = HTInputSocket_new(&server.socket, &request);
    Sink sink{{&kSink}};
    g->server_close = 0;
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
