// HTTPConn: the HTTP loader's server connections, request heads and error texts.

#include "HTTPConn.h"

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

HTServerSocketTimerHook HTServerSocketTimer = nullptr;

using namespace ht_http;

namespace {

bool pref_walk(HTThdGlobals *g) { return utilServerPref_isset(g) != 0; }
bool pref_list(HTThdGlobals *g) { return utilServerPref_registered(g) != 0; }

void timer(HTSocket *s, HTRequest *r, int on) { HTHTTP_timer(s, r, on); }

} // namespace

extern "C" void HTHTTP_timer(HTSocket *s, HTRequest *r, int on) noexcept
{
    if (HTServerSocketTimer != nullptr && s != nullptr)
        HTServerSocketTimer(s, r, on);
}

extern "C" int HTHTTP_failStatus(HTThdGlobals *context) noexcept
{
    return ctx(context)->mapping ? HT_HTTP_MAPPED_STATUS : HT_HTTP_FAIL_STATUS;
}

extern "C" char *HTHTTP_message(HTThdGlobals *context, int number, const char *dflt, ...) noexcept
{
    HTThdGlobals *g = ctx(context);
    const char *format = number > 0 ? nlsGetString(NLS_ORVANEPROXY, 1, number, dflt) : dflt;
    if (format == nullptr || *format == '\0')
        format = dflt;
    va_list a;
    va_start(a, dflt);
    va_list b;
    va_copy(b, a);
    const int n = std::vsnprintf(nullptr, 0, format, a);
    va_end(a);
    if (n < 0) {
        va_end(b);
        return HTMemPoolStrdup(dflt, g);
    }
    auto *out = static_cast<char *>(HTMemPoolAlloc(static_cast<size_t>(n) + 1, g));
    std::vsnprintf(out, static_cast<size_t>(n) + 1, format, b);
    va_end(b);
    return out;
}

extern "C" char *EncodeScriptCharacters(const char *text, HTThdGlobals *pool) noexcept
{
    if (text == nullptr)
        return nullptr;
    size_t extra = 0;
    for (const char *p = text; *p; ++p) {
        switch (*p) {
        case '<':
        case '>': extra += 3; break;
        case '"': extra += 5; break;
        case '\n':
        case '\r': extra += 7; break;
        default: break;
        }
    }
    if (extra == 0)
        return const_cast<char *>(text);
    const size_t n = std::strlen(text);
    auto *out = static_cast<char *>(HTMemPoolAlloc(n + extra + 1, ctx(pool)));
    char *o = out;
    for (const char *p = text; *p; ++p) {
        const char *r = nullptr;
        switch (*p) {
        case '<': r = "&lt;"; break;
        case '>': r = "&gt;"; break;
        case '"': r = "&quot;"; break;
        case '\n': r = "&#x000A;"; break;
        case '\r': r = "&#x000D;"; break;
        default: break;
        }
        if (r) {
            const size_t k = std::strlen(r);
            std::memcpy(o, r, k);
            o += k;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    HTTP_TRACE_M(HT_TRACE_ERROR, "XSS will HTML encode the URL-->%s<--.\n", out);
    return out;
}

namespace {

void close_common(HTSocket *s, HTThdGlobals *g, int countDown, bool keepOpen)
{
    if (s != nullptr && s->socket >= 0) {
        if (g->origin_socket >= 0) {
            HTTP_TRACE_M(HT_TRACE_SCM, "Closing originSocket %d, seq = %lu\n", g->origin_socket, g->client_seq);
            if (g->use_connmgmt)
                removeConnection(g->origin_socket);
            g->origin_socket = -1;
        }
        if (keepOpen) {
            HTTP_TRACE("HTTP Proxy.. Not Closing socket %d\n", s->socket);
            timer(s, nullptr, 0);
            HTSocketTable_removeSocket(s->socket, nullptr);
        } else {
            HTTP_TRACE("HTTP Proxy.. Closing socket %d\n", s->socket);
            timer(s, nullptr, 0);
            HTSocket_close(s, __FILE__, __LINE__, nullptr);
        }
        if (g->server_socket == s)
            g->server_socket = nullptr;
        if (countDown)
            DecLibSNMPOutboundAssociations();
    } else if (s != nullptr && g->server_socket == s) {
        g->server_socket = nullptr;
    }
    if (g->server_input != nullptr && g->server_input->socket == s)
        HTInputSocket_reset(g->server_input, nullptr);
    g->server_address = 0;
    g->server_port = 0;
}

} // namespace

extern "C" void CompleteSocketClose(HTSocket *socket, HTThdGlobals *context, int count_down) noexcept
{
    close_common(socket, ctx(context), count_down, false);
}

extern "C" void CompleteSocketNoClose(HTSocket *socket, HTThdGlobals *context, int count_down) noexcept
{
    close_common(socket, ctx(context), count_down, true);
}

namespace {

// The pool's close of connections it refuses: the loader's own close.
void pool_refused_close(HTSocket *s, HTRequest *)
{
    HTThdGlobals *g = lib_gettp();
    if (g == nullptr) {
        HTSocket_close(s, __FILE__, __LINE__, nullptr);
        DecLibSNMPOutboundAssociations();
        return;
    }
    CompleteSocketClose(s, g, 1);
}

void error_page(HTRequest *request, int status, const char *message, HTThdGlobals *g)
{
    HTLoadError(request, status, message, g);
}

} // namespace

extern "C" int HTHTTP_wantsCRLF(HTRequest *request, const char *url, HTThdGlobals *context) noexcept
{
    if (request == nullptr || request->method != HT_METHOD_POST || url == nullptr)
        return 0;
    const HTStaticConfig *cfg = config_of(request);
    if (cfg->crlf_patterns == nullptr)
        return 0;
    for (HTList *e = cfg->crlf_patterns->next; e != nullptr; e = e->next) {
        const auto *p = static_cast<const HTPattern *>(e->object);
        if (p != nullptr && HTPattern_url_match(p, nullptr, url, ctx(context)) != nullptr)
            return 1;
    }
    return 0;
}

extern "C" int HTFindHTTPHost(HTRequest *request, const char *url, HTParseParts *parts, int *reuse,
                              struct sockaddr_in *address, char *host, int reuseAllowed,
                              HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    const HTStaticConfig *cfg = config_of(request);
    *reuse = 0;
    if (cfg->server_conn_pool) {
        HTSockPool_setRefusedClose(pool_refused_close);
        if (oSockPoolInit() != HT_OK) {
            HTTP_TRACE("HTTP Proxy.. oSockPoolInit failed");
            std::exit(1);
        }
    }
    const bool https = parts->scheme != nullptr && strcasecmp(parts->scheme, "https") == 0;
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(https ? 443 : 80);
    HTTP_TRACE("HTTP Proxy.. Direct access for %s\n", url);
    // The host follows the authority's last '@' (user information may hold '@').
    const char *authority = parts->host ? parts->host : "";
    const char *at = std::strrchr(authority, '@');
    const char *name = at ? at + 1 : authority;
    std::strncpy(host, name, 255);
    host[255] = '\0';
    if (*host == '\0' || HTParseInet(address, host, g) != 0) {
        const int err = h_errno;
        if (request)
            request->error_code = err;
        char *bare = HTMemPoolStrdup(host, g);
        if (char *colon = std::strrchr(bare, ':'))
            *colon = '\0';
        const char *eh = EncodeScriptCharacters(bare, g);
        const char *eu = EncodeScriptCharacters(url, g);
        if (err == HOST_NOT_FOUND || *host == '\0') {
            HTDetailedError_set(HT_DERR_NOPARTNER, g);
            error_page(request, 400,
                       HTHTTP_message(g, kMsgHostUnknown,
                                      "Proxy Error: Host name \"%s\" not recognized or host not found  - URL \"%s\"\n",
                                      eh, eu),
                       g);
        } else {
            HTDetailedError_set(HT_DERR_HTTPUNRESHOST, g);
            error_page(request, HTHTTP_failStatus(g),
                       HTHTTP_message(g, kMsgNoResolve, "Proxy Error: Unable to Resolve host name \"%s\" - URL \"%s\"\n",
                                      eh, eu),
                       g);
        }
        HTTP_TRACE("HTTP Proxy.. HTParseInet failed for host %s, error %d\n", host, err);
        return HT_LOAD_RETRY_CONNECT;
    }
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted);
    std::snprintf(g->host_port, sizeof g->host_port, "%s:%d", dotted, ntohs(address->sin_port));
    HTTP_TRACE("HTTP Proxy.. find server host:port %s.\n", g->host_port);

    const uint32_t a = address->sin_addr.s_addr;
    const int port = ntohs(address->sin_port);
    if (g->persist_mapping && g->reserved_socket != nullptr) {
        HTSocket *r = g->reserved_socket;
        if (r->socket >= 0 && g->reserved_address == a && g->reserved_port == port) {
            HTTP_TRACE("HTTP Proxy.. use reversed server side socket for persist request.\n");
            if (g->server_socket != nullptr && g->server_socket != r)
                CompleteSocketClose(g->server_socket, g, 1);
            g->server_socket = r;
            g->server_address = a;
            g->server_port = port;
            g->reserved_socket = nullptr;
            g->reserved_address = 0;
            g->reserved_port = 0;
            timer(r, request, 1);
            *reuse = 1;
            return 0;
        }
        HTTP_TRACE("HTTP Proxy.. Miss match. Host: 0x%x <-> 0x%x, Port: 0x%x <-> 0x%x.\n", g->reserved_address, a,
              g->reserved_port, port);
        // A reservation for another server is closed now, never left open.
        g->reserved_socket = nullptr;
        g->reserved_address = 0;
        g->reserved_port = 0;
        HTSocket *cur = g->server_socket;
        const uint32_t ca = g->server_address;
        const int cp = g->server_port;
        CompleteSocketClose(r, g, 1);
        g->server_socket = cur;
        g->server_address = ca;
        g->server_port = cp;
    }
    if (cfg->server_conn_pool) {
        if (reuseAllowed) {
            if (HTSocket *s = GetSockPoolConnection(a, port, request)) {
                if (g->server_socket != nullptr && g->server_socket != s)
                    CompleteSocketClose(g->server_socket, g, 1);
                HTSocketTable_addSocket(s->socket, request);
                g->server_socket = s;
                g->server_address = a;
                g->server_port = port;
                timer(s, request, 1);
                HTTP_TRACE("HTTP Proxy.. using existing proxy connection to %s on socket %d\n", g->host_port, s->socket);
                *reuse = 1;
                return 0;
            }
            HTTP_TRACE("HTTP Proxy.. no existing connection found\n");
        }
        return 0;
    }
    HTSocket *s = g->server_socket;
    if (reuseAllowed && s != nullptr && s->socket >= 0 && g->server_address == a && g->server_port == port) {
        HTTP_TRACE("HTTP Proxy.. using existing proxy connection to %s on socket %d\n", g->host_port, s->socket);
        timer(s, request, 1);
        *reuse = 1;
    }
    return 0;
}

namespace {

int connect_once(struct sockaddr_in *address, HTRequest *request, const char *host, HTThdGlobals *g, bool hooks,
                 int *err)
{
    CompleteSocketClose(g->server_socket, g, 1);
    int rc = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, 0, host, ntohs(address->sin_port), request);
        if (s == nullptr) {
            *err = errno;
            HTTP_TRACE_M(HT_TRACE_PROXY, "HTTP Proxy.. Couldn't open proxy socket; errno=%d.\n", *err);
            if (request)
                request->error_code = *err;
            return -1;
        }
        timer(s, request, 1);
        g->server_socket = s;
        g->origin_socket = s->socket;
        if (attempt == 0) {
            const int one = 1;
            HTSocket_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one, request);
        }
        const int before = s->socket;
        if (hooks && HTClientReadTimeoutOn)
            HTClientReadTimeoutOn(request);
        rc = HTSocket_connect(&s, reinterpret_cast<const sockaddr *>(address), sizeof *address, request);
        *err = rc == 0 ? 0 : (s && s->error ? s->error : errno);
        if (hooks && HTClientReadTimeoutOff)
            HTClientReadTimeoutOff(request);
        g->server_socket = s;
        if (s != nullptr && s->socket != before) {
            HTTP_TRACE("HTTP Proxy.. connect changed proxy socket from %d to %d\n", before, s->socket);
            timer(s, request, 1);
            g->origin_socket = s->socket;
        }
        if (rc == 0)
            return 0;
        if (attempt == 0 && *err == EADDRINUSE) {
            CompleteSocketClose(s, g, 0);
            HTTP_TRACE_M(HT_TRACE_TCP, "Connect..... failed with EADDRINUSE; retrying without SO_REUSEADDR.\n");
            continue;
        }
        break;
    }
    return rc;
}

int connect_to(struct sockaddr_in *address, HTRequest *request, const char *url, const char *host,
               HTThdGlobals *g, bool secure)
{
    int err = 0;
    if (connect_once(address, request, host, g, !secure, &err) == 0) {
        HTTP_TRACE("HTTP Proxy.. connected, socket %d\n", g->server_socket->socket);
        g->server_address = address->sin_addr.s_addr;
        g->server_port = ntohs(address->sin_port);
        IncLibSNMPOutboundAssociations();
        if (g->server_input != nullptr)
            HTInputSocket_reset(g->server_input, g->server_socket);
        return 0;
    }
    if (request)
        request->error_code = err;
    HTTP_TRACE("HTTP Proxy.. Unable to connect to remote host (errno = %d).\n", err);
    CompleteSocketClose(g->server_socket, g, 0);
    HTDetailedError_set(HT_DERR_CONNECTFAIL, g);
    if (!pref_walk(g) && !pref_list(g)) {
        char *bare = HTMemPoolStrdup(host ? host : "", g);
        error_page(request, HTHTTP_failStatus(g),
                   HTHTTP_message(g, kMsgNoConnect,
                                  "Proxy Error: Unable to connect to remote host \"%s\" or host not responding - URL "
                                  "\"%s\", errno: %d\n",
                                  EncodeScriptCharacters(bare, g), EncodeScriptCharacters(url, g), err),
                   g);
        HTTP_TRACE("HTTP Proxy.. Unable to connect to remote host for `%s' (error_num = %d).\n", url, err);
    } else {
        HTTP_TRACE("HTTP Proxy.. connect failed try the server/alternate.\n");
    }
    return HT_LOAD_RETRY_CONNECT;
}

} // namespace

extern "C" int HTGetHTTPConnection(struct sockaddr_in *address, HTRequest *request, const char *url,
                                   const char *host, HTThdGlobals *context) noexcept
{
    return connect_to(address, request, url, host, ctx(context), false);
}

extern "C" int HTGetHTTPSConnection(struct sockaddr_in *address, HTRequest *request, const char *url,
                                    const char *host, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    const int rc = connect_to(address, request, url, host, g, true);
    if (rc != 0)
        return rc;
    const char *reason = nullptr;
    if (HTSecure_startClient(g->server_socket, host, request, &reason) == 0)
        return 0;
    if (reason == nullptr)
        reason = "unknown";
    HTTP_TRACE("HTTPS Proxy.. SSL Handshake to origin server failed. Error %s\n", reason);
    CompleteSocketClose(g->server_socket, g, 1);
    HTDetailedError_set(HT_DERR_CONNECTFAIL, g);
    if (!pref_walk(g) && !pref_list(g)) {
        error_page(request, HTHTTP_failStatus(g),
                   HTHTTP_message(g, kMsgHandshake,
                                  "Proxy Error: SSL Handshake with upstream server failed. URL \"%s\". Reason \"%s\".\n",
                                  EncodeScriptCharacters(url, g), EncodeScriptCharacters(reason, g)),
                   g);
    } else {
        HTTP_TRACE("HTTP Proxy.. Unable to connect to remote host for `%s' (error_num = %d). try alt server\n", url, 0);
    }
    return HT_LOAD_RETRY_CONNECT;
}

extern "C" char *HTComposeHTTPCommand(HTRequest *request, const char *url, HTParseParts *parts, int *length,
                                      long long contentLength, const char *host, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    (void)url;
    const char *hdrs = g->client_headers ? g->client_headers : "";
    const size_t hlen = g->client_headers ? g->client_headers_length : 0;
    if (g->pass_through) {
        auto *head = static_cast<char *>(HTMemPoolAlloc(hlen + 3, g));
        std::memcpy(head, hdrs, hlen);
        std::memcpy(head + hlen, "\r\n", 3);
        *length = static_cast<int>(hlen + 2);
        HTTP_TRACE("HTTP RCA Proxy.. Tx: %s\n", head);
        return head;
    }
    const int method = request ? request->method : HT_METHOD_GET;
    const bool star = method == HT_METHOD_OPTIONS || method == HT_METHOD_TRACE;
    // Room for every part of the URL plus punctuation.
    size_t room = 16;
    for (const char *p : {parts->scheme, parts->host, parts->absolute, parts->relative, parts->fragment})
        room += p ? std::strlen(p) + 4 : 0;
    auto *target = static_cast<char *>(HTMemPoolAlloc(room, g));
    HTParseParts given = *parts;
    HTParseParts none{};
    HTParse_format(&given, &none, target,
                   star ? PARSE_PATH | PARSE_PUNCTUATION | PARSE_NO_DEFAULT_PATH : PARSE_PATH | PARSE_PUNCTUATION, g);
    if (star && target[0] == '\0')
        std::strcpy(target, "*");
    const bool mappedWalk = g->mapping && pref_walk(g);
    const char *t = target;
    // Through a proxy the path holds the absolute URL behind its '/'.
    if (request && (request->flags & HT_REQ_VIA_PROXY) && !mappedWalk && t[0] == '/' && t[1] != '\0')
        ++t;
    else if (mappedWalk && t[0] != '\0')
        ++t;
    const char *name = method == 0 ? "GET" : HTMethod_name(method);
    if (name == nullptr)
        name = "GET";
    const char *version = request && request->downgrade ? "HTTP/1.0" : "HTTP/1.1";
    char hostLine[300] = "";
    if (utilServerPref_isHostDeferred(g) && host != nullptr) {
        std::snprintf(hostLine, sizeof hostLine, "Host: %s\r\n", host);
        HTTP_TRACE("HTComposeHTTPCommand..... Deferred HOST header comp (%s)\n", host);
    }
    char lengthLine[48] = "";
    if (contentLength > 0) {
        std::snprintf(lengthLine, sizeof lengthLine, "Content-Length: %lld\r\n", contentLength);
        HTTP_TRACE("RClientChunk adding Content-Length %ld header.\n", static_cast<long>(contentLength));
    }
    const size_t n = std::strlen(name) + 1 + std::strlen(t) + 1 + 8 + 2 + std::strlen(hostLine) + hlen +
                     std::strlen(lengthLine) + 2;
    auto *head = static_cast<char *>(HTMemPoolAlloc(n + 1, g));
    char *o = head;
    auto put = [&o](const char *s, size_t k) {
        std::memcpy(o, s, k);
        o += k;
    };
    put(name, std::strlen(name));
    put(" ", 1);
    put(t, std::strlen(t));
    put(" ", 1);
    put(version, 8);
    put("\r\n", 2);
    put(hostLine, std::strlen(hostLine));
    HTTP_TRACE("Using....... HTProxyHeaders: %.*s\n", static_cast<int>(hlen), hdrs);
    put(hdrs, hlen);
    put(lengthLine, std::strlen(lengthLine));
    put("\r\n", 2);
    *o = '\0';
    *length = static_cast<int>(o - head);
    HTTP_TRACE("HTTP Proxy.. Tx: %s\n", head);
    return head;
}

namespace {

bool write_all(HTSocket *s, const char *bytes, size_t n, HTRequest *request)
{
    return HTHTTP_writeAll(s, bytes, n, request) != 0;
}

} // namespace

extern "C" int HTHTTP_writeAll(HTSocket *s, const char *bytes, size_t n, HTRequest *request) noexcept
{
    while (n > 0) {
        const int k = n > (1u << 30) ? 1 << 30 : static_cast<int>(n);
        if (s == nullptr || HTSocket_write(s, bytes, k, request) != k)
            return 0;
        bytes += k;
        n -= static_cast<size_t>(k);
    }
    return 1;
}

extern "C" int HTHTTP_socketError(HTSocket *s) noexcept { return s && s->error ? s->error : errno; }

namespace {

int err_of(HTSocket *s) { return HTHTTP_socketError(s); }

} // namespace

extern "C" int HTSendHTTPCommand(HTRequest *request, const char *head, int *reuse, int length,
                                 struct sockaddr_in *address, const char *host, const char *url,
                                 HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    g->sent_head = const_cast<char *>(head);
    g->sent_head_length = length;
    if (write_all(g->server_socket, head, static_cast<size_t>(length), request))
        return length;
    int err = err_of(g->server_socket);
    if (*reuse) {
        HTTP_TRACE("HTTP Proxy.. Send failed on persistent connection, retrying\n");
        const bool https = request && request->anchor && HTAnchor_physical(request->anchor) &&
                           strncasecmp(HTAnchor_physical(request->anchor), "https:", 6) == 0;
        *reuse = 0;
        g->reused = 0;
        if ((https ? HTGetHTTPSConnection(address, request, url, host, g)
                   : HTGetHTTPConnection(address, request, url, host, g)) != 0)
            return HT_LOAD_RETRY;
        if (write_all(g->server_socket, head, static_cast<size_t>(length), request))
            return length;
        err = err_of(g->server_socket);
    }
    if (request)
        request->error_code = err;
    char *text = HTHTTP_message(
        g, kMsgNoSend, "Proxy Error: Host connected but unable to send request \"%s\", please retry, errno:  %d\n",
        EncodeScriptCharacters(url, g), err);
    HTTP_TRACE("HTTP Proxy.. unable to send command - error %d.\n", err);
    CompleteSocketClose(g->server_socket, g, 1);
    HTDetailedError_set(HT_DERR_HTTPNOSEND, g);
    if (!pref_walk(g) && !pref_list(g))
        error_page(request, HTHTTP_failStatus(g), text, g);
    else
        HTTP_TRACE("HTTP Proxy.. failed to send HTTP command, try alternate server.\n");
    return HT_LOAD_RETRY;
}

