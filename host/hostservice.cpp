// hostservice: a service plug-in's view of the real request, and its answer.

#include "hostservice.h"

#include "HTClientRespHeaders.h"
#include "HTGlobals.h"
#include "HTInputSocket.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTRequest-t.h"
#include "HTSocket.h"
#include "HTStreamStack.h"
#include "HTWriter.h"
#include "hostaccess.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

extern "C" void hostservice_describe(void *request_, void *context, void *client, HostServiceRequest *out)
{
    auto *request = static_cast<HTRequest *>(request_);
    auto *g = static_cast<HTThdGlobals *>(context);
    *out = {};
    out->method = request->method > 0 ? HTMethod_name(request->method) : nullptr;
    out->method_index = request->method;
    out->url = request->url ? request->url : "";
    const char *q = std::strchr(out->url, '?');
    out->query = q ? q + 1 : "";
    out->headers = g->client_headers ? g->client_headers : "";
    out->headers_length = g->client_headers ? g->client_headers_length : 0;
    out->content_length = request->content_length_set ? request->content_length : -1;
    out->chunked = request->transfer_coding != nullptr;
    out->input = request->client_input;
    out->expect_continue = g->expect_continue;
    out->request = request;
    out->client = client;
}

extern "C" int hostservice_continue(const HostServiceRequest *d)
{
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    auto *request = static_cast<HTRequest *>(d->request);
    const int n = HTSocket_write(static_cast<HTSocket *>(d->client), kContinue, sizeof kContinue - 1, request);
    return n == static_cast<int>(sizeof kContinue - 1) ? 0 : -1;
}

// The client socket waits at most its read time-out (set when it was
// accepted) for every fill, so a silent client ends the read like a closed one.
extern "C" const char *hostservice_read(void *input, size_t *count)
{
    auto *in = static_cast<HTInputSocket *>(input);
    int n = *count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(*count);
    const char *p = in && n > 0 ? HTInputSocket_getBlock(in, &n) : nullptr;
    if (p == nullptr || n <= 0) {
        *count = 0;
        return nullptr;
    }
    *count = static_cast<size_t>(n);
    return p;
}

extern "C" int hostservice_byte(void *input)
{
    size_t one = 1;
    const char *p = hostservice_read(input, &one);
    return p ? static_cast<unsigned char>(*p) : -1;
}

extern "C" unsigned long hostservice_answer(void *request_, void *context, void *client, int status, const char *reason,
                                            const char *const *lines, size_t count, const char *body, size_t length,
                                            int keep, int *complete)
{
    auto *request = static_cast<HTRequest *>(request_);
    auto *g = static_cast<HTThdGlobals *>(context);
    auto *socket = static_cast<HTSocket *>(client);
    const uint32_t before = socket->bytes_written;
    HTStreamStackStatus_init(g);
    HTRespHeaders *store = HTStreamStack_store(g);
    HTStream *w = HTWriter_newNoClose(socket, request);
    if (store != nullptr) {
        store->status_line = HTMemPoolStrdup("HTTP/1.1 200 OK\r\n", g);
        HTClientRespHeaders_setStatus(status, reason, -1, g);
        // The head is complete: lines go into the header list as they are, repeated names too.
        store->phase = HT_STACK_SEND_HEADERS;
        for (size_t i = 0; i < count; ++i) {
            const char *colon = std::strchr(lines[i], ':');
            if (colon == nullptr || colon == lines[i])
                continue;
            const char *v = colon + 1;
            while (*v == ' ' || *v == '\t')
                ++v;
            HTClientRespHeaders_addHeader(HTMemPoolStrdup_len(lines[i], static_cast<size_t>(colon - lines[i]), g), v,
                                          g);
        }
        char n[24];
        std::snprintf(n, sizeof n, "%zu", length);
        HTClientRespHeaders_addHeader("Content-Length", n, g);
        HTClientRespHeaders_addHeader("Via", HTMemPool_vcat(g, "1.1 ", hostaccess_viaName(), static_cast<char *>(nullptr)),
                                      g);
        HTClientRespHeaders_addHeader("Connection", keep ? "keep-alive" : "close", g);
        HTClientRespHeaders_putHeadersCheckResponse(w, g);
    }
    if (body != nullptr && length > 0 && request->method != HT_METHOD_HEAD)
        w->isa->write(w, body, length > INT_MAX ? INT_MAX : static_cast<int>(length));
    const int r = w->isa->free(w, nullptr);
    const auto *writer = reinterpret_cast<const HTWriter *>(w);
    *complete = r == 0 && !writer->error;
    return socket->bytes_written - before;
}

extern "C" unsigned long hostservice_forward(void *request, void *client, const char *answer, size_t length)
{
    auto *socket = static_cast<HTSocket *>(client);
    const uint32_t before = socket->bytes_written;
    for (size_t at = 0; at < length;) {
        const size_t n = std::min<size_t>(length - at, INT_MAX);
        if (HTSocket_write(socket, answer + at, static_cast<int>(n), static_cast<HTRequest *>(request)) <= 0)
            break;
        at += n;
    }
    return socket->bytes_written - before;
}
