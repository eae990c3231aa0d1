// Logging, proxying to a private nginx, files, scripts run by /bin/sh,
// labels, authentication, variants, rewriting and the pool calls, driven
// by a C plug-in where a plug-in makes the call.

#include "plugrt_fixture.h"

#include "../library/http/peers.hpp"

#include <dlfcn.h>

#include <fstream>
#include <sstream>

namespace {

using orvhost::Host;

enum Call { LogError, LogTrace, LogAccess, LogEvent, Proxy, File, Exec, Label, Auth, Restart, Write, NoAuthProxy };

class Calls : public PlugrtTest {
protected:
    void SetUp() override
    {
        PlugrtTest::SetUp();
        std::string error;
        void *lib = orvhost::load_plugin(CALLS_PLUGIN, &error);
        ASSERT_NE(lib, nullptr) << error;
        step = reinterpret_cast<long (*)(int, void *, const char *, const char *)>(dlsym(lib, "calls_step"));
        ASSERT_NE(step, nullptr);
        Host::get().work_dir = dir.path();
        Host::get().fixed_now = 1798797600; // 01/Jan/2027:10:00:00
    }
    void TearDown() override
    {
        Host::get().work_dir.clear();
        Host::get().fixed_now = 0;
        Host::get().credentials.clear();
        Host::get().variants.clear();
        Host::get().rewrites.clear();
        PlugrtTest::TearDown();
    }
    long call(Call c, const char *a = nullptr, const char *b = nullptr) { return step(c, h, a, b); }
    std::string file(const std::string &name)
    {
        std::ifstream in(dir.path() + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    peers::TempDir dir;
    long (*step)(int, void *, const char *, const char *) = nullptr;
};

TEST_F(Calls, LogsWriteExactLines)
{
    EXPECT_EQ(call(LogError, "disk %20s full %n"), HTTPD_SUCCESS) << "plug-in text is never a format";
    EXPECT_EQ(call(LogAccess, "GET / 200"), HTTPD_SUCCESS);
    EXPECT_EQ(call(LogEvent, "started %d"), HTTPD_SUCCESS);
    EXPECT_EQ(file("error.log"), "[01/Jan/2027:10:00:00 +0000] disk %20s full %n\n");
    EXPECT_EQ(file("access.log"), "GET / 200");
    EXPECT_EQ(file("event.log"), "started %d");
    EXPECT_EQ(call(LogError, ""), HTTPD_BAD_ARGUMENT);
    // Tracing off: the trace log writes nothing; on: one line with its newline.
    EXPECT_EQ(call(LogTrace, "hello %s"), HTTPD_SUCCESS);
    EXPECT_EQ(traces(), std::vector<std::string>{});
    trace_on();
    EXPECT_EQ(call(LogTrace, "hello %s"), HTTPD_SUCCESS);
    const auto lines = traces();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "plug-in..... HTTPD_log_trace() called \n");
    EXPECT_EQ(lines[1], "hello %s\n");
    EXPECT_EQ(lines[2], "plug-in..... HTTPD_log_trace() return code 0\n");
    // Out of request memory for the trace copy.
    rq->pool.fail_at = rq->pool.allocations + 1;
    EXPECT_EQ(call(LogTrace, "x"), HTTPD_NO_MEMORY);
}

TEST_F(Calls, ProxyToTheOriginAndNoOutputAfterwards)
{
    if (!peers::installed("/usr/sbin/nginx"))
        GTEST_SKIP() << "nginx is not installed";
    peers::TempDir site;
    site.dir("html");
    site.dir("tmp");
    const int port = peers::free_port();
    const std::string conf = site.file(
        "nginx.conf", peers::nginx_conf(site.path(), port, "",
                                        "    location /echo { return 200 \"$request_method $request_uri $http_content_length\\n\"; }\n"));
    std::string skip;
    std::unique_ptr<peers::Peer> nginx(peers::start_nginx(site.path(), conf, port, skip));
    if (!skip.empty())
        GTEST_SKIP() << skip;
    const std::string echo = "http://127.0.0.1:" + std::to_string(port) + "/echo?x=1";

    rq->text[HTAPI_URL] = "http://client/asked";
    rq->set_method(HTAPI_METHOD_GET);
    ASSERT_EQ(set("PROXY_METHOD", "POST"), HTTPD_SUCCESS);
    const std::string body = "twelve bytes";
    EXPECT_EQ(call(Proxy, echo.c_str(), body.c_str()), HTTPD_PROXIED);
    EXPECT_NE(rq->proxy_response.find("\r\n\r\nPOST /echo?x=1 12\n"), std::string::npos) << rq->proxy_response;
    EXPECT_EQ(rq->text[HTAPI_URL], "http://client/asked") << "the URL is restored";
    EXPECT_EQ(rq->handle()->request->method, HTAPI_METHOD_GET) << "the method is restored";
    EXPECT_EQ(rq->stored_body(), "") << "the stored body is freed";
    EXPECT_EQ(call(Write, "more"), HTTPD_NO_OUTPUT);

    // A body stored by HTTPD_read is what goes, with its own length.
    orvhost::Request second;
    second.set_body("stored body", SIZE_MAX);
    char buffer[64];
    unsigned long n = sizeof buffer;
    long rc = -99;
    api->HTREAD(second.handle(), buffer, &n, &rc);
    ASSERT_EQ(rc, HTTPD_END_OF_BODY);
    second.set_method(HTAPI_METHOD_PUT);
    EXPECT_EQ(step(NoAuthProxy, second.handle(), echo.c_str(), "ignored: a body is stored"), HTTPD_PROXIED);
    EXPECT_NE(second.proxy_response.find("PUT /echo?x=1 11\n"), std::string::npos) << second.proxy_response;
    // Refused outside steps 1, 6 and 7.
    orvhost::Request late(HTAPI_STEP_LOG);
    EXPECT_EQ(step(Proxy, late.handle(), echo.c_str(), nullptr), HTTPD_WRONG_STEP);
    // An origin that is not there.
    orvhost::Request third;
    nginx.reset();
    EXPECT_EQ(step(Proxy, third.handle(), echo.c_str(), nullptr), HTTPD_FAILURE);
}

TEST_F(Calls, AuthenticateByScheme)
{
    rq->set_step(HTAPI_STEP_AUTHENTICATION);
    EXPECT_EQ(call(Auth), HTTPD_BAD_ARGUMENT) << "no scheme recorded";
    Host::get().credentials["ann"] = "secret";
    HTAPIRequest *r = rq->handle()->request;
    r->auth_scheme = HTAPI_AUTH_BASIC;
    EXPECT_EQ(call(Auth), HTTPD_NOT_AUTHENTICATED) << "no credentials";
    rq->text[HTAPI_USERNAME] = "ann";
    rq->text[HTAPI_PASSWORD] = "wrong";
    EXPECT_EQ(call(Auth), HTTPD_NOT_AUTHENTICATED);
    rq->text[HTAPI_PASSWORD] = "secret";
    EXPECT_EQ(call(Auth), HTTPD_SUCCESS);
    // Another scheme, or the host's flag: the authorization text decides.
    r->auth_flag = 1;
    rq->text[HTAPI_AUTH_STRING] = "ann:secret";
    EXPECT_EQ(call(Auth), HTTPD_SUCCESS);
    r->auth_flag = 0;
    r->auth_scheme = 2;
    rq->text[HTAPI_AUTH_STRING] = "ann:nope";
    EXPECT_EQ(call(Auth), HTTPD_NOT_AUTHENTICATED);
    rq->set_step(HTAPI_STEP_SERVICE);
    EXPECT_EQ(call(Auth), HTTPD_WRONG_STEP);
}

TEST_F(Calls, FileInTheServiceAndTransmogrifierSteps)
{
    const std::string path = dir.file("page.txt", "file contents\n");
    EXPECT_EQ(call(File, path.c_str()), HTTPD_SUCCESS);
    EXPECT_EQ(rq->sink.data, "file contents\n");
    EXPECT_EQ(call(File, (dir.path() + "/missing").c_str()), HTTPD_FAILURE);
    // Step 9 goes through the transmogrifier's target.
    orvhost::Request other;
    orvhost::MemorySink target;
    struct {
        const HTStreamClass *isa;
        HTStream *target;
        int state;
    } tr = {nullptr, target.stream(), 2};
    other.set_step(HTAPI_STEP_TRANSMOGRIFIER);
    other.api()->transmogrifier = &tr;
    EXPECT_EQ(step(File, other.handle(), path.c_str(), nullptr), HTTPD_SUCCESS);
    EXPECT_EQ(target.data, "file contents\n");
    EXPECT_EQ(other.sink.data, "");
    other.api()->transmogrifier = nullptr;
    other.set_step(HTAPI_STEP_LOG);
    EXPECT_EQ(step(File, other.handle(), path.c_str(), nullptr), HTTPD_WRONG_STEP);
}

TEST_F(Calls, ExecRunsAShellScript)
{
    const std::string script = dir.file("run.sh",
                                        "printf 'Content-Type: text/plain\\r\\nX-Seen: %s\\r\\n\\r\\n' \"$QUERY_STRING\"\n"
                                        "printf 'hello from the script'\n");
    rq->cgi = {"QUERY_STRING=a=1", "PATH=/usr/bin:/bin"};
    EXPECT_EQ(call(Exec, script.c_str()), HTTPD_SUCCESS);
    EXPECT_EQ(rq->sink.data, "hello from the script");
    bool seen = false;
    for (const auto &x : rq->response_headers)
        seen = seen || (x.name == "X-Seen" && x.value == "a=1");
    EXPECT_TRUE(seen);
    EXPECT_EQ(rq->script_output, nullptr) << "the run was closed";
    rq->set_step(HTAPI_STEP_DATA_FILTER);
    EXPECT_EQ(call(Exec, script.c_str()), HTTPD_WRONG_STEP);
}

TEST_F(Calls, LabelsRestartVariantsAndRewriting)
{
    EXPECT_EQ(call(Label, "(PICS-1.1 ...)"), HTTPD_WRONG_STEP);
    rq->set_step(HTAPI_STEP_LABEL);
    EXPECT_EQ(call(Label, "(PICS-1.1 ...)"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->labels, std::vector<std::string>{"(PICS-1.1 ...)"});
    EXPECT_EQ(call(Label, ""), HTTPD_BAD_ARGUMENT);

    // Restart takes the thread's current request, whatever the plug-in passed.
    rq->bind();
    rq->set_step(HTAPI_STEP_SERVICE);
    const int before = Host::get().restarts;
    EXPECT_EQ(call(Restart), HTTPD_SUCCESS);
    EXPECT_EQ(Host::get().restarts, before + 1);
    rq->set_step(HTAPI_STEP_DATA_FILTER);
    EXPECT_EQ(call(Restart), HTTPD_WRONG_STEP);
    orvhost::Request::unbind();

    long rc = -99;
    api->htvins(h, "/doc", "language", "de", "/doc.de", &rc);
    EXPECT_EQ(rc, 0);
    api->htvfind(h, "/doc", "language", "de", &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    api->htvfind(h, "/doc", "language", "fr", &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);
    api->htvfind(h, nullptr, "language", "fr", &rc);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);

    api->HTADDRWTAG(h, const_cast<char *>("http://inner/"), const_cast<char *>("/j/"), &rc);
    EXPECT_EQ(rc, HTTPD_DONE);
    const char *out = nullptr;
    int dummy = 0;
    api->HTURLRW(h, const_cast<char *>("http://inner/a"), &out, &dummy, &dummy, &dummy, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE) << "only in the transmogrifier step";
    rq->set_step(HTAPI_STEP_TRANSMOGRIFIER);
    api->HTURLRW(h, const_cast<char *>("http://inner/a"), &out, &dummy, &dummy, &dummy, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(out, "/j/a");
    api->HTURLRW(h, nullptr, &out, &dummy, &dummy, &dummy, &rc);
    EXPECT_EQ(rc, HTTPD_FAILURE);
    char *back = nullptr;
    api->HTINVURLRW(h, "/j/b", &back, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_STREQ(back, "http://inner/b");
    api->HTINVURLRW(h, "/other", &back, &rc);
    EXPECT_EQ(back, nullptr);
    const char *cookie = nullptr;
    api->HTCOOKIERW(h, const_cast<char *>("id=1; path=http://inner/x"), &cookie, nullptr, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_STREQ(cookie, "id=1; path=/j/x");
    api->HTREMRWTAG(h, const_cast<char *>("http://inner/"), nullptr, &rc);
    EXPECT_EQ(rc, HTTPD_DONE);
    EXPECT_TRUE(Host::get().rewrites.empty());
}

TEST_F(Calls, EncodeDecodeAndThePoolCalls)
{
    char out[64];
    unsigned long n = 5;
    long rc = -99;
    api->HTENC(nullptr, "a b/c", &n, out, &rc);
    EXPECT_EQ(rc, HTTPD_DONE);
    EXPECT_STREQ(out, "a%20b%2Fc");
    n = std::strlen(out);
    char decoded[64];
    api->HTDEC(nullptr, out, &n, decoded, &rc);
    EXPECT_EQ(rc, HTTPD_DONE);
    EXPECT_STREQ(decoded, "a b/c");
    EXPECT_EQ(n, 5u);
    api->HTENC(nullptr, nullptr, &n, out, &rc);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);

    EXPECT_NE(api->HTMPMALLOC(h, 16), nullptr);
    EXPECT_NE(api->HTMPMALLOC(h, 0), nullptr);
    EXPECT_EQ(api->HTMPMALLOC(h, -1), nullptr);
    auto *zeros = static_cast<unsigned char *>(api->HTMPCALLOC(h, 4, 8));
    ASSERT_NE(zeros, nullptr);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(zeros[i], 0);
    EXPECT_EQ(api->HTMPCALLOC(h, 0, 8), nullptr);
    EXPECT_EQ(api->HTMPCALLOC(h, -2, 8), nullptr);
    EXPECT_EQ(api->HTMPCALLOC(h, LONG_MAX, LONG_MAX), nullptr) << "an overflowing product";
    EXPECT_STREQ(api->HTMPSTRDUP(h, "dup"), "dup");
    EXPECT_EQ(api->HTMPSTRDUP(h, nullptr), nullptr);
    EXPECT_STREQ(api->HTMPSTRCAT(h, "a", "b"), "ab");
    EXPECT_STREQ(api->HTMPSTRCAT(h, nullptr, "b"), "b");
    EXPECT_STREQ(api->HTMPSTRCAT(h, "a", nullptr), "a");
    EXPECT_EQ(api->HTMPSTRCAT(h, nullptr, nullptr), nullptr);
    // A null pool is the calling thread's request.
    rq->bind();
    EXPECT_STREQ(api->HTMPSTRDUP(nullptr, "mine"), "mine");
    orvhost::Request::unbind();
    EXPECT_EQ(api->HTMPSTRDUP(nullptr, "nobody's"), nullptr);
    api->HTMPFREE(zeros);
    EXPECT_EQ(file("error.log"),
              "[00/Mon/Year:Hr:Mi:Se -0000] Do not call HTTPD_MP_free!\n\t\t Memory from pool will be freed later.");
}

} // namespace
