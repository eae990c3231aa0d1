// Request body reads (plain and chunked), the stored copy and its limit, and
// response writes by step.

#include "plugrt_fixture.h"

#include "mogrify.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

namespace {

using orvhost::Request;

class Body : public PlugrtTest {
protected:
    // One HTTPD_read with a buffer of `size`; the bytes it gave in *got.
    long read(std::size_t size, std::string *got = nullptr, Request *r = nullptr)
    {
        std::vector<char> buffer(size ? size : 1);
        unsigned long n = size;
        long rc = -99;
        api->HTREAD(r ? r->handle() : h, buffer.data(), &n, &rc);
        last_length = n;
        if (got)
            *got = rc == 0 || rc == 8 ? std::string(buffer.data(), n) : std::string();
        return rc;
    }
    long write(const std::string &data, Request *r = nullptr)
    {
        unsigned long n = data.size();
        long rc = -99;
        api->HTWRITE(r ? r->handle() : h, data.data(), &n, &rc);
        return rc;
    }
    bool traced(const std::string &line)
    {
        const auto t = traces();
        return std::find(t.begin(), t.end(), line) != t.end();
    }
};

} // namespace

TEST_F(Body, LastChunkAloneEndsAtOnce)
{
    rq->set_body("0\r\n\r\n", SIZE_MAX, true);
    EXPECT_EQ(read(64), HTTPD_END_OF_BODY);
    EXPECT_EQ(last_length, 0u);
    EXPECT_EQ(rq->stored_body(), "0\r\n\r\n");
    // Later reads take the plain path and report the end.
    EXPECT_EQ(rq->header().transfer_coding, nullptr);
    EXPECT_EQ(read(64), HTTPD_END_OF_BODY);
    EXPECT_EQ(rq->stored_body(), "0\r\n\r\n");
}

TEST_F(Body, ChunkThatExactlyFillsTheBufferComesWithTheEnd)
{
    const std::string body = "5\r\nhello\r\n0\r\n\r\n";
    rq->set_body(body, SIZE_MAX, true);
    std::string got;
    EXPECT_EQ(read(5, &got), HTTPD_END_OF_BODY);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(rq->stored_body(), body);
}

TEST_F(Body, BufferTooSmallForAChunkGivesItsSize)
{
    rq->set_body("5\r\nhello\r\n0\r\n\r\n", SIZE_MAX, true);
    trace_on();
    EXPECT_EQ(read(4), HTTPD_BUFFER_TOO_SMALL);
    EXPECT_EQ(last_length, 5u);
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() not enough room in buffer for 5 size chunk.\n"));
    EXPECT_EQ(rq->stored_body(), "");
    std::string got;
    EXPECT_EQ(read(5, &got), HTTPD_END_OF_BODY);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(rq->stored_body(), "5\r\nhello\r\n0\r\n\r\n");
}

TEST_F(Body, ChunkIsNeverSplitButFollowingChunksWait)
{
    rq->set_body("3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n", SIZE_MAX, true);
    std::string got;
    EXPECT_EQ(read(5, &got), HTTPD_SUCCESS);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(read(5, &got), HTTPD_END_OF_BODY);
    EXPECT_EQ(got, "defg");
    EXPECT_EQ(rq->stored_body(), "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n");
}

TEST_F(Body, SizeLines)
{
    const std::string filler34(33, '0');
    const struct {
        std::string body;
        long code;
        const char *data;
    } rows[] = {
        {"5;name=value\r\nhello\r\n0\r\n\r\n", 8, "hello"},
        {"5 ; ext\r\nhello\r\n0\r\n\r\n", 8, "hello"},
        {"A\r\n0123456789\r\n0\r\n\r\n", 8, "0123456789"},
        {"a\n0123456789\n0\n\n", 8, "0123456789"},
        {filler34 + "5\nhello\r\n0\r\n\r\n", 8, "hello"},          // 34 bytes before the LF
        {filler34 + "5\r\nhello\r\n0\r\n\r\n", 9, ""},             // 35, the CR counts
        {"zz\r\nhello\r\n0\r\n\r\n", 9, ""},                       // not hexadecimal
        {"\r\nhello\r\n0\r\n\r\n", 9, ""},                         // empty
        {"-1\r\nx\r\n0\r\n\r\n", 9, ""},                           // a sign
        {"+5\r\nhello\r\n0\r\n\r\n", 9, ""},
        {"0x5\r\nhello\r\n0\r\n\r\n", 9, ""},                      // a prefix
        {"5x\r\nhello\r\n0\r\n\r\n", 9, ""},                       // trailing garbage
        {"5\rx\nhello\r\n0\r\n\r\n", 9, ""},                       // a CR inside the line
        {"80000000\r\nabc", 9, ""},                                // overflow
        {"FFFFFFFFFFFFFFFF\r\n", 9, ""},
        {"5\r\nhel", 9, ""},                                       // the input ends inside a chunk
        {"5\r\nhello", 9, ""},                                     // ... before its line end
        {"5", 9, ""},                                              // ... inside a size line
        {"5;ext", 9, ""},                                          // ... inside an extension
    };
    for (const auto &r : rows) {
        Request q;
        q.set_body(r.body, SIZE_MAX, true);
        std::string got;
        EXPECT_EQ(read(1024, &got, &q), r.code) << r.body;
        EXPECT_EQ(got, r.data) << r.body;
        if (r.code == 9) {
            EXPECT_EQ(last_length, 0u);
            EXPECT_EQ(q.stored_body(), "") << r.body;
        }
    }
}

TEST_F(Body, LargestChunkSizeIsAccepted)
{
    rq->set_body("7FFFFFFF\r\nabc", SIZE_MAX, true);
    EXPECT_EQ(read(1024), HTTPD_BUFFER_TOO_SMALL);
    EXPECT_EQ(last_length, 0x7FFFFFFFul);
}

TEST_F(Body, BadSizeLineAfterAChunkInTheSameCallIsAnError)
{
    // Garbage reads as size 0 to a lenient parser, which would end the body here.
    rq->set_body("3\r\nabc\r\nxyz\r\n", SIZE_MAX, true);
    EXPECT_EQ(read(64), HTTPD_BODY_FAILURE);
    EXPECT_EQ(last_length, 0u);
}

TEST_F(Body, FramingErrorDiscardsTheCopyAndSticks)
{
    trace_on();
    rq->set_body("3\r\nabc\r\n5\r\nhello\r\nq\r\n0\r\n\r\n", SIZE_MAX, true);
    std::string got;
    EXPECT_EQ(read(4, &got), HTTPD_SUCCESS);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(rq->stored_body(), "3\r\nabc\r\n");
    EXPECT_EQ(read(64), HTTPD_BODY_FAILURE);
    EXPECT_EQ(rq->stored_body(), "");
    EXPECT_EQ(rq->api()->chunk_state, HTAPI_CHUNK_FAILED);
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() protocol violation, not a valid chunk size.\n"));
    // The dump shows the line with its control bytes as 'x' (the CR kept).
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() dumping chunk size buffer q\r.\n"));
    EXPECT_EQ(read(64), HTTPD_BODY_FAILURE);
    EXPECT_EQ(last_length, 0u);
    EXPECT_EQ(rq->stored_body(), "");
}

TEST_F(Body, OverflowIsTracedInItsCategory)
{
    trace_on();
    rq->set_body("100000000\r\n", SIZE_MAX, true);
    EXPECT_EQ(read(64), HTTPD_BODY_FAILURE);
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() chunk size overflow error.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() dumping chunk size buffer 100000000\r.\n"));
}

TEST_F(Body, TrailersAreConsumedThroughTheEmptyLine)
{
    rq->set_body("3\r\nabc\r\n0;last\r\nX-Sum: 1\r\nY: 2\r\n\r\nNEXT", SIZE_MAX, true);
    std::string got;
    EXPECT_EQ(read(64, &got), HTTPD_END_OF_BODY);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(rq->source.left(), 4u);
    EXPECT_EQ(rq->stored_body(), "3\r\nabc\r\n0\r\n\r\n");
}

TEST_F(Body, SkippedBytesAreTracedAtTheCommonLibrarysLevel66)
{
    rq->set_body("3;e\r\nabc\r\n0\r\n\r\n", SIZE_MAX, true);
    trace_on(44);
    EXPECT_EQ(read(64), HTTPD_END_OF_BODY);
    for (const auto &l : traces())
        EXPECT_EQ(l.find("skipped (hex)"), std::string::npos) << l;
    Request q;
    q.set_body("3;e\r\nabc\r\n0\r\n\r\n", SIZE_MAX, true);
    trace_on(66);
    EXPECT_EQ(read(64, nullptr, &q), HTTPD_END_OF_BODY);
    EXPECT_TRUE(traced("plug-in .... HTTPD_read() reading chunked data.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() skipped (hex) char 101 looking for LF terminating extension.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() skipped (hex) char 13 looking for LF terminating extension.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() skipped (hex) char 13 looking for LF terminating chunk.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() skipped (hex) char 13 looking for LF terminating message.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() chunk size=3.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() 3 bytes copied to buffer.\n"));
    EXPECT_TRUE(traced("plug-in..... HTTPD_read() chunk size=0, message done!!.\n"));
}

TEST_F(Body, PlainBodies)
{
    rq->set_body("0123456789");
    std::string got;
    EXPECT_EQ(read(16, &got), HTTPD_END_OF_BODY);
    EXPECT_EQ(got, "0123456789");
    EXPECT_EQ(read(16), HTTPD_END_OF_BODY);
    EXPECT_EQ(last_length, 0u);

    Request q;
    q.set_body("0123456789", 3);
    EXPECT_EQ(read(4, &got, &q), HTTPD_SUCCESS);
    EXPECT_EQ(got, "012");
    EXPECT_EQ(read(100, &got, &q), HTTPD_SUCCESS);
    EXPECT_EQ(got, "345");
    EXPECT_EQ(read(2, &got, &q), HTTPD_SUCCESS);
    EXPECT_EQ(got, "67");
    EXPECT_EQ(read(100, &got, &q), HTTPD_END_OF_BODY);
    EXPECT_EQ(got, "89");
    EXPECT_EQ(q.stored_body(), "0123456789");
    // The host said more bytes would come, but the input ended.
    EXPECT_EQ(q.handle()->body_left, 0u);

    Request early;
    early.set_body("abc");
    early.handle()->body_left = 10;
    EXPECT_EQ(read(100, &got, &early), HTTPD_SUCCESS);
    EXPECT_EQ(read(100, &got, &early), HTTPD_END_OF_BODY);
    EXPECT_EQ(last_length, 0u);
}

TEST_F(Body, ALengthOf2147483647IsNotSupported)
{
    rq->set_body("abc");
    char b[4];
    unsigned long n = 2147483647ul;
    long rc = -99;
    api->HTREAD(h, b, &n, &rc);
    EXPECT_EQ(rc, HTTPD_UNSUPPORTED);
}

TEST_F(Body, ReadsOnlyInTheirSteps)
{
    for (int step : {0, 1, 4, 5, 6, 7, 8, 9, 11, 12, 14}) {
        Request q(step);
        q.set_body("x");
        const bool allowed = step == 1 || step == 5 || step == 6 || step == 7 || step == 8;
        EXPECT_EQ(read(4, nullptr, &q), allowed ? HTTPD_END_OF_BODY : HTTPD_WRONG_STEP) << step;
    }
}

TEST_F(Body, PreReadFlagCallsTheHostFirst)
{
    rq->set_body("ab");
    h->preread = 1;
    EXPECT_EQ(read(1), HTTPD_SUCCESS);
    EXPECT_EQ(rq->prereads, 1);
    EXPECT_EQ(read(1), HTTPD_END_OF_BODY);
    EXPECT_EQ(rq->prereads, 1);
}

TEST_F(Body, StoredBodyLimit)
{
    trace_on();
    rq->set_body(std::string(150, 'b'));
    h->body_limit = 100;
    EXPECT_EQ(read(60), HTTPD_SUCCESS);
    EXPECT_EQ(last_length, 60u);
    EXPECT_EQ(read(60), HTTPD_BODY_FAILURE);
    EXPECT_EQ(last_length, 0u);
    EXPECT_EQ(rq->stored_body(), "");
    EXPECT_TRUE(traced("Stored...... request body 120 bytes exceed the limit 100, return failed.\n"));
    // The copy stays refused: what follows must not be forwarded as the body.
    EXPECT_EQ(read(60), HTTPD_BODY_FAILURE);
    EXPECT_EQ(rq->stored_body(), "");
}

TEST_F(Body, StoredBodyGrowth)
{
    trace_on();
    unsigned long n = 10;
    long rc = 0;
    const std::string block(10, 'x');
    api->copyToProxyBuffer(h, block.data(), &n, &rc, 0);
    api->copyToProxyBuffer(h, block.data(), &n, &rc, 0);
    api->copyToProxyBuffer(h, block.data(), &n, &rc, 1);
    rc = HTTPD_END_OF_BODY;
    unsigned long none = 0;
    api->copyToProxyBuffer(h, nullptr, &none, &rc, 1);
    EXPECT_EQ(rc, HTTPD_END_OF_BODY);
    EXPECT_EQ(rq->stored_body(), block + block + "a\r\n" + block + "\r\n0\r\n\r\n");
    // Each step grows by the capacity (or the block) plus the framing plus 1.
    EXPECT_EQ(traces(), (std::vector<std::string>{
                            "Stored...... rellocate space from 0B with delta 11B\n",
                            "Stored...... request body 10 bytes\n",
                            "Stored...... rellocate space from 11B with delta 12B\n",
                            "Stored...... request body 20 bytes\n",
                            "Stored...... rellocate space from 23B with delta 29B\n",
                            "Stored...... request body 35 bytes\n",
                            "Stored...... request body 40 bytes\n"}));
    // A block of nothing outside the end adds nothing.
    rc = 0;
    api->copyToProxyBuffer(h, nullptr, &none, &rc, 1);
    EXPECT_EQ(rq->stored_body().size(), 40u);
}

TEST_F(Body, ReallocFailureDiscardsTheCopy)
{
#if defined(ORV_SANITIZED)
    GTEST_SKIP() << "the sanitizers' own mappings do not fit under an address-space limit";
#else
    // In a child: its address space limited, the stored copy cannot grow.
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        Request q;
        const std::size_t big = 64u << 20;
        q.set_body(std::string(big, 'r'), big);
        std::vector<char> buffer(big);
        struct rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        // Room for what is mapped now and a little more, not for 64 MiB.
        std::FILE *f = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (f == nullptr || std::fscanf(f, "%lu", &pages) != 1)
            _exit(3);
        std::fclose(f);
        limit.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + (4u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(3);
        void *probe = std::malloc(big);
        if (probe != nullptr)
            _exit(2); // the platform does not enforce the limit (qemu user mode)
        unsigned long n = big;
        long rc = -99;
        api->HTREAD(q.handle(), buffer.data(), &n, &rc);
        _exit(rc == HTTPD_BODY_FAILURE && n == 0 && q.handle()->body == nullptr &&
                      q.handle()->body_refused == 1
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2 || WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "RLIMIT_AS is not enforced here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

namespace {

struct Generated {
    std::string wire; // as the client sends it
    std::string data; // the decoded bytes
};

// A chunked body of random chunks, some with extensions, and random trailers.
Generated generate(std::mt19937 &rng)
{
    Generated g;
    std::uniform_int_distribution<int> chunks(0, 5), size(1, 24), coin(0, 3), byte(0, 255);
    const int n = chunks(rng);
    for (int i = 0; i < n; ++i) {
        const int s = size(rng);
        char line[32];
        std::snprintf(line, sizeof line, coin(rng) ? "%x" : "%X", s);
        g.wire += line;
        if (coin(rng) == 0)
            g.wire += ";ext=" + std::to_string(i);
        g.wire += coin(rng) == 0 ? "\n" : "\r\n";
        for (int k = 0; k < s; ++k) {
            const char c = static_cast<char>(byte(rng));
            g.wire += c;
            g.data += c;
        }
        g.wire += "\r\n";
    }
    g.wire += coin(rng) == 0 ? "0;end\r\n" : "0\r\n";
    for (int t = coin(rng); t > 1; --t)
        g.wire += "X-Trailer-" + std::to_string(t) + ": v\r\n";
    g.wire += "\r\n";
    return g;
}

} // namespace

TEST_F(Body, GeneratedChunkedBodiesWithEveryBufferAndPieceSize)
{
    std::mt19937 rng(12);
    for (int round = 0; round < 6; ++round) {
        const Generated g = generate(rng);
        for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7),
                                  std::size_t(64), SIZE_MAX}) {
            for (std::size_t room = 1; room <= 30; ++room) {
                Request q;
                q.set_body(g.wire, piece, true);
                std::string data, encoded;
                long rc = 0;
                for (int calls = 0; rc != HTTPD_END_OF_BODY; ++calls) {
                    ASSERT_LT(calls, 1000);
                    std::string got;
                    rc = read(room, &got, &q);
                    if (rc == HTTPD_BUFFER_TOO_SMALL) {
                        ASSERT_GT(last_length, room);
                        rc = read(last_length, &got, &q);
                    }
                    ASSERT_TRUE(rc == HTTPD_SUCCESS || rc == HTTPD_END_OF_BODY)
                        << rc << " round " << round << " piece " << piece << " room " << room;
                    data += got;
                    if (!got.empty()) {
                        char line[32];
                        std::snprintf(line, sizeof line, "%zx\r\n", got.size());
                        encoded += line + got + "\r\n";
                    }
                }
                encoded += "0\r\n\r\n";
                EXPECT_EQ(data, g.data);
                EXPECT_EQ(q.stored_body(), encoded);
                EXPECT_EQ(q.source.left(), 0u);
            }
        }
    }
}

TEST_F(Body, WritesGoToTheResponseInTheResponseSteps)
{
    for (int step : {1, 5, 6, 7, 11}) {
        Request q(step);
        EXPECT_EQ(write("abc", &q), HTTPD_SUCCESS) << step;
        EXPECT_EQ(write("def", &q), HTTPD_SUCCESS) << step;
        EXPECT_EQ(q.sink.data, "abcdef") << step;
        EXPECT_EQ(q.api()->output, q.sink.stream());
    }
    for (int step : {0, 4, 12, 14}) {
        Request q(step);
        EXPECT_EQ(write("abc", &q), HTTPD_WRONG_STEP) << step;
        EXPECT_EQ(q.sink.data, "");
    }
}

TEST_F(Body, ContentTypeChoosesAConversionStream)
{
    EXPECT_EQ(set("CONTENT_TYPE", "text/html"), HTTPD_SUCCESS);
    EXPECT_EQ(write("<p>"), HTTPD_SUCCESS);
    ASSERT_EQ(rq->conversions.size(), 1u);
    EXPECT_EQ(rq->conversions[0]->type, "text/html");
    EXPECT_EQ(rq->conversions[0]->sink, rq->sink.stream());
    EXPECT_EQ(rq->sink.data, "<p>");
    // The stream chosen first stays.
    EXPECT_EQ(set("CONTENT_TYPE", "text/plain"), HTTPD_SUCCESS);
    EXPECT_EQ(write("x"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->conversions.size(), 1u);
    EXPECT_EQ(rq->conversions[0]->written, 4u);
}

TEST_F(Body, NonParsedHeadersWriteRaw)
{
    EXPECT_EQ(set("NPH", "1"), HTTPD_SUCCESS);
    EXPECT_EQ(set("CONTENT_TYPE", "text/html"), HTTPD_SUCCESS);
    EXPECT_EQ(write("HTTP/1.0 200 OK\r\n"), HTTPD_SUCCESS);
    EXPECT_TRUE(rq->conversions.empty());
    EXPECT_EQ(rq->sink.data, "HTTP/1.0 200 OK\r\n");
}

TEST_F(Body, NoConversionFallsBackToTheRawStream)
{
    HTAPICallback t[HTAPI_NCALLBACKS];
    std::memcpy(t, orvhost::Host::get().table(), sizeof t);
    auto none = [](void *, const char *, HTStream *) noexcept -> HTStream * { return nullptr; };
    t[HTCB_CONVERSION_STREAM] = reinterpret_cast<HTAPICallback>(+none);
    api->set_api_callbacks(t);
    EXPECT_EQ(set("CONTENT_TYPE", "image/gif"), HTTPD_SUCCESS);
    EXPECT_EQ(write("GIF89a"), HTTPD_SUCCESS);
    api->set_api_callbacks(orvhost::Host::get().table());
    EXPECT_EQ(rq->sink.data, "GIF89a");
}

TEST_F(Body, NoClientStreamGives1)
{
    rq->header().output = nullptr;
    EXPECT_EQ(write("x"), HTTPD_FAILURE);
}

TEST_F(Body, DataFilterStepWritesToTheExistingStream)
{
    Request q(HTAPI_STEP_DATA_FILTER);
    EXPECT_EQ(write("x", &q), HTTPD_FAILURE);
    orvhost::MemorySink next;
    q.api()->output = next.stream();
    EXPECT_EQ(write("filtered", &q), HTTPD_SUCCESS);
    EXPECT_EQ(next.data, "filtered");
    EXPECT_EQ(q.sink.data, "");
}

TEST_F(Body, TransmogrifierStepWritesDownstream)
{
    trace_on();
    Request q(HTAPI_STEP_TRANSMOGRIFIER);
    EXPECT_EQ(write("x", &q), HTTPD_WRONG_STEP);
    EXPECT_TRUE(traced("plug-in..... no tr data available, returning 4\n"));
    orvhost::MemorySink downstream;
    plugrt::TransmogrifierHead tr{nullptr, downstream.stream(), plugrt::kTrInitial};
    q.api()->transmogrifier = &tr;
    for (int state : {plugrt::kTrInitial, plugrt::kTrOpening, plugrt::kTrClosing, plugrt::kTrDone,
                      plugrt::kTrDisabled}) {
        tr.state = state;
        EXPECT_EQ(write("x", &q), HTTPD_WRONG_STEP) << state;
        EXPECT_TRUE(traced("plug-in..... unable to write, returning " + std::to_string(state) + "\n"));
    }
    tr.state = plugrt::kTrOpen;
    EXPECT_EQ(write("mog", &q), HTTPD_SUCCESS);
    EXPECT_EQ(tr.state, plugrt::kTrWritten);
    EXPECT_EQ(write("rified", &q), HTTPD_SUCCESS);
    EXPECT_EQ(downstream.data, "mogrified");
    EXPECT_EQ(q.api()->output, downstream.stream());
}

TEST_F(Body, NoOutputFlagAndDecidedResponses)
{
    rq->api()->flags |= HTAPI_FLAG_NO_OUTPUT;
    EXPECT_EQ(write("x"), HTTPD_NO_OUTPUT);
    rq->api()->flags &= ~HTAPI_FLAG_NO_OUTPUT;
    for (int status : {304, 412}) {
        Request q;
        q.api()->status = status;
        EXPECT_EQ(write("x", &q), HTTPD_BODY_FAILURE) << status;
        // An output stream chosen before the condition failed still takes writes.
        q.api()->output = q.sink.stream();
        EXPECT_EQ(write("y", &q), HTTPD_SUCCESS) << status;
        EXPECT_EQ(q.sink.data, "y");
    }
}

TEST_F(Body, FailedStreamWriteGives9)
{
    rq->sink.fail_writes = true;
    EXPECT_EQ(write("x"), HTTPD_BODY_FAILURE);
}
