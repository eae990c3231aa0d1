// Test sinks and a fixture for the stream-stack writer.
//
// CaptureSink stands where the writer's sink is: it answers the identify
// message with its type (2 by default: a stack beneath the writer, so the
// writer parses), records the client's bytes, and as head writer does what
// the socket writer does with a header set (prepare, status line, lines,
// CR LF) before giving its configured answers.
#ifndef STACK_SINK_HPP
#define STACK_SINK_HPP

#include "HTClientRespHeaders.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTStreamStack.h"
#include "htc_worker.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

struct CaptureSink {
    // The stream the writer sees, with the way back to its sink.
    struct Node {
        HTStream stream;
        CaptureSink *sink;
    } node{{&kClass}, this};
    int type = 2;
    std::deque<int> answers; // head-writer answers in turn; HT_HEADERS_SENT when used up
    std::string out;
    int heads = 0;
    int purges = 0;

    CaptureSink() = default;
    CaptureSink(const CaptureSink &) = delete;
    CaptureSink &operator=(const CaptureSink &) = delete;
    HTStream *as_stream() { return &node.stream; }

    static CaptureSink *self(HTStream *s) { return reinterpret_cast<Node *>(s)->sink; }
    static int write(HTStream *s, const char *data, int n)
    {
        self(s)->out.append(data, static_cast<size_t>(n));
        return 0;
    }
    static int message(HTStream *s, int number, void *argument)
    {
        if (number == HT_STREAM_MSG_IDENTIFY)
            *static_cast<int *>(argument) = self(s)->type;
        else if (number == HT_STREAM_MSG_PURGE)
            ++self(s)->purges;
        return 0;
    }
    static int put_headers(HTStream *s, void *headers)
    {
        CaptureSink *me = self(s);
        auto *set = static_cast<HTRespHeaders *>(headers);
        if (set->prepare)
            set->prepare(set, nullptr, 0, 0, nullptr);
        me->out += set->status_line;
        for (HTList *e = set->headers ? set->headers->next : nullptr; e; e = e->next)
            me->out += static_cast<const char *>(e->object);
        me->out += "\r\n";
        ++me->heads;
        if (me->answers.empty())
            return HT_HEADERS_SENT;
        const int a = me->answers.front();
        me->answers.pop_front();
        return a;
    }
    static constexpr HTStreamClass kClass = {"CaptureSink", nullptr, nullptr, nullptr, nullptr,
                                             write,         nullptr, message, put_headers};
};

// What the store holds after a response.
struct StoreView {
    int code = -1;
    int phase = -1;
    int failed = 0;
    std::string status_line;
    std::vector<std::string> lines;
    bool operator==(const StoreView &o) const
    {
        return code == o.code && phase == o.phase && failed == o.failed && status_line == o.status_line &&
               lines == o.lines;
    }
};

inline StoreView view_of(HTThdGlobals *g)
{
    StoreView v;
    const HTRespHeaders *s = HTStreamStack_store(g);
    if (s == nullptr)
        return v;
    v.code = s->status_code;
    v.phase = s->phase;
    v.failed = s->failed;
    v.status_line = s->status_line;
    for (HTList *e = s->headers ? s->headers->next : nullptr; e; e = e->next)
        v.lines.emplace_back(static_cast<const char *>(e->object));
    int counted = 0;
    for (HTList *e = s->headers ? s->headers->next : nullptr; e; e = e->next)
        ++counted;
    EXPECT_EQ(counted, s->count) << "the store's count";
    return v;
}

// A worker context whose store starts each response afresh.
class StackTest : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        ASSERT_NE(HTStreamStack_store(g), nullptr);
    }
    // Ends the request (pool reset, store emptied) and begins the next.
    void next_request()
    {
        end_request();
        g->config = config;
        g->plugin_flags = plugin_flags;
        HTStreamStackStatus_init(g);
    }
    // The response cut before each of `cuts` (ascending positions) into the writer.
    std::string run(const std::string &bytes, const std::vector<size_t> &cuts, CaptureSink &sink)
    {
        size_t at = 0;
        for (size_t c : cuts) {
            HTStreamStackWriter(bytes.data() + at, static_cast<int>(c - at), sink.as_stream(), nullptr, g);
            at = c;
        }
        HTStreamStackWriter(bytes.data() + at, static_cast<int>(bytes.size() - at), sink.as_stream(), nullptr, g);
        return sink.out;
    }
    const void *config = nullptr;
    unsigned plugin_flags = 0;
};

#endif
