// HTStreamStack: the stream-stack writer and the response header store.

#include "HTStreamStack.h"

#include "HTAlloc.h"
#include "HTClientRespHeaders.h"
#include "HTConfig.h"
#include "HTExcept.h"
#include "HTMPool.h"
#include "HTRespStore.hpp"
#include "HTTCP.h"
#include "HTTrace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/time.h>

using namespace ht_resp;

char ht_resp::kEmptyLine[1] = {'\0'};

int ht_resp::status_code(const char *line, bool traced)
{
    const bool trace = traced && HT_TRACE_AT(HT_TRACE_STACK, 44);
    if (std::strncmp(line, kPostLine, sizeof kPostLine - 1) == 0)
        return 200;
    const char *blank = std::strncmp(line, "HTTP", 4) == 0 ? std::strchr(line, ' ') : nullptr;
    if (blank == nullptr) {
        if (trace)
            tfprintf(stderr, "Cache....... I got HTTP0 response back - how rude!\n");
        if (traced && HT_TRACE_AT(HT_TRACE_STACK, 22))
            tfprintf(stderr, "HTTP/0.9.... response: \"%.64s\".\n", line);
        return 0;
    }
    const char *p = blank + 1;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '\0') {
        if (trace)
            tfprintf(stderr, "Cache....... never found an HTTP return code: I'll assume it's HTTP/0.9...\n");
        return 0;
    }
    // Digits only: a fourth digit, like an overflow, makes the code bogus.
    int code = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (++digits <= 3)
            code = code * 10 + (*p - '0');
    if (code == 0 || digits > 3) {
        if (trace)
            tfprintf(stderr, "Cache....... HTTP return code is bogus. Assuming HTTP/0.9.\n");
        return 0;
    }
    return code;
}

namespace {

const char *const kStateNames[] = {"Status line", "Tween-Decks", "Headers", "Send headers", "Body"};

const char *state_name(int phase) { return kStateNames[phase < 0 ? 0 : phase > 4 ? 4 : phase]; }

bool t44() { return HT_TRACE_AT(HT_TRACE_STACK, 44); }
bool t22() { return HT_TRACE_AT(HT_TRACE_STACK, 22); }

const char *eol_name(char c) { return c == '\r' ? "<CR>" : "<LF>"; }

int sink_type(HTStream *sink)
{
    int type = 0;
    if (sink != nullptr && sink->isa != nullptr && sink->isa->message != nullptr)
        sink->isa->message(sink, HT_STREAM_MSG_IDENTIFY, &type);
    return type;
}

void sink_write(HTStream *sink, const char *p, size_t n)
{
    if (n > 0 && sink != nullptr && sink->isa != nullptr && sink->isa->write != nullptr)
        sink->isa->write(sink, p, static_cast<int>(n));
}

// The first CR or LF in [p, end), or null.
const char *find_eol(const char *p, const char *end)
{
    for (; p < end; ++p)
        if (*p == '\r' || *p == '\n')
            return p;
    return nullptr;
}

// "keep-alive" anywhere in the n bytes of the line, case ignored.
bool has_keep_alive(const char *line, size_t n)
{
    static const char kWord[] = "keep-alive";
    const size_t w = sizeof kWord - 1;
    for (size_t i = 0; i + w <= n; ++i)
        if (lower(line[i]) == 'k') {
            size_t j = 1;
            while (j < w && lower(line[i + j]) == kWord[j])
                ++j;
            if (j == w)
                return true;
        }
    return false;
}

// Appends n bytes to a growing pool buffer, keeping `spare` bytes free after
// them; a grown buffer at least doubles, so a line carried over many blocks
// is copied a bounded number of times.
void buffer_append(char **buffer, size_t *length, size_t *capacity, const char *p, size_t n, size_t spare,
                   HTThdGlobals *g)
{
    if (n == 0)
        return;
    const size_t need = *length + n;
    if (need > *capacity) {
        const size_t cap = std::max<size_t>({need, 2 * *capacity, 256});
        auto *grown = static_cast<char *>(HTMemPoolAlloc(cap + spare, g));
        if (*length)
            std::memcpy(grown, *buffer, *length);
        *buffer = grown;
        *capacity = cap;
    }
    std::memcpy(*buffer + *length, p, n);
    *length = need;
}

void partial_append(HTRespHeaders *s, const char *p, size_t n, HTThdGlobals *g)
{
    buffer_append(&s->partial, &s->partial_length, &s->partial_capacity, p, n, 3, g);
}

// The carried-over bytes and the next n as one pool line with room for a
// CR LF and the terminator after them; the carry-over is emptied.
char *take_line(HTRespHeaders *s, const char *p, size_t n, size_t *length, HTThdGlobals *g)
{
    const size_t total = s->partial_length + n;
    auto *line = static_cast<char *>(HTMemPoolAlloc(total + 3, g));
    if (s->partial_length)
        std::memcpy(line, s->partial, s->partial_length);
    if (n)
        std::memcpy(line + s->partial_length, p, n);
    line[total] = '\0';
    s->partial_length = 0;
    *length = total;
    return line;
}

// The status code of a first line, or 0 when it has none. A line that
// begins "POST / HTTP/1.0" gives 200 and, with `rewrite`, is replaced.
int get_status(char **line, bool rewrite, HTThdGlobals *g)
{
    const int code = status_code(*line, true);
    if (code == 200 && rewrite && std::strncmp(*line, kPostLine, sizeof kPostLine - 1) == 0)
        *line = HTMemPoolStrdup("HTTP/1.0 200 OK", g);
    return code;
}

char *with_crlf(char *line, size_t n)
{
    line[n] = '\r';
    line[n + 1] = '\n';
    line[n + 2] = '\0';
    return line;
}

const HTStaticConfig *config_of(const HTThdGlobals *g)
{
    return g->config ? static_cast<const HTStaticConfig *>(g->config) : &HTMyStaticConfig;
}

// The head of an answer without a status code; returns the head writer's answer.
int send_http09_head(HTRespHeaders *s, HTStream *sink, HTThdGlobals *g)
{
    s->status_code = 200;
    s->status_line = HTMemPoolStrdup("HTTP/1.0 200 Probably OK\r\n", g);
    const HTStaticConfig *config = config_of(g);
    const char *host = config->proxy_host_name ? config->proxy_host_name : HTHostName();
    char port[24] = "";
    if (config->proxy_port != 0 && config->proxy_port != 80)
        std::snprintf(port, sizeof port, ":%ld", static_cast<long>(config->proxy_port));
    char *warning = HTMemPool_vcat(g, "Warning: 299 ", host ? host : "", port,
                                   " \"Origin server sent an HTTP/0.9 response; translated to HTTP/1.x by proxy.\"\r\n",
                                   static_cast<char *>(nullptr));
    const LineList h = header_list(s);
    list_append(h, warning, g);
    if (t44())
        tfprintf(stderr, "Added....... [%s].\n", warning);
    list_append(h, HTMemPoolStrdup("Connection: close\r\n", g), g);
    if (g->session != nullptr)
        g->session->keepalive_count = -1;
    if (HT_TRACE_ON(HT_TRACE_PERSIST))
        tfprintf(stderr, "Stack: KA Connecion close (0.9)\n");
    list_append(h, HTMemPoolStrdup("Cache-Control: private, no-cache\r\n", g), g);
    if (t44())
        tfprintf(stderr, "Sending..... %d synthesized headers.\n", 3);
    return HTClientRespHeaders_processSendHeader(sink, g);
}

// An answer without a status code: its head, then `line` (n bytes) as the
// first bytes of the body. False when the sink asked to drop the rest.
bool http09(HTRespHeaders *s, const char *line, size_t n, HTStream *sink, HTThdGlobals *g)
{
    if (send_http09_head(s, sink, g) == HT_HEADERS_TAKEN_DROP)
        return false;
    s->phase = HT_STACK_BODY;
    if (t44())
        tfprintf(stderr, "Stack....... header must send %d + %d bytes of buffered 'header' from 0.9 response.\n",
                 static_cast<int>(n > 0 ? n - 1 : 0), n > 0 ? 1 : 0);
    sink_write(sink, line, n);
    if (t44())
        tfprintf(stderr, "Stack....... header going on to handle the body of 0.9 response.\n");
    return true;
}

// The first line of the response is complete: `line` holds its n bytes,
// with room for two more and the terminator; `eol` is its line end, or 0
// when the response ended without one. False when the rest is to be dropped.
bool status_line_done(HTRespHeaders *s, char *line, size_t n, char eol, HTStream *sink, HTThdGlobals *g)
{
    const int next = eol == '\r' ? HT_STACK_TWEEN : HT_STACK_HEADERS;
    if (t44())
        tfprintf(stderr, "Status...... line ended on a %s; going to state %s.\n", eol_name(eol),
                 state_name(next));
    char *parsed = line;
    const int code = get_status(&parsed, true, g);
    if (code == 0) {
        // The first line's bytes and its line end are the body's beginning.
        if (eol != 0)
            line[n++] = eol;
        return http09(s, line, n, sink, g);
    }
    if (t44())
        tfprintf(stderr, "Parsed...... status line \"%s\".\n", parsed);
    s->status_code = code;
    s->status_line = parsed == line ? with_crlf(line, n) : HTMemPool_cat(parsed, "\r\n", g);
    s->phase = next;
    return true;
}

void fail(HTRespHeaders *s)
{
    s->failed = 1;
    s->partial_length = 0;
    if (t22())
        tfprintf(stderr, "Stack....... response head over %d bytes; response stopped.\n", HT_STACK_HEAD_MAX);
}

void ensure_header_list(HTRespHeaders *s, HTThdGlobals *g)
{
    if (s->headers == nullptr) {
        s->headers = HTList_new(g);
        s->headers_tail = s->headers;
        s->count = 0;
    }
}

// Parses one block into the store and passes on what is due.
void parse(HTRespHeaders *s, const char *p, const char *end, HTStream *sink, HTThdGlobals *g)
{
    while (p < end) {
        switch (s->phase > HT_STACK_BODY ? HT_STACK_BODY : s->phase) {
        case HT_STACK_STATUS_LINE: {
            ensure_header_list(s, g);
            s->reset = 0;
            const char *eol = find_eol(p, end);
            const size_t piece = static_cast<size_t>((eol ? eol : end) - p);
            if (s->partial_length + piece > HT_STACK_LINE_MAX) {
                // Too long for a status line: an HTTP/0.9 answer, whatever follows.
                const size_t carried = s->partial_length;
                s->partial_length = 0;
                if (send_http09_head(s, sink, g) == HT_HEADERS_TAKEN_DROP)
                    return;
                s->phase = HT_STACK_BODY;
                sink_write(sink, s->partial, carried);
                sink_write(sink, p, static_cast<size_t>(end - p));
                return;
            }
            if (eol == nullptr) {
                partial_append(s, p, piece, g);
                s->head_bytes += piece;
                return;
            }
            size_t n;
            char *line = take_line(s, p, piece, &n, g);
            s->head_bytes += piece + 1;
            p = eol + 1;
            if (!status_line_done(s, line, n, *eol, sink, g))
                return;
            break;
        }
        case HT_STACK_TWEEN:
            if (*p == '\n') {
                ++p;
                ++s->head_bytes;
                if (t44())
                    tfprintf(stderr, "Tween....... decks ate an <LF>\n");
            }
            s->phase = HT_STACK_HEADERS;
            break;
        case HT_STACK_HEADERS: {
            const char *eol = find_eol(p, end);
            const size_t piece = static_cast<size_t>((eol ? eol : end) - p);
            if (s->head_bytes + piece + (eol ? 1 : 0) > HT_STACK_HEAD_MAX) {
                fail(s);
                return;
            }
            s->head_bytes += piece + (eol ? 1 : 0);
            if (eol == nullptr) {
                partial_append(s, p, piece, g);
                return;
            }
            p = eol + 1;
            if (s->partial_length + piece == 0) {
                s->phase = HT_STACK_SEND_HEADERS;
                if (t44())
                    tfprintf(stderr, "This........ header line ended on a %s; going to state %s.\n",
                             eol_name(*eol), state_name(s->phase));
                if (*eol == '\n') {
                    --p;
                    --s->head_bytes;
                    if (t44())
                        tfprintf(stderr, "Ungot....... LF from the LF-only blank line\n");
                }
                break;
            }
            size_t n;
            char *line = take_line(s, p - 1 - piece, piece, &n, g);
            s->phase = *eol == '\r' ? HT_STACK_TWEEN : HT_STACK_HEADERS;
            if (t44())
                tfprintf(stderr, "This........ header line ended on a %s; going to state %s.\n",
                         eol_name(*eol), state_name(s->phase));
            if (has_keep_alive(line, n))
                break;
            if (t44())
                tfprintf(stderr, "Added....... header \"%s\".\n", line);
            list_append(header_list(s), with_crlf(line, n), g);
            break;
        }
        case HT_STACK_SEND_HEADERS: {
            if (*p == '\n') {
                ++p;
                if (++s->head_bytes > HT_STACK_HEAD_MAX) {
                    fail(s);
                    return;
                }
                if (t44())
                    tfprintf(stderr, "Send........ headers ate an <LF>\n");
            }
            const int r = HTClientRespHeaders_processSendHeader(sink, g);
            if (r == HT_HEADERS_TAKEN_DROP)
                return;
            break;
        }
        default:
            if (s->status_code == 304) {
                if (t44())
                    tfprintf(stderr, "Send........ do not send body in 304 reply\n");
                return;
            }
            sink_write(sink, p, static_cast<size_t>(end - p));
            return;
        }
    }
}

// The plug-in line's name is one of those whose response line stays.
bool kept_by_response(const char *line, size_t n)
{
    static const char *const kKept[] = {"Warning", "Cache-Control", "Pragma", "Connection", "Via"};
    for (const char *k : kKept)
        if (std::strlen(k) == n && begins_with(line, k, n))
            return true;
    return false;
}

void reset_store(HTRespHeaders *s, HTThdGlobals *g)
{
    list_delete(header_list(s), g);
    list_delete(plugin_list(s), g);
    s->status_line = kEmptyLine;
    s->phase = HT_STACK_STATUS_LINE;
    s->status_code = -1;
    s->count = 0;
    s->partial_length = 0;
    s->head_bytes = 0;
    s->reset = 0;
    s->pending = 0;
    s->failed = 0;
    s->filter_state = HT_FILTER_LINE_START;
    s->filter_held_length = 0;
}

int send_head(HTStream *sink, HTThdGlobals *g)
{
    HTRespHeaders *s = store_of(g);
    if (s == nullptr)
        return HT_HEADERS_SENT;
    if (s->pending && g->no_merge == 0)
        HTStreamStackStatus_mergeHeaders(g);
    if (g->keep_alive_head) {
        // The writer dropped the line with the rest of the keep-alive lines:
        // an HTTP/1.0 client keeps its connection only when the head says so.
        ensure_header_list(s, g);
        if (list_find_before(header_list(s), "Connection", 10, 0) == nullptr)
            list_append(header_list(s), HTMemPoolStrdup("Connection: keep-alive\r\n", g), g);
    }
    if (t44())
        tfprintf(stderr, "Sending..... %d headers.\n", s->count);
    int r = HT_HEADERS_SENT;
    if (sink != nullptr && sink->isa != nullptr && sink->isa->put_headers != nullptr)
        r = sink->isa->put_headers(sink, s);
    if (r == HT_HEADERS_TAKEN || r == HT_HEADERS_TAKEN_DROP) {
        HTStreamStackStatus_init(g);
        s->reset = 1;
    } else {
        s->phase = HT_STACK_BODY;
        if (t44())
            tfprintf(stderr, "Stack....... header going on to handle the body.\n");
    }
    return r;
}

// The header filter's verdict on a line start.
constexpr int kUndecided = -1;
constexpr int kPass = 0;
constexpr int kDrop = 1;

size_t longest_name(const HTList *names)
{
    size_t longest = 0;
    for (const HTList *e = names ? names->next : nullptr; e != nullptr; e = e->next)
        if (e->object != nullptr)
            longest = std::max(longest, std::strlen(static_cast<const char *>(e->object)));
    return longest;
}

// Judges the n bytes of a header line's content seen so far (all of it when
// `complete`): dropped when it begins with an ignored name; undecided while
// it is too short to tell and could still begin with one. With `longest`
// bytes every name can be told, so the verdict never depends on how much
// of the line has arrived.
int judge(const char *line, size_t n, bool complete, const HTList *names, size_t longest)
{
    const bool partial = !complete && n < longest;
    for (const HTList *e = names->next; e != nullptr; e = e->next) {
        const auto *ignored = static_cast<const char *>(e->object);
        const size_t m = ignored ? std::strlen(ignored) : 0;
        if (m == 0)
            continue;
        if (m <= n && begins_with(line, ignored, m))
            return kDrop;
        if (partial && begins_with(line, ignored, n))
            return kUndecided;
    }
    return kPass;
}

void held_append(HTRespHeaders *s, const char *p, size_t n, HTThdGlobals *g)
{
    buffer_append(&s->filter_held, &s->filter_held_length, &s->filter_held_capacity, p, n, 0, g);
}

} // namespace

extern "C" HTRespHeaders *HTStreamStack_store(HTThdGlobals *context) noexcept
{
    return store_of(globals(context));
}

extern "C" int HTStreamStackWriter(const char *bytes, int length, HTStream *sink, int *state,
                                   HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    HTRespHeaders *s = store_of(g);
    if (t44())
        tfprintf(stderr, "Stack....... writer: %d bytes coming in; state=%d.\n", length, s ? s->phase : -1);
    if (bytes == nullptr || length <= 0) {
        if (state != nullptr && s != nullptr)
            *state = s->phase;
        return 0;
    }
    const int type = sink_type(sink);
    const unsigned parse_for =
        g ? g->plugin_flags & (HT_PLUGIN_LOG | HT_PLUGIN_POSTEXIT | HT_PLUGIN_USER_HEADERS) : 0;
    if (s == nullptr || (type == HT_STREAM_TYPE_WRITER && parse_for == 0)) {
        if (t44())
            tfprintf(stderr, "Oh!         HTSSW's sink is HTWriter - just start shoving!\n");
        // The head goes out as it came: nothing is left to send when the stream ends.
        if (s != nullptr)
            s->phase = HT_STACK_BODY;
        sink_write(sink, bytes, static_cast<size_t>(length));
    } else {
        if (t44()) {
            if (type == HT_STREAM_TYPE_WRITER)
                tfprintf(stderr, "Rats........ the user has a logging or postexit plug-in or usr headers defined, parse the output!\n");
            else
                tfprintf(stderr, "Rats........ there's a type-%d stack beneath us; we have real work to do.\n", type);
        }
        if (!s->failed)
            parse(s, bytes, bytes + length, sink, g);
    }
    if (state != nullptr && s != nullptr)
        *state = s->phase;
    return 0;
}

extern "C" int HTStreamStackWriterWriteHeader(const char *bytes, int length, HTStream *sink, int *state,
                                              HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    HTRespHeaders *s = store_of(g);
    const size_t longest = g ? longest_name(g->ignore_headers) : 0;
    if (bytes == nullptr || length <= 0 || s == nullptr || longest == 0)
        return HTStreamStackWriter(bytes, length, sink, state, g);
    // Lines are the writer's: a header line starts where the writer stands
    // at a line start in the header phase, and ends at CR, LF or CR LF.
    const char *p = bytes;
    const char *const end = bytes + length;
    auto pass = [&](const char *to) {
        HTStreamStackWriter(p, static_cast<int>(to - p), sink, state, g);
        p = to;
    };
    while (p < end) {
        const char *eol = find_eol(p, end);
        const char *through = eol ? eol + 1 : end;
        switch (s->filter_state) {
        case HT_FILTER_PASS:
            pass(through);
            if (eol)
                s->filter_state = HT_FILTER_LINE_START;
            continue;
        case HT_FILTER_DROP:
            if (eol)
                s->filter_state = *eol == '\r' ? HT_FILTER_DROP_LF : HT_FILTER_LINE_START;
            p = through;
            continue;
        case HT_FILTER_DROP_LF:
            if (*p == '\n')
                ++p;
            s->filter_state = HT_FILTER_LINE_START;
            continue;
        default:
            break;
        }
        // Held bytes are the start of a header line still being judged.
        const bool held = s->filter_held_length > 0;
        if (!held && (s->failed || s->phase >= HT_STACK_SEND_HEADERS)) {
            pass(end);
            continue;
        }
        if (!held && (s->phase == HT_STACK_STATUS_LINE || (s->phase == HT_STACK_HEADERS && s->partial_length > 0))) {
            pass(through);
            continue;
        }
        if (!held && s->phase == HT_STACK_TWEEN && *p == '\n') {
            pass(p + 1); // the end of the line before
            continue;
        }
        const size_t n = static_cast<size_t>((eol ? eol : end) - p);
        const char *line = p;
        size_t have = n;
        if (held) {
            held_append(s, p, n, g);
            line = s->filter_held;
            have = s->filter_held_length;
        }
        const int verdict = judge(line, have, eol != nullptr, g->ignore_headers, longest);
        if (verdict == kUndecided) {
            if (s->filter_held_length == 0)
                held_append(s, p, n, g);
            return 0; // nothing of the block is left: it is all held
        }
        s->filter_held_length = 0;
        if (verdict == kDrop) {
            if (t44())
                tfprintf(stderr, "Stack....... writer ignore header %.*s\n", static_cast<int>(have), line);
            s->filter_state = HT_FILTER_DROP;
        } else {
            HTStreamStackWriter(line, static_cast<int>(have), sink, state, g);
            s->filter_state = HT_FILTER_PASS;
        }
        p += n;
    }
    return 0;
}

extern "C" void HTStreamStackStatus_init(HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (HTRespHeaders *s = store_of(g))
        reset_store(s, g);
}

extern "C" void HTStreamStackStatus_clear(HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    HTRespHeaders *s = store_of(g);
    if (s == nullptr)
        return;
    s->phase = HT_STACK_STATUS_LINE;
    list_delete(header_list(s), g);
    list_delete(plugin_list(s), g);
    s->pending = 0;
}

extern "C" int HTStreamStackStatus_failed(HTThdGlobals *context) noexcept
{
    const HTRespHeaders *s = store_of(globals(context));
    return s != nullptr && s->failed ? 1 : 0;
}

extern "C" void HTStreamStackStatus_mergeHeaders(HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    HTRespHeaders *s = store_of(g);
    if (s == nullptr)
        return;
    s->pending = 0;
    if (s->plugin == nullptr)
        return;
    if (s->headers == nullptr) {
        if (t44())
            tfprintf(stderr, "MergeHeaders...... Found Null for Header List, creating new HTList(1)\n");
        ensure_header_list(s, g);
    }
    const LineList h = header_list(s);
    for (HTList *e = s->plugin->next; e != nullptr; e = e->next) {
        auto *line = static_cast<char *>(e->object);
        const size_t n = name_length(line);
        HTList *prev = n > 0 ? list_find_before(h, line, n, 0) : nullptr;
        if (prev != nullptr) {
            const auto *existing = static_cast<const char *>(prev->next->object);
            const size_t en = name_length(existing);
            if (en == 10 && begins_with(existing, "Set-Cookie", 10)) {
                // Both cookies go to the client.
            } else if (kept_by_response(existing, en)) {
                continue;
            } else {
                if (t44())
                    tfprintf(stderr, "MergeHeaders...... Replacing response header %s with plug-in header %s\n",
                             existing, line);
                list_remove_after(h, prev, g);
            }
        }
        list_append(h, line, g);
    }
    list_delete(plugin_list(s), g);
}

extern "C" int HTClientRespHeaders_processSendHeader(HTStream *sink, HTThdGlobals *context) noexcept
{
    return send_head(sink, globals(context));
}

extern "C" int HTClientRespHeaders_putHeadersCheckResponse(HTStream *sink, HTThdGlobals *context) noexcept
{
    return send_head(sink, globals(context));
}

extern "C" void HTClientRespHeaders_checkHeaderSanity(HTStream *sink, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    HTRespHeaders *s = store_of(g);
    if (s == nullptr || s->failed || s->reset || s->phase >= HT_STACK_BODY)
        return;
    if (s->phase == HT_STACK_STATUS_LINE && s->partial_length > 0) {
        // The answer ended inside its first line: that line is complete now.
        size_t n;
        char *line = take_line(s, nullptr, 0, &n, g);
        if (!status_line_done(s, line, n, 0, sink, g))
            return;
        if (s->phase >= HT_STACK_BODY || s->reset)
            return;
    }
    if (t22())
        tfprintf(stderr, "Stream...... stack in state %s (%d) on free - yuck!\n", state_name(s->phase), s->phase);
    if (sink != nullptr && sink->isa != nullptr && sink->isa->message != nullptr) {
        int word = 0;
        sink->isa->message(sink, HT_STACK_MSG_PURGE, &word);
    }
    send_head(sink, g);
}

extern "C" void HTClientRespHeaders_prepareHead(HTRespHeaders *store, const char *timeHeader, long startSec,
                                                long startUsec, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    HTRespHeaders *s = store_of(g);
    if (s == nullptr || (store != nullptr && store != s))
        return;
    if (timeHeader != nullptr && *timeHeader != '\0') {
        struct timeval now;
        gettimeofday(&now, nullptr);
        const long long elapsed = (static_cast<long long>(now.tv_sec) - startSec) * 1000000LL +
                                  (static_cast<long long>(now.tv_usec) - startUsec);
        char value[80];
        std::snprintf(value, sizeof value, "t=%ld%06ld D=%lld", startSec, startUsec, elapsed);
        replace_all(timeHeader, value, g);
        if (HT_TRACE_ON(HT_TRACE_TCP))
            tfprintf(stderr, "Updated..... %s response header \n", timeHeader);
    }
    if (s->pending && g->no_merge == 0)
        HTStreamStackStatus_mergeHeaders(g);
}

// ---- The module --------------------------------------------------------------

extern "C" void *HTClientRespHeaders_threadCreate(int slot, int threadType, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr || g->client_resp_headers != nullptr)
        return value;
    auto *s = static_cast<HTRespHeaders *>(HTAlloc_calloc(1, sizeof(HTRespHeaders)));
    if (s == nullptr)
        out_of_memory("HTStreamStack", "HTClientRespHeaders_threadCreate", __LINE__, sizeof(HTRespHeaders));
    s->owner = g;
    s->prepare = HTClientRespHeaders_prepareHead;
    s->status_line = kEmptyLine;
    s->status_code = -1;
    g->client_resp_headers = s;
    return value;
}

extern "C" int HTClientRespHeaders_threadDestroy(int slot, int threadType, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    HTRespHeaders *s = store_of(g);
    if (s == nullptr)
        return 0;
    list_delete(header_list(s), g);
    list_delete(plugin_list(s), g);
    HTAlloc_free(s);
    g->client_resp_headers = nullptr;
    return 0;
}

extern "C" int HTClientRespHeaders_threadInit(int slot, int threadType, int context, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    if (context == HT_CONTEXT_REQUEST)
        if (HTRespHeaders *s = store_of(g))
            reset_store(s, g);
    return 0;
}

extern "C" int HTClientRespHeaders_threadUninit(int slot, int threadType, int context, void *value) noexcept
{
    (void)slot;
    (void)threadType;
    auto *g = static_cast<HTThdGlobals *>(value);
    HTRespHeaders *s = store_of(g);
    if (context != HT_CONTEXT_REQUEST || s == nullptr)
        return 0;
    // The strings go with the request's pool; the elements go back now.
    reset_store(s, g);
    s->partial = nullptr;
    s->partial_capacity = 0;
    s->filter_held = nullptr;
    s->filter_held_capacity = 0;
    return 0;
}

extern "C" int HTClientRespHeaders_register(void) noexcept
{
    return HTWorkThread_addModule("HTClientRespHeaders", HTClientRespHeaders_threadCreate,
                                  HTClientRespHeaders_threadDestroy, HTClientRespHeaders_threadInit,
                                  HTClientRespHeaders_threadUninit);
}
