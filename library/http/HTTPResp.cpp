// HTTPResp: the HTTP loader's response half.

#include "HTTPResp.h"

#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTError.h"
#include "HTGlobals.h"
#include "HTLoadCodes.h"
#include "HTLog.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTProxyCopy.h"
#include "HTServerPref.h"
#include "HTSocket.h"
#include "HTStreamStack.h"
#include "HTTPConn.h"
#include "HTWriter.h"

#include "HTTPLoader.hpp"
#include "HTHex.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <strings.h>

using namespace ht_http;

namespace {

const HTStaticConfig *config_of(HTRequest *r) { return r && r->config ? r->config : &HTMyStaticConfig; }

HTInputSocket *server_input(HTRequest *request, HTThdGlobals *g)
{
    if (g->server_input == nullptr)
        g->server_input = HTInputSocket_new(g->server_socket, request);
    else if (g->server_input->socket != g->server_socket)
        HTInputSocket_reset(g->server_input, g->server_socket);
    g->server_input->request = request;
    return g->server_input;
}

const char *const kBadHead = "Proxy Error: The origin server sent a response head that is too long - URL \"%s\".\n";

} // namespace

extern "C" int HTReadHTTPResponse(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTStream *out = request->output_stream;
    HTInputSocket *in = server_input(request, g);
    const int r = HTProxyCopy(in, out, g);
    if (r == HT_COPY_BAD_HEAD) {
        const char *url = request->anchor ? HTAnchor_physical(request->anchor) : "";
        HTDetailedError_set(HT_DERR_ORIGINBADRESP, g);
        g->server_close = 1;
        HTLoadError(request, 502, HTHTTP_message(g, kMsgBuiltIn, kBadHead, EncodeScriptCharacters(url ? url : "", g)), g);
        if (out && out->isa && out->isa->free)
            out->isa->free(out, nullptr);
        g->client_close = 1;
        return HT_LOAD_OK;
    }
    if (r < 0) {
        HTTP_TRACE("HTTP Proxy.. error sending to client\n");
        if (out && out->isa && out->isa->abort)
            out->isa->abort(out, nullptr);
        return HT_LOAD_OK;
    }
    if (r == 0) {
        HTTP_TRACE("HTTP Proxy.. origin server returned no data\n");
        return HT_LOAD_FAILED;
    }
    g->output_healthy = r;
    if (out && out->isa && out->isa->free)
        out->isa->free(out, nullptr);
    return HT_LOAD_OK;
}

extern "C" int HTProxyCopy100Response(HTInputSocket *in, HTStream *out, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    int status = -1;
    const int r = HTProxyCopy_interim(in, out, &status, g);
    if (status == 100)
        HTTP_TRACE("HTProxyCopy100 get 100 response.\n");
    else
        HTTP_TRACE("HTProxyCopy100 no more to read\n");
    if (r > 0) {
        int wipe = 0;
        if (out && out->isa && out->isa->message)
            out->isa->message(out, HT_MSG_NO_STORE_QUERY, &wipe);
        if (wipe) {
            HTTP_TRACE("Wiping...... buffers in HTProxyCopy100.\n");
            HTInputSocket_wipe(in);
        }
    }
    if (r == HT_COPY_BROKEN)
        return -1;
    return r < 0 ? 0 : r;
}

extern "C" int HTGet100Response(HTRequest *request, int poll, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTSocket *s = g->server_socket;
    if (s == nullptr || s->socket < 0) {
        HTTP_TRACE("HTTP Proxy.. Invalid socket to receive 100 response \n");
        return HT_CONTINUE_BODY;
    }
    HTInputSocket *in = server_input(request, g);
    int buffered = 0;
    HTInputSocket_getInputPointer(in, &buffered);
    if (!poll) {
        HTTP_TRACE("HTTP Proxy.. no need to poll socket again.\n");
    } else if (buffered == 0) {
        pollfd p{};
        p.fd = s->socket;
        p.events = POLLIN;
        const int rc = ::poll(&p, 1, HT_HTTP_CONTINUE_WAIT_MS);
        if (rc < 0) {
            HTTP_TRACE("HTTP Proxy.. select error from origin server\n");
            return HT_CONTINUE_BODY;
        }
        if (rc == 0) {
            HTTP_TRACE("HTTP Proxy.. No response from server while waiting for 100 continue.\n");
            return HT_CONTINUE_BODY;
        }
    }
    HTTP_TRACE("HTTP Proxy.. Got a response from server while waiting for 100 continue.\n");
    int status = -1;
    const int r = HTProxyCopy_interim(in, request->output_stream, &status, g);
    if (r == 0) {
        HTTP_TRACE("HTTP Proxy.. origin server returned no data\n");
        return HT_CONTINUE_BODY;
    }
    if (status == 100) {
        HTTP_TRACE("HTTP Proxy.. Got the 100 response from the origin server, continuing\n");
        // The final answer starts a store of its own.
        HTStreamStackStatus_init(g);
        return HT_CONTINUE_BODY;
    }
    HTTP_TRACE("HTTP Proxy.. Got response %d from the origin server when waitin for continue\n", status);
    HTTP_TRACE_M(HT_TRACE_PERSIST, "HTTP proxy .. Got resp when waiting for continue\n");
    return HT_CONTINUE_ANSWERED;
}

extern "C" int ChunkIn_alloc_new(ChunkIn *chain, size_t size, HTThdGlobals *pool) noexcept
{
    if (chain->total >= HT_CHUNKIN_TOTAL_MAX)
        return 0;
    chain->buffer = static_cast<char *>(HTMemPoolAlloc(size, ctx(pool)));
    chain->capacity = size;
    chain->used = 0;
    HTTP_TRACE("RClientChunk allocated %d-byte buffer.\n", static_cast<int>(size));
    return 1;
}

extern "C" void ChunkIn_append_buf(ChunkIn *chain, HTThdGlobals *pool) noexcept
{
    if (chain->buffer == nullptr)
        return;
    HTTP_TRACE("RClientChunk Buffer full, appending to chain.\n");
    auto *node = static_cast<ChunkInNode *>(HTMemPool_calloc(1, sizeof(ChunkInNode), ctx(pool)));
    node->used = chain->used;
    node->buffer = chain->buffer;
    if (chain->tail)
        chain->tail->next = node;
    else
        chain->head = node;
    chain->tail = node;
    chain->buffer = nullptr;
    chain->used = 0;
    chain->capacity = 0;
}

extern "C" void ChunkIn_free_bufs(ChunkIn *chain) noexcept
{
    HTTP_TRACE("RClientChunk freeing buffers\n");
    chain->head = chain->tail = nullptr;
    chain->buffer = nullptr;
    chain->used = chain->capacity = 0;
}

extern "C" int ChunkIn_flush(ChunkIn *chain, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTTP_TRACE("RClientChunk sending unchunked content.\n");
    if (chain->buffer != nullptr && chain->used > 0) {
        HTTP_TRACE_AT(44, "RClientChunk appending its temp-buf.\n");
        ChunkIn_append_buf(chain, g);
    }
    int last = 0;
    for (ChunkInNode *n = chain->head; n != nullptr; n = n->next) {
        HTTP_TRACE_AT(44, "RClientChunk sending %d-byte block.\n", static_cast<int>(n->used));
        if (n->used == 0)
            continue;
        last = HTSocket_write(g->server_socket, n->buffer, static_cast<int>(n->used), nullptr);
        if (last != static_cast<int>(n->used)) {
            last = -1;
            break;
        }
    }
    ChunkIn_free_bufs(chain);
    return last;
}

namespace {

enum class Read { kOk, kFail, kBad };

// One byte of the client body; -1 at end, error or abort.
int client_char(HTRequest *request)
{
    if (request->client_input == nullptr || __atomic_load_n(&request->abort_flag, __ATOMIC_RELAXED))
        return -1;
    int n = 1;
    char *b = HTInputSocket_getBlock(request->client_input, &n);
    return b && n == 1 ? static_cast<unsigned char>(*b) : -1;
}

// Skips to the line feed; false when the body ends first.
bool skip_to_lf(HTRequest *request, const char *why)
{
    for (;;) {
        const int c = client_char(request);
        if (c < 0)
            return false;
        if (c == '\n')
            return true;
        HTTP_TRACE_AT(66, "RClientChunk skipped (hex) char %d looking for LF terminating %s.\n", c, why);
    }
}

bool add_bytes(ChunkIn *ci, const char *bytes, size_t n, HTThdGlobals *g, bool *gaveUp)
{
    if (ci->buffer != nullptr && ci->capacity - ci->used >= n) {
        HTTP_TRACE("RClientChunk buffering %d bytes.\n", static_cast<int>(n));
    } else {
        HTTP_TRACE("RClientChunk  not enough room, need a new buffer.\n");
        ChunkIn_append_buf(ci, g);
        const size_t want = n > HT_CHUNKIN_BUFFER_MIN ? n : HT_CHUNKIN_BUFFER_MIN;
        if (!ChunkIn_alloc_new(ci, want, g)) {
            HTTP_TRACE("RClientChunk Giving up on trying to find content-length [limit %d bytes]\n", HT_CHUNKIN_TOTAL_MAX);
            *gaveUp = true;
            return false;
        }
    }
    std::memcpy(ci->buffer + ci->used, bytes, n);
    ci->used += n;
    ci->total += n;
    return true;
}

int client_failure(HTRequest *request, const char *url, HTThdGlobals *g)
{
    (void)url;
    const int err = errno;
    HTTP_TRACE("HTTP Proxy.. read failed or timedout, buf = 0x%lx, i = %d.\n", 0UL, 0);
    request->error_code = err;
    char *text = HTHTTP_message(g, kMsgClientTimeout, "Proxy Error: Client side read Timeout.\n");
    HTTP_TRACE("HTTP Proxy.. unable to forward body - error %d\n", err);
    CompleteSocketClose(g->server_socket, g, 1);
    HTDetailedError_set(HT_DERR_HTTPNOFORWARD, g);
    g->client_close = 1;
    HTLoadError(request, 408, text, g);
    return HT_LOAD_RETRY;
}

void dump_size(const char *text)
{
    char copy[HT_CHUNKIN_SIZE_TEXT + 1];
    size_t i = 0;
    for (; text[i] && i < HT_CHUNKIN_SIZE_TEXT; ++i) {
        const char c = text[i];
        copy[i] = c == '\n' || c == '\r' || c < '/' ? c : 'x';
    }
    copy[i] = '\0';
    HTTP_TRACE("RClientChunk dumping chunk size buffer %s.\n", copy);
}

} // namespace

extern "C" int HTForwardUnchunked(HTRequest *request, const char *url, HTParseParts *parts, int failStatus,
                                  struct sockaddr_in *address, const char *host, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    (void)address;
    HTTP_TRACE("RClientChunk unchunking body of POST request.\n");
    auto *ci = static_cast<ChunkIn *>(HTMemPool_calloc(1, sizeof(ChunkIn), g));
    const HTStaticConfig *cfg = config_of(request);
    const unsigned long long limit = cfg->request_body_limit > 0
                                         ? static_cast<unsigned long long>(cfg->request_body_limit)
                                         : static_cast<unsigned long long>(HT_CHUNKIN_TOTAL_MAX) * 1024;
    if (HTClientReadTimeoutOn)
        HTClientReadTimeoutOn(request);
    int result = 0;
    for (;;) {
        char text[HT_CHUNKIN_SIZE_TEXT + 1];
        int n = 0, c = 0;
        while (n < HT_CHUNKIN_SIZE_TEXT) {
            c = client_char(request);
            if (c < 0 || c == '\n' || c == ' ' || c == ';' || c == '\t')
                break;
            text[n++] = static_cast<char>(c);
        }
        text[n] = '\0';
        if (c < 0 && n == 0) {
            result = client_failure(request, url, g);
            goto out;
        }
        if (n == HT_CHUNKIN_SIZE_TEXT || c < 0) {
            HTTP_TRACE("RClientChunk protocol error, chunk size not terminated with CRLF.\n");
            result = HT_LOAD_FAILED;
            goto out;
        }
        if (c != '\n' && !skip_to_lf(request, "extension")) {
            HTTP_TRACE("RClientChunk protocol error, extension not terminated with CRLF.\n");
            result = HT_LOAD_FAILED;
            goto out;
        }
        // Hexadecimal digits only (a CR before the LF is allowed).
        int digits = 0;
        unsigned long long size = 0;
        bool bad = false, overflow = false;
        for (int i = 0; i < n; ++i) {
            if (text[i] == '\r' && i == n - 1)
                break;
            const int h = ht::hex_value(static_cast<unsigned char>(text[i]));
            if (h < 0) {
                bad = true;
                break;
            }
            size = size * 16 + static_cast<unsigned>(h);
            ++digits;
            if (size > 0x7FFFFFFFULL) {
                overflow = true;
                break;
            }
        }
        if (overflow) {
            HTTP_TRACE("RClientChunk chunk size overflow error.\n");
            dump_size(text);
            result = HT_LOAD_FAILED;
            goto out;
        }
        if (bad || digits == 0) {
            HTTP_TRACE("RClientChunk protocol violation, not a valid chunk size.\n");
            dump_size(text);
            result = HT_LOAD_FAILED;
            goto out;
        }
        if (size == 0) {
            HTTP_TRACE("RClientChunk chunk size=%d, message done!!.\n", 0);
            // The trailer: lines up to the empty one.
            for (;;) {
                int k = 0;
                int ch;
                while ((ch = client_char(request)) >= 0 && ch != '\n')
                    if (ch != '\r')
                        ++k;
                if (ch < 0) {
                    result = client_failure(request, url, g);
                    goto out;
                }
                if (k == 0)
                    break;
            }
            break;
        }
        HTTP_TRACE("RClientChunk chunk size=%d.\n", static_cast<int>(size));
        if (size > limit - ci->total) {
            HTTP_TRACE("RClientChunk The request body size exceed the limit %u.\n", static_cast<unsigned>(limit));
            result = HT_LOAD_FAILED;
            goto out;
        }
        unsigned long long left = size;
        while (left > 0) {
            int want = left > HT_INPUT_BUFFER_SIZE ? HT_INPUT_BUFFER_SIZE : static_cast<int>(left);
            char *b = request->client_input ? HTInputSocket_getBlock(request->client_input, &want) : nullptr;
            if (b == nullptr || want <= 0) {
                result = client_failure(request, url, g);
                goto out;
            }
            bool gaveUp = false;
            if (!add_bytes(ci, b, static_cast<size_t>(want), g, &gaveUp)) {
                HTTP_TRACE("RClientChunk not unchunking as we've given up.\n");
                result = HT_LOAD_FAILED;
                goto out;
            }
            left -= static_cast<unsigned long long>(want);
        }
        if (!skip_to_lf(request, "chunk")) {
            result = client_failure(request, url, g);
            goto out;
        }
    }
    if (HTClientReadTimeoutOff)
        HTClientReadTimeoutOff(request);
    {
        const bool body = HTMethod_hasBody(request->method) != 0;
        if (HTHTTP_wantsCRLF(request, url, g)) {
            HTTP_TRACE("Adding CRLF. due to appendCRLFtoPost directive.\n");
            if (ci->buffer == nullptr || ci->capacity - ci->used < 2) {
                ChunkIn_append_buf(ci, g);
                if (!ChunkIn_alloc_new(ci, HT_CHUNKIN_BUFFER_MIN, g)) {
                    HTTP_TRACE("RClientChunk  ChunkIn_alloc_new failure.\n");
                    HTTP_TRACE("RClientChunk not unchunking as we've given up.\n");
                    return HT_LOAD_FAILED;
                }
            }
            std::memcpy(ci->buffer + ci->used, "\r\n", 2);
            ci->used += 2;
            ci->total += 2;
        }
        int length = 0;
        char *head = HTComposeHTTPCommand(request, url, parts, &length,
                                          body ? static_cast<long long>(ci->total) : 0, host, g);
        if (head == nullptr) {
            HTTP_TRACE("RClientChunk could not build command\n");
            return HT_LOAD_FAILED;
        }
        int reuse = 0;
        const int sent = HTSendHTTPCommand(request, head, &reuse, length, address, host, url, g);
        if (sent < 0)
            return sent;
        if (body && ChunkIn_flush(ci, g) < 0) {
            const int err = g->server_socket && g->server_socket->error ? g->server_socket->error : errno;
            request->error_code = err;
            char *text = HTHTTP_message(g, kMsgNoForward,
                                        "Proxy Error: Host connected but unable to forward request \"%s\", please "
                                        "retry, errno:  %d\n",
                                        EncodeScriptCharacters(url, g), err);
            HTTP_TRACE("RClientChunk unable to forward body - error %d\n", err);
            CompleteSocketClose(g->server_socket, g, 1);
            HTDetailedError_set(HT_DERR_HTTPNOFORWARD, g);
            HTLoadError(request, failStatus, text, g);
            return HT_LOAD_RETRY;
        }
        return static_cast<int>(ci->total > 0x7FFFFFFF ? 0x7FFFFFFF : ci->total);
    }
out:
    if (HTClientReadTimeoutOff)
        HTClientReadTimeoutOff(request);
    if (result == HT_LOAD_FAILED)
        g->client_close = 1; // the client's body was not read to its end
    return result;
}
