// HTTPD_read (plain and chunked), the stored request body and HTTPD_write.

#include "htapibody.h"

#include "htapi.h"
#include "htapi_imports.h"
#include "mogrify.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plugrt {
namespace {

constexpr int kSizeLineRoom = 35;        // bytes of a chunk-size line, terminator excluded
constexpr int kDumpRoom = kSizeLineRoom + 2;
constexpr std::size_t kAskAtMost = 0x7FFFFFFF; // per request to entry 45
constexpr std::size_t kMaxChunk = 0x7FFFFFFF;
constexpr std::size_t kDoublingLimit = 0x13FFFFF; // capacity up to which growth doubles
constexpr std::size_t kGrowthStep = 10485760;    // growth above it
constexpr char kLastChunk[] = "0\r\n\r\n";
constexpr std::size_t kLastChunkLength = sizeof kLastChunk - 1;

bool stored_traces() noexcept
{
    return traces(kTraceStored);
}

void discard_body(HTAPIHandle *h) noexcept
{
    std::free(h->body);
    h->body = nullptr;
    h->body_used = 0;
    h->body_capacity = 0;
    h->body_refused = 1;
}

// The byte-by-byte lines of the decoder: the common library's own trace test.
bool fine_traces() noexcept
{
    const uint32_t *flags = tc;
    return flags != nullptr && flags[plugrt_import::kTraceLevelWord] != 0 &&
           HTTrace_level(kTraceApi, 66) != 0;
}

struct Chunked {
    Frame &f;
    HTAPIdata *api;
    void *input;
    HTCB_READ_BYTE_fn *byte;
    HTCB_READ_BLOCK_fn *block;
    char *buffer;
    std::size_t room;
    std::size_t copied = 0;
};

void dump_line(const Chunked &c, const char *line) noexcept
{
    if (!c.f.tracing())
        return;
    auto *dump = static_cast<char *>(c.f.alloc(kDumpRoom));
    if (dump == nullptr)
        return;
    std::memcpy(dump, line, kSizeLineRoom);
    dump[kSizeLineRoom] = dump[kSizeLineRoom + 1] = '\0';
    for (int i = 0; i < kSizeLineRoom; ++i) {
        const unsigned char b = static_cast<unsigned char>(dump[i]);
        if (b <= 0x2F && b != '\0' && b != '\r' && b != '\n')
            dump[i] = 'x';
    }
    HTAPI_TRACE(true, "plug-in..... HTTPD_read() dumping chunk size buffer %s.\n", dump);
}

// Consumes bytes through the next LF; false at the end of input. `lone_cr`
// tells whether the line held nothing but an optional CR.
bool skip_line(const Chunked &c, const char *what, bool *lone_cr = nullptr) noexcept
{
    const bool fine = fine_traces();
    std::size_t others = 0;
    for (;;) {
        const int b = c.byte(c.input);
        if (b < 0)
            return false;
        if (b == '\n')
            break;
        if (b != '\r')
            ++others;
        if (fine)
            HTAPI_TRACE(true,
                        "plug-in..... HTTPD_read() skipped (hex) char %d looking for LF terminating %s.\n",
                        b, what);
    }
    if (lone_cr != nullptr)
        *lone_cr = others == 0;
    return true;
}

// The chunk size of a collected line: hexadecimal digits only, ending at the
// line's end or a CR that closes it. -1 not a size, -2 above 0x7FFFFFFF.
long long chunk_size(const char *line, int n) noexcept
{
    long long v = 0;
    int i = 0;
    for (; i < n; ++i) {
        const unsigned char ch = static_cast<unsigned char>(line[i]);
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            break;
        v = v * 16 + d;
        if (v > static_cast<long long>(kMaxChunk))
            return -2;
    }
    if (i == 0)
        return -1;
    if (i == n || (i == n - 1 && line[i] == '\r'))
        return v;
    return -1;
}

// One call's worth of decoding: code 0 (chunks delivered, more to come), 8
// (the last chunk and its trailers consumed), 6 (the next chunk does not fit
// an empty buffer; *length is its size) or 9 (framing).
long decode(Chunked &c, unsigned long *length) noexcept
{
    Frame &f = c.f;
    HTAPIdata *api = c.api;
    for (;;) {
        if (api->chunk_state == HTAPI_CHUNK_SIZE_LINE) {
            char line[kSizeLineRoom] = {};
            int n = 0;
            int b = 0;
            while (n < kSizeLineRoom) {
                b = c.byte(c.input);
                if (b < 0 || b == '\n' || b == ' ' || b == ';')
                    break;
                line[n++] = static_cast<char>(b);
            }
            if (n == kSizeLineRoom || b < 0) {
                HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() protocol error, chunk size not terminated with CRLF.\n");
                dump_line(c, line);
                return HTTPD_BODY_FAILURE;
            }
            if ((b == ' ' || b == ';') && !skip_line(c, "extension")) {
                HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() protocol error, chunk size not terminated with CRLF.\n");
                return HTTPD_BODY_FAILURE;
            }
            const long long size = chunk_size(line, n);
            if (size == -2) {
                HTAPI_TRACE(f.tracing() && traces(kTraceChunk),
                            "plug-in..... HTTPD_read() chunk size overflow error.\n");
                dump_line(c, line);
                return HTTPD_BODY_FAILURE;
            }
            if (size < 0) {
                HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() protocol violation, not a valid chunk size.\n");
                dump_line(c, line);
                return HTTPD_BODY_FAILURE;
            }
            if (size == 0) {
                HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() chunk size=%d, message done!!.\n", 0);
                // Trailer lines up to the empty line belong to this message,
                // or they would be read as the next request.
                bool empty = false;
                while (!empty && skip_line(c, "message", &empty)) {
                }
                *length = c.copied;
                return HTTPD_END_OF_BODY;
            }
            HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() chunk size=%d.\n", static_cast<int>(size));
            api->chunk_state = HTAPI_CHUNK_DATA;
            api->chunk_left = static_cast<unsigned long>(size);
        }
        // A chunk is delivered whole or not at all.
        if (c.room - c.copied < api->chunk_left) {
            if (c.copied != 0) {
                *length = c.copied;
                return HTTPD_SUCCESS;
            }
            HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() not enough room in buffer for %d size chunk.\n",
                        static_cast<int>(api->chunk_left));
            *length = api->chunk_left;
            return HTTPD_BUFFER_TOO_SMALL;
        }
        while (api->chunk_left != 0) {
            const std::size_t ask = api->chunk_left < kAskAtMost ? api->chunk_left : kAskAtMost;
            std::size_t got = ask;
            const char *p = c.block(c.input, &got);
            // Nothing inside a chunk is the end of input: asking again would never end.
            if (p == nullptr || got == 0)
                return HTTPD_BODY_FAILURE;
            if (got > ask)
                got = ask;
            std::memcpy(c.buffer + c.copied, p, got);
            c.copied += got;
            api->chunk_left -= got;
            HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_read() %d bytes copied to buffer.\n",
                        static_cast<int>(got));
        }
        if (!skip_line(c, "chunk"))
            return HTTPD_BODY_FAILURE;
        api->chunk_state = HTAPI_CHUNK_SIZE_LINE;
    }
}

long read_chunked(Frame &f, HTAPIRequest *r, char *buffer, unsigned long *length) noexcept
{
    HTAPIHandle *h = f.handle();
    HTAPIdata *api = r->api;
    auto byte = f.need<HTCB_READ_BYTE>();
    auto block = f.need<HTCB_READ_BLOCK>();
    if (byte == nullptr || block == nullptr)
        return HTTPD_UNSUPPORTED;
    if (api == nullptr)
        return HTTPD_FAILURE;
    HTAPI_TRACE(f.tracing(), "plug-in .... HTTPD_read() reading chunked data.\n");
    if (api->chunk_state == HTAPI_CHUNK_FAILED) {
        *length = 0;
        return HTTPD_BODY_FAILURE;
    }
    Chunked c{f, api, r->header->input, byte, block, buffer, *length};
    long code = decode(c, length);
    if (code == HTTPD_BODY_FAILURE) {
        // Bad framing ends the body for good, and its copy with it.
        api->chunk_state = HTAPI_CHUNK_FAILED;
        discard_body(h);
        *length = 0;
        return code;
    }
    if (code == HTTPD_SUCCESS || code == HTTPD_END_OF_BODY) {
        if (!store_body(h, buffer, c.copied, true, code == HTTPD_END_OF_BODY)) {
            *length = 0;
            return HTTPD_BODY_FAILURE;
        }
        if (code == HTTPD_END_OF_BODY)
            r->header->transfer_coding = nullptr;
    }
    return code;
}

long read_plain(Frame &f, HTAPIRequest *r, char *buffer, unsigned long *length) noexcept
{
    HTAPIHandle *h = f.handle();
    if (h->body_left == 0) {
        *length = 0;
        return HTTPD_END_OF_BODY;
    }
    if (*length >= 2147483647ul)
        return HTTPD_UNSUPPORTED;
    auto block = f.need<HTCB_READ_BLOCK>();
    if (block == nullptr)
        return HTTPD_UNSUPPORTED;
    const std::size_t want = h->body_left < *length ? static_cast<std::size_t>(h->body_left)
                                                    : static_cast<std::size_t>(*length);
    std::size_t got = want;
    const char *p = block(r->header->input, &got);
    if (p == nullptr || got == 0) {
        *length = 0;
        return HTTPD_END_OF_BODY;
    }
    if (got > want)
        got = want;
    h->body_left -= got;
    std::memcpy(buffer, p, got);
    *length = got;
    if (!store_body(h, buffer, got, false, false)) {
        *length = 0;
        return HTTPD_BODY_FAILURE;
    }
    // Data and the end are reported together.
    return h->body_left == 0 ? HTTPD_END_OF_BODY : HTTPD_SUCCESS;
}

bool read_step(int step) noexcept
{
    return step == HTAPI_STEP_REQUEST_START || step == HTAPI_STEP_AUTHORIZATION ||
           step == HTAPI_STEP_ROUTING || step == HTAPI_STEP_SERVICE ||
           step == HTAPI_STEP_DATA_FILTER;
}

bool response_step(int step) noexcept
{
    return step == HTAPI_STEP_REQUEST_START || step == HTAPI_STEP_AUTHORIZATION ||
           step == HTAPI_STEP_ROUTING || step == HTAPI_STEP_SERVICE || step == HTAPI_STEP_ERROR;
}

// The stream of a response step's first write: the raw client stream for a
// non-parsed-headers plug-in, else a conversion for the content type the
// plug-in set, else the raw stream.
HTStream *response_stream(Frame &f, HTAPIRequest *r) noexcept
{
    HTStream *raw = r->header ? r->header->output : nullptr;
    auto nph = f.need<HTCB_USERVAR_HAS>();
    if (nph == nullptr || nph(r->api->user_variables, "NPH"))
        return raw;
    auto type = f.need<HTCB_RESPONSE_TEXT>();
    const char *content_type = type ? type(f.handle(), HTAPI_RESP_CONTENT_TYPE) : nullptr;
    if (content_type == nullptr)
        return raw;
    auto convert = f.need<HTCB_CONVERSION_STREAM>();
    HTStream *s = convert ? convert(f.handle(), content_type, raw) : nullptr;
    return s ? s : raw;
}

long write_out(Frame &f, HTAPIRequest *r, const char *data, unsigned long length) noexcept
{
    HTAPIdata *api = r->api;
    if (api->flags & HTAPI_FLAG_NO_OUTPUT)
        return HTTPD_NO_OUTPUT;
    // A failed condition has decided the response (304 or 412).
    if ((api->status == 412 || api->status == 304) && api->output == nullptr)
        return HTTPD_BODY_FAILURE;
    if (response_step(r->step)) {
        if (api->output == nullptr)
            api->output = response_stream(f, r);
        if (api->output == nullptr)
            return f.missing() ? HTTPD_UNSUPPORTED : HTTPD_FAILURE;
    } else if (r->step == HTAPI_STEP_DATA_FILTER) {
        if (api->output == nullptr)
            return HTTPD_FAILURE;
    } else if (r->step == HTAPI_STEP_TRANSMOGRIFIER) {
        auto *tr = static_cast<TransmogrifierHead *>(api->transmogrifier);
        if (tr == nullptr) {
            HTAPI_TRACE(f.tracing(), "plug-in..... no tr data available, returning %d\n",
                        HTTPD_WRONG_STEP);
            return HTTPD_WRONG_STEP;
        }
        if (tr->state != kTrOpen && tr->state != kTrWritten) {
            HTAPI_TRACE(f.tracing(), "plug-in..... unable to write, returning %d\n", tr->state);
            return HTTPD_WRONG_STEP;
        }
        tr->state = kTrWritten;
        api->output = tr->target;
        if (api->output == nullptr)
            return HTTPD_FAILURE;
    } else {
        return HTTPD_WRONG_STEP;
    }
    HTStream *out = api->output;
    if (out->isa == nullptr || out->isa->write == nullptr)
        return HTTPD_BODY_FAILURE;
    return out->isa->write(out, data, static_cast<int>(length)) < 0 ? HTTPD_BODY_FAILURE
                                                                    : HTTPD_SUCCESS;
}

} // namespace

bool store_body(HTAPIHandle *h, const char *data, std::size_t n, bool chunked, bool ended) noexcept
{
    if (h->body_refused)
        return false;
    char prefix[2 * sizeof(std::size_t) + 3];
    std::size_t prefix_length = 0;
    std::size_t framing = 0;
    if (chunked && n != 0) {
        prefix_length = static_cast<std::size_t>(
            std::snprintf(prefix, sizeof prefix, "%lx\r\n", static_cast<unsigned long>(n)));
        framing = prefix_length + 2;
    }
    if (chunked && ended)
        framing += kLastChunkLength;
    const std::size_t need = n + framing;
    if (need == 0)
        return true;
    const bool tracing = stored_traces();
    // Sizes are counted in size_t; growth that would wrap is a failed allocation.
    while (h->body_capacity <= h->body_used || need >= h->body_capacity - h->body_used) {
        const std::size_t g = h->body_capacity <= kDoublingLimit ? h->body_capacity : kGrowthStep;
        const std::size_t base = g > n ? g : n;
        std::size_t delta = 0;
        std::size_t capacity = 0;
        const bool wraps = __builtin_add_overflow(base, framing + 1, &delta) ||
                           __builtin_add_overflow(h->body_capacity, delta, &capacity);
        HTAPI_TRACE(tracing && !wraps, "Stored...... rellocate space from %luB with delta %luB\n",
                    static_cast<unsigned long>(h->body_capacity), static_cast<unsigned long>(delta));
        void *grown = wraps ? nullptr : std::realloc(h->body, capacity);
        if (grown == nullptr) {
            HTAPI_TRACE(tracing, "Stored...... out of memory when allocate ProxyBuffer for %lu size.\n",
                        static_cast<unsigned long>(wraps ? SIZE_MAX : capacity));
            discard_body(h);
            return false;
        }
        h->body = static_cast<char *>(grown);
        h->body_capacity = capacity;
    }
    char *w = h->body + h->body_used;
    if (prefix_length != 0) {
        std::memcpy(w, prefix, prefix_length);
        w += prefix_length;
    }
    if (n != 0) {
        std::memcpy(w, data, n);
        w += n;
    }
    if (chunked && n != 0) {
        std::memcpy(w, "\r\n", 2);
        w += 2;
    }
    if (chunked && ended)
        std::memcpy(w, kLastChunk, kLastChunkLength);
    h->body_used += need;
    HTAPI_TRACE(tracing, "Stored...... request body %lu bytes\n",
                static_cast<unsigned long>(h->body_used));
    if (h->body_limit != 0 && h->body_used > h->body_limit) {
        HTAPI_TRACE(tracing, "Stored...... request body %lu bytes exceed the limit %lu, return failed.\n",
                    static_cast<unsigned long>(h->body_used), static_cast<unsigned long>(h->body_limit));
        discard_body(h);
        return false;
    }
    return true;
}

} // namespace plugrt

using namespace plugrt;

extern "C" PLUGRT_EXPORT void copyToProxyBuffer(void *handle, const char *data,
                                                unsigned long *length, long *return_code,
                                                int chunked) noexcept
{
    if (return_code == nullptr)
        return;
    if (handle == nullptr) {
        auto key = entry<HTCB_THREAD_KEY>();
        handle = key ? pthread_getspecific(key()) : nullptr;
    }
    if (handle == nullptr || length == nullptr || (*length != 0 && data == nullptr)) {
        *return_code = HTTPD_BAD_ARGUMENT;
        return;
    }
    if (!store_body(static_cast<HTAPIHandle *>(handle), data, *length, chunked != 0,
                    *return_code == HTTPD_END_OF_BODY)) {
        *length = 0;
        *return_code = HTTPD_BODY_FAILURE;
    }
}

extern "C" PLUGRT_EXPORT void HTREAD(void *handle, char *buffer, unsigned long *length,
                                     long *return_code) noexcept
{
    Frame f(Api::Read, handle, return_code, {nullptr, nullptr, buffer, length, nullptr});
    if (!f.live())
        return;
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || r->header == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    if (!read_step(r->step)) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    if (f.handle()->preread == 1) {
        auto preread = f.need<HTCB_PRE_READ>();
        if (preread == nullptr) {
            f.finish(HTTPD_UNSUPPORTED);
            return;
        }
        preread(r->header, f.handle());
    }
    auto compare = f.need<HTCB_STRNCASECMP>();
    if (compare == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    const char *coding = r->header->transfer_coding;
    const bool chunked = coding != nullptr && compare(coding, "chunked", 7) == 0;
    f.finish(chunked ? read_chunked(f, r, buffer, length) : read_plain(f, r, buffer, length));
}

extern "C" PLUGRT_EXPORT void HTWRITE(void *handle, const char *data, unsigned long *length,
                                      long *return_code) noexcept
{
    Frame f(Api::Write, handle, return_code, {nullptr, nullptr, data, length, nullptr});
    if (!f.live())
        return;
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || r->api == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    f.finish(write_out(f, r, data, *length));
}
