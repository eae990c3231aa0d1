// HTAccess: protocol dispatch and document loading.

#include "HTAccess.h"

#include "HTAccessTrace.hpp"
#include "HTAnchor.h"
#include "HTAtom.h"
#include "HTError.h"
#include "HTFTP.h"
#include "HTFile.h"
#include "HTGlobals.h"
#include "HTGopher.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTParse.h"
#include "HTServerPref.h"
#include "HTTP.h"
#include "HTTrace.h"
#include "HTWriter.h"
#include "nls.h"
#include "servprox.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

namespace {

// Catalogue number of the connect-failure text of the page after a failed walk.
constexpr int kMsgNoConnect = 836;
constexpr const char *kNoConnect =
    "Proxy Error: Unable to connect to remote host \"%s\" or host not responding - URL \"%s\", errno: %d\n";
constexpr int kWalkFailStatus = 504;
constexpr int kForbiddenStatus = 500;

// The protocol list: written under the lock (registration never allocates),
// read without it; `count` is published after the slot it covers.
HTProtocol *protocols[HT_ACCESS_MAX_PROTOCOLS];
std::atomic<int> count{0};
std::mutex registering;
std::once_flag builtins;
std::atomic<HTAccessRuleCheck> ruleCheck{nullptr};

HTProtocol fileProtocol = {"file", HTLoadFile};
HTProtocol httpProtocol = {"http", HTLoadHTTP};
HTProtocol httpsProtocol = {"https", HTLoadHTTP};
HTProtocol ftpProtocol = {"ftp", HTLoadFTP};
HTProtocol gopherProtocol = {"gopher", HTLoadGopher};

// The built-ins, in their order.
void register_builtins()
{
    for (HTProtocol *p : {&fileProtocol, &httpProtocol, &httpsProtocol, &ftpProtocol, &gopherProtocol})
        HTRegisterProtocol(p);
}

HTThdGlobals *ctx(HTThdGlobals *g) { return g ? g : lib_gettp(); }
const char *text_or(const char *s, const char *dflt) { return s != nullptr ? s : dflt; }

// The user-visible text `number` (with its built-in form when the catalogue has none).
const char *message(int number, const char *dflt)
{
    const char *m = nlsGetString(NLS_ORVANEPROXY, 1, number, dflt);
    return m == nullptr || *m == '\0' ? dflt : m;
}

// The URL that follows a proxy prefix: the context's current URL, or one of
// its alternatives when the context selects one.
const char *current_url(HTThdGlobals *g, const char *fallback)
{
    if (g->url_select == 1 || g->url_select == 2) {
        if (const char *alt = g->alt_url[g->url_select - 1])
            return alt;
    }
    return g->url != nullptr ? g->url : fallback;
}

// The scheme of `url` as an atom ("file" or "http" when it has none).
HTAtom *scheme_of(const char *url, const char *dflt, HTThdGlobals *g, char **name)
{
    char *s = HTParse(url, dflt, PARSE_SCHEME, g);
    *name = s;
    return HTAtom_for(s != nullptr ? s : "");
}

int get_physical(HTRequest *request, HTThdGlobals *g)
{
    HTAnchor *anchor = request->anchor;
    const char *physical = HTAnchor_physical(anchor);
    const char *source = physical != nullptr && (request->flags & HT_REQ_USE_ADDRESS) == 0
                             ? physical
                             : text_or(HTAnchor_address(anchor), "");
    if (HTAccessRuleCheck check = ruleCheck.load(std::memory_order_acquire)) {
        if (check(request, source, g) != 0)
            return HT_LOAD_FORBIDDEN;
    }
    // The source is copied first: setting the physical address may replace it.
    char *host = HTParse(source, "", PARSE_HOST, g);
    const char *url = g->url != nullptr ? g->url : HTMemPoolStrdup(source, g);
    HTAnchor_setPhysical(anchor, url);

    char *name = nullptr;
    HTAtom *scheme = scheme_of(HTAnchor_physical(anchor), "file:", g, &name);
    const char *proxy = HTProxy_for(request, host, scheme, g);
    if (proxy != nullptr && *proxy != '\0') {
        const size_t n = std::strlen(proxy);
        const char *sep = proxy[n - 1] == '/' ? "" : "/";
        HTAnchor_setPhysical(anchor, HTMemPool_vcat(g, proxy, sep, current_url(g, url), static_cast<char *>(nullptr)));
        request->flags |= HT_REQ_VIA_PROXY;
        ACCESS_TRACE(HT_TRACE_PROXY, "Proxy....... server will be \"%s\".\n", HTAnchor_physical(anchor));
        scheme_of(HTAnchor_physical(anchor), "http:", g, &name);
    } else {
        request->flags &= ~static_cast<unsigned int>(HT_REQ_VIA_PROXY);
    }

    if (count.load(std::memory_order_acquire) == 0)
        HTAccessInit();
    const int n = count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        HTProtocol *p = protocols[i];
        ACCESS_TRACE(HT_TRACE_REQUEST, "get_physical: Found protocol type '%s'\n", text_or(p->name, "<null>"));
        if (p->name != nullptr && name != nullptr && std::strcmp(p->name, name) == 0) {
            HTAnchor_setProtocol(anchor, p);
            return 0;
        }
    }
    request->error_code = HT_ERR_NO_PROTOCOL;
    return HT_LOAD_NO_PROTOCOL;
}

// The page of a retry loop that gave up while nothing reached the client
// (the loaders stay silent during a walk and a peer-cache forward).
void failure_page(HTRequest *request, int error, HTThdGlobals *g)
{
    if (!HTAccess_outputUntouched(request))
        return;
    const char *url = text_or(HTAnchor_physical(request->anchor), "");
    char *host = HTParse(url, "", PARSE_HOST, g);
    if (g->detailed_error <= 0)
        HTDetailedError_set(HT_DERR_CONNECTFAIL, g);
    const char *format = message(kMsgNoConnect, kNoConnect);
    const char *eh = EncodeScriptCharacters(text_or(host, ""), g);
    const char *eu = EncodeScriptCharacters(url, g);
    const int n = std::snprintf(nullptr, 0, format, eh, eu, error);
    if (n < 0)
        return;
    auto *text = static_cast<char *>(HTMemPoolAlloc(static_cast<size_t>(n) + 1, g));
    std::snprintf(text, static_cast<size_t>(n) + 1, format, eh, eu, error);
    HTLoadError(request, kWalkFailStatus, text, g);
}

// Makes `url` the current and the physical address of the request.
void go_to(HTRequest *request, char *url, HTThdGlobals *g)
{
    g->url = url;
    HTAnchor_setPhysical(request->anchor, url);
}

using Loader = int (*)(HTRequest *, HTThdGlobals *);

// The retry loop of both modes; `scm`: the split mode's rules.
int load_document(HTRequest *request, HTThdGlobals *g, Loader load, bool scm)
{
    HTAnchor *anchor = request->anchor;
    const char *address = text_or(HTAnchor_address(anchor), "");
    ACCESS_TRACE(HT_TRACE_REQUEST, "HTAccess.... loading document %s\n", address);
    if (request->output_format == nullptr)
        request->output_format = WWW_PRESENT;

    if (utilServerPref_registered(g) && !utilServerPref_isset(g)) {
        if (char *first = utilServerPref_getNextURL(g)) {
            utilServerPref_set(g);
            go_to(request, first, g);
            ACCESS_TRACE(HT_TRACE_REQUEST, "ServerPref..... trying with %s\n", first);
        }
    }
    for (;;) {
        // A peer-cache forward that may fall back to the origin stays silent:
        // the client gets one answer, the origin's or the last failure's page.
        const bool viaPeer = g->forward_target != nullptr && g->no_fallback == 0;
        const int suppressed = g->suppress_errors;
        if (viaPeer)
            g->suppress_errors = 1;
        const int r = load(request, g);
        g->suppress_errors = suppressed;
        if (r == HT_LOAD_OK) {
            ACCESS_TRACE(HT_TRACE_REQUEST, "HTAccess.... `%s' has been accessed.\n", address);
            return HT_ACCESS_DONE;
        }
        if (r == HT_LOAD_OK_NO_DATA) {
            ACCESS_TRACE(HT_TRACE_REQUEST, "HTAccess.... `%s' has been accessed, No data left.\n", address);
            return HT_ACCESS_DONE;
        }
        if (scm && r == HT_LOAD_UNDONE) {
            ACCESS_TRACE(HT_TRACE_SCM, "scm...... HTAccess returns HT_UNDONE for %s.\n", address);
            return r;
        }
        if (r < HT_LOAD_LEAVE || r > HT_LOAD_RETRY) {
            if (r < 1) {
                ACCESS_TRACE(HT_TRACE_REQUEST, "HTAccess.... Can't access `%s'\n", address);
                if (request->error_code == HT_ERR_NONE)
                    request->error_code = HT_ERR_NO_ACCESS;
                return HT_ACCESS_FAILED;
            }
            std::fprintf(stderr, "**** HTAccess: socket or file number returned by obsolete load routine!\n");
            std::fprintf(stderr, "**** HTAccess: Internal software error. URL: %s\n", address);
            if (request->error_code == HT_ERR_NONE)
                request->error_code = HT_ERR_INTERNAL;
            return HT_ACCESS_FAILED;
        }
        if (r == HT_LOAD_RETRY_CONNECT && g->forward_target != nullptr && g->no_fallback == 0) {
            ACCESS_TRACE(HT_TRACE_REQUEST, "HTAccess.... RCA failed, try the server.\n");
            g->forward_target = nullptr;
            request->flags &= ~static_cast<unsigned int>(HT_REQ_VIA_PROXY);
            HTAnchor_setPhysical(anchor, HTAnchor_address(anchor));
            continue;
        }
        if (r == HT_LOAD_LEAVE)
            break;
        if (!utilServerPref_isset(g) || (!scm && HTMethod_hasBody(request->method)))
            break;
        char *next = utilServerPref_getNextURL(g);
        if (next == nullptr || *next == '\0')
            break;
        go_to(request, next, g);
        ACCESS_TRACE(HT_TRACE_REQUEST, "ServerPref..... retrying with %s\n", next);
        if (!scm)
            g->retry_status = 0;
    }
    if (utilServerPref_isset(g)) {
        ACCESS_TRACE(HT_TRACE_REQUEST, "ServerPref..... will NOT retry the request.\n");
        utilServerPref_reset(g);
    }
    ACCESS_TRACE(HT_TRACE_REQUEST, "HTAccess.... `%s' unrecognized or not found (error %d).\n", address,
                 request->error_code);
    const int error = request->error_code;
    request->error_code = HT_ERR_NONE;
    failure_page(request, error, g);
    return HT_ACCESS_DONE;
}

bool is_http_loader(const HTProtocol *p) { return p != nullptr && p->load == HTLoadHTTP; }

} // namespace

extern "C" int HTRegisterProtocol(HTProtocol *protocol) noexcept
{
    if (protocol == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(registering);
    const int n = count.load(std::memory_order_relaxed);
    if (n >= HT_ACCESS_MAX_PROTOCOLS)
        return 0;
    protocols[n] = protocol;
    count.store(n + 1, std::memory_order_release);
    return 1;
}

extern "C" void HTAccessInit(void) noexcept
{
    std::call_once(builtins, register_builtins);
}

extern "C" HTProtocol *HTAccess_find(const char *scheme) noexcept
{
    if (scheme == nullptr)
        return nullptr;
    if (count.load(std::memory_order_acquire) == 0)
        HTAccessInit();
    const int n = count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (protocols[i]->name != nullptr && std::strcmp(protocols[i]->name, scheme) == 0)
            return protocols[i];
    return nullptr;
}

extern "C" int HTAccess__count(void) noexcept
{
    return count.load(std::memory_order_acquire);
}

extern "C" HTProtocol *HTAccess__protocol(int index) noexcept
{
    return index >= 0 && index < HTAccess__count() ? protocols[index] : nullptr;
}

extern "C" int HTAccess_outputUntouched(const HTRequest *request) noexcept
{
    const HTStream *out = request != nullptr ? request->output_stream : nullptr;
    if (out == nullptr)
        return 0;
    if (out->isa != &HTWriterClass) {
        // A chain in front of the writer knows whether it passed anything on.
        int untouched = 1;
        if (out->isa != nullptr && out->isa->message != nullptr)
            out->isa->message(const_cast<HTStream *>(out), HT_STREAM_MSG_UNTOUCHED, &untouched);
        return untouched != 0;
    }
    const auto *w = reinterpret_cast<const HTWriter *>(out);
    return !w->freed && !w->error && w->write_pos == 0 && w->body_count == 0 && w->header_count == 0 &&
           w->final_body_count == 0;
}

extern "C" void HTAccess_setRuleCheck(HTAccessRuleCheck check) noexcept
{
    ruleCheck.store(check, std::memory_order_release);
}

extern "C" int HTLoad(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    if (request == nullptr || request->anchor == nullptr)
        return HT_LOAD_FAILED;
    if (request->mode == 0)
        request->mode = HT_REQ_MODE_LOAD;
    const int r = get_physical(request, g);
    if (r == HT_LOAD_FORBIDDEN) {
        request->error_code = HT_ERR_FORBIDDEN;
        HTDetailedError_set(HT_DERR_BYRULE, g);
        return HTLoadError(request, kForbiddenStatus, message(HT_MSG_FORBIDDEN_BY_RULE, "Access forbidden by rule"),
                           g);
    }
    if (r < 0) {
        // The address step's own code (no protocol) is the more precise one.
        if (request->error_code == HT_ERR_NONE)
            request->error_code = HT_ERR_PHYSICAL_FAILED;
        return r;
    }
    const char *physical = HTAnchor_physical(request->anchor);
    if (physical == nullptr || *physical == '\0') {
        request->error_code = HT_ERR_NO_PHYSICAL;
        return HT_LOAD_FAILED;
    }
    return HTAnchor_protocol(request->anchor)->load(request, g);
}

namespace {

// The retry loop for a request; a null request or one without an anchor fails.
int document(HTRequest *request, HTThdGlobals *context, Loader load, bool scm)
{
    if (request == nullptr || request->anchor == nullptr)
        return HT_ACCESS_FAILED;
    return load_document(request, ctx(context), load, scm);
}

// The retry loop for a new anchor of `url`, made the context's current URL.
int document_for(const char *url, HTRequest *request, HTThdGlobals *context, Loader load, bool scm)
{
    HTThdGlobals *g = ctx(context);
    if (request == nullptr)
        return HT_ACCESS_FAILED;
    request->anchor = HTAnchor_findAddress(url, g);
    g->url = HTAnchor_address(request->anchor);
    return document(request, g, load, scm);
}

} // namespace

extern "C" int HTLoadDocument(HTRequest *request, HTThdGlobals *context) noexcept
{
    return document(request, context, HTLoad, false);
}

extern "C" int HTLoadToStream(const char *url, int, HTRequest *request, HTThdGlobals *context) noexcept
{
    return document_for(url, request, context, HTLoad, false);
}

extern "C" int scm_HTLoadRequest(HTRequest *request, HTThdGlobals *context) noexcept
{
    return HTLoad(request, context);
}

extern "C" int scm_HTLoadDocumentRequest(HTRequest *request, HTThdGlobals *context) noexcept
{
    return document(request, context, scm_HTLoadRequest, true);
}

extern "C" int scm_HTLoadToStreamRequest(const char *url, int, HTRequest *request, HTThdGlobals *context) noexcept
{
    return document_for(url, request, context, scm_HTLoadRequest, true);
}

extern "C" int scm_HTLoadResponse(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    if (request == nullptr || request->anchor == nullptr)
        return HT_LOAD_FAILED;
    const char *physical = HTAnchor_physical(request->anchor);
    if (physical == nullptr || *physical == '\0') {
        request->error_code = HT_ERR_NO_PHYSICAL;
        return HT_LOAD_FAILED;
    }
    const HTProtocol *p = HTAnchor_protocol(request->anchor);
    // https shares the HTTP loader and its split mode.
    if (!is_http_loader(p)) {
        ACCESS_TRACE(HT_TRACE_SCM, "scm...... unsupported protocol %s.\n", p && p->name ? p->name : "<null>");
        return HT_LOAD_FAILED;
    }
    return scm_HTLoadHTTPResponse(request, g);
}
