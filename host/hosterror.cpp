// hosterror: the stand-in host's error pages.

#include "hosterror.h"

#include "hoststream.h"

#include "HTClientRespHeaders.h"
#include "HTError.h"
#include "HTGlobals.h"
#include "HTMPool.h"
#include "HTStream-t.h"
#include "HTStreamStack.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// The length of a character reference ("&lt;", "&#x000A;") at p, or 0.
size_t reference_at(const char *p)
{
    const char *q = p + 1;
    if (*q == '#') {
        ++q;
        if (*q == 'x' || *q == 'X')
            ++q;
        const char *digits = q;
        while (std::isxdigit(static_cast<unsigned char>(*q)))
            ++q;
        if (q == digits)
            return 0;
    } else {
        const char *name = q;
        while (std::isalpha(static_cast<unsigned char>(*q)))
            ++q;
        if (q == name)
            return 0;
    }
    return *q == ';' ? static_cast<size_t>(q + 1 - p) : 0;
}

// A pool copy of the text with the HTML specials written as references. A
// reference already in the text (the library escapes what it inserts into
// its messages) stays as it is, so that it shows as its character.
// Everything here allocates from the pool, which may leave through
// out_of_memory: no object with a destructor lives in these frames.
char *escape(const char *text, HTThdGlobals *g)
{
    if (text == nullptr)
        return HTMemPoolStrdup("", g);
    size_t n = 0;
    for (const char *p = text; *p; ++p)
        n += *p == '<' || *p == '>' ? 4 : *p == '&' ? 5 : *p == '"' ? 6 : 1;
    auto *out = static_cast<char *>(HTMemPoolAlloc(n + 1, g));
    char *o = out;
    for (const char *p = text; *p; ++p) {
        if (*p == '&') {
            if (const size_t k = reference_at(p)) {
                std::memcpy(o, p, k);
                o += k;
                p += k - 1;
                continue;
            }
        }
        const char *r = *p == '<' ? "&lt;" : *p == '>' ? "&gt;" : *p == '&' ? "&amp;" : *p == '"' ? "&quot;" : nullptr;
        if (r != nullptr) {
            const size_t rn = std::strlen(r);
            std::memcpy(o, r, rn);
            o += rn;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

} // namespace

extern "C" const char *hosterror_reason(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Error";
    }
}

extern "C" int hosterror_page(HTRequest *request, int status, const char *message, HTThdGlobals *context)
{
    HTThdGlobals *g = context ? context : lib_gettp();
    HTStream *out = request ? static_cast<HTStream *>(hoststream_client(request->output_stream)) : nullptr;
    if (out == nullptr || out->isa == nullptr || out->isa->write == nullptr || g == nullptr)
        return -status;
    const char *reason = hosterror_reason(status);
    char code[16];
    std::snprintf(code, sizeof code, "%d", status);
    const char *detail = g->detailed_error >= 0
                             ? HTMemPool_vcat(g, "<p>Error: ", HTErrnumToString(g->detailed_error), "</p>\n",
                                              static_cast<char *>(nullptr))
                             : "";
    const char *body = HTMemPool_vcat(g, "<html><head><title>", code, " ", reason, "</title></head>\n<body><h1>",
                                      code, " ", reason, "</h1>\n<p>", escape(message, g), "</p>\n", detail,
                                      "</body></html>\n", static_cast<char *>(nullptr));
    const size_t length = std::strlen(body);
    char length_text[24];
    std::snprintf(length_text, sizeof length_text, "%lu", static_cast<unsigned long>(length));

    if (HTStreamStack_store(g) != nullptr) {
        HTStreamStackStatus_init(g);
        HTClientRespHeaders_setStatus(status, reason, -1, g);
        HTClientRespHeaders_addHeader("Content-Type", "text/html", g);
        HTClientRespHeaders_addHeader("Content-Length", length_text, g);
        HTClientRespHeaders_putHeadersCheckResponse(out, g);
    } else {
        const char *head = HTMemPool_vcat(g, "HTTP/1.0 ", code, " ", reason, "\r\nContent-Type: text/html\r\n",
                                          "Content-Length: ", length_text, "\r\n\r\n", static_cast<char *>(nullptr));
        out->isa->write(out, head, static_cast<int>(std::strlen(head)));
    }
    out->isa->write(out, body, static_cast<int>(length));
    return -status;
}

extern "C" void hosterror_install(void) { HTLoadError_setHandler(hosterror_page); }
