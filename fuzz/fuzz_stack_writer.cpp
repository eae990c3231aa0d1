// Fuzzes the stream-stack writer. Byte 0 chooses the variant (bit 0: the
// header filter with an ignore list; bit 1: the head writer answers "taken"
// to the first head; bit 2: a plug-in line waits to be merged; bit 3: the
// sink is the plain writer with a logging plug-in), bytes 1 to 4 seed the
// cuts, the rest is a response. The response in one block and cut into
// random blocks must give the sink the same bytes and leave the same store,
// and the store's carry-over stays within the head bound.

#include "HTClientRespHeaders.h"
#include "HTList.h"
#include "HTStreamStack.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Sink {
    HTStream stream;
    int type;
    int answers_left; // "taken" answers still to give
    std::string out;
};

Sink *self(HTStream *s) { return reinterpret_cast<Sink *>(s); }

int sink_write(HTStream *s, const char *data, int n)
{
    self(s)->out.append(data, static_cast<size_t>(n));
    return 0;
}

int sink_message(HTStream *s, int number, void *argument)
{
    if (number == HT_STREAM_MSG_IDENTIFY)
        *static_cast<int *>(argument) = self(s)->type;
    return 0;
}

int sink_put_headers(HTStream *s, void *headers)
{
    Sink *me = self(s);
    auto *set = static_cast<HTRespHeaders *>(headers);
    set->prepare(set, nullptr, 0, 0, nullptr);
    me->out += set->status_line;
    for (HTList *e = set->headers ? set->headers->next : nullptr; e; e = e->next)
        me->out += static_cast<const char *>(e->object);
    me->out += "\r\n";
    if (me->answers_left > 0) {
        --me->answers_left;
        return HT_HEADERS_TAKEN;
    }
    return HT_HEADERS_SENT;
}

const HTStreamClass kSink = {"FuzzSink", nullptr, nullptr, nullptr, nullptr,
                             sink_write, nullptr, sink_message, sink_put_headers};

struct Result {
    std::string out;
    std::string status_line;
    int code;
    int phase;
    int failed;
    std::vector<std::string> lines;
    bool operator!=(const Result &o) const
    {
        return out != o.out || status_line != o.status_line || code != o.code || phase != o.phase ||
               failed != o.failed || lines != o.lines;
    }
};

char kServer[] = "Server";
char kXPowered[] = "x-powered";

Result run(uint8_t flags, const std::string &response, const std::vector<size_t> &cuts)
{
    HTThdGlobals *g = fuzz_request();
    HTStreamStackStatus_init(g);
    HTList *ignore = nullptr;
    if (flags & 1) {
        ignore = HTList_new(g);
        HTList_appendObject(ignore, kServer, g);
        HTList_appendObject(ignore, kXPowered, g);
        g->ignore_headers = ignore;
    }
    if (flags & 4)
        HTClientRespHeaders_addHeader("Set-Cookie", "fuzz=1", g);
    if (flags & 8)
        g->plugin_flags = HT_PLUGIN_LOG;
    Sink sink{{&kSink}, (flags & 8) ? HT_STREAM_TYPE_WRITER : 2, (flags & 2) ? 1 : 0, {}};
    size_t at = 0;
    auto feed = [&](size_t to) {
        const char *p = response.data() + at;
        const int n = static_cast<int>(to - at);
        if (flags & 1)
            HTStreamStackWriterWriteHeader(p, n, &sink.stream, nullptr, g);
        else
            HTStreamStackWriter(p, n, &sink.stream, nullptr, g);
        at = to;
    };
    for (size_t c : cuts)
        feed(c);
    feed(response.size());
    HTClientRespHeaders_checkHeaderSanity(&sink.stream, g);

    const HTRespHeaders *s = HTStreamStack_store(g);
    if (s->partial_capacity > 2 * static_cast<size_t>(HT_STACK_HEAD_MAX) + 256)
        std::abort();
    Result r{sink.out, s->status_line, s->status_code, s->phase, s->failed, {}};
    int counted = 0;
    for (HTList *e = s->headers ? s->headers->next : nullptr; e; e = e->next, ++counted)
        r.lines.emplace_back(static_cast<const char *>(e->object));
    if (counted != s->count)
        std::abort();
    g->ignore_headers = nullptr;
    HTList_delete(ignore, g);
    fuzz_context_reset(g);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5 || size > 200000)
        return 0;
    const uint8_t flags = data[0];
    const uint32_t seed = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                          static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    const std::string response(reinterpret_cast<const char *>(data + 5), size - 5);

    const Result whole = run(flags, response, {});
    std::mt19937 rng(seed);
    for (int round = 0; round < 3; ++round) {
        std::vector<size_t> cuts;
        const size_t step = 1 + rng() % (round == 0 ? 4 : 64);
        for (size_t at = 0;;) {
            at += 1 + rng() % step;
            if (at >= response.size())
                break;
            cuts.push_back(at);
        }
        if (run(flags, response, cuts) != whole)
            std::abort();
    }
    return 0;
}
