// HTInputSocket: the buffered input socket.

#include "HTInputSocket.h"

#include "HTAlloc.h"
#include "HTMPool.h"
#include "HTSocket.h"
#include "HTTrace.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace {

bool aborted(const HTRequest *request)
{
    return request != nullptr && __atomic_load_n(&request->abort_flag, __ATOMIC_RELAXED) != 0;
}

HTThdGlobals *pool_of(const HTRequest *request)
{
    return request ? request->pool : nullptr;
}

void init(HTInputSocket *in, HTSocket *s, HTRequest *request, int heap)
{
    std::memset(in, 0, sizeof *in);
    in->input_pointer = in->input_limit = in->buffer;
    in->socket = s;
    in->heap = heap;
    in->request = request;
}

// Reads up to `maximum` bytes behind the first `keep` buffered bytes. The
// kept bytes (from the read position) move to the buffer's start first.
int read_into(HTInputSocket *in, int keep, int maximum, HTRequest *request)
{
    if (keep > 0)
        std::memmove(in->buffer, in->input_pointer, static_cast<size_t>(keep));
    in->input_pointer = in->buffer;
    const int room = HT_INPUT_BUFFER_SIZE - keep;
    if (maximum <= 0 || maximum > room)
        maximum = room;
    const int r = HTSocket_read(in->socket, in->buffer + keep, maximum, request);
    if (r > 0)
        in->bytes_read += static_cast<uint32_t>(r);
    in->last_fill = r;
    return r;
}

// Notes where the first zero byte of the buffered data is: the line readers
// look for it once per read, not once per line.
void note_zero(HTInputSocket *in)
{
    const size_t n = static_cast<size_t>(in->input_limit - in->buffer);
    const void *z = std::memchr(in->buffer, '\0', n);
    in->first_zero = static_cast<int>(z ? static_cast<const char *>(z) - in->buffer : static_cast<ptrdiff_t>(n));
}

// Refills the buffer, keeping `keep` unread bytes. False at end of stream
// or on error (the kept bytes stay buffered).
bool fill(HTInputSocket *in, HTRequest *request, int keep = 0)
{
    const int r = read_into(in, keep, HT_INPUT_BUFFER_SIZE, request);
    if (r > 0) {
        in->input_limit = in->buffer + keep + r;
        *in->input_limit = '\0';
        note_zero(in);
        if (request != nullptr && request->timing.stamp_next_read) {
            gettimeofday(&request->timing.first_read, nullptr);
            request->timing.stamp_next_read = 0;
        }
        return true;
    }
    in->input_limit = in->buffer + keep;
    *in->input_limit = '\0';
    note_zero(in);
    if (r < 0 && HT_TRACE_ON(HT_TRACE_TCP))
        tfprintf(stderr, "level35read. gave rc=%d and errno=%d\n", r, in->socket ? in->socket->error : errno);
    return false;
}

// The line being built, in pool memory, with spare room behind it.
struct Line {
    char *text = nullptr;
    size_t n = 0;
    size_t spare = 0;
    HTThdGlobals *pool;

    explicit Line(HTThdGlobals *p) : pool(p) {}

    void append(const char *src, size_t k)
    {
        if (text == nullptr) {
            // The usual case, a line that is there whole: exactly its size.
            text = static_cast<char *>(HTMemPoolAlloc(k + 1, pool));
            std::memcpy(text, src, k);
            n = k;
            spare = 0;
        } else if (k <= spare) {
            std::memcpy(text + n, src, k);
            n += k;
            spare -= k;
        } else {
            // Small pieces get room for more behind them; big ones are joined as they are.
            const size_t room = k <= 399 ? 512 : 0;
            auto *grown = static_cast<char *>(HTMemPoolAlloc(n + k + room + 1, pool));
            std::memcpy(grown, text, n);
            std::memcpy(grown + n, src, k);
            text = grown;
            n += k;
            spare = room;
        }
        text[n] = '\0';
    }

    char *finish()
    {
        if (text == nullptr)
            append("", 0);
        return text;
    }
};

char *read_a_line(HTInputSocket *in, unsigned limit, bool unfold, HTRequest *request)
{
    if (in == nullptr || aborted(request))
        return nullptr;
    HTThdGlobals *pool = pool_of(request ? request : in->request);
    const size_t cap = limit > 1 ? limit : static_cast<size_t>(-1);
    Line line(pool);
    bool continuation = false; // a line ended: does the next one continue it?
    for (;;) {
        if (in->input_pointer >= in->input_limit && !fill(in, request))
            return line.text;
        char *pos = in->input_pointer;
        char *const end = in->input_limit;
        if (continuation) {
            if (*pos != ' ' && *pos != '\t')
                return line.text;
            continuation = false;
        }
        if (*pos == '\0') {
            in->input_pointer = end;
            return line.text;
        }
        char *lf = static_cast<char *>(std::memchr(pos, '\n', static_cast<size_t>(end - pos)));
        char *stop = lf ? lf : end;
        char *zero = in->buffer + in->first_zero;
        if (zero < pos) // another reader went past it: look again
            zero = static_cast<char *>(std::memchr(pos, '\0', static_cast<size_t>(end - pos)));
        if (zero != nullptr && zero < stop) {
            stop = zero;
            lf = nullptr;
        }
        const size_t a = static_cast<size_t>(stop - pos);

        if (line.n + a > cap) {
            // The piece is full after `room` more bytes, unless those bytes
            // are followed by the line's end.
            const size_t room = cap - line.n;
            bool fits = false;
            if (pos[room] == '\r') {
                if (pos + room + 1 < end) {
                    fits = pos[room + 1] == '\n';
                } else {
                    // The carriage return is the last byte read: look at the next one.
                    line.append(pos, room);
                    in->input_pointer = pos + room;
                    if (fill(in, request, 1) && in->buffer[1] == '\n') {
                        in->input_pointer = in->buffer + 2;
                        if (!unfold || line.n == 0)
                            return line.finish();
                        continuation = true;
                        continue;
                    }
                    if (HT_TRACE_ON(HT_TRACE_TCP))
                        tfprintf(stderr, "line size limit(%u + %u > %u) reached.\n",
                                 static_cast<unsigned>(line.n - room), static_cast<unsigned>(room), limit);
                    return line.finish();
                }
            }
            if (!fits) {
                line.append(pos, room);
                in->input_pointer = pos + room;
                if (HT_TRACE_ON(HT_TRACE_TCP))
                    tfprintf(stderr, "line size limit(%u + %u > %u) reached.\n",
                             static_cast<unsigned>(line.n - room), static_cast<unsigned>(room), limit);
                return line.finish();
            }
        }

        if (lf != nullptr) {
            size_t take = a;
            if (take > 0 && pos[take - 1] == '\r')
                --take;
            else if (take == 0 && line.n > 0 && line.text[line.n - 1] == '\r') {
                // The carriage return came at the end of the previous read.
                line.text[--line.n] = '\0';
                ++line.spare;
            }
            line.append(pos, take);
            in->input_pointer = lf + 1;
            if (!unfold || line.n == 0)
                return line.finish();
            continuation = true;
            continue;
        }
        line.append(pos, a);
        in->input_pointer = stop;
    }
}

} // namespace

extern "C" HTInputSocket *HTInputSocket_new(HTSocket *s, HTRequest *request) noexcept
{
    auto *in = static_cast<HTInputSocket *>(HTMemPoolAlloc(sizeof(HTInputSocket), pool_of(request)));
    init(in, s, request, 0);
    return in;
}

extern "C" HTInputSocket *HTInputSocket_newHeap(HTSocket *s, HTRequest *request) noexcept
{
    auto *in = static_cast<HTInputSocket *>(HTAlloc_malloc(sizeof(HTInputSocket)));
    if (in != nullptr)
        init(in, s, request, 1);
    return in;
}

extern "C" void HTInputSocket_reset(HTInputSocket *in, HTSocket *s) noexcept
{
    if (in == nullptr)
        return;
    in->input_pointer = in->input_limit = in->buffer;
    in->buffer[0] = '\0';
    in->socket = s;
    in->last_fill = 0;
    in->first_zero = 0;
    in->bytes_read = 0;
}

extern "C" void HTInputSocket_free(HTInputSocket *in) noexcept
{
    if (in != nullptr && in->heap)
        HTAlloc_free(in);
}

extern "C" void HTInputSocket_freeHeap(HTInputSocket *in) noexcept
{
    HTAlloc_free(in);
}

extern "C" void HTInputSocket_wipe(HTInputSocket *in) noexcept
{
    if (in != nullptr)
        std::memset(in->buffer, 0, HT_INPUT_BUFFER_SIZE);
}

extern "C" char *HTInputSocket_getInputPointer(HTInputSocket *in, int *count) noexcept
{
    if (in == nullptr) {
        if (count)
            *count = 0;
        return nullptr;
    }
    if (count)
        *count = static_cast<int>(in->input_limit - in->input_pointer);
    return in->input_pointer;
}

extern "C" void HTInputSocket_moveInputPointer(HTInputSocket *in, int n) noexcept
{
    if (in == nullptr || n <= 0)
        return;
    const int left = static_cast<int>(in->input_limit - in->input_pointer);
    if (n > left)
        n = left;
    in->input_pointer += n;
    in->bytes_read += static_cast<uint32_t>(n);
}

extern "C" uint32_t HTInputSocket_getBytesRead(HTInputSocket *in) noexcept
{
    return in ? in->bytes_read : 0;
}

extern "C" int HTInputSocket_getCharacter(HTInputSocket *in) noexcept
{
    if (in == nullptr || aborted(in->request))
        return -1;
    for (;;) {
        if (in->input_pointer >= in->input_limit && !fill(in, in->request))
            return -1;
        const int c = static_cast<unsigned char>(*in->input_pointer++);
        if (c != '\r')
            return c;
    }
}

namespace {

char *take_block(HTInputSocket *in, int *length, bool blocking)
{
    const int wanted = length ? *length : 0;
    if (length)
        *length = 0;
    if (in == nullptr || aborted(in->request) || wanted <= 0)
        return nullptr;
    if (in->input_pointer >= in->input_limit) {
        bool got;
        if (blocking) {
            got = fill(in, in->request);
        } else {
            HTSocket_setBlocking(in->socket, 0);
            got = fill(in, in->request);
            HTSocket_setBlocking(in->socket, 1);
        }
        if (!got)
            return nullptr;
    }
    int n = static_cast<int>(in->input_limit - in->input_pointer);
    if (n > wanted)
        n = wanted;
    char *p = in->input_pointer;
    in->input_pointer += n;
    *length = n;
    return p;
}

} // namespace

extern "C" char *HTInputSocket_getBlock(HTInputSocket *in, int *length) noexcept
{
    return take_block(in, length, true);
}

extern "C" char *HTInputSocket_purgeBuf(HTInputSocket *in, int *length) noexcept
{
    return take_block(in, length, false);
}

extern "C" char *HTInputSocket_getLine(HTInputSocket *in, HTRequest *request) noexcept
{
    return read_a_line(in, 0, false, request);
}

extern "C" char *HTInputSocket_getLineEx(HTInputSocket *in, unsigned limit, HTRequest *request) noexcept
{
    return read_a_line(in, limit, false, request);
}

extern "C" char *HTInputSocket_getUnfoldedLine(HTInputSocket *in, HTRequest *request) noexcept
{
    return read_a_line(in, 0, true, request);
}

extern "C" char *HTInputSocket_getUnfoldedLineEx(HTInputSocket *in, unsigned limit, HTRequest *request) noexcept
{
    return read_a_line(in, limit, true, request);
}

extern "C" void HTInputSocket_freeLine(char *line) noexcept
{
    (void)line;
}

extern "C" int level3read(HTInputSocket *in, int maximum, HTRequest *request) noexcept
{
    if (in == nullptr)
        return -1;
    const int saved = in->last_fill;
    const int r = read_into(in, 0, maximum, request);
    in->last_fill = saved;
    return r;
}

extern "C" int level35read(HTInputSocket *in, int maximum, HTRequest *request) noexcept
{
    if (in == nullptr)
        return -1;
    return read_into(in, 0, maximum, request);
}

extern "C" int level3AsyncRead(HTInputSocket *in, int maximum, HTRequest *request) noexcept
{
    (void)request;
    if (in == nullptr)
        return -1;
    in->input_pointer = in->buffer;
    if (maximum <= 0 || maximum > HT_INPUT_BUFFER_SIZE)
        maximum = HT_INPUT_BUFFER_SIZE;
    return static_cast<int>(HTSocket_recv(in->socket, in->buffer, static_cast<size_t>(maximum), 0));
}

extern "C" int level3AsyncReadDone(HTInputSocket *in, int result) noexcept
{
    if (in == nullptr)
        return -1;
    if (result > HT_INPUT_BUFFER_SIZE - static_cast<int>(in->input_pointer - in->buffer))
        result = HT_INPUT_BUFFER_SIZE - static_cast<int>(in->input_pointer - in->buffer);
    if (result > 0) {
        in->bytes_read += static_cast<uint32_t>(result);
        in->input_limit = in->input_pointer + result;
        HTPerf_add(HT_PERF_BYTES_READ, static_cast<uint32_t>(result));
    } else {
        in->input_limit = in->input_pointer;
    }
    *in->input_limit = '\0';
    note_zero(in);
    in->last_fill = result;
    return 0;
}
