// The data filter, CGI and transmogrifier streams with a real C plug-in, and
// the script result loader.

#include "plugrt_fixture.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

using orvhost::Host;

template <class T> T *sym(void *lib, const char *name)
{
    return reinterpret_cast<T *>(dlsym(lib, name));
}

class Streams : public PlugrtTest {
protected:
    void SetUp() override
    {
        PlugrtTest::SetUp();
        std::string error;
        lib = orvhost::load_plugin(STREAMS_PLUGIN, &error);
        ASSERT_NE(lib, nullptr) << error;
        counts = sym<int>(lib, "counts");
        std::memset(counts, 0, 6 * sizeof(int));
        *sym<long>(lib, "filter_open_code") = 200;
        *sym<long>(lib, "module_open_code") = 200;
        *sym<long>(lib, "module_write_code") = 0;
        *sym<int>(lib, "module_fail_after") = 0;
        *sym<int>(lib, "module_opens_chain") = 1;
        *sym<int>(lib, "module_closes_chain") = 1;
        module = {"dog",
                  "dog_open",
                  "dog_write",
                  "dog_close",
                  "dog_error",
                  reinterpret_cast<void *(*)(void *, long *)>(dlsym(lib, "dog_open")),
                  reinterpret_cast<void (*)(void *, const char *, unsigned long *, void *, long *)>(
                      dlsym(lib, "dog_write")),
                  reinterpret_cast<void (*)(void *, void *, long *)>(dlsym(lib, "dog_close")),
                  reinterpret_cast<void (*)(void *, void *, long *)>(dlsym(lib, "dog_error"))};
        rq->bind();
        Host::get().want_warnings = 0;
        Host::get().fixed_now = 0;
    }
    void TearDown() override
    {
        Host::get().want_warnings = 0;
        Host::get().fixed_now = 0;
        PlugrtTest::TearDown();
    }

    HTStream *filter()
    {
        return api->HTFilterstream_new(rq->sink.stream(), sym<void(void *, long *)>(lib, "upper_open"),
                                       sym<void(void *, const char *, unsigned long *, long *)>(lib, "upper_write"),
                                       sym<void(void *, long *)>(lib, "upper_close"), h);
    }
    HTStream *mogrifier() { return api->HTTransmogrify_new(rq->sink.stream(), &module, h); }
    static int write(HTStream *s, const std::string &text)
    {
        return s->isa->write(s, text.data(), static_cast<int>(text.size()));
    }
    int warnings() const
    {
        int n = 0;
        for (const std::string &l : rq->lines())
            n += l.compare(0, 8, "Warning:") == 0;
        return n;
    }

    void *lib = nullptr;
    int *counts = nullptr;
    HTTransmogrifierModule module{};
};

TEST_F(Streams, FilterUpperCasesEveryBlockAndRestoresTheRequest)
{
    HTStream *out = rq->sink.stream();
    rq->api()->output = nullptr;
    HTStream *s = filter();
    ASSERT_NE(s, out);
    EXPECT_STREQ(s->isa->name, "DataFilterAPI");
    EXPECT_EQ(write(s, "hello "), 0);
    EXPECT_EQ(s->isa->put_character(s, 'w'), 0);
    EXPECT_EQ(s->isa->put_string(s, "orld"), 0);
    EXPECT_EQ(rq->sink.data, "HELLO WORLD");
    EXPECT_EQ(counts[0], 3);
    // The step and the output stream are the request's own again after each call.
    EXPECT_EQ(rq->handle()->request->step, HTAPI_STEP_SERVICE);
    EXPECT_EQ(rq->api()->output, nullptr);
    int status = -1;
    EXPECT_EQ(s->isa->status(s, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s->isa->free(s, nullptr), 0);
    EXPECT_EQ(counts[5], 1);
    EXPECT_EQ(rq->sink.frees, 1);
    EXPECT_EQ(warnings(), 0) << "no warnings unless the host wants them";
}

TEST_F(Streams, FilterLeftOutWithoutOpenOrAFunction)
{
    for (long code : {0L, 199L, 201L, 500L}) {
        *sym<long>(lib, "filter_open_code") = code;
        EXPECT_EQ(filter(), rq->sink.stream()) << code;
    }
    *sym<long>(lib, "filter_open_code") = 200;
    EXPECT_EQ(api->HTFilterstream_new(rq->sink.stream(), nullptr,
                                      sym<void(void *, const char *, unsigned long *, long *)>(lib, "upper_write"),
                                      sym<void(void *, long *)>(lib, "upper_close"), h),
              rq->sink.stream());
    trace_on();
    EXPECT_EQ(api->HTFilterstream_new(rq->sink.stream(), sym<void(void *, long *)>(lib, "upper_open"),
                                      nullptr, sym<void(void *, long *)>(lib, "upper_close"), h),
              rq->sink.stream());
    EXPECT_EQ(traces(), (std::vector<std::string>{
                            "plug-in..... Create a new DataFilter stream\n",
                            "plug-in..... Invalid function pointer; DataFilter disabled\n"}));
}

TEST_F(Streams, FilterAddsOneWarningAndAbortFreesTheTarget)
{
    Host::get().want_warnings = 1;
    rq->add_line("Date: Tue, 01 Dec 2026 10:00:00 GMT");
    HTStream *s = filter();
    HTStream *again = filter();
    ASSERT_NE(s, rq->sink.stream());
    ASSERT_NE(again, rq->sink.stream());
    EXPECT_EQ(warnings(), 1);
    EXPECT_EQ(rq->lines().back(),
              "Warning: 214 orvhost \"Transmogrified\" \"Tue, 01 Dec 2026 10:00:00 GMT\"");
    EXPECT_EQ(rq->handle()->request->warnings, 1);
    // Abort closes the filter and frees (not aborts) its target.
    EXPECT_EQ(s->isa->abort(s, nullptr), 0);
    EXPECT_EQ(rq->sink.frees, 1);
    EXPECT_EQ(rq->sink.aborts, 0);
}

TEST_F(Streams, CgiStreamPassesOnAndAttachesTheClientStream)
{
    HTStream *s = api->HTCGI_new(rq->sink.stream(), h);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->isa->name, "CGIDataStream");
    write(s, "abc");
    s->isa->put_character(s, 'd');
    s->isa->put_string(s, "ef");
    EXPECT_EQ(rq->sink.data, "abcdef");
    EXPECT_EQ(s->isa->free(s, nullptr), 0);
    EXPECT_EQ(rq->sink.frees, 1);

    // No target: a put and the free go to the client stream.
    HTStream *bare = api->HTCGI_new(nullptr, h);
    write(bare, "gh");
    EXPECT_EQ(rq->sink.data, "abcdefgh");
    HTStream *unused = api->HTCGI_new(nullptr, h);
    EXPECT_EQ(unused->isa->abort(unused, nullptr), 0);
    EXPECT_EQ(rq->sink.frees, 2);
    // Messages: 1 answers 0, 2 to 64 stay, others reach the target.
    int out = 9;
    EXPECT_EQ(api->HTStream_messageSender(bare, 1, &out), 0);
    EXPECT_EQ(out, 0);
    api->HTStream_messageSender(bare, 64, nullptr);
    api->HTStream_messageSender(bare, 66, nullptr);
    EXPECT_EQ(rq->sink.messages, std::vector<int>{66});
    // A stream without a target ignores a message instead of following null.
    HTStream *lonely = api->HTCGI_new(nullptr, h);
    EXPECT_EQ(api->HTStream_messageSender(lonely, 66, nullptr), 0);
    EXPECT_EQ(api->HTStream_statusNOP(lonely, &out), 0);
    rq->pool.fail_at = rq->pool.allocations + 1;
    EXPECT_EQ(api->HTCGI_new(nullptr, h), nullptr);
}

TEST_F(Streams, TransmogrifierRewritesAndDatesItsWarning)
{
    Host::get().want_warnings = 1;
    rq->add_line("Content-Type: text/plain");
    rq->add_line("Date: Tue, 01 Dec 2026 10:00:00 GMT");
    HTStream *s = mogrifier();
    ASSERT_NE(s, rq->sink.stream());
    EXPECT_STREQ(s->isa->name, "TransmogrifierAPI");
    EXPECT_EQ(s->isa->put_headers(s, &rq->response), 1);
    EXPECT_EQ(rq->sink.put_headers, 1) << "the module opened the chain";
    EXPECT_EQ(*sym<long>(lib, "last_open_rc"), HTTPD_SUCCESS);
    EXPECT_EQ(warnings(), 1);
    EXPECT_EQ(rq->lines().back(),
              "Warning: 214 orvhost \"Transmogrified\" \"Tue, 01 Dec 2026 10:00:00 GMT\"");
    EXPECT_EQ(rq->prepares, 1);
    write(s, "a cat and ");
    write(s, "another cat");
    EXPECT_EQ(rq->sink.data, "a dog and another dog");
    int count = 0;
    s->isa->message(s, HTAPI_MSG_COUNT, &count);
    EXPECT_EQ(count, 1);
    int status = 0;
    s->isa->message(s, HTAPI_MSG_STATUS, &status);
    EXPECT_EQ(status, HTAPI_TR_STATUS_ANSWER);
    s->isa->message(s, 30, nullptr);
    EXPECT_EQ(rq->sink.messages, std::vector<int>{HTAPI_MSG_COUNT});
    EXPECT_EQ(s->isa->free(s, nullptr), 0);
    EXPECT_EQ(*sym<long>(lib, "last_close_rc"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->sink.frees, 1);
    EXPECT_EQ(s->isa->free(s, nullptr), 0);
    EXPECT_EQ(rq->sink.frees, 1) << "the target is freed once";
    EXPECT_EQ(counts[3], 1);
}

TEST_F(Streams, WarningWithoutDateIsDatedNow)
{
    Host::get().want_warnings = 1;
    Host::get().fixed_now = 1798797600; // Fri, 01 Jan 2027 10:00:00 GMT
    HTStream *s = mogrifier();
    s->isa->put_headers(s, &rq->response);
    ASSERT_EQ(warnings(), 1);
    EXPECT_EQ(rq->lines().back(),
              "Warning: 214 orvhost \"Transmogrified\" \"Fri, 01 Jan 2027 10:00:00 GMT\"");
    // A response that has its Warning 214 gets no second one.
    HTStream *second = mogrifier();
    second->isa->put_headers(second, &rq->response);
    EXPECT_EQ(warnings(), 1);
    s->isa->free(s, nullptr);
    second->isa->free(second, nullptr);
}

TEST_F(Streams, NoTransformDisablesUnlessOverridden)
{
    rq->add_line("Cache-Control: no-transform");
    HTStream *s = mogrifier();
    s->isa->put_headers(s, &rq->response);
    EXPECT_EQ(counts[1], 0) << "not opened";
    EXPECT_EQ(rq->sink.messages, std::vector<int>{HTAPI_MSG_DISABLED});
    EXPECT_EQ(rq->sink.put_headers, 1);
    write(s, "a cat");
    EXPECT_EQ(rq->sink.data, "a cat");
    int count = 0;
    s->isa->message(s, HTAPI_MSG_COUNT, &count);
    EXPECT_EQ(count, 0) << "a disabled stream is not counted";
    s->isa->free(s, nullptr);
    EXPECT_EQ(counts[3], 0);
    EXPECT_EQ(rq->sink.frees, 1) << "a disabled stream still frees its target";

    rq->sink.data.clear();
    EXPECT_EQ(set("OVERRIDE_PROXY_NOTRANSFORM", "yes"), HTTPD_SUCCESS);
    ASSERT_NE(rq->api()->flags & HTAPI_FLAG_OVERRIDE_PROXY_NT, 0u);
    HTStream *t = mogrifier();
    t->isa->put_headers(t, &rq->response);
    write(t, "a cat");
    EXPECT_EQ(rq->sink.data, "a dog");
    t->isa->free(t, nullptr);
}

TEST_F(Streams, DisabledTransmogrifierTraces)
{
    rq->add_line("Cache-Control: no-transform");
    HTStream *s = mogrifier();
    trace_on();
    s->isa->put_headers(s, &rq->response);
    write(s, "x");
    s->isa->free(s, nullptr);
    s->isa->write(s, "y", 1);
    EXPECT_EQ(traces(), (std::vector<std::string>{
                            "mogrify..... NOT calling transmogrifier open \"dog\": no-transform header.\n",
                            "mogrify..... calling send message to chunk blower \"dog\": we've been disabled.\n",
                            "mogrify..... NOT calling transmogrifier open \"dog\": we've been disabled.\n",
                            "mogrify..... NOT calling transmogrifier write \"dog\": we've been disabled.\n",
                            "mogrify..... NOT calling transmogrifier close: \"dog\", we've been disabled.\n",
                            "mogrify..... NOT calling transmogrifier write \"dog\": we're already done.\n"}));
    EXPECT_EQ(rq->sink.data, "x");
    EXPECT_EQ(rq->sink.frees, 1);
}

TEST_F(Streams, ContinueSkippedAndFailingWriteDisables)
{
    rq->response.status = 100;
    HTStream *s = mogrifier();
    s->isa->put_headers(s, &rq->response);
    EXPECT_EQ(counts[1], 0);
    EXPECT_EQ(rq->sink.put_headers, 1);
    rq->response.status = 200;
    s->isa->put_headers(s, &rq->response);
    EXPECT_EQ(counts[1], 1);
    *sym<int>(lib, "module_fail_after") = 1;
    *sym<long>(lib, "module_write_code") = 400;
    write(s, "cat ");
    write(s, "cat "); // refused by the module: disabled from here on
    write(s, "cat");
    EXPECT_EQ(rq->sink.data, "dog cat");
    EXPECT_EQ(counts[2], 2);
    s->isa->free(s, nullptr);
    EXPECT_EQ(rq->sink.frees, 1);
}

TEST_F(Streams, RefusedOpenDisablesAndPassesTheHeaders)
{
    *sym<int>(lib, "module_opens_chain") = 0;
    *sym<long>(lib, "module_open_code") = 500;
    HTStream *s = mogrifier();
    s->isa->put_headers(s, &rq->response);
    EXPECT_EQ(rq->sink.messages, std::vector<int>{HTAPI_MSG_DISABLED});
    EXPECT_EQ(rq->sink.put_headers, 1);
    write(s, "cat");
    EXPECT_EQ(rq->sink.data, "cat");
    s->isa->abort(s, nullptr);
    EXPECT_EQ(rq->sink.frees, 1);
    EXPECT_EQ(counts[3], 0);
}

TEST_F(Streams, ErrorMessageAndOpenCloseOutOfStep)
{
    *sym<int>(lib, "module_opens_chain") = 0;
    *sym<int>(lib, "module_closes_chain") = 0;
    HTStream *s = mogrifier();
    s->isa->put_headers(s, &rq->response);
    // Outside the transmogrifier step both are refused.
    long rc = -99;
    api->htopen(h, &rc);
    EXPECT_EQ(rc, HTTPD_WRONG_STEP);
    api->htclose(h, &rc);
    EXPECT_EQ(rc, HTTPD_WRONG_STEP);
    // In the step, through the module's context: close before open, open twice.
    rq->set_step(HTAPI_STEP_TRANSMOGRIFIER);
    rq->api()->transmogrifier = s;
    api->htclose(h, &rc);
    EXPECT_EQ(rc, HTTPD_WRONG_STEP);
    api->htopen(h, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    api->htopen(h, &rc);
    EXPECT_EQ(rc, HTTPD_WRONG_STEP);
    unsigned long n = 3;
    api->HTWRITE(h, "cat", &n, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(rq->sink.data, "cat");
    // Message 66 runs the error function and puts the stream back to its start.
    s->isa->message(s, HTAPI_MSG_ERROR, nullptr);
    EXPECT_EQ(counts[4], 1);
    api->HTWRITE(h, "cat", &n, &rc);
    EXPECT_EQ(rc, HTTPD_WRONG_STEP);
    api->htopen(h, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    api->htclose(h, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(rq->sink.frees, 1);
    api->htclose(h, &rc);
    EXPECT_EQ(rc, HTTPD_WRONG_STEP);
    rq->set_step(HTAPI_STEP_SERVICE);
    rq->api()->transmogrifier = nullptr;
    s->isa->free(s, nullptr);
    EXPECT_EQ(counts[3], 0) << "done: not closed again";
    EXPECT_EQ(rq->sink.frees, 1);
}

TEST_F(Streams, ModuleThatNeverClosesStillFreesOnce)
{
    *sym<int>(lib, "module_closes_chain") = 0;
    HTStream *s = mogrifier();
    s->isa->put_headers(s, &rq->response);
    write(s, "cat");
    s->isa->free(s, nullptr);
    s->isa->abort(s, nullptr);
    EXPECT_EQ(counts[3], 1);
    EXPECT_EQ(rq->sink.frees, 1);
    EXPECT_EQ(rq->sink.data, "dog");
}

// ---- script results ----

class ScriptResults : public PlugrtTest {
protected:
    void SetUp() override
    {
        PlugrtTest::SetUp();
        char templ[] = "/tmp/plugrt-script-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override
    {
        std::remove((dir + "/result").c_str());
        rmdir(dir.c_str());
        PlugrtTest::TearDown();
    }
    int load(const std::string &bytes, HTStream *target)
    {
        {
            std::ofstream(dir + "/result", std::ios::binary) << bytes;
        }
        FILE *f = std::fopen((dir + "/result").c_str(), "r");
        const int rc = api->HTLoadScriptResultAPI(f, target, &rq->header(), h);
        std::fclose(f);
        return rc;
    }
    std::string header(const std::string &name)
    {
        for (const auto &x : rq->response_headers)
            if (x.name == name)
                return x.value;
        return "(none)";
    }
    std::string dir;
};

TEST_F(ScriptResults, HeadersBecomeVariablesAndTheBodyArrivesExact)
{
    struct Case {
        std::string file;
        std::string body;
    } cases[] = {
        {"X-One: 1\r\nX-Two:\t two\r\n\r\nbody\r\nline\n", "body\r\nline\n"},
        {"X-One: 1\nX-Two: two\n\nbody", "body"},
        {"X-One: 1\nnot a header\nX-Two: two\n\n", ""},
    };
    for (const Case &c : cases) {
        rq->response_headers.clear();
        rq->sink.data.clear();
        EXPECT_EQ(load(c.file, rq->sink.stream()), HTAPI_SCRIPT_LOADED);
        EXPECT_EQ(header("X-One"), "1") << c.file;
        EXPECT_EQ(header("X-Two"), "two") << c.file;
        EXPECT_EQ(rq->sink.data, c.body);
    }
}

TEST_F(ScriptResults, LinesAcrossBlocksAndOverlongLines)
{
    // A header line that crosses the first 1024-byte block is whole.
    std::string file(1010, 'a');
    file = "X-Pad: " + file + "\nX-Cross: across the block\n";
    std::string longline = "X-Long: " + std::string(9000, 'b') + "\n";
    file += longline + "X-After: yes\n\n";
    std::string body;
    for (int i = 0; i < 5000; ++i)
        body += static_cast<char>('0' + i % 10);
    EXPECT_EQ(load(file + body, rq->sink.stream()), HTAPI_SCRIPT_LOADED);
    EXPECT_EQ(header("X-Cross"), "across the block");
    EXPECT_EQ(header("X-Long"), "(none)") << "a line over 8 KiB is skipped";
    EXPECT_EQ(header("X-After"), "yes");
    EXPECT_EQ(rq->sink.data, body);
}

TEST_F(ScriptResults, WithoutTargetTheHostMakesTheStream)
{
    EXPECT_EQ(load("Content-Type: text/html\n\n<p>x</p>", nullptr), HTAPI_SCRIPT_LOADED);
    ASSERT_EQ(rq->conversions.size(), 1u);
    EXPECT_EQ(rq->conversions[0]->type, "text/html");
    EXPECT_EQ(rq->sink.data, "<p>x</p>");
}

TEST_F(ScriptResults, ReadErrorGivesMinusOne)
{
    FILE *f = std::fopen(dir.c_str(), "r"); // a directory: reading fails
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(api->HTLoadScriptResultAPI(f, rq->sink.stream(), &rq->header(), h), -1);
    std::fclose(f);
    EXPECT_EQ(api->HTLoadScriptResultAPI(nullptr, rq->sink.stream(), &rq->header(), h), -1);
}

} // namespace

// ---- request memory running short ----

#include "HTExcept.h"

namespace {

// Runs `work` in an out-of-memory frame: true when it finished, false when it
// reported the exhausted allocation.
template <class F> bool survives(F &work)
{
    HTExceptFrame frame;
    HTExcept_push(&frame, nullptr);
    if (setjmp(frame.env) == 0) {
        work();
        HTExcept_pop(&frame, nullptr);
        return true;
    }
    return false;
}

TEST_F(Streams, EveryAllocationFailureIsReportedOrClean)
{
    std::string error;
    ASSERT_NE(lib, nullptr);
    const std::string file = "X-A: 1\n\nbody";
    char path[] = "/tmp/plugrt-oom-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    ::close(fd);
    Host::get().want_warnings = 1;
    bool finished = false;
    for (long n = 1; !finished && n < 50; ++n) {
        orvhost::Request r;
        r.bind();
        r.pool.fail_at = r.pool.allocations + n;
        HTStream *s = nullptr;
        FILE *f = std::fopen(path, "r");
        int loaded = 0;
        auto work = [&] {
            s = api->HTFilterstream_new(r.sink.stream(), sym<void(void *, long *)>(lib, "upper_open"),
                                        sym<void(void *, const char *, unsigned long *, long *)>(lib, "upper_write"),
                                        sym<void(void *, long *)>(lib, "upper_close"), r.handle());
            loaded = api->HTLoadScriptResultAPI(f, s, &r.header(), r.handle());
        };
        testing::internal::CaptureStderr();
        finished = survives(work);
        const std::string report = testing::internal::GetCapturedStderr();
        std::fclose(f);
        if (finished) {
            EXPECT_EQ(loaded, HTAPI_SCRIPT_LOADED) << n;
            // A warning or a header the pool could not hold is left out, nothing else.
            EXPECT_EQ(r.sink.data, s == r.sink.stream() ? "body" : "BODY") << n;
            s->isa->free(s, nullptr);
            EXPECT_EQ(r.sink.frees, 1) << n;
        } else {
            EXPECT_TRUE(report.find("HTFilterstream_new") != std::string::npos ||
                        report.find("HTLoadScriptResultAPI") != std::string::npos)
                << n << ": " << report;
        }
        orvhost::Request::unbind();
    }
    EXPECT_TRUE(finished);
    std::remove(path);
}

} // namespace
