// The stream-stack writer over heads written here: line ends, HTTP/0.9
// answers, status codes, dropped lines, 304 bodies, the head bounds, plug-in
// merges, head-writer answers, the header filter and the pass-through path.
// Every response is also fed cut at every byte position and byte by byte:
// the client's bytes and the store never depend on the cuts.

#include "stack_sink.hpp"

#include "HTConfig.h"
#include "htc_alloc_fail.h"
#include "htc_trace_log.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string kWarning =
    "Warning: 299 proxy.test:8080 \"Origin server sent an HTTP/0.9 response; translated to HTTP/1.x by proxy.\"\r\n";
const std::string kHead09 = "HTTP/1.0 200 Probably OK\r\n" + kWarning +
                            "Connection: close\r\nCache-Control: private, no-cache\r\n\r\n";
const Lines kLines09 = {kWarning, "Connection: close\r\n", "Cache-Control: private, no-cache\r\n"};

class Stack : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        cfg.proxy_host_name = name;
        cfg.proxy_port = 8080;
        config = &cfg;
        next_request();
    }
    struct Outcome {
        std::string client;
        StoreView store;
    };
    Outcome feed(const std::string &bytes, const std::vector<size_t> &cuts)
    {
        next_request();
        CaptureSink sink;
        std::string client = run(bytes, cuts, sink);
        return {client, view_of(g)};
    }
    // The outcome in one block, checked against every cut into two blocks
    // (at most `limit` of them) and against one byte at a time.
    Outcome feed_every_way(const std::string &bytes, size_t limit = 4096)
    {
        const Outcome whole = feed(bytes, {});
        for (size_t k = 1; k < bytes.size() && k <= limit; ++k) {
            const Outcome o = feed(bytes, {k});
            EXPECT_EQ(o.client, whole.client) << "cut at " << k;
            EXPECT_EQ(o.store, whole.store) << "cut at " << k;
            if (o.client != whole.client)
                break;
        }
        if (bytes.size() <= limit) {
            std::vector<size_t> all;
            for (size_t k = 1; k < bytes.size(); ++k)
                all.push_back(k);
            const Outcome o = feed(bytes, all);
            EXPECT_EQ(o.client, whole.client) << "byte by byte";
            EXPECT_EQ(o.store, whole.store) << "byte by byte";
        }
        return whole;
    }
    char name[16] = "proxy.test";
    HTStaticConfig cfg{};
};

struct Case {
    const char *what;
    std::string in;
    std::string client;
    int code;
    Lines lines;
};

} // namespace

TEST_F(Stack, HeadsAndBodies)
{
    const Case cases[] = {
        {"CR LF", "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: 4\r\n\r\nbody",
         "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: 4\r\n\r\nbody", 200,
         {"Server: x\r\n", "Content-Length: 4\r\n"}},
        {"bare LF line ends and blank line", "HTTP/1.1 200 OK\nServer: x\n\nbody\n",
         "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nbody\n", 200, {"Server: x\r\n"}},
        {"CR-only line ends", "HTTP/1.0 404 Not Found\rServer: x\r\rgone",
         "HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\ngone", 404, {"Server: x\r\n"}},
        {"mixed line ends, LF blank line", "HTTP/1.1 200 OK\r\nA: 1\nB: 2\r\n\nX\n",
         "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\nX\n", 200, {"A: 1\r\n", "B: 2\r\n"}},
        {"the LF after a CR-only blank line", "HTTP/1.1 200 OK\rA: 1\r\r\nbody",
         "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nbody", 200, {"A: 1\r\n"}},
        {"blanks and a tab before the code", "HTTP/1.1 \t 201 Created\r\n\r\n",
         "HTTP/1.1 \t 201 Created\r\n\r\n", 201, {}},
        {"code followed by text", "HTTP/1.1 302x\r\nLocation: /\r\n\r\n", "HTTP/1.1 302x\r\nLocation: /\r\n\r\n",
         302, {"Location: /\r\n"}},
        {"POST / HTTP/1.0 becomes a 200", "POST / HTTP/1.0\r\nA: b\r\n\r\nx", "HTTP/1.0 200 OK\r\nA: b\r\n\r\nx",
         200, {"A: b\r\n"}},
        {"Keep-Alive anywhere drops the line",
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nKeep-Alive: timeout=5\r\nX-Note: a KEEP-ALIVE b\r\n"
         "Content-Length: 2\r\n\r\nok",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 200, {"Content-Length: 2\r\n"}},
        {"304 with a body", "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\nstray body",
         "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n", 304, {"ETag: \"x\"\r\n"}},
        {"a line without a colon is kept", "HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n",
         "HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n", 200, {"NoColonHere\r\n"}},
        {"zero bytes in the body", std::string("HTTP/1.1 200 OK\r\n\r\n\0a\0", 22),
         std::string("HTTP/1.1 200 OK\r\n\r\n\0a\0", 22), 200, {}},
        {"HTTP/0.9", "<html>hello</html>\n<p>more", kHead09 + "<html>hello</html>\n<p>more", 200, kLines09},
        {"HTTP/0.9 with zero bytes", std::string("a\0b\r\n\0", 6), kHead09 + std::string("a\0b\r\n\0", 6), 200,
         kLines09},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = feed_every_way(c.in);
        EXPECT_EQ(o.client, c.client);
        EXPECT_EQ(o.store.code, c.code);
        EXPECT_EQ(o.store.lines, c.lines);
        EXPECT_EQ(o.store.phase, HT_STACK_BODY);
    }
}

TEST_F(Stack, FirstLinesWithoutACodeAreHttp09)
{
    const char *const firsts[] = {
        "HTTP/1.1 OK",                 // no number after the blank
        "HTTP/1.1",                    // no blank
        "HTTP/1.1    ",                // nothing after the blanks
        "HTTP/1.1 000 Zero",           // zero
        "HTTP/1.1 2000 Four digits",   // more than three digits
        "HTTP/1.1 99999999999999999999 Overflow",
        "http/1.1 200 OK",             // "HTTP" is case-sensitive
        " HTTP/1.1 200 OK",
        "",                            // an empty first line
    };
    for (const char *first : firsts) {
        SCOPED_TRACE(first);
        const std::string in = std::string(first) + "\r\nA: b\r\n\r\nrest";
        const Outcome o = feed_every_way(in);
        EXPECT_EQ(o.client, kHead09 + in); // the whole answer is body
        EXPECT_EQ(o.store.code, 200);
        EXPECT_EQ(o.store.status_line, "HTTP/1.0 200 Probably OK\r\n");
        EXPECT_EQ(g->session->keepalive_count, -1);
    }
}

TEST_F(Stack, WarningNamesThisProxy)
{
    cfg.proxy_port = 80; // the usual port is not written
    const Outcome o = feed("junk\n", {});
    EXPECT_EQ(o.store.lines.at(0),
              "Warning: 299 proxy.test \"Origin server sent an HTTP/0.9 response; translated to HTTP/1.x by proxy.\"\r\n");
}

TEST_F(Stack, HeadBound)
{
    const std::string status = "HTTP/1.1 200 OK\r\n";
    // A head of exactly HT_STACK_HEAD_MAX bytes passes; one byte more stops the response.
    for (size_t extra : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE(extra);
        const size_t filler = HT_STACK_HEAD_MAX - status.size() - std::string("X: \r\n\r\n").size() + extra;
        const std::string in = status + "X: " + std::string(filler, 'a') + "\r\n\r\nbody";
        const Outcome whole = feed(in, {});
        for (size_t cut : {size_t{1}, size_t{17}, size_t{20}, size_t{65530}, in.size() - 6, in.size() - 5,
                           in.size() - 4, in.size() - 1}) {
            const Outcome o = feed(in, {cut});
            EXPECT_EQ(o.client, whole.client) << cut;
            EXPECT_EQ(o.store, whole.store) << cut;
        }
        if (extra == 0) {
            EXPECT_EQ(whole.client, in);
            EXPECT_EQ(whole.store.failed, 0);
        } else {
            EXPECT_EQ(whole.client, "");
            EXPECT_EQ(whole.store.failed, 1);
            EXPECT_EQ(HTStreamStackStatus_failed(g), 1);
        }
    }
    // Many short lines over the bound, and nothing more passes afterwards.
    std::string many = status;
    while (many.size() <= HT_STACK_HEAD_MAX)
        many += "X-Filler: 0123456789abcdef\r\n";
    many += "\r\nbody";
    Outcome o = feed(many, {});
    EXPECT_EQ(o.client, "");
    EXPECT_EQ(o.store.failed, 1);
    CaptureSink later;
    HTStreamStackWriter("more", 4, later.as_stream(), nullptr, g);
    HTClientRespHeaders_checkHeaderSanity(later.as_stream(), g);
    EXPECT_EQ(later.out, "");
    // The carry-over of a line never grows past the bound.
    next_request();
    CaptureSink sink;
    const std::string chunk(4096, 'b');
    HTStreamStackWriter(status.data(), static_cast<int>(status.size()), sink.as_stream(), nullptr, g);
    HTStreamStackWriter("X: ", 3, sink.as_stream(), nullptr, g);
    for (int i = 0; i < 40; ++i)
        HTStreamStackWriter(chunk.data(), static_cast<int>(chunk.size()), sink.as_stream(), nullptr, g);
    EXPECT_EQ(HTStreamStackStatus_failed(g), 1);
    EXPECT_LE(HTStreamStack_store(g)->partial_capacity, size_t{2} * HT_STACK_HEAD_MAX);
    EXPECT_EQ(sink.out, "");
}

TEST_F(Stack, OverLongStatusLineIsHttp09)
{
    for (const std::string &end : {std::string(), std::string("\r\nA: b\r\n\r\nbody")}) {
        const std::string in = std::string(HT_STACK_LINE_MAX + 10, 's') + end;
        const Outcome whole = feed(in, {});
        EXPECT_EQ(whole.client, kHead09 + in);
        for (size_t cut : {size_t{1}, size_t{HT_STACK_LINE_MAX - 1}, size_t{HT_STACK_LINE_MAX},
                           size_t{HT_STACK_LINE_MAX + 1}, in.size() - 1}) {
            const Outcome o = feed(in, {cut});
            EXPECT_EQ(o.client, whole.client) << cut;
            EXPECT_EQ(o.store, whole.store) << cut;
        }
        EXPECT_LE(HTStreamStack_store(g)->partial_capacity, size_t{2} * HT_STACK_LINE_MAX);
    }
}

TEST_F(Stack, RandomCutsOfLongHeads)
{
    std::string in = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 300; ++i)
        in += "X-H" + std::to_string(i) + ": " + std::string(static_cast<size_t>(i % 37), 'v') + (i % 3 ? "\r\n" : "\n");
    in += "\r\nbody bytes";
    const Outcome whole = feed(in, {});
    std::mt19937 rng(15);
    for (int round = 0; round < 50; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 0;;) {
            at += 1 + rng() % 200;
            if (at >= in.size())
                break;
            cuts.push_back(at);
        }
        const Outcome o = feed(in, cuts);
        ASSERT_EQ(o.client, whole.client) << round;
        ASSERT_EQ(o.store, whole.store) << round;
    }
    EXPECT_EQ(whole.store.lines.size(), 300u);
}

TEST_F(Stack, PluginLinesMergedByName)
{
    next_request();
    for (const char *line : {"Set-Cookie|b=2", "Set-Cookie|c=3", "Cache-Control|no-store", "Warning|199 p",
                             "Pragma|x", "Connection|upgrade", "Via|1.0 p", "X-Other|plugin", "X-New|1"}) {
        const std::string l = line;
        const size_t bar = l.find('|');
        ASSERT_NE(HTClientRespHeaders_addHeader(l.substr(0, bar).c_str(), l.substr(bar + 1).c_str(), g), nullptr);
    }
    EXPECT_EQ(HTStreamStack_store(g)->pending, 1);
    const std::string head =
        "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nCache-Control: max-age=60\r\nWarning: 110 x\r\n"
        "Pragma: no-cache\r\nConnection: close\r\nVia: 1.1 o\r\nX-Other: origin\r\nContent-Type: text/html\r\n\r\n";
    CaptureSink sink;
    run(head + "body", {}, sink);
    const Lines expected = {"Set-Cookie: a=1\r\n",  "Cache-Control: max-age=60\r\n", "Warning: 110 x\r\n",
                            "Pragma: no-cache\r\n", "Connection: close\r\n",         "Via: 1.1 o\r\n",
                            "Content-Type: text/html\r\n", "Set-Cookie: b=2\r\n",     "Set-Cookie: c=3\r\n",
                            "X-Other: plugin\r\n",  "X-New: 1\r\n"};
    EXPECT_EQ(view_of(g).lines, expected);
    std::string client = "HTTP/1.1 200 OK\r\n";
    for (const std::string &l : expected)
        client += l;
    EXPECT_EQ(sink.out, client + "\r\nbody");
    EXPECT_EQ(HTStreamStack_store(g)->plugin, nullptr);
    EXPECT_EQ(HTStreamStack_store(g)->pending, 0);

    // With the no-merge word set the plug-in lines wait.
    next_request();
    g->no_merge = 1;
    HTClientRespHeaders_addHeader("X-Late", "1", g);
    CaptureSink unmerged;
    run("HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", {}, unmerged);
    EXPECT_EQ(unmerged.out, "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n");
    EXPECT_EQ(HTStreamStack_store(g)->pending, 1);
    g->no_merge = 0;
    HTStreamStackStatus_mergeHeaders(g);
    EXPECT_EQ(view_of(g).lines, (Lines{"A: 1\r\n", "X-Late: 1\r\n"}));
}

TEST_F(Stack, MergeWithoutAResponseHead)
{
    HTClientRespHeaders_addHeader("X-A", "1", g);
    HTClientRespHeaders_addHeader("X-A", "2", g); // the second replaces the first
    HTStreamStackStatus_mergeHeaders(g);
    EXPECT_EQ(view_of(g).lines, (Lines{"X-A: 2\r\n"}));
    HTStreamStackStatus_mergeHeaders(g); // nothing waits: nothing changes
    EXPECT_EQ(view_of(g).lines, (Lines{"X-A: 2\r\n"}));
}

TEST_F(Stack, HeadWriterAnswers)
{
    const std::string in = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nA: 1\r\n\r\nbody";
    // "Taken": the store starts again and the rest of the block is the next response.
    const Outcome whole = [&] {
        next_request();
        CaptureSink sink;
        sink.answers = {HT_HEADERS_TAKEN};
        run(in, {}, sink);
        EXPECT_EQ(sink.heads, 2);
        return Outcome{sink.out, view_of(g)};
    }();
    EXPECT_EQ(whole.client, in);
    EXPECT_EQ(whole.store.code, 200);
    for (size_t k = 1; k < in.size(); ++k) {
        next_request();
        CaptureSink sink;
        sink.answers = {HT_HEADERS_TAKEN};
        run(in, {k}, sink);
        EXPECT_EQ(sink.out, whole.client) << k;
        EXPECT_EQ(view_of(g), whole.store) << k;
    }
    // "Taken, drop the rest": the block's remainder goes nowhere; the next block is a new response.
    next_request();
    CaptureSink drop;
    drop.answers = {HT_HEADERS_TAKEN_DROP};
    run(in, {}, drop);
    EXPECT_EQ(drop.out, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(HTStreamStack_store(g)->reset, 1);
    EXPECT_EQ(HTStreamStack_store(g)->status_code, -1);
    HTStreamStackWriter("HTTP/1.1 204 No Content\r\n\r\n", 27, drop.as_stream(), nullptr, g);
    EXPECT_EQ(drop.out, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n");
    EXPECT_EQ(HTStreamStack_store(g)->reset, 0);
}

TEST_F(Stack, SanityOnFree)
{
    const struct {
        const char *what;
        std::string in;
        std::string client;
        int purges;
    } cases[] = {
        {"head without its blank line", "HTTP/1.1 200 OK\r\nA: 1\r\n", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", 1},
        {"half a header line", "HTTP/1.1 200 OK\r\nA: 1\r\nB:", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", 1},
        {"a status line without its end", "HTTP/1.1 204 No Content", "HTTP/1.1 204 No Content\r\n\r\n", 1},
        {"an HTTP/0.9 answer without a line end", "hello", kHead09 + "hello", 0},
        {"a complete head", "HTTP/1.1 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", 0},
        {"waiting for the LF after the blank line", "HTTP/1.1 200 OK\r\n\r", "HTTP/1.1 200 OK\r\n\r\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        next_request();
        CaptureSink sink;
        run(c.in, {}, sink);
        HTClientRespHeaders_checkHeaderSanity(sink.as_stream(), g);
        HTClientRespHeaders_checkHeaderSanity(sink.as_stream(), g); // the head goes once
        EXPECT_EQ(sink.out, c.client);
        EXPECT_EQ(sink.purges, c.purges);
    }
}

TEST_F(Stack, HeaderFilter)
{
    HTList *ignore = HTList_new(g);
    char server[] = "Server", powered[] = "x-powered";
    HTList_appendObject(ignore, server, g);
    HTList_appendObject(ignore, powered, g);
    const struct {
        const char *what;
        std::string in;
        std::string client;
    } cases[] = {
        {"CR LF lines", "HTTP/1.1 200 OK\r\nServer: nginx\r\nX-Powered-By: php\r\nServer-Timing: 1\r\n"
                        "A: 1\r\nServer: last\r\n\r\nServer: a body line\nX-Powered: too\n",
         "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nServer: a body line\nX-Powered: too\n"},
        {"LF lines", "HTTP/1.1 200 OK\nServer: x\nA: 1\n\nbody", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nbody"},
        // Lines end at a CR as well: the status line does not swallow the rest.
        {"CR-only lines", "HTTP/1.0 404 Not Found\rServer: x\rA: 1\r\rgone",
         "HTTP/1.0 404 Not Found\r\nA: 1\r\n\r\ngone"},
        // Starts of ignored names are held until the line tells; then they go on.
        {"short lines", "HTTP/1.1 200 OK\rX-\nServ\r\nServer\nA: 1\n\nb",
         "HTTP/1.1 200 OK\r\nX-\r\nServ\r\nA: 1\r\n\r\nb"},
        {"a status line that names an ignored header", "Server says hi\n",
         kHead09 + "Server says hi\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (size_t k = 0; k < c.in.size(); ++k) {
            next_request();
            g->ignore_headers = ignore;
            CaptureSink sink;
            if (k > 0)
                HTStreamStackWriterWriteHeader(c.in.data(), static_cast<int>(k), sink.as_stream(), nullptr, g);
            HTStreamStackWriterWriteHeader(c.in.data() + k, static_cast<int>(c.in.size() - k), sink.as_stream(),
                                           nullptr, g);
            ASSERT_EQ(sink.out, c.client) << k;
        }
    }
    g->ignore_headers = nullptr;
    HTList_delete(ignore, g);
}

TEST_F(Stack, PassThroughToThePlainWriter)
{
    const std::string in = "HTTP/1.1 200 OK\r\nKeep-Alive: timeout=5\r\n\r\nbody";
    CaptureSink writer;
    writer.type = HT_STREAM_TYPE_WRITER;
    int state = -1;
    HTStreamStackWriter(in.data(), static_cast<int>(in.size()), writer.as_stream(), &state, g);
    EXPECT_EQ(writer.out, in); // unchanged, Keep-Alive and all
    EXPECT_EQ(state, HT_STACK_BODY);
    HTClientRespHeaders_checkHeaderSanity(writer.as_stream(), g); // nothing is left to send
    EXPECT_EQ(writer.out, in);
    EXPECT_EQ(writer.heads, 0);
    // A logging plug-in, a post-exit plug-in or user headers need the head parsed.
    for (unsigned flag : {HT_PLUGIN_LOG, HT_PLUGIN_POSTEXIT, HT_PLUGIN_USER_HEADERS}) {
        plugin_flags = flag;
        next_request();
        CaptureSink parsed;
        parsed.type = HT_STREAM_TYPE_WRITER;
        run(in, {}, parsed);
        EXPECT_EQ(parsed.out, "HTTP/1.1 200 OK\r\n\r\nbody") << flag;
    }
}

TEST_F(Stack, NoStoreWithoutTheModule)
{
    // A thread whose context has no store passes the bytes on and edits nothing.
    void *store = g->client_resp_headers;
    g->client_resp_headers = nullptr;
    CaptureSink sink;
    HTStreamStackWriter("HTTP/1.1 200 OK\r\n\r\n", 19, sink.as_stream(), nullptr, g);
    EXPECT_EQ(sink.out, "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(HTClientRespHeaders_addHeader("A", "b", g), nullptr);
    EXPECT_EQ(HTClientRespHeaders_getValue("A", g), nullptr);
    HTClientRespHeaders_checkHeaderSanity(sink.as_stream(), g);
    HTStreamStackStatus_init(g);
    g->client_resp_headers = store;
}

TEST_F(Stack, RunningOutOfMemory)
{
    std::string in = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 200; ++i)
        in += "X-Header-" + std::to_string(i) + ": " + std::string(200, 'v') + "\r\n";
    in += "\r\nbody";
    // A fresh request and sink before every run; the head is cut into
    // pieces so that carry-overs grow as well.
    unsigned long n = 1;
    for (;; ++n) {
        next_request();
        HTClientRespHeaders_addHeader("X-Plugin", "1", g);
        CaptureSink s;
        auto op = [&] {
            for (size_t at = 0; at < in.size(); at += 333)
                HTStreamStackWriter(in.data() + at, static_cast<int>(std::min<size_t>(333, in.size() - at)),
                                    s.as_stream(), nullptr, g);
        };
        const bool failed = htc_fail_at(n, op);
        if (!failed) {
            EXPECT_EQ(s.out.substr(s.out.size() - 4), "body");
            EXPECT_EQ(view_of(g).lines.size(), 201u);
            break;
        }
        // A failed run sent at most a whole head, never a damaged one.
        EXPECT_TRUE(s.out.empty() || s.out.find("X-Plugin: 1\r\n\r\n") != std::string::npos) << n;
    }
    EXPECT_GT(n, 1u);
}

TEST_F(Stack, TracingChangesNothing)
{
    // Every trace of the writer and the store on.
    HtcTraceLog trace({HT_TRACE_STACK, HT_TRACE_PERSIST, HT_TRACE_TCP});
    const std::string heads[] = {
        "HTTP/1.1 200 OK\r\nA: 1\r\nKeep-Alive: x\r\n\r\nbody", "HTTP/1.0 404 Not Found\rServer: x\r\rgone",
        "plain text\n", "HTTP/1.1 304 Not Modified\n\nbody", "HTTP/1.1 2000 x\r\n\r\n", "HTTP/1.1    \r\n",
        "HTTP/1.1 200 OK\r\nX:" + std::string(HT_STACK_HEAD_MAX, 'x'),
    };
    std::vector<std::string> traced;
    for (const std::string &h : heads)
        traced.push_back(feed(h, {h.size() / 2}).client);
    next_request();
    HTClientRespHeaders_addHeader("X-A", "1", g);
    HTClientRespHeaders_setHeaderValue("X-A", "2", HT_HEADER_REPLACE, g);
    HTClientRespHeaders_setHeaderValue("X-A", "3", HT_HEADER_ADD, g);
    HTClientRespHeaders_setHeaderValue("X-A", nullptr, HT_HEADER_DELETE_ALL, g);
    CaptureSink sink;
    run("HTTP/1.1 200 OK\r\n", {}, sink);
    HTClientRespHeaders_checkHeaderSanity(sink.as_stream(), g);
    const std::string text = trace.stop();
    for (size_t i = 0; i < std::size(heads); ++i)
        EXPECT_EQ(traced[i], feed(heads[i], {}).client) << i;
    for (const char *expected : {"Parsed...... status line \"HTTP/1.1 200 OK\".", "Tween....... decks ate an <LF>",
                                 "Ungot....... LF from the LF-only blank line", "Added....... header \"A: 1\".",
                                 "Cache....... I got HTTP0 response back - how rude!",
                                 "Sending..... 3 synthesized headers.", "Stack: KA Connecion close (0.9)",
                                 "Send........ do not send body in 304 reply",
                                 "Cache....... HTTP return code is bogus. Assuming HTTP/0.9.",
                                 "Cache....... never found an HTTP return code",
                                 "Stack....... replacing 1 occurences of \"X-A\" with \"2\".",
                                 "Stream...... stack in state Headers (2) on free - yuck!"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
}
