// HTWriter: the output writer.

#include "HTWriter.h"

#include "HTConfig.h"
#include "HTLog.h"
#include "HTMPool.h"
#include "HTSecure.h"
#include "HTSocket.h"
#include "HTString.h"
#include "HTTCP.h"
#include "HTThread.h"
#include "HTTrace.h"
#include "htstab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

HTClientTimeoutHook HTClientReadTimeoutOn = nullptr;
HTClientTimeoutHook HTClientReadTimeoutOff = nullptr;

namespace {

std::atomic<HTWriterObserver> observer{nullptr};

HTWriter *W(HTStream *me)
{
    return reinterpret_cast<HTWriter *>(me);
}

const HTStaticConfig *config_of(const HTRequest *request)
{
    return request && request->config ? request->config : &HTMyStaticConfig;
}

bool aborted(const HTRequest *request)
{
    return request != nullptr && __atomic_load_n(&request->abort_flag, __ATOMIC_RELAXED) != 0;
}

bool tcp()
{
    return HT_TRACE_ON(HT_TRACE_TCP);
}

unsigned long thread_id()
{
    return static_cast<unsigned long>(static_cast<uintptr_t>(OsThreadMyself()));
}

// One socket write between the host's time-out hooks.
int hooked_write(HTWriter *w, const char *data, int n)
{
    if (HTClientReadTimeoutOn)
        HTClientReadTimeoutOn(w->request);
    const int r = level3write(w->socket, data, n, w->request);
    if (HTClientReadTimeoutOff)
        HTClientReadTimeoutOff(w->request);
    w->last_result = r;
    return r;
}

void flush(HTWriter *w)
{
    HTWriter_paranoiaCheck(reinterpret_cast<HTStream *>(w));
    if (!w->error && w->write_pos > 0) {
        int sent = 0;
        while (sent < w->write_pos) {
            const int r = hooked_write(w, w->buffer + sent, w->write_pos - sent);
            // Nothing written counts as a failure too: a 0 would repeat for ever.
            if (r <= 0) {
                if (tcp())
                    tfprintf(stderr, "HTWrite..... Error on write(); returned %d.\n", r);
                w->error = 1;
                break;
            }
            if (tcp())
                tfprintf(stderr, "HTWriter.... sent %d of %d bytes.\n", r, w->write_pos - sent);
            sent += r;
        }
    }
    w->write_pos = 0;
}

// Sends the bytes from the caller's memory; false once the connection broke.
bool send_direct(HTWriter *w, const char *data, int n, const char *failure)
{
    while (n > 0) {
        const int r = hooked_write(w, data, n);
        if (r <= 0) {
            if (tcp())
                tfprintf(stderr, failure, r);
            w->error = 1;
            return false;
        }
        data += r;
        n -= r;
    }
    return true;
}

// The thread's relay pipe: bytes spliced in from one socket wait in it only
// until they are spliced out to the other, so it is empty between relays.
// A failure that may leave bytes in it closes it; the next relay makes a
// new one.
constexpr int kRelayPipeSize = 1 << 20;

struct RelayPipe {
    int fd[2] = {-1, -1};
    int capacity = 0;
    void discard()
    {
        for (int &f : fd)
            if (f >= 0) {
                close(f);
                f = -1;
            }
        capacity = 0;
    }
    ~RelayPipe() { discard(); }
    bool ready()
    {
        if (fd[0] >= 0)
            return true;
        if (pipe2(fd, O_CLOEXEC) != 0) {
            fd[0] = fd[1] = -1;
            return false;
        }
        // A larger pipe moves more per pair of calls; the system's own limit may refuse it.
        (void)fcntl(fd[1], F_SETPIPE_SZ, kRelayPipeSize);
        capacity = fcntl(fd[1], F_GETPIPE_SZ);
        if (capacity <= 0) {
            discard();
            return false;
        }
        return true;
    }
};

thread_local RelayPipe relayPipe;

// A splice onto a socket the peer has closed raises SIGPIPE (a send asks
// for none): held back while relaying, and taken away when the write
// failed that way.
class PipeSignalHeld {
public:
    PipeSignalHeld()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        restore_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0 && !sigismember(&old_, SIGPIPE);
    }
    ~PipeSignalHeld()
    {
        if (restore_)
            pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    void take()
    {
        const struct timespec none = {0, 0};
        while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
        }
    }
    PipeSignalHeld(const PipeSignalHeld &) = delete;
    PipeSignalHeld &operator=(const PipeSignalHeld &) = delete;

private:
    sigset_t pipe_, old_;
    bool restore_ = false;
};

// The bytes left in the relay pipe when the writer's socket cannot splice:
// read back and sent as any write is.
void send_from_pipe(HTWriter *w, int fd, int n)
{
    char bounce[16384];
    while (n > 0 && !w->error) {
        const ssize_t r = read(fd, bounce, static_cast<size_t>(n) < sizeof bounce ? static_cast<size_t>(n) : sizeof bounce);
        if (r <= 0) {
            w->error = 1;
            break;
        }
        send_direct(w, bounce, static_cast<int>(r), "HTWriter_relay: Error on socket output stream!!!\n");
        n -= static_cast<int>(r);
    }
}

bool blocked(const HTStaticConfig *c, const char *line)
{
    HTList *cursor = c->blocked_headers;
    while (void *o = HTList_nextObjectF(&cursor)) {
        const char *prefix = static_cast<const char *>(o);
        const size_t n = std::strlen(prefix);
        if (n > 0 && strncasecomp(line, prefix, static_cast<int>(n)) == 0)
            return true;
    }
    return false;
}

// Without the header store's hook: the response-time header goes into the
// head's list, replacing a line of the same name.
void put_response_time(HTRespHeaders *head, HTRequest *request)
{
    const HTStaticConfig *c = config_of(request);
    if (!c->response_time_header || c->response_time_name == nullptr || head->headers == nullptr)
        return;
    char value[96];
    HTWriter_responseTimeValue(request, value, sizeof value);
    HTThdGlobals *pool = request ? request->pool : nullptr;
    const char *name = c->response_time_name;
    const size_t n = std::strlen(name);
    char *line = HTMemPool_vcat(pool, name, ": ", value, "\r\n", static_cast<char *>(nullptr));
    HTList *cursor = head->headers;
    while (void *o = HTList_nextObjectF(&cursor)) {
        const char *l = static_cast<const char *>(o);
        if (strncasecomp(l, name, static_cast<int>(n)) == 0 && l[n] == ':') {
            HTList_removeObject(head->headers, o, pool);
            cursor = head->headers;
        }
    }
    HTList_appendObject(head->headers, line, pool);
    if (HT_TRACE_ON(HT_TRACE_TCP))
        tfprintf(stderr, "Updated..... %s response header \n", name);
}

} // namespace

extern "C" const HTStreamClass HTWriterClass = {
    "SocketWriter",         HTWriter_free,   HTWriter_abort,        HTWriter_put_character,
    HTWriter_put_string,    HTWriter_write,  HTWriter_status,       HTWriter_catchMessage,
    HTWriter_putHeaders,
};

void HTWriter__setObserver(HTWriterObserver o) noexcept
{
    observer.store(o, std::memory_order_release);
}

extern "C" int HTWriter_responseTimeValue(const HTRequest *request, char *buffer, size_t size) noexcept
{
    if (buffer == nullptr || size == 0)
        return 0;
    struct timeval start = {0, 0}, now;
    if (request != nullptr)
        start = request->start_time;
    gettimeofday(&now, nullptr);
    const long long elapsed = (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000000LL +
                              (static_cast<long long>(now.tv_usec) - start.tv_usec);
    const int n = std::snprintf(buffer, size, "t=%lld%06ld D=%lld", static_cast<long long>(start.tv_sec),
                                static_cast<long>(start.tv_usec), elapsed);
    return n < 0 ? 0 : (static_cast<size_t>(n) >= size ? static_cast<int>(size) - 1 : n);
}

extern "C" int level3write(HTSocket *s, const char *data, int length, HTRequest *request) noexcept
{
    const int r = HTSocket_writemsg(s, data, length, request);
    if (HTWriterObserver o = observer.load(std::memory_order_acquire))
        o(data, length, r);
    return r;
}

extern "C" HTStream *HTWriter_new(HTSocket *s, HTRequest *request, void *unused) noexcept
{
    (void)unused;
    auto *w = static_cast<HTWriter *>(HTMemPoolAlloc(sizeof(HTWriter), request ? request->pool : nullptr));
    std::memset(w, 0, sizeof *w);
    w->isa = &HTWriterClass;
    w->socket = s;
    w->buffering = 1;
    w->request = request;
    w->descriptor = s ? s->socket : -1;
    if (HTSocketTable_debugging() && request != nullptr)
        w->client = request->client_address;
    if (HT_TRACE_ON(HT_TRACE_STACK))
        tfprintf(stderr, "Writer...... stream created.\n");
    return reinterpret_cast<HTStream *>(w);
}

extern "C" HTStream *HTWriter_newNoClose(HTSocket *s, HTRequest *request) noexcept
{
    HTStream *me = HTWriter_new(s, request, nullptr);
    W(me)->no_close = 1;
    return me;
}

extern "C" int HTWriter_paranoiaCheck(HTStream *me) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr || w->socket == nullptr || !HTSocketTable_debugging())
        return 0;
    const char *url = w->request && w->request->url ? w->request->url : "";
    bool mismatch = false;
    if (w->socket->socket != w->descriptor) {
        HTLog_errorReflector("PANIC! Socket mismatch: %d != %d (request: \"%s\", thread %lx).\n", w->request,
                             w->socket->socket, w->descriptor, url, thread_id());
        mismatch = true;
    }
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    std::memset(&peer, 0, sizeof peer);
    if (w->socket->socket >= 0 &&
        getpeername(w->socket->socket, reinterpret_cast<struct sockaddr *>(&peer), &len) == 0 &&
        peer.sin_family == AF_INET &&
        (peer.sin_addr.s_addr != w->client.sin_addr.s_addr || peer.sin_port != w->client.sin_port)) {
        char a[HT_INET_STRING_SIZE], b[HT_INET_STRING_SIZE];
        HTLog_errorReflector(
            "PANIC! Socket address mismatch: %s:%u != %s:%u (request: \"%s\", thread %lx, c=%d).\n",
            w->request, HTInetString(&peer, a), static_cast<unsigned>(ntohs(peer.sin_port)),
            HTInetString(&w->client, b), static_cast<unsigned>(ntohs(w->client.sin_port)), url, thread_id(),
            w->free_count);
        mismatch = true;
    }
    if (!mismatch)
        return 0;
    std::fprintf(stderr,
                 "HTWriter closing connection abnormally - error detected (check errorlog; thread was %lx).\n",
                 thread_id());
    if (!w->no_close) {
        HTSocket_close(w->socket, __FILE__, __LINE__, w->request);
        w->socket = nullptr;
    }
    w->error = 1;
    return -1;
}

extern "C" int HTWriter_put_character(HTStream *me, int c) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr)
        return -1;
    if (aborted(w->request) && !w->write_when_aborted)
        return 0;
    HTWriter_paranoiaCheck(me);
    if (w->error)
        return -1;
    if (w->write_pos >= HT_WRITER_BUFFER_SIZE)
        flush(w);
    w->buffer[w->write_pos++] = static_cast<char>(c);
    ++w->body_count;
    if (!w->buffering)
        flush(w);
    return w->error ? -1 : 0;
}

extern "C" int HTWriter_put_string(HTStream *me, const char *text) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr || text == nullptr)
        return -1;
    if (aborted(w->request) && !w->write_when_aborted)
        return 0;
    HTWriter_paranoiaCheck(me);
    if (w->error)
        return -1;
    const size_t n = std::strlen(text);
    if (n > HT_WRITER_BUFFER_SIZE)
        return HTWriter_write(me, text, static_cast<int>(n));
    if (static_cast<size_t>(w->write_pos) + n >= HT_WRITER_BUFFER_SIZE)
        flush(w);
    std::memcpy(w->buffer + w->write_pos, text, n);
    w->write_pos += static_cast<int>(n);
    if (tcp())
        tfprintf(stderr, "HTWriter.... buffering %d-byte string (\"%s\").\n", static_cast<int>(n), text);
    w->body_count += static_cast<uint32_t>(n);
    if (!w->buffering)
        flush(w);
    return w->error ? -1 : 0;
}

extern "C" int HTWriter_write(HTStream *me, const char *data, int n) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr)
        return -1;
    const bool t = tcp();
    if (t)
        tfprintf(stderr, "Writer...... %d-byte block arriving; buffering %s.\n", n, w->buffering ? "ON" : "OFF");
    if (aborted(w->request) && !w->write_when_aborted) {
        if (t)
            tfprintf(stderr, "Writer...... connection has timed out ... exit without sending anything.\n");
        return 0;
    }
    HTWriter_paranoiaCheck(me);
    if (w->error) {
        if (t)
            tfprintf(stderr, "Writer...... connection is broken ... exit without sending anything.\n");
        return -1;
    }
    if (data == nullptr || n <= 0)
        return 0;
    w->body_count += static_cast<uint32_t>(n);
    const int room = HT_WRITER_BUFFER_SIZE - w->write_pos;
    if (w->buffering && n < room) {
        std::memcpy(w->buffer + w->write_pos, data, static_cast<size_t>(n));
        w->write_pos += n;
        if (t)
            tfprintf(stderr, "HTWriter.... buffering %d bytes.\n", n);
        return 0;
    }
    // The first large block: fill the buffer up to one full segment first.
    if (!w->starter_done && w->write_pos > 0 && w->write_pos < HT_WRITER_SEGMENT) {
        const int f = HT_WRITER_SEGMENT - w->write_pos;
        if (n - f > HT_WRITER_SEGMENT && room >= f) {
            std::memcpy(w->buffer + w->write_pos, data, static_cast<size_t>(f));
            w->write_pos += f;
            data += f;
            n -= f;
            if (t)
                tfprintf(stderr, "Writer...... building a %d-byte starter packet.\n", HT_WRITER_SEGMENT);
            flush(w);
        }
    }
    w->starter_done = 1;
    if (w->write_pos > 0) {
        if (t)
            tfprintf(stderr, "HTWriter.... doing the old flush-n-send trick.\n");
        flush(w);
    } else if (t) {
        tfprintf(stderr, "HTWriter.... nothing buffered.\n");
    }
    if (w->error)
        return -1;
    return send_direct(w, data, n, "HTWriter_write: Error on socket output stream!!!\n") ? 0 : -1;
}

extern "C" int HTWriter_relay(HTStream *me, HTSocket *from, int length) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr || w->isa != &HTWriterClass || from == nullptr || length <= 0 || w->socket == nullptr)
        return HT_RELAY_UNAVAILABLE;
    if (w->error || (aborted(w->request) && !w->write_when_aborted) || w->socket->secure || from->secure ||
        HTSocketTable_debugging() || (w->request != nullptr && w->request->send_control != nullptr) ||
        observer.load(std::memory_order_acquire) != nullptr)
        return HT_RELAY_UNAVAILABLE;
    if (w->write_pos > 0) {
        flush(w);
        if (w->error)
            return HT_RELAY_UNAVAILABLE;
    }
    RelayPipe &p = relayPipe;
    if (!p.ready())
        return HT_RELAY_UNAVAILABLE;
    PipeSignalHeld held;
    const int got = HTSocket_spliceIn(from, p.fd[1], length < p.capacity ? length : p.capacity, w->request);
    if (got < 0)
        return from->error == EINVAL ? HT_RELAY_UNAVAILABLE : -1;
    if (got == 0)
        return 0;
    w->starter_done = 1;
    w->body_count += static_cast<uint32_t>(got);
    if (tcp())
        tfprintf(stderr, "Writer...... relaying %d bytes.\n", got);
    if (HTClientReadTimeoutOn)
        HTClientReadTimeoutOn(w->request);
    int left = got;
    while (left > 0) {
        const int r = HTSocket_spliceOut(w->socket, p.fd[0], left, w->request);
        w->last_result = r;
        if (r > 0) {
            left -= r;
            continue;
        }
        if (r < 0 && w->socket->error == EINVAL) {
            send_from_pipe(w, p.fd[0], left);
            left = 0;
            break;
        }
        if (tcp())
            tfprintf(stderr, "HTWriter_relay: Error on socket output stream (%d, errno %d)!!!\n", r,
                     w->socket->error);
        if (r < 0 && w->socket->error == EPIPE)
            held.take();
        w->error = 1;
        break;
    }
    if (HTClientReadTimeoutOff)
        HTClientReadTimeoutOff(w->request);
    if (left > 0 || w->error)
        p.discard();
    return got;
}

extern "C" int HTWriter_putHeaders(HTStream *me, void *arg) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr)
        return 1;
    auto *head = static_cast<HTRespHeaders *>(arg);
    w->body_count = w->header_count = w->final_body_count = 0;
    HTRequest *request = w->request;
    if (request != nullptr && request->http_version != nullptr &&
        std::strcmp(request->http_version, "HTTP/0.9") == 0) {
        if (HT_TRACE_AT(HT_TRACE_TCP, 22))
            tfprintf(stderr, "Dont........ send headers to HTTP/0.9 clients.\n");
        return 1;
    }
    const HTStaticConfig *c = config_of(request);
    if (head != nullptr) {
        if (head->prepare != nullptr) {
            const char *time_header =
                c->response_time_header && c->response_time_name ? c->response_time_name : nullptr;
            const struct timeval start = request ? request->start_time : timeval{0, 0};
            head->prepare(head, time_header, static_cast<long>(start.tv_sec),
                          static_cast<long>(start.tv_usec), head->owner);
        } else {
            put_response_time(head, request);
        }
    }
    const int saved = w->buffering;
    w->buffering = 1;
    if (head != nullptr && head->status_line != nullptr)
        HTWriter_put_string(me, head->status_line);
    HTList *cursor = head ? head->headers : nullptr;
    while (void *o = HTList_nextObjectF(&cursor)) {
        const char *line = static_cast<const char *>(o);
        if (blocked(c, line)) {
            if (tcp())
                tfprintf(stderr, "Writer...... blocking header\"%s\".\n", line);
            continue;
        }
        if (tcp())
            tfprintf(stderr, "Writer...... sending header\"%s\".\n", line);
        HTWriter_put_string(me, line);
    }
    HTWriter_put_string(me, "\r\n");
    w->buffering = saved;
    if (c->flush_after_headers)
        flush(w);
    w->header_count = w->body_count;
    w->body_count = 0;
    return 1;
}

extern "C" int HTWriter_status(HTStream *me, int *out) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr)
        return -1;
    if (out != nullptr)
        *out = w->last_result;
    return w->last_result;
}

namespace {

// A length query of the chain: the count through `word`, traced as asked.
template <class N> int answer_count(int *word, N count, const char *query, bool t)
{
    if (word)
        *word = static_cast<int>(count);
    if (t)
        tfprintf(stderr, "HTWriter.... caught a %s query; will respond with %d.\n", query, static_cast<int>(count));
    return 0;
}

} // namespace

extern "C" int HTWriter_catchMessage(HTStream *me, int message, void *argument) noexcept
{
    HTWriter *w = W(me);
    if (w == nullptr)
        return -1;
    int *word = static_cast<int *>(argument);
    const bool t = tcp();
    switch (message) {
    case HT_MSG_IDENTIFY:
        if (word)
            *word = HT_STREAM_TYPE_WRITER;
        if (t)
            tfprintf(stderr, "I........... am IRON MAN (no, wait, HTWriter).\n");
        return 0;
    case HT_MSG_PURGE:
        if (t) {
            if (w->write_pos > 0)
                tfprintf(stderr, "HTWriter.... purged %u bytes.\n", static_cast<unsigned>(w->write_pos));
            else
                tfprintf(stderr, "HTWriter.... no buffered content to purge.\n");
        }
        w->write_pos = 0;
        w->write_when_aborted = 1;
        return 0;
    case HT_MSG_NO_STORE:
        w->no_store = 1;
        if (t)
            tfprintf(stderr, "HTWriter.... caught a no-store message.\n");
        return 0;
    case HT_MSG_NO_STORE_QUERY:
        if (word)
            *word = w->no_store;
        if (t)
            tfprintf(stderr, "HTWriter.... caught a no-store query; will respond with %s.\n",
                     w->no_store ? "YES" : "NO");
        return 0;
    case HT_MSG_DONT_BUFFER:
        w->buffering = 0;
        if (t)
            tfprintf(stderr, "HTWriter.... caught a dont buffer message.\n");
        return 0;
    case HT_MSG_SEND_100: {
        if (t)
            tfprintf(stderr, "HTWriter.... caught a send 100 continue message.\n");
        const char *version = argument ? static_cast<const char *>(argument) : "HTTP/1.1";
        char *text = HTMemPool_vcat(w->request ? w->request->pool : nullptr, version, " ",
                                    "100 continue\r\n\r\n", static_cast<char *>(nullptr));
        if (!w->error)
            send_direct(w, text, static_cast<int>(std::strlen(text)),
                        "HTWrite..... Error on send100 msg; returned %d.\n");
        return 0;
    }
    case HT_MSG_HEADER_LENGTH:
        return answer_count(word, w->header_count, "rawheaderlength", t);
    case HT_MSG_BODY_LENGTH:
        return answer_count(word, w->final_body_count, "rawbodylength", t);
    case HT_MSG_CLOSE_CLIENT:
        flush(w);
        if (w->socket != nullptr && w->socket->socket > 0) {
            if (w->socket->secure)
                HTSecure_close(w->socket, w->request);
            HTSocket_shutdown(w->socket, SHUT_RDWR);
        }
        if (t)
            tfprintf(stderr, "HTWriter.... caught close client socket request, shutdown the traffic.\n");
        return 0;
    case HT_MSG_QUERY_STATUS:
        if (word && w->error)
            *word = -1;
        if (t)
            tfprintf(stderr, "HTWriter.... query status, return %d\n", word ? *word : (w->error ? -1 : 0));
        return 0;
    default:
        if (t)
            tfprintf(stderr, "HTWriter.... caught a unknown message: %d.\n", message);
        return -1;
    }
}

extern "C" int HTWriter_free(HTStream *me, void *unused) noexcept
{
    (void)unused;
    HTWriter *w = W(me);
    if (w == nullptr)
        return -1;
    const bool t = tcp();
    if (w->freed) {
        if (t)
            tfprintf(stderr, "HTWriter.... the stream is already freed.\n");
        return 0;
    }
    w->freed = 1;
    HTWriter_paranoiaCheck(me);
    flush(w);
    if (!w->no_close && w->socket != nullptr) {
        if (t)
            tfprintf(stderr, "HTWriter.... closing the socket.\n");
        HTSocket_close(w->socket, __FILE__, __LINE__, w->request);
        w->socket = nullptr;
    }
    ++w->free_count;
    HTWriter_paranoiaCheck(me);
    if (w->no_store) {
        if (t)
            tfprintf(stderr, "HTWriter.... wiping its buffer.\n");
        std::memset(w->buffer, 0, sizeof w->buffer);
    }
    if (w->body_count != 0)
        w->final_body_count = w->body_count;
    w->body_count = 0;
    return w->error ? -1 : 0;
}

extern "C" int HTWriter_abort(HTStream *me, void *reason) noexcept
{
    return HTWriter_free(me, reason);
}
