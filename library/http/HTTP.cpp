// HTTP: the HTTP loader's request half, and the fate of server connections.

#include "HTTP.h"

#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTError.h"
#include "HTGlobals.h"
#include "HTInputSocket.h"
#include "HTList.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTMultiSelect.h"
#include "HTSecure.h"
#include "HTServerPref.h"
#include "HTSockPool.h"
#include "HTSocket.h"
#include "HTTCP.h"
#include "HTTPConn.h"
#include "HTTPResp.h"
#include "HTWild.h"
#include "HTWriter.h"
#include "htstab.h"
#include "nls.h"

#include "HTTPLoader.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>

using namespace ht_http;

namespace {

const HTStaticConfig *config_of(HTRequest *r) { return r && r->config ? r->config : &HTMyStaticConfig; }
void error_page(HTRequest *request, int status, const char *message, HTThdGlobals *g)
{
    HTLoadError(request, status, message, g);
}
bool write_all(HTSocket *s, const char *bytes, size_t n, HTRequest *request)
{
    return HTHTTP_writeAll(s, bytes, n, request) != 0;
}
int err_of(HTSocket *s) { return HTHTTP_socketError(s); }
void timer(HTSocket *s, HTRequest *r, int on) { HTHTTP_timer(s, r, on); }

} // namespace

namespace {

int body_failure(HTRequest *request, const char *url, int err, int status, int number, const char *dflt,
                 HTThdGlobals *g)
{
    if (request)
        request->error_code = err;
    char *text = number == kMsgClientTimeout ? HTHTTP_message(g, number, dflt)
                                              : HTHTTP_message(g, number, dflt, EncodeScriptCharacters(url, g), err);
    HTTP_TRACE("HTTP Proxy.. unable to forward body - error %d\n", err);
    CompleteSocketClose(g->server_socket, g, 1);
    HTDetailedError_set(HT_DERR_HTTPNOFORWARD, g);
    error_page(request, status, text, g);
    return HT_LOAD_RETRY;
}

const char *const kNoForward = "Proxy Error: Host connected but unable to forward request \"%s\", please retry, errno:  %d\n";
const char *const kClientTimeout = "Proxy Error: Client side read Timeout.\n";

// Waits up to the continue wait on the client and server sockets: 1 when the server spoke.
int poll_both(HTRequest *request, HTThdGlobals *g)
{
    pollfd p[2] = {};
    int n = 0;
    p[n].fd = g->server_socket ? g->server_socket->socket : -1;
    p[n++].events = POLLIN;
    if (request->client_input && request->client_input->socket) {
        p[n].fd = request->client_input->socket->socket;
        p[n++].events = POLLIN;
    }
    HTTP_TRACE("pooling 100-continue is eanbled, select(c/s) sockets=%d.\n", n);
    const int rc = poll(p, static_cast<nfds_t>(n), HT_HTTP_CONTINUE_WAIT_MS);
    return rc > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

} // namespace

extern "C" int HTSendHTTPData(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    const HTStaticConfig *cfg = config_of(request);
    const char *url = request && request->anchor ? HTAnchor_physical(request->anchor) : nullptr;
    if (url == nullptr)
        url = "";
    int final = 0;
    if (g->expect_continue) {
        final = HTGet100Response(request, 1, g);
    } else if (cfg->poll_100_continue && request->content_length_set && request->content_length > 0 &&
               request->client_input != nullptr) {
        if (poll_both(request, g)) {
            HTTP_TRACE("Server sends us data, it should be 100 continue.\n");
            final = HTGet100Response(request, 0, g);
        }
    }
    if (final == -1) {
        // A final answer instead of 100: it went to the client; the body was never read.
        HTStream *out = request->output_stream;
        if (out && out->isa && out->isa->free)
            out->isa->free(out, nullptr);
        g->client_close = 1;
        g->server_close = 1;
        return HT_LOAD_OK;
    }
    const bool crlf = HTHTTP_wantsCRLF(request, url, g) != 0;
    if (g->buffered_body != nullptr) {
        if (crlf)
            HTTP_TRACE("Adding CRLF. due to appendCRLFtoPost directive.\n");
        if (!write_all(g->server_socket, g->buffered_body, g->buffered_body_length, request) ||
            (crlf && !write_all(g->server_socket, "\r\n", 2, request))) {
            const int err = err_of(g->server_socket);
            HTTP_TRACE("HTTP Proxy.. unable to forward body, error %d\n", err);
            return body_failure(request, url, err, HTHTTP_failStatus(g), kMsgNoForward, kNoForward, g);
        }
        const int sent = static_cast<int>(g->buffered_body_length + (crlf ? 2 : 0));
        HTTP_TRACE("HTTP Proxy.. sent %d bytes request data\n", sent);
        return sent;
    }
    const long long declared = request->content_length_set ? request->content_length : 0;
    if (declared <= 0)
        return 0;
    if (cfg->request_body_limit != 0 && cfg->request_body_limit < declared) {
        HTTP_TRACE("HTTP Proxy.. unable to forward body - limit is reached.\n");
        return body_failure(request, url, EFBIG, HTHTTP_failStatus(g), kMsgNoForward, kNoForward, g);
    }
    if (g->remaining_body <= 0 || g->remaining_body > declared)
        g->remaining_body = declared;
    while (g->remaining_body > 0) {
        // Never more than the body: what follows it is the client's next request.
        int n = g->remaining_body > HT_INPUT_BUFFER_SIZE ? HT_INPUT_BUFFER_SIZE : static_cast<int>(g->remaining_body);
        if (HTClientReadTimeoutOn)
            HTClientReadTimeoutOn(request);
        char *block = request->client_input ? HTInputSocket_getBlock(request->client_input, &n) : nullptr;
        if (HTClientReadTimeoutOff)
            HTClientReadTimeoutOff(request);
        if (block == nullptr || n <= 0) {
            HTTP_TRACE("HTTP Proxy.. read failed or timedout, buf = 0x%lx, i = %d.\n",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(block)), n);
            g->client_close = 1;
            return body_failure(request, url, errno, 408, kMsgClientTimeout, kClientTimeout, g);
        }
        g->remaining_body -= n;
        if (!write_all(g->server_socket, block, static_cast<size_t>(n), request)) {
            g->client_close = 1;
            return body_failure(request, url, err_of(g->server_socket), HTHTTP_failStatus(g), kMsgNoForward,
                                kNoForward, g);
        }
        HTTP_TRACE("HTTP Proxy.. sent %d bytes data\n", n);
    }
    if (crlf) {
        HTTP_TRACE("Adding CRLF. due to appendCRLFtoPost directive.\n");
        if (!write_all(g->server_socket, "\r\n", 2, request))
            return body_failure(request, url, err_of(g->server_socket), HTHTTP_failStatus(g), kMsgNoForward,
                                kNoForward, g);
    }
    return 0;
}

extern "C" void HTHTTP_connectionFate(HTRequest *request, HTThdGlobals *context, int scm) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTSocket *s = g->server_socket;
    if (s == nullptr)
        return;
    const HTStaticConfig *cfg = config_of(request);
    if (g->server_close) {
        HTTP_TRACE(scm ? "HTTP Proxy.. The server said to close the connection, so do we - scm!\n"
                  : "HTTP Proxy.. The server said to close the connection, so do we!\n");
        CompleteSocketClose(s, g, 1);
        return;
    }
    if (g->io_error) {
        HTTP_TRACE("HTTP Proxy.. closing socket %d error in IO\n", s->socket);
        CompleteSocketClose(s, g, 1);
        return;
    }
    if (cfg->server_conn_pool && !g->output_healthy) {
        HTTP_TRACE("HTTP Proxy.. output stream broken, closing server connection\n");
        CompleteSocketClose(s, g, 1);
        return;
    }
    if (g->persist_mapping) {
        HTTP_TRACE("HTTP Proxy.. Persist mapping is enabled, keep socket %d to host %s connected.\n", s->socket,
              g->host_port);
        if (g->reserved_socket != nullptr && g->reserved_socket != s) {
            HTSocket *old = g->reserved_socket;
            g->reserved_socket = nullptr;
            HTSocket_close(old, __FILE__, __LINE__, nullptr);
            DecLibSNMPOutboundAssociations();
        }
        timer(s, request, 0);
        g->reserved_socket = s;
        g->reserved_address = g->server_address;
        g->reserved_port = g->server_port;
        g->server_socket = nullptr;
        g->server_address = 0;
        g->server_port = 0;
        return;
    }
    if (!cfg->server_conn_pool) {
        HTTP_TRACE("HTTP Proxy.. leaving socket %d to host %s connected\n", s->socket, g->host_port);
        timer(s, request, 0);
        return;
    }
    const uint32_t a = g->server_address;
    const int port = g->server_port;
    timer(s, request, 0);
    HTSocketTable_removeSocket(s->socket, request);
    g->server_socket = nullptr;
    if (g->server_input != nullptr)
        HTInputSocket_reset(g->server_input, nullptr);
    if (addConnectionToPool(a, port, s, request) == HT_SOCKPOOL_DONE) {
        g->server_address = 0;
        g->server_port = 0;
        if (g->origin_socket >= 0)
            g->origin_socket = -1;
        HTTP_TRACE("HTTP Proxy.. Not Closing socket %d\n", s->socket);
        return;
    }
    g->server_socket = s;
    CompleteSocketClose(s, g, 1);
}

namespace {

// request_half's result when a final answer came instead of 100 Continue.
constexpr int kAnswered = -100;

struct Prepared {
    char *url;
    HTParseParts parts;
    sockaddr_in address;
    char host[256];
    int reuse;
    int failStatus;
};

// Steps shared by both loaders: the URL, the host, the connection, the head and body.
// Returns 0 to go on to the answer, else the loader's result.
int request_half(HTRequest *request, HTThdGlobals *g, Prepared &p)
{
    g->output_healthy = 0;
    g->server_close = 0;
    g->client_close = 0;
    g->io_error = 0;
    p.failStatus = HTHTTP_failStatus(g);
    const char *physical = request && request->anchor ? HTAnchor_physical(request->anchor) : nullptr;
    if (physical == nullptr && request && request->anchor)
        physical = HTAnchor_address(request->anchor);
    if (physical == nullptr || *physical == '\0') {
        request->error_code = HT_ERR_BAD_URL;
        HTDetailedError_set(HT_DERR_PROXYBADURL, g);
        error_page(request, 400, HTHTTP_message(g, kMsgBadUrl, "Proxy Error: Invalid URL.\n"), g);
        return HT_LOAD_RETRY;
    }
    p.url = HTMemPoolStrdup(physical, g);
    char *scan = HTMemPoolStrdup(physical, g);
    std::memset(&p.parts, 0, sizeof p.parts);
    HTParse_scan(scan, &p.parts, std::strlen(scan));
    if (p.parts.host == nullptr || *p.parts.host == '\0') {
        request->error_code = HT_ERR_BAD_URL;
        HTDetailedError_set(HT_DERR_PROXYBADURL, g);
        error_page(request, 400, HTHTTP_message(g, kMsgBadUrl, "Proxy Error: Invalid URL.\n"), g);
        return HT_LOAD_RETRY;
    }
    if (request->bad_request) {
        request->error_code = HT_ERR_BAD_REQUEST;
        HTDetailedError_set(HT_DERR_BADREQUEST, g);
        error_page(request, 400, HTHTTP_message(g, kMsgBadUrl, "Proxy Error: bad or invalid request.\n"), g);
        return HT_LOAD_RETRY;
    }
    const int rc = HTFindHTTPHost(request, p.url, &p.parts, &p.reuse, &p.address, p.host, 1, g);
    if (rc != 0)
        return rc;
    const bool noBody = request->method == HT_METHOD_HEAD || request->method == HT_METHOD_GET ||
                        (request->content_length_set && request->content_length <= 0);
    bool have = p.reuse != 0;
    if (p.reuse) {
        if (noBody) {
            HTTP_TRACE("HTTP Proxy.. request has no body, p-connection will be used.\n");
        } else if (g->persist_mapping) {
            // Used, but not counted as reused: a failure is not retried with the body gone.
            p.reuse = 0;
        } else {
            HTTP_TRACE("HTTP Proxy.. request may have a body, p-connection will be closed soon.\n");
            p.reuse = 0;
            have = false;
        }
    }
    g->reused = p.reuse;
    if (!have) {
        const bool https = p.parts.scheme && strcasecmp(p.parts.scheme, "https") == 0;
        const int c = https ? HTGetHTTPSConnection(&p.address, request, p.url, p.host, g)
                            : HTGetHTTPConnection(&p.address, request, p.url, p.host, g);
        HTTP_TRACE_M(HT_TRACE_REQUEST, "HTNor_LoadHTTP: get connection status %d\n", c);
        if (c != 0)
            return c;
    }
    if (g->server_input == nullptr)
        g->server_input = HTInputSocket_new(g->server_socket, request);
    else if (g->server_input->socket != g->server_socket)
        HTInputSocket_reset(g->server_input, g->server_socket);
    g->server_input->request = request;
    if (request->transfer_coding && strncasecmp(request->transfer_coding, "chunked", 7) == 0) {
        HTTP_TRACE("HTTP Proxy.. client sent POST data with Transfer Encoding chunked\n");
        const int r = HTForwardUnchunked(request, p.url, &p.parts, p.failStatus, &p.address, p.host, g);
        return r < 0 ? r : 0;
    }
    int length = 0;
    char *head = HTComposeHTTPCommand(request, p.url, &p.parts, &length, 0, p.host, g);
    if (head == nullptr) {
        HTTP_TRACE("HTTP Proxy.. could not build command\n");
        return HT_LOAD_FAILED;
    }
    int r = HTSendHTTPCommand(request, head, &p.reuse, length, &p.address, p.host, p.url, g);
    if (r < 0)
        return r;
    g->reused = p.reuse;
    if (HTMethod_hasBody(request->method) || (request->content_length_set && request->content_length > 0) ||
        g->buffered_body) {
        r = HTSendHTTPData(request, g);
        if (r < 0 || r == HT_LOAD_OK)
            return r == HT_LOAD_OK ? kAnswered : r;
    }
    return 0;
}

} // namespace

extern "C" int HTNor_LoadHTTP(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTTP_TRACE_M(HT_TRACE_REQUEST, ">HTNor_HTTPLoad \n");
    Prepared p{};
    const int r = request_half(request, g, p);
    if (r == kAnswered) {
        HTHTTP_connectionFate(request, g, 0);
        return HT_LOAD_OK;
    }
    if (r != 0)
        return r;
    return HTHTTP_readAndDecide(request, g, p.url, &p.parts, &p.address, p.host, 0);
}

extern "C" int scm_HTLoadHTTPRequest(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTTP_TRACE("scm_HTTPLoadRequest in\n");
    Prepared p{};
    const int r = request_half(request, g, p);
    HTTP_TRACE("scm_HTLoadHTRequest: Status from HTGetConnection %d\n", r);
    if (r == kAnswered) {
        HTHTTP_connectionFate(request, g, 1);
        return HT_LOAD_OK;
    }
    if (r != 0)
        return r;
    g->request_half_done = 1;
    HTTP_TRACE_M(HT_TRACE_SCM, "scm...... put req handler with socket %d and seq %lu back to scm central table.\n",
            g->server_socket ? g->server_socket->socket : -1, g->client_seq);
    return HT_LOAD_UNDONE;
}

extern "C" int HTLoadHTTP(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    HTTP_TRACE_M(HT_TRACE_SCM, "scm...... USE_CONNMGMT is set to %s.\n", g->use_connmgmt ? "Yes" : "No");
    if (config_of(request)->connection_management && g->use_connmgmt)
        return scm_HTLoadHTTPRequest(request, g);
    return HTNor_LoadHTTP(request, g);
}

extern "C" int HTHTTP_readAndDecide(HTRequest *request, HTThdGlobals *context, const char *url, HTParseParts *parts,
                                    struct sockaddr_in *address, const char *host, int scm) noexcept
{
    HTThdGlobals *g = ctx(context);
    int r = HTReadHTTPResponse(request, g);
    if (r == HT_LOAD_FAILED && g->reused) {
        HTTP_TRACE("HTTP Proxy.. Read failed on persistent connection, retrying\n");
        g->reused = 0;
        const bool https = parts && parts->scheme && strcasecmp(parts->scheme, "https") == 0;
        const int c = https ? HTGetHTTPSConnection(address, request, url, host, g)
                            : HTGetHTTPConnection(address, request, url, host, g);
        if (c != 0)
            return c;
        int reuse = 0;
        if (g->sent_head == nullptr ||
            HTSendHTTPCommand(request, g->sent_head, &reuse, g->sent_head_length, address, host, url, g) < 0)
            return HT_LOAD_RETRY;
        r = HTReadHTTPResponse(request, g);
    }
    if (r == HT_LOAD_FAILED) {
        if (utilServerPref_registered(g) && !HTMethod_hasBody(request->method)) {
            HTTP_TRACE("HTTP Proxy.. remote host didn't send any data, serverPref will retry\n");
            CompleteSocketClose(g->server_socket, g, 1);
            return HT_LOAD_RETRY;
        }
        CompleteSocketClose(g->server_socket, g, 1);
        if (utilServerPref_isset(g) && !g->pass_through)
            return HT_LOAD_RETRY_CONNECT;
        const int status = HTHTTP_failStatus(g);
        const char *eu = EncodeScriptCharacters(url, g);
        if (status == HT_HTTP_MAPPED_STATUS) {
            HTDetailedError_set(HT_DERR_HTTPNODATA, g);
            HTTP_TRACE("HTTP Proxy.. remote host didn't send any data\n");
            HTLoadError(request, status,
                        HTHTTP_message(g, kMsgNoData, "Proxy Error: Remote host did not send any data - URL \"%s\".\n",
                                       eu),
                        g);
        } else {
            HTDetailedError_set(HT_DERR_OUTPUTTIMEOUT, g);
            HTTP_TRACE("HTTP Proxy.. Proxy Server Time out\n");
            HTLoadError(request, status, HTHTTP_message(g, kMsgBuiltIn, "Proxy Error: Proxy Server Time out - URL \"%s\"", eu), g);
        }
        return HT_LOAD_RETRY;
    }
    HTHTTP_connectionFate(request, g, scm);
    return r;
}

extern "C" int scm_HTLoadHTTPResponse(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    const char *physical = request->anchor ? HTAnchor_physical(request->anchor) : nullptr;
    if (physical == nullptr)
        physical = "";
    char *url = HTMemPoolStrdup(physical, g);
    char *scan = HTMemPoolStrdup(physical, g);
    HTParseParts parts{};
    HTParse_scan(scan, &parts, std::strlen(scan));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = g->server_address;
    address.sin_port = htons(static_cast<uint16_t>(g->server_port));
    const char *host = parts.host ? parts.host : "";
    if (const char *at = std::strrchr(host, '@'))
        host = at + 1;
    g->request_half_done = 0;
    return HTHTTP_readAndDecide(request, g, url, &parts, &address, host, 1);
}

namespace {

void *http_create(int, int, void *value)
{
    if (auto *g = static_cast<HTThdGlobals *>(value)) {
        g->origin_socket = -1;
        g->response_length = -1;
    }
    return value;
}

int http_destroy(int, int, void *value)
{
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr)
        return 0;
    if (g->reserved_socket != nullptr) {
        HTSocket *r = g->reserved_socket;
        g->reserved_socket = nullptr;
        HTSocket_close(r, __FILE__, __LINE__, nullptr);
        DecLibSNMPOutboundAssociations();
    }
    if (g->server_socket != nullptr)
        CompleteSocketClose(g->server_socket, g, 1);
    return 0;
}

// The request-scoped words, cleared as a block.
constexpr size_t kFirst = offsetof(HTThdGlobals, client_headers);
constexpr size_t kEnd = offsetof(HTThdGlobals, sent_head_length) + sizeof(int);

int http_init(int, int, int context, void *value)
{
    auto *g = static_cast<HTThdGlobals *>(value);
    if (context == HT_CONTEXT_REQUEST && g != nullptr) {
        std::memset(reinterpret_cast<char *>(g) + kFirst, 0, kEnd - kFirst);
        g->response_length = -1;
    }
    return 0;
}

int http_uninit(int, int, int context, void *value)
{
    // The pool memory of the input socket and the head goes with the request.
    return http_init(0, 0, context, value);
}

} // namespace

extern "C" int HTTP_register(void) noexcept
{
    return HTWorkThread_addModule("HTTP", http_create, http_destroy, http_init, http_uninit);
}
