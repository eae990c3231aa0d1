// HTProxyCopy: copying an origin server's answer to the client, and its framing.

#include "HTProxyCopy.h"

#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTSocket.h"
#include "HTStreamStack.h"
#include "HTTrace.h"
#include "HTWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kReadBlock = 32768;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool blank(char c) { return c == ' ' || c == '\t'; }
int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Case-blind prefix test of a kept line against a header name and its colon.
const char *value_of(const char *line, size_t n, const char *name)
{
    const size_t k = std::strlen(name);
    if (n <= k)
        return nullptr;
    for (size_t i = 0; i < k; ++i)
        if (lower(line[i]) != name[i])
            return nullptr;
    size_t i = k;
    while (i < n && blank(line[i]))
        ++i;
    if (i >= n || line[i] != ':')
        return nullptr;
    return line + i + 1;
}

// Whether the comma-separated value holds the token (any case).
bool has_token(const char *v, const char *end, const char *token)
{
    const size_t k = std::strlen(token);
    while (v < end) {
        while (v < end && (blank(*v) || *v == ','))
            ++v;
        const char *s = v;
        while (v < end && *v != ',')
            ++v;
        const char *e = v;
        while (e > s && blank(e[-1]))
            --e;
        if (static_cast<size_t>(e - s) == k) {
            size_t i = 0;
            while (i < k && lower(s[i]) == token[i])
                ++i;
            if (i == k)
                return true;
        }
    }
    return false;
}

// Whether the last coding of a Transfer-Encoding value is chunked.
bool last_is_chunked(const char *v, const char *end)
{
    while (end > v && blank(end[-1]))
        --end;
    const char *s = end;
    while (s > v && s[-1] != ',')
        --s;
    while (s < end && blank(*s))
        ++s;
    return end - s == 7 && has_token(s, end, "chunked");
}

// A status line "HTTP/d.d ddd...": the code, or -1.
int status_of(const char *l, size_t n, int *http10)
{
    if (n < 12 || std::memcmp(l, "HTTP/", 5) != 0)
        return -1;
    size_t i = 5;
    int major = 0, minor = 0;
    if (l[i] < '0' || l[i] > '9')
        return -1;
    // Versions are compared against 1.0 only: long digit runs saturate.
    while (i < n && l[i] >= '0' && l[i] <= '9') {
        major = major < 1000 ? major * 10 + (l[i] - '0') : major;
        ++i;
    }
    if (i >= n || l[i] != '.')
        return -1;
    ++i;
    if (i >= n || l[i] < '0' || l[i] > '9')
        return -1;
    while (i < n && l[i] >= '0' && l[i] <= '9') {
        minor = minor < 1000 ? minor * 10 + (l[i] - '0') : minor;
        ++i;
    }
    if (i + 4 > n || l[i] != ' ')
        return -1;
    ++i;
    int code = 0;
    for (int k = 0; k < 3; ++k, ++i) {
        if (l[i] < '0' || l[i] > '9')
            return -1;
        code = code * 10 + (l[i] - '0');
    }
    if (i < n && l[i] != ' ' && l[i] != '\r')
        return -1;
    *http10 = major < 1 || (major == 1 && minor == 0);
    return code;
}

void start_answer(HTProxyFrame *f)
{
    f->state = HT_FRAME_HEAD;
    f->status = -1;
    f->http10 = 0;
    f->keep_alive = 0;
    f->chunked = 0;
    f->length_count = 0;
    f->length_conflict = 0;
    f->length = -1;
    f->left = 0;
    f->head_bytes = 0;
    f->line_length = 0;
    f->lines = 0;
}

// One complete head line (kept part in f->line, f->line_length its full length).
void head_line(HTProxyFrame *f)
{
    size_t n = f->line_length < HT_FRAME_LINE_KEEP ? f->line_length : HT_FRAME_LINE_KEEP;
    const bool cut = f->line_length > HT_FRAME_LINE_KEEP;
    while (n > 0 && f->line[n - 1] == '\r')
        --n;
    const char *l = f->line;
    const char *end = l + n;
    if (f->lines == 0) {
        f->status = f->line_length > HT_STACK_LINE_MAX ? -1 : status_of(l, n, &f->http10);
        if (f->status < 0)
            f->state = HT_FRAME_CLOSE; // an answer without a head
        return;
    }
    const char *v;
    if ((v = value_of(l, n, "content-length")) != nullptr) {
        while (v < end && blank(*v))
            ++v;
        long long x = 0;
        const char *d = v;
        while (d < end && *d >= '0' && *d <= '9' && x <= HT_FRAME_CHUNK_MAX * 16)
            x = x * 10 + (*d++ - '0');
        while (d < end && blank(*d))
            ++d;
        if (cut || d == v || d != end || x > HT_FRAME_CHUNK_MAX * 16)
            f->length_conflict = 1;
        else if (f->length_count > 0 && x != f->length)
            f->length_conflict = 1;
        f->length = x;
        ++f->length_count;
    } else if ((v = value_of(l, n, "transfer-encoding")) != nullptr) {
        f->chunked = !cut && last_is_chunked(v, end);
        if (!f->chunked) {
            // A coding whose end cannot be seen: framed by the close, whatever the length says.
            f->close = 1;
            f->length_conflict = 1;
        }
    } else if ((v = value_of(l, n, "connection")) != nullptr) {
        if (has_token(v, end, "close"))
            f->close = f->close_asked = 1;
        if (has_token(v, end, "keep-alive"))
            f->keep_alive = 1;
    }
}

// The empty line ended the head; returns 1 for an interim answer.
int head_end(HTProxyFrame *f)
{
    const int s = f->status;
    if (s >= 100 && s < 200 && s != 101) {
        ++f->interim;
        start_answer(f);
        return 1;
    }
    if (s == 101) {
        f->state = HT_FRAME_CLOSE;
        f->close = 1;
    } else if (f->head_request || s == 204 || s == 304 || (s >= 100 && s < 200)) {
        f->state = HT_FRAME_DONE;
    } else if (f->chunked) {
        if (f->length_count > 0)
            f->close = 1; // both framings: trust the chunks, never the connection
        f->state = HT_FRAME_CHUNK_SIZE;
        f->size = 0;
        f->size_digits = 0;
        f->size_ended = 0;
        f->line_cr = 0;
    } else if (f->length_conflict) {
        f->close = 1;
        f->state = HT_FRAME_CLOSE;
    } else if (f->length_count > 0) {
        f->left = f->length;
        f->state = f->left > 0 ? HT_FRAME_LENGTH : HT_FRAME_DONE;
    } else {
        f->state = HT_FRAME_CLOSE;
    }
    if (f->http10 && !f->keep_alive)
        f->close = 1;
    return 0;
}

} // namespace

extern "C" void HTProxyFrame_init(HTProxyFrame *frame, int head_request) noexcept
{
    std::memset(frame, 0, sizeof *frame);
    frame->head_request = head_request != 0;
    start_answer(frame);
}

extern "C" size_t HTProxyFrame_feed(HTProxyFrame *f, const char *bytes, size_t length, int *interim_end) noexcept
{
    if (interim_end)
        *interim_end = 0;
    size_t i = 0;
    while (i < length) {
        switch (f->state) {
        case HT_FRAME_DONE:
        case HT_FRAME_ERROR:
            return i;
        case HT_FRAME_CLOSE:
            return length;
        case HT_FRAME_LENGTH: {
            const size_t take = static_cast<unsigned long long>(f->left) < length - i ? static_cast<size_t>(f->left)
                                                                                     : length - i;
            i += take;
            f->left -= static_cast<long long>(take);
            if (f->left == 0)
                f->state = HT_FRAME_DONE;
            break;
        }
        case HT_FRAME_CHUNK_DATA: {
            const size_t take = static_cast<unsigned long long>(f->left) < length - i ? static_cast<size_t>(f->left)
                                                                                     : length - i;
            i += take;
            f->left -= static_cast<long long>(take);
            if (f->left == 0) {
                f->state = HT_FRAME_CHUNK_END;
                f->line_cr = 0;
            }
            break;
        }
        case HT_FRAME_CHUNK_END: {
            const char c = bytes[i];
            if (c == '\r' && !f->line_cr) {
                f->line_cr = 1;
                ++i;
            } else if (c == '\n') {
                ++i;
                f->state = HT_FRAME_CHUNK_SIZE;
                f->size = 0;
                f->size_digits = 0;
                f->size_ended = 0;
                f->line_cr = 0;
            } else {
                f->state = HT_FRAME_ERROR; // a chunk longer than its size
            }
            break;
        }
        case HT_FRAME_CHUNK_SIZE: {
            const char c = bytes[i];
            if (f->line_cr && c != '\n') {
                f->state = HT_FRAME_ERROR;
                break;
            }
            if (c == '\n') {
                ++i;
                if (f->size_digits == 0) {
                    f->state = HT_FRAME_ERROR;
                } else if (f->size == 0) {
                    f->state = HT_FRAME_TRAILER;
                    f->trailer_empty = 1;
                    f->line_cr = 0;
                } else {
                    f->left = f->size;
                    f->state = HT_FRAME_CHUNK_DATA;
                }
                break;
            }
            if (c == '\r') {
                f->line_cr = 1;
                ++i;
                break;
            }
            const int h = hexval(c);
            if (!f->size_ended && h >= 0) {
                f->size = f->size * 16 + h;
                ++f->size_digits;
                if (f->size > HT_FRAME_CHUNK_MAX) {
                    f->state = HT_FRAME_ERROR;
                    break;
                }
            } else if (f->size_digits > 0 && (c == ';' || blank(c))) {
                f->size_ended = 1;
            } else if (!f->size_ended) {
                f->state = HT_FRAME_ERROR; // not a hexadecimal size
                break;
            }
            ++i;
            break;
        }
        case HT_FRAME_TRAILER: {
            const char c = bytes[i++];
            if (c == '\n') {
                if (f->trailer_empty) {
                    f->state = HT_FRAME_DONE;
                } else {
                    f->trailer_empty = 1;
                    if (++f->head_bytes > HT_STACK_HEAD_MAX)
                        f->state = HT_FRAME_ERROR;
                }
            } else if (c != '\r') {
                f->trailer_empty = 0;
                if (++f->head_bytes > HT_STACK_HEAD_MAX)
                    f->state = HT_FRAME_ERROR;
            }
            break;
        }
        case HT_FRAME_HEAD: {
            const char c = bytes[i++];
            if (++f->head_bytes > HT_STACK_HEAD_MAX) {
                f->head_overrun = 1;
                f->state = HT_FRAME_ERROR;
                return i - 1;
            }
            if (f->lines == 0 && f->line_length < 5 && c != "HTTP/"[f->line_length]) {
                f->state = HT_FRAME_CLOSE; // no status line: the bytes are the body
                f->close = 1;
                return length;
            }
            if (c != '\n') {
                if (f->line_length < HT_FRAME_LINE_KEEP)
                    f->line[f->line_length] = c;
                ++f->line_length;
                break;
            }
            size_t n = f->line_length < HT_FRAME_LINE_KEEP ? f->line_length : HT_FRAME_LINE_KEEP;
            const bool empty = n == 0 || (n == 1 && f->line[0] == '\r');
            if (empty && f->lines > 0) {
                if (head_end(f) && interim_end) {
                    *interim_end = 1;
                    return i;
                }
                if (f->stop_at_head && f->state != HT_FRAME_HEAD)
                    return i;
                break;
            }
            head_line(f);
            ++f->lines;
            f->line_length = 0;
            if (f->state == HT_FRAME_CLOSE) {
                f->close = 1;
                return f->stop_at_head ? i : length;
            }
            break;
        }
        default:
            return i;
        }
    }
    return i;
}

extern "C" int HTProxyFrame_closed(HTProxyFrame *f) noexcept
{
    if (f->state == HT_FRAME_CLOSE) {
        f->state = HT_FRAME_DONE;
        f->close = 1;
        return 1;
    }
    return f->state == HT_FRAME_DONE;
}

extern "C" int HTProxyFrame_reusable(const HTProxyFrame *f) noexcept
{
    return f->state == HT_FRAME_DONE && !f->close;
}

namespace {

#define COPY_TRACE(...)                                  \
    do {                                                 \
        if (HT_TRACE_ON(HT_TRACE_HTTP))                  \
            tfprintf(stderr, __VA_ARGS__);               \
    } while (0)

bool output_broken(HTStream *sink)
{
    int st = 0;
    if (sink != nullptr && sink->isa != nullptr && sink->isa->message != nullptr)
        sink->isa->message(sink, HT_MSG_QUERY_STATUS, &st);
    return st == -1;
}

struct Copy {
    HTInputSocket *in;
    HTStream *sink;
    HTThdGlobals *g;
    HTRequest *request;
    HTProxyFrame frame;
    char *head;        // the head held until it is complete
    size_t held;
    long long total;   // bytes read from the server
    long long body;    // bytes passed after the last head
    bool ignore_output;
    bool stop_at_interim;
    bool client10;     // the client speaks HTTP/1.0: it takes no chunks
    bool dechunk;      // the body reaches the client without its chunking
};

void pass(Copy &c, const char *bytes, size_t n)
{
    size_t at = 0;
    while (at < n) {
        const int chunk = n - at > 1u << 30 ? 1 << 30 : static_cast<int>(n - at);
        HTStreamStackWriter(bytes + at, chunk, c.sink, nullptr, c.g);
        at += static_cast<size_t>(chunk);
    }
}

bool client_is_http10(const HTRequest *request)
{
    const char *v = request != nullptr ? request->http_version : nullptr;
    return v != nullptr && (std::strncmp(v, "HTTP/1.0", 8) == 0 || std::strncmp(v, "HTTP/0.", 7) == 0);
}

// The held head for an HTTP/1.0 client: its connection lines replaced by
// `connection`, and without the chunking lines when the body loses its chunks.
void pass_rewritten_head(Copy &c, const char *connection)
{
    auto *out = static_cast<char *>(HTMemPoolAlloc(c.held + std::strlen(connection) + 1, c.g));
    size_t o = 0;
    const char *p = c.head;
    const char *const end = c.head + c.held;
    bool dropping = false, first = true;
    while (p < end) {
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *next = lf ? lf + 1 : end;
        size_t n = static_cast<size_t>((lf ? lf : end) - p);
        while (n > 0 && p[n - 1] == '\r')
            --n;
        if (first) {
            first = false;
        } else if (n == 0) {
            // The blank line: this proxy's word on the connection goes before it.
            const size_t k = std::strlen(connection);
            std::memcpy(out + o, connection, k);
            o += k;
        } else if (blank(*p)) {
            // A folded line belongs to the line above it.
        } else {
            dropping = value_of(p, n, "connection") || value_of(p, n, "keep-alive") ||
                       value_of(p, n, "proxy-connection") ||
                       (c.dechunk && (value_of(p, n, "transfer-encoding") || value_of(p, n, "content-length")));
        }
        if (!dropping || n == 0) {
            std::memcpy(out + o, p, static_cast<size_t>(next - p));
            o += static_cast<size_t>(next - p);
        }
        p = next;
    }
    pass(c, out, o);
}

// The final answer's head is complete: what the client may make of the
// connection follows from it, then the head goes on.
void pass_final_head(Copy &c)
{
    HTThdGlobals *g = c.g;
    const HTProxyFrame &f = c.frame;
    // A server that ends its connection ends the client's as well: the
    // client is told as much, by the server's line or by this proxy's.
    if (f.close_asked)
        g->client_close = 1;
    if (!c.client10 || f.status < 0) {
        if (c.client10)
            g->client_close = 1;
        pass(c, c.head, c.held);
        return;
    }
    // An HTTP/1.0 client keeps its connection only when it asked to and can
    // tell where the answer ends by itself: a Content-Length, or no body.
    // Chunks it cannot read: it gets the bare body, ended by the close.
    c.dechunk = f.state == HT_FRAME_CHUNK_SIZE;
    const bool known = f.state == HT_FRAME_DONE || f.state == HT_FRAME_LENGTH;
    const bool keep = known && c.request->keep_alive && !f.close_asked;
    if (!keep)
        g->client_close = 1;
    g->keep_alive_head = keep;
    pass_rewritten_head(c, keep ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
}

// Takes the body bytes of a chunked answer for a client that takes no
// chunks: only the chunks' data goes on; returns how many bytes belong to it.
size_t take_dechunked(Copy &c, const char *bytes, size_t n)
{
    size_t at = 0;
    while (at < n && c.frame.state != HT_FRAME_DONE && c.frame.state != HT_FRAME_ERROR) {
        if (c.frame.state == HT_FRAME_CHUNK_DATA) {
            const size_t k = static_cast<unsigned long long>(c.frame.left) < n - at ? static_cast<size_t>(c.frame.left)
                                                                                   : n - at;
            const size_t used = HTProxyFrame_feed(&c.frame, bytes + at, k, nullptr);
            pass(c, bytes + at, used);
            c.body += static_cast<long long>(used);
            at += used;
        } else {
            // Sizes, line ends and the trailer are framing only: a few bytes a chunk.
            const size_t used = HTProxyFrame_feed(&c.frame, bytes + at, 1, nullptr);
            if (used == 0)
                break;
            at += used;
        }
    }
    return at;
}

// Takes `n` bytes of the answer; returns how many belong to it.
size_t take(Copy &c, const char *bytes, size_t n, int *interim)
{
    if (c.dechunk)
        return take_dechunked(c, bytes, n);
    const int before = c.frame.state;
    const size_t used = HTProxyFrame_feed(&c.frame, bytes, n, interim);
    if (before == HT_FRAME_HEAD) {
        if (c.frame.head_overrun)
            return used;
        std::memcpy(c.head + c.held, bytes, used);
        c.held += used;
        if (c.frame.state != HT_FRAME_HEAD || *interim) {
            if (!*interim)
                pass_final_head(c);
            else if (!c.client10)
                pass(c, c.head, c.held); // an HTTP/1.0 client gets no interim answers
            c.held = 0;
            if (*interim) {
                // The interim answer is out: the final one starts a store of its own.
                HTStreamStackStatus_init(c.g);
            }
        }
    } else {
        pass(c, bytes, used);
        c.body += static_cast<long long>(used);
    }
    return used;
}

int run(Copy &c, int *last_status)
{
    HTThdGlobals *g = c.g;
    HTProxyFrame_init(&c.frame, c.request != nullptr && c.request->method == HT_METHOD_HEAD);
    // The head is held apart from the body, so that it can be changed on its way.
    c.frame.stop_at_head = 1;
    c.client10 = client_is_http10(c.request);
    g->keep_alive_head = 0;
    c.head = static_cast<char *>(HTMemPoolAlloc(HT_STACK_HEAD_MAX + 1, g));
    char *block = nullptr;
    bool extra = false, ended_by_close = false;
    g->io_error = 0;
    g->response_length = -1;
    HTStreamStackStatus_init(g);
    for (;;) {
        if (c.frame.state == HT_FRAME_DONE || c.frame.state == HT_FRAME_ERROR)
            break;
        int count = 0;
        char *bytes = HTInputSocket_getInputPointer(c.in, &count);
        bool fromInput = count > 0;
        if (!fromInput) {
            if (c.frame.state == HT_FRAME_HEAD) {
                // Heads are read through the input socket, so that what follows
                // an interim answer stays buffered for the final one.
                count = HT_INPUT_BUFFER_SIZE;
                bytes = HTInputSocket_getBlock(c.in, &count);
                if (bytes != nullptr && count > 0) {
                    // Put back: the bytes are consumed below as far as they belong.
                    c.in->input_pointer = bytes;
                    fromInput = true;
                } else {
                    count = c.in->last_fill < 0 ? -1 : 0;
                }
            } else {
                if (block == nullptr)
                    block = static_cast<char *>(HTMemPoolAlloc(kReadBlock, g));
                int want = kReadBlock;
                if ((c.frame.state == HT_FRAME_LENGTH || c.frame.state == HT_FRAME_CHUNK_DATA) &&
                    c.frame.left < want)
                    want = static_cast<int>(c.frame.left);
                count = HTSocket_read(c.in->socket, block, want, c.request);
                if (count == 0 && c.in->socket != nullptr && c.in->socket->error == EAGAIN)
                    count = -1;
                bytes = block;
            }
        }
        if (count < 0) {
            g->io_error = 1;
            COPY_TRACE("HTProxyCopy.. Read error, read returns %d with errno=%d\n", count,
                       c.in->socket ? c.in->socket->error : errno);
            break;
        }
        if (count == 0) {
            ended_by_close = true;
            // An answer framed by the close reaches the client framed the same way.
            if (c.frame.state == HT_FRAME_CLOSE)
                g->client_close = 1;
            HTProxyFrame_closed(&c.frame);
            break;
        }
        c.total += count;
        size_t at = 0;
        while (at < static_cast<size_t>(count)) {
            int interim = 0;
            const size_t used = take(c, bytes + at, static_cast<size_t>(count) - at, &interim);
            at += used;
            if (interim && c.stop_at_interim) {
                if (fromInput)
                    HTInputSocket_moveInputPointer(c.in, static_cast<int>(at));
                *last_status = 100;
                g->server_close = 0;
                return static_cast<int>(c.total > 0x7FFFFFFF ? 0x7FFFFFFF : c.total);
            }
            if (c.frame.state == HT_FRAME_DONE || c.frame.state == HT_FRAME_ERROR)
                break;
            if (used == 0)
                break;
        }
        if (fromInput)
            HTInputSocket_moveInputPointer(c.in, static_cast<int>(at));
        if (at < static_cast<size_t>(count))
            extra = c.frame.state == HT_FRAME_DONE; // bytes behind the answer's end
        if (c.frame.head_overrun)
            break;
        if (!c.ignore_output && c.frame.state != HT_FRAME_HEAD && output_broken(c.sink)) {
            const long long cl = c.frame.length > 0 ? c.frame.length : 0;
            const double pct = cl > 0 ? 100.0 * static_cast<double>(c.body) / static_cast<double>(cl) : 0.0;
            COPY_TRACE("HTProxyCopy.. output is %f per cent done\n", pct);
            const HTStaticConfig *cfg = c.request && c.request->config ? c.request->config : &HTMyStaticConfig;
            if (g->caching && cl > 0 && pct >= static_cast<double>(cfg->cache_percentage)) {
                COPY_TRACE("HTProxyCopy.. output is broken but continuing to read for cache file\n");
                c.ignore_output = true;
            } else {
                COPY_TRACE("HTProxyCopy.. output is broken! Aborting!\n");
                g->server_close = 1;
                g->output_healthy = 0;
                return HT_COPY_BROKEN;
            }
        }
    }
    *last_status = c.frame.status;
    if (c.frame.head_overrun || (c.held > 0 && c.frame.state == HT_FRAME_HEAD && c.total > 0 && !ended_by_close &&
                                 c.frame.head_bytes > HT_STACK_HEAD_MAX)) {
        g->server_close = 1;
        g->more_to_read = 1;
        return HT_COPY_BAD_HEAD;
    }
    if (c.held > 0) {
        // The server ended inside a head: pass on what came.
        pass(c, c.head, c.held);
        c.held = 0;
    }
    if (HTStreamStackStatus_failed(g)) {
        g->server_close = 1;
        return HT_COPY_BAD_HEAD;
    }
    if (c.total > 0)
        HTClientRespHeaders_checkHeaderSanity(c.sink, g);
    const bool complete = c.frame.state == HT_FRAME_DONE;
    g->more_to_read = !complete;
    g->server_close = !(complete && HTProxyFrame_reusable(&c.frame) && !extra && !ended_by_close);
    // Bytes (or the end) already waiting behind a complete answer: the server
    // sent more than it framed, or is closing; either way not for the next request.
    if (!g->server_close && c.in->socket != nullptr && c.in->socket->socket >= 0 &&
        HTSocket_isready(c.in->socket, 0) != 0)
        g->server_close = 1;
    if (!complete && c.total > 0)
        g->client_close = 1; // cut short: the client must not take it as whole
    if (c.frame.length_count > 0 && !c.frame.length_conflict)
        g->response_length = c.frame.length;
    if (c.total == 0)
        return HT_COPY_NOTHING;
    if (!c.ignore_output && output_broken(c.sink)) {
        g->output_healthy = 0;
        return HT_COPY_BROKEN;
    }
    g->output_healthy = 1;
    return static_cast<int>(c.total > 0x7FFFFFFF ? 0x7FFFFFFF : c.total);
}

} // namespace

namespace {

int copy(HTInputSocket *in, HTStream *sink, int *status, bool stopAtInterim, HTThdGlobals *context)
{
    HTThdGlobals *g = context ? context : lib_gettp();
    *status = -1;
    if (in == nullptr || g == nullptr)
        return HT_COPY_NOTHING;
    Copy c{};
    c.in = in;
    c.sink = sink;
    c.g = g;
    c.request = in->request;
    c.stop_at_interim = stopAtInterim;
    return run(c, status);
}

} // namespace

extern "C" int HTProxyCopy(HTInputSocket *in, HTStream *sink, HTThdGlobals *context) noexcept
{
    int status = -1;
    return copy(in, sink, &status, false, context);
}

extern "C" int HTProxyCopy_interim(HTInputSocket *in, HTStream *sink, int *status, HTThdGlobals *context) noexcept
{
    return copy(in, sink, status, true, context);
}
