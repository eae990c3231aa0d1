// hostclient: the stand-in host's client side.

#include "hostclient.h"

#include "HTAlloc.h"
#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTInputSocket.h"
#include "HTMPool.h"
#include "HTMultiSelect.h"
#include "HTSocket.h"
#include "HTString.h"
#include "HTRespHeaders-t.h"
#include "hostaccess.h"
#include "hostasync.h"
#include "hostloader.h"
#include "hostplugin.h"
#include "hostsession.h"
#include "httpool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

HostClientSettings hostclient_settings = {"127.0.0.1", 0, 32, 20000, 60, 30};

namespace {

// ---- directives ----

HostClientSettings &settings() { return hostclient_settings; }

template <class T> int set_number(T *field, const char *args, long low, long high, char *error)
{
    long v = 0;
    if (hostconf_number(args, low, high, &v, error) != 0)
        return -1;
    *field = static_cast<T>(v);
    return 0;
}

HTStaticConfig *cfg(void *target) { return static_cast<HTStaticConfig *>(target); }

int listen_address(void *, const char *v, char *error)
{
    struct in_addr a;
    if (inet_pton(AF_INET, v, &a) != 1 || std::strlen(v) >= sizeof settings().listen_address) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "not a dotted IPv4 address");
        return -1;
    }
    std::strcpy(settings().listen_address, v);
    return 0;
}

constexpr long kDay = 86400;

const HostDirective kDirectives[] = {
    {"ListenAddress", listen_address},
    {"ListenPort", [](void *, const char *v, char *e) { return set_number(&settings().listen_port, v, 0, 65535, e); }},
    {"WorkerThreads", [](void *, const char *v, char *e) { return set_number(&settings().workers, v, 1, 4096, e); }},
    {"Sessions", [](void *, const char *v, char *e) { return set_number(&settings().sessions, v, 1, 1000000, e); }},
    {"PersistTimeout",
     [](void *, const char *v, char *e) { return set_number(&settings().persist_timeout, v, 0, kDay, e); }},
    {"RequestTimeout",
     [](void *, const char *v, char *e) { return set_number(&settings().request_timeout, v, 0, kDay, e); }},
    {"SelectThreads", [](void *c, const char *v, char *e) { return set_number(&cfg(c)->select_threads, v, 1, 256, e); }},
    {"WorkerUser", [](void *c, const char *v, char *e) { return hostconf_text(v, &cfg(c)->worker_user, e); }},
    {"WorkerGroup", [](void *c, const char *v, char *e) { return hostconf_text(v, &cfg(c)->worker_group, e); }},
    {"MaxSocketPerServer",
     [](void *c, const char *v, char *e) { return set_number(&cfg(c)->max_socket_per_server, v, 0, INT_MAX, e); }},
    {"ServerIdleLimit",
     [](void *c, const char *v, char *e) { return set_number(&cfg(c)->server_idle_limit, v, 0, kDay, e); }},
    {"ServerGCInterval",
     [](void *c, const char *v, char *e) { return set_number(&cfg(c)->server_gc_interval, v, 0, kDay, e); }},
    {"ServerConnPool", [](void *c, const char *v, char *e) { return hostconf_flag(v, &cfg(c)->server_conn_pool, e); }},
};

} // namespace

extern "C" HostDirectiveTable hostclient_directives(HTStaticConfig *config)
{
    return {kDirectives, sizeof kDirectives / sizeof kDirectives[0], config};
}

// ---- the request head ----

namespace {

bool tchar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The text [p, end) equals `word` without regard to case.
bool same(const char *p, const char *end, const char *word)
{
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(end - p) != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(p[i]) != word[i])
            return false;
    return true;
}

const char *skip_blanks(const char *p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    return p;
}

const char *trim_end(const char *p, const char *end)
{
    while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    return end;
}

} // namespace

extern "C" int hostclient_parseRequestLine(const char *line, HostRequestHead *head)
{
    if (line == nullptr || head == nullptr)
        return -1;
    *head = HostRequestHead{0, 0, -1, 0, 0};
    const char *p = line;
    const char *end = line + std::strlen(line);
    const char *method = p;
    while (p < end && tchar(*p))
        ++p;
    if (p == method || p >= end || *p != ' ')
        return -1;
    const char *target = ++p;
    while (p < end && *p != ' ' && static_cast<unsigned char>(*p) > ' ')
        ++p;
    if (p == target || p >= end || *p != ' ')
        return -1;
    ++p;
    if (end - p != 8 || std::strncmp(p, "HTTP/", 5) != 0 || !digit(p[5]) || p[6] != '.' || !digit(p[7]))
        return -1;
    const int major = p[5] - '0', minor = p[7] - '0';
    head->http11 = major > 1 || (major == 1 && minor >= 1);
    head->keep_alive = head->http11;
    return 0;
}

extern "C" int hostclient_parseHeaderLine(const char *line, HostRequestHead *head)
{
    if (line == nullptr || head == nullptr)
        return -1;
    ++head->headers;
    const char *p = line;
    const char *end = line + std::strlen(line);
    if (p < end && (*p == ' ' || *p == '\t'))
        return 0; // continuation of a header this host does not read
    const char *name = p;
    while (p < end && tchar(*p))
        ++p;
    if (p == name || p >= end || *p != ':')
        return -1;
    const char *nameEnd = p;
    const char *value = skip_blanks(p + 1, end);
    const char *valueEnd = trim_end(value, end);
    if (same(name, nameEnd, "connection")) {
        // A list of options; close wins over keep-alive.
        const char *q = value;
        bool close = false, keep = false;
        while (q < valueEnd) {
            const char *item = skip_blanks(q, valueEnd);
            const char *stop = item;
            while (stop < valueEnd && *stop != ',')
                ++stop;
            const char *itemEnd = trim_end(item, stop);
            if (same(item, itemEnd, "close"))
                close = true;
            else if (same(item, itemEnd, "keep-alive"))
                keep = true;
            q = stop < valueEnd ? stop + 1 : stop;
        }
        if (close)
            head->keep_alive = 0;
        else if (keep)
            head->keep_alive = 1;
    } else if (same(name, nameEnd, "content-length")) {
        if (value == valueEnd)
            return -1;
        long long n = 0;
        for (const char *q = value; q < valueEnd; ++q) {
            if (!digit(*q) || n > (LLONG_MAX - 9) / 10)
                return -1;
            n = n * 10 + (*q - '0');
        }
        if (head->content_length >= 0 && head->content_length != n)
            return -1;
        head->content_length = n;
    } else if (same(name, nameEnd, "transfer-encoding")) {
        head->chunked = 1;
    }
    // Both framings at once: which one the client meant is unknowable, and a
    // guess lets a request smuggle another past the proxy.
    if (head->chunked && head->content_length >= 0)
        return -1;
    return 0;
}

extern "C" int hostclient_namedByConnection(const char *line, const char *connection)
{
    if (line == nullptr || connection == nullptr)
        return 0;
    const char *colon = std::strchr(line, ':');
    if (colon == nullptr)
        return 0;
    const char *nameEnd = trim_end(line, colon);
    const char *end = connection + std::strlen(connection);
    for (const char *q = connection; q < end;) {
        const char *item = skip_blanks(q, end);
        const char *stop = item;
        while (stop < end && *stop != ',')
            ++stop;
        const char *itemEnd = trim_end(item, stop);
        if (itemEnd - item == nameEnd - line && strncasecmp(item, line, static_cast<size_t>(nameEnd - line)) == 0)
            return 1;
        q = stop < end ? stop + 1 : stop;
    }
    return 0;
}

// ---- serving ----

namespace {

// Blank lines a client may send before a request line.
constexpr int kLeadingBlankLines = 4;

std::atomic<unsigned long> nAccepts{0}, nRefused{0}, nRequests{0}, nTimeouts{0}, nEnds{0};

HTSocket *listener = nullptr;
int boundPort = 0;
pthread_t acceptThread;
std::atomic<bool> stopping{false};
bool running = false;
bool poolStarted = false;
std::atomic<int> nBusy{0};
constexpr int kInternalWorkers = 2;

uintptr_t *words(void *session) { return static_cast<uintptr_t *>(session); }
HTSocket *socket_of(void *session) { return reinterpret_cast<HTSocket *>(words(session)[HOST_SESSION_HTSOCKET]); }
HTInputSocket *input_of(void *session)
{
    return reinterpret_cast<HTInputSocket *>(words(session)[HOST_SESSION_INPUT]);
}

// Ends a connection the manager knows (or knew) and gives its record back.
void end_connection(void *session)
{
    HTSocket *s = socket_of(session);
    const int fd = static_cast<int>(words(session)[HOST_SESSION_SOCKET]);
    removeConnection(fd);
    HTSocket_close(s, __FILE__, __LINE__, nullptr);
    words(session)[HOST_SESSION_HTSOCKET] = 0;
    // The server connection reserved for this client goes with it.
    if (auto *reserved = reinterpret_cast<HTSocket *>(words(session)[HOST_SESSION_RESERVED_SOCKET])) {
        HTSocket_close(reserved, __FILE__, __LINE__, nullptr);
        DecLibSNMPOutboundAssociations();
        words(session)[HOST_SESSION_RESERVED_SOCKET] = 0;
    }
    HTInputSocket_reset(input_of(session), nullptr);
    ++nEnds;
    putSession(session);
}

const char *reason_of(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

// The host's own answer to a request it does not forward; the connection
// ends after it. The bytes written.
unsigned long refuse(HTSocket *s, int status, HTRequest *request)
{
    char text[160];
    const int n = std::snprintf(text, sizeof text,
                                "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status,
                                reason_of(status));
    const int w = HTSocket_write(s, text, n, request);
    return w > 0 ? static_cast<unsigned long>(w) : 0;
}

enum class Served { kKeep, kEnd };

void log_access(void *session, const char *line, int status, unsigned long bytes)
{
    if (!hostaccess_enabled())
        return;
    const uintptr_t *w = words(session);
    hostaccess_log(static_cast<uint32_t>(w[HOST_SESSION_CLIENT_ADDRESS]), static_cast<int>(w[HOST_SESSION_CLIENT_PORT]),
                   line, status, bytes, static_cast<unsigned long>(w[HOST_SESSION_SEQUENCE]),
                   static_cast<unsigned long>(w[HOST_SESSION_REQUESTS]));
}

// Answers with `status`, logs it and ends the connection.
Served refuse_and_end(void *session, const char *line, int status, HTRequest *request)
{
    ++words(session)[HOST_SESSION_REQUESTS];
    ++nRequests;
    log_access(session, line, status, refuse(socket_of(session), status, request));
    return Served::kEnd;
}

// Reads one request and answers it.
Served serve_one(void *session, HTRequest *request)
{
    HTSocket *s = socket_of(session);
    HTInputSocket *in = input_of(session);
    // One byte over the limit tells a line at the limit from a longer one.
    constexpr unsigned kLimit = HOST_LINE_MAX + 1;
    const char *line = nullptr;
    for (int i = 0; i <= kLeadingBlankLines; ++i) {
        line = HTInputSocket_getLineEx(in, kLimit, request);
        if (line == nullptr)
            return Served::kEnd; // the client went away
        if (line[0] != '\0')
            break;
    }
    if (std::strlen(line) > HOST_LINE_MAX)
        return refuse_and_end(session, "-", 414, request);
    HostRequestHead head;
    if (line[0] == '\0' || hostclient_parseRequestLine(line, &head) != 0)
        return refuse_and_end(session, line, 400, request);
    // The request line's method and target.
    auto *g = static_cast<HTThdGlobals *>(request->pool);
    const char *logLine = HTMemPoolStrdup(line, g);
    char *requestLine = HTMemPoolStrdup(line, g);
    char *target = std::strchr(requestLine, ' ');
    *target++ = '\0';
    *std::strchr(target, ' ') = '\0';
    auto **lines = static_cast<const char **>(HTMemPoolAlloc(sizeof(char *) * HOST_HEADERS_MAX, g));
    const char *connection = nullptr; // the Connection lines' options, joined
    int expect = 0;
    size_t headBytes = std::strlen(line) + 2;
    for (;;) {
        line = HTInputSocket_getLineEx(in, kLimit, request);
        if (line == nullptr)
            return Served::kEnd;
        if (line[0] == '\0')
            break;
        const size_t n = std::strlen(line);
        headBytes += n + 2;
        if (n > HOST_LINE_MAX || head.headers >= HOST_HEADERS_MAX || headBytes > HOST_HEAD_MAX)
            return refuse_and_end(session, logLine, 431, request);
        lines[head.headers] = line;
        if (strncasecmp(line, "expect:", 7) == 0 && strcasestr(line + 7, "100-continue") != nullptr)
            expect = 1;
        if (strncasecmp(line, "connection:", 11) == 0)
            connection = connection ? HTMemPool_vcat(g, connection, ",", line + 11, static_cast<char *>(nullptr))
                                    : line + 11;
        if (hostclient_parseHeaderLine(line, &head) != 0)
            return refuse_and_end(session, logLine, 400, request);
    }
    if (strcasecmp(requestLine, "CONNECT") == 0)
        return refuse_and_end(session, logLine, 501, request);
    if (!hostloader_takes(target))
        return refuse_and_end(session, logLine, target[0] == '/' || target[0] == '*' ? 400 : 501, request);
    if (hostloader_refused(target))
        return refuse_and_end(session, logLine, 403, request);

    // The forwarded head: the client's lines but the hop-by-hop ones, and
    // this proxy on the Via list.
    char via[300];
    const int viaLength = std::snprintf(via, sizeof via, "Via: 1.1 %s\r\n", hostaccess_viaName());
    size_t n = static_cast<size_t>(viaLength);
    for (int i = 0; i < head.headers; ++i) {
        if (!hostloader_forwarded(lines[i], head.chunked) || hostclient_namedByConnection(lines[i], connection))
            lines[i] = nullptr;
        else
            n += std::strlen(lines[i]) + 2;
    }
    auto *block = static_cast<char *>(HTMemPoolAlloc(n + 1, g));
    char *o = block;
    for (int i = 0; i < head.headers; ++i) {
        if (lines[i] == nullptr)
            continue;
        const size_t k = std::strlen(lines[i]);
        std::memcpy(o, lines[i], k);
        std::memcpy(o + k, "\r\n", 2);
        o += k + 2;
    }
    std::memcpy(o, via, static_cast<size_t>(viaLength));
    o[viaLength] = '\0';
    const bool logging = hostaccess_enabled() != 0;
    const HostForward f{requestLine, target, head.http11, head.keep_alive, head.chunked ? -1 : head.content_length,
                        head.chunked, expect, block, n};
    ++words(session)[HOST_SESSION_REQUESTS];
    ++nRequests;
    // The client connection's reservation travels with it, not with the worker.
    uintptr_t *w = words(session);
    g->reserved_socket = reinterpret_cast<HTSocket *>(w[HOST_SESSION_RESERVED_SOCKET]);
    g->reserved_address = static_cast<uint32_t>(w[HOST_SESSION_RESERVED_ADDRESS]);
    g->reserved_port = static_cast<int>(w[HOST_SESSION_RESERVED_PORT]);
    g->client_seq = static_cast<unsigned long>(w[HOST_SESSION_SEQUENCE]);
    if (hostplugin_count() > 0) {
        unsigned long sent = 0;
        int keepAfter = 0;
        hostloader_prepare(request, g, in, &f);
        const int status = hostplugin_serve(request, g, s, head.keep_alive, &sent, &keepAfter);
        if (status != 0) {
            log_access(session, logLine, status, sent);
            return keepAfter ? Served::kKeep : Served::kEnd;
        }
    }
    // The access log wants the status: the library parses the head it
    // passes on only for a logging step.
    if (logging)
        g->plugin_flags |= HT_PLUGIN_LOG;
    const uint32_t before = s->bytes_written;
    const bool keep = hostloader_serve(request, g, s, in, &f) != 0;
    const auto *store = static_cast<const HTRespHeaders *>(g->client_resp_headers);
    if (logging)
        log_access(session, logLine, store && store->status_code > 0 ? store->status_code : 0,
                   static_cast<unsigned long>(s->bytes_written - before));
    w[HOST_SESSION_RESERVED_SOCKET] = reinterpret_cast<uintptr_t>(g->reserved_socket);
    w[HOST_SESSION_RESERVED_ADDRESS] = g->reserved_address;
    w[HOST_SESSION_RESERVED_PORT] = static_cast<uintptr_t>(g->reserved_port);
    g->reserved_socket = nullptr;
    g->reserved_address = 0;
    g->reserved_port = 0;
    return keep ? Served::kKeep : Served::kEnd;
}

// How long a worker waits for the next request on the connection it served.
constexpr int kHotWaitMs = 1;

// The work function: what the client sent, then the connection back to the
// manager or ended.
void serve_connection(uintptr_t *item, void *globals)
{
    void *session = reinterpret_cast<void *>(item[HT_WORK_ITEM_REQUEST]);
    if (item[1] != HT_DISPATCH_INPUT) {
        ++nTimeouts;
        end_connection(session);
        return;
    }
    const int fd = static_cast<int>(words(session)[HOST_SESSION_SOCKET]);
    auto *g = static_cast<HTThdGlobals *>(globals);
    for (;;) {
        HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
        HTRequest request{};
        request.config = &HTMyStaticConfig;
        request.pool = g;
        const Served result = serve_one(session, &request);
        // Asynchronous requests a plug-in left running may still write into
        // the memory the end of the request resets.
        hostasync_drain();
        HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
        if (result == Served::kEnd) {
            end_connection(session);
            return;
        }
        // A request already read behind this one is served now: poll would
        // not see it.
        int buffered = 0;
        HTInputSocket_getInputPointer(input_of(session), &buffered);
        if (buffered > 0)
            continue;
        // A client that sends its next request at once (most keep-alive
        // clients do) is served on: the hand-off through the connection
        // manager and the run queue costs more than the request. Only while
        // no other connection waits for a worker, and for a millisecond.
        if (HTrunQueue_getQueueLength(0) == 0) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kHotWaitMs) == 1 && (p.revents & POLLIN) != 0 && HTrunQueue_getQueueLength(0) == 0)
                continue;
        }
        // The record is on its service list: HT_ERROR can only mean the
        // wake-up failed, and the connection is watched all the same.
        reAddConnection(fd, hostclient_settings.persist_timeout);
        return;
    }
}

// Counted so that a shut-down can wait for the running requests.
void serve(uintptr_t *item, void *globals)
{
    ++nBusy;
    serve_connection(item, globals);
    --nBusy;
}

// A refusal that must not block the thread sending it: it fits any empty
// send buffer, and a client whose buffer is full loses it with the connection.
void refuse_now(int fd)
{
    static const char k503[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)!send(fd, k503, sizeof k503 - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// On the select thread: only hand the connection to a worker. A full run
// queue refuses the connection rather than stall every connection the
// select thread watches.
void dispatch(void *session, int timedOut)
{
    // An idle time-out or a poll error needs no worker: ending it blocks on
    // nothing, and thousands may come due in one pass.
    if (timedOut != HT_DISPATCH_INPUT) {
        ++nTimeouts;
        end_connection(session);
        return;
    }
    uintptr_t item[HT_WORK_ITEM_WORDS] = {};
    item[HT_WORK_ITEM_REQUEST] = reinterpret_cast<uintptr_t>(session);
    item[1] = static_cast<uintptr_t>(timedOut);
    item[HT_WORK_ITEM_PORT] = words(session)[HOST_SESSION_LOCAL_PORT];
    if (RunOnThread(serve, item, HT_RUN_QUEUE) == 0) {
        if (!stopping.load()) {
            ++nRefused;
            refuse_now(static_cast<int>(words(session)[HOST_SESSION_SOCKET]));
        }
        end_connection(session);
    }
}

void *accept_loop(void *)
{
    block_signals();
    while (!stopping.load()) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        HTSocket *s = HTSocket_accept(listener, reinterpret_cast<sockaddr *>(&peer), &len);
        if (s == nullptr) {
            if (stopping.load())
                break;
            // Out of descriptors or a connection reset before it was taken.
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            continue;
        }
        ++nAccepts;
        void *session = getSession();
        if (session == nullptr) {
            ++nRefused;
            refuse_now(s->socket);
            HTSocket_close(s, __FILE__, __LINE__, nullptr);
            continue;
        }
        const int one = 1;
        setsockopt(s->socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A client that stops in the middle of a request, or stops reading
        // its answer, costs a worker at most the request time-out.
        if (hostclient_settings.request_timeout > 0) {
            struct timeval tv = {hostclient_settings.request_timeout, 0};
            setsockopt(s->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            setsockopt(s->socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        uintptr_t *w = words(session);
        w[HOST_SESSION_SOCKET] = static_cast<uintptr_t>(s->socket);
        w[HOST_SESSION_HTSOCKET] = reinterpret_cast<uintptr_t>(s);
        w[HOST_SESSION_LOCAL_PORT] = static_cast<uintptr_t>(boundPort);
        w[HOST_SESSION_CLIENT_ADDRESS] = peer.sin_addr.s_addr;
        w[HOST_SESSION_CLIENT_PORT] = ntohs(peer.sin_port);
        w[HOST_SESSION_REQUESTS] = 0;
        w[HOST_SESSION_RESERVED_SOCKET] = 0;
        w[HOST_SESSION_RESERVED_ADDRESS] = 0;
        w[HOST_SESSION_RESERVED_PORT] = 0;
        HTInputSocket_reset(input_of(session), s);
        const int fd = s->socket;
        if (addNewConnection(fd, dispatch, session, hostclient_settings.persist_timeout) == HT_CONN_NOT_WATCHED)
            end_connection(session);
    }
    return nullptr;
}

} // namespace

extern "C" int hostclient_startPool(void)
{
    if (poolStarted)
        return 0;
    HostClientSettings &cs = hostclient_settings;
    // Block 0 serves clients (its run queue holds 50 per worker); block 2
    // runs the library's internal work, such as asynchronous requests, so
    // that it never waits behind the clients that started it.
    setPoolBlock(-1, 0, 0);
    setPoolBlock(HT_POOL_BLOCK_NORMAL, 0, cs.workers);
    setPoolBlock(HT_POOL_BLOCK_INTERNAL, 0, kInternalWorkers);
    HTThreadPool_setInternalPool(1);
    InitializeThreads(cs.workers + kInternalWorkers);
    hostasync_attach();
    if (initSessions(cs.sessions) != HT_OK) {
        std::fprintf(stderr, "hostclient: %d session records cannot be made\n", cs.sessions);
        return -1;
    }
    poolStarted = true;
    return 0;
}

extern "C" int hostclient_bind(void)
{
    HostClientSettings &cs = hostclient_settings;
    if (listener != nullptr)
        return 0;
    listener = HTSocket_new(AF_INET, SOCK_STREAM, 0, cs.listen_address, cs.listen_port, nullptr);
    if (listener == nullptr) {
        std::fprintf(stderr, "hostclient: no listening socket: %s\n", std::strerror(errno));
        return -1;
    }
    const int one = 1;
    setsockopt(listener->socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(cs.listen_port));
    inet_pton(AF_INET, cs.listen_address, &a.sin_addr);
    if (HTSocket_bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        HTSocket_listen(listener, SOMAXCONN) != 0) {
        std::fprintf(stderr, "hostclient: cannot listen on %s:%d: %s\n", cs.listen_address, cs.listen_port,
                     std::strerror(listener->error));
        HTSocket_close(listener, __FILE__, __LINE__, nullptr);
        listener = nullptr;
        return -1;
    }
    socklen_t len = sizeof a;
    HTSocket_getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    boundPort = ntohs(a.sin_port);
    return 0;
}

extern "C" int hostclient_accept(void)
{
    if (running)
        return 0;
    if (listener == nullptr)
        return -1;
    stopping = false;
    if (pthread_create(&acceptThread, nullptr, accept_loop, nullptr) != 0) {
        std::fprintf(stderr, "hostclient: the accept thread cannot be started\n");
        HTSocket_close(listener, __FILE__, __LINE__, nullptr);
        listener = nullptr;
        return -1;
    }
    running = true;
    return 0;
}

extern "C" int hostclient_start(void)
{
    user_id = HTMyStaticConfig.worker_user;
    group_id = HTMyStaticConfig.worker_group;
    if (hostclient_startPool() != 0 || hostclient_bind() != 0)
        return -1;
    return hostclient_accept();
}

extern "C" int hostclient_busy(void) { return static_cast<int>(nBusy.load()); }

extern "C" void hostclient_stop(void)
{
    if (!running)
        return;
    stopping = true;
    // A listening socket shut down makes the blocked accept return.
    shutdown(listener->socket, SHUT_RDWR);
    pthread_join(acceptThread, nullptr);
    HTSocket_close(listener, __FILE__, __LINE__, nullptr);
    listener = nullptr;
    running = false;
}

extern "C" int hostclient_port(void) { return boundPort; }

extern "C" void hostclient_stats(HostClientStats *out)
{
    if (out == nullptr)
        return;
    out->accepts = nAccepts.load();
    out->refused = nRefused.load();
    out->requests = nRequests.load();
    out->timeouts = nTimeouts.load();
    out->ends = nEnds.load();
}
