// Protocol dispatch and the retry loop: a scripted loader for every branch
// of the loop, and the HTTP loader against nginx, a port nobody listens
// on, and squid as a peer cache.

#include "HTAccess.h"
#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTError.h"
#include "HTInputSocket.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTRequest.h"
#include "HTServerPref.h"
#include "HTSocket.h"
#include "HTTP.h"
#include "HTWriter.h"
#include "HTFTP.h"
#include "HTFile.h"
#include "HTGopher.h"
#include "access_fixture.hpp"
#include "htc_oom.h"
#include "htc_worker.h"
#include "peers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace access_test;

// ---- a loader that answers from a script ----

struct Step {
    int result;
    bool writes = false; // puts a line into the output first (a page of its own)
};
thread_local std::vector<Step> script;
thread_local std::vector<std::string> calls;
thread_local std::vector<int> retryStatusSeen;

int scripted(HTRequest *request, HTThdGlobals *g)
{
    calls.push_back(HTAnchor_physical(request->anchor));
    retryStatusSeen.push_back(g->retry_status);
    g->retry_status = 7;
    if (script.empty())
        return HT_LOAD_OK;
    const Step s = script.front();
    script.erase(script.begin());
    if (s.writes && request->output_stream)
        request->output_stream->isa->put_string(request->output_stream, "HTTP/1.0 502 Own page\r\n\r\n");
    return s.result;
}
HTProtocol scriptProtocol = {"script", scripted};

int forbid_all(HTRequest *, const char *url, HTThdGlobals *) { return std::string(url).find("forbidden") != std::string::npos; }

class Access : public AccessFixture {
protected:
    void SetUp() override
    {
        AccessFixture::SetUp();
        static const bool registered = HTRegisterProtocol(&scriptProtocol) == 1;
        ASSERT_TRUE(registered);
        script.clear();
        calls.clear();
        retryStatusSeen.clear();
    }
};

TEST_F(Access, ProtocolsAreRegisteredOnceInOrder)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] {
            HTAccessInit();
            (void)HTAccess_find("http");
        });
    for (auto &t : threads)
        t.join();
    std::vector<std::string> names;
    for (int i = 0; i < HTAccess__count(); ++i)
        names.push_back(HTAccess__protocol(i)->name);
    std::vector<std::string> builtins;
    for (const std::string &n : names)
        if (n != "script")
            builtins.push_back(n);
    // The built-ins in their order, each once.
    EXPECT_EQ(builtins, (std::vector<std::string>{"file", "http", "https", "ftp", "gopher"}));
    EXPECT_EQ(HTAccess_find("ftp")->load, HTLoadFTP);
    EXPECT_EQ(HTAccess_find("gopher")->load, HTLoadGopher);
    EXPECT_EQ(HTAccess_find("file")->load, HTLoadFile);
    ASSERT_NE(HTAccess_find("https"), nullptr);
    EXPECT_EQ(HTAccess_find("https")->load, HTLoadHTTP);
    EXPECT_EQ(HTAccess_find("HTTP"), nullptr); // schemes compare exactly
    EXPECT_EQ(HTRegisterProtocol(nullptr), 0);
}

TEST_F(Access, UnknownSchemeAndForbiddenByRule)
{
    Result r = load("GET", "wais://h/x", {}, Call::kLoad);
    EXPECT_EQ(r.rc, HT_LOAD_NO_PROTOCOL);
    EXPECT_EQ(r.error_code, HT_ERR_NO_PROTOCOL);
    r = load("GET", "wais://h/x");
    EXPECT_EQ(r.rc, HT_ACCESS_FAILED);
    EXPECT_EQ(r.error_code, HT_ERR_NO_PROTOCOL);
    EXPECT_EQ(r.page.calls, 0);

    HTAccess_setRuleCheck(forbid_all);
    r = load("GET", "script://h/forbidden", {}, Call::kLoad);
    EXPECT_EQ(r.rc, -500);
    EXPECT_EQ(r.error_code, HT_ERR_FORBIDDEN);
    EXPECT_EQ(r.detailed, HT_DERR_BYRULE);
    EXPECT_EQ(r.page.status, 500);
    EXPECT_EQ(r.page.message, "Access forbidden by rule");
    EXPECT_TRUE(calls.empty());
    // Through the retry loop the page stands: a result below 1 fails the load.
    r = load("GET", "script://h/forbidden");
    EXPECT_EQ(r.rc, HT_ACCESS_FAILED);
    EXPECT_EQ(r.error_code, HT_ERR_FORBIDDEN);
    EXPECT_EQ(r.client.rfind("HTTP/1.0 500", 0), 0u) << r.client;
    r = load("GET", "script://h/allowed");
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(Access, RetryLoopBranches)
{
    const std::string three = "script://s1 script://s2 script://s3";
    struct Case {
        const char *name;
        const char *method;
        std::string prefs;
        std::vector<Step> steps;
        Call call;
        int rc;
        std::vector<std::string> urls; // the physical addresses the loader saw
        int pageStatus;                // 0: no page from the document loader
        int error;                     // the request's error code afterwards
    } cases[] = {
        {"GET walks on -14 and -15", "GET", three, {{-14}, {-15}, {HT_LOAD_OK}}, Call::kDocument, 1,
         {"script://s1/a/b", "script://s2/a/b", "script://s3/a/b"}, 0, 0},
        {"POST is not retried", "POST", three, {{-14}}, Call::kDocument, 1, {"script://s1/a/b"}, 504, 0},
        {"a failed walk gets one page", "GET", "script://s1 script://s2", {{-15}, {-15}}, Call::kDocument, 1,
         {"script://s1/a/b", "script://s2/a/b"}, 504, 0},
        {"-16 leaves the loop", "GET", three, {{-16}}, Call::kDocument, 1, {"script://s1/a/b"}, 504, 0},
        {"a loader's own page is not doubled", "GET", "script://s1", {{-14, true}}, Call::kDocument, 1,
         {"script://s1/a/b"}, 0, 0},
        {"no list, no page from the loader", "GET", {}, {{-14}}, Call::kDocument, 1, {"script://o/a/b"}, 504, 0},
        {"no list, the loader's page", "GET", {}, {{-14, true}}, Call::kDocument, 1, {"script://o/a/b"}, 0, 0},
        {"no data left", "GET", {}, {{HT_LOAD_OK_NO_DATA}}, Call::kDocument, 1, {"script://o/a/b"}, 0, 0},
        {"a plain failure", "GET", three, {{-1}}, Call::kDocument, 0, {"script://s1/a/b"}, 0, HT_ERR_NO_ACCESS},
        {"an obsolete result", "GET", {}, {{5}}, Call::kDocument, 0, {"script://o/a/b"}, 0, HT_ERR_INTERNAL},
        {"not finished is obsolete outside the split mode", "GET", {}, {{HT_LOAD_UNDONE}}, Call::kDocument, 0,
         {"script://o/a/b"}, 0, HT_ERR_INTERNAL},
        {"split mode: not finished comes back", "GET", {}, {{HT_LOAD_UNDONE}}, Call::kScmDocument, HT_LOAD_UNDONE,
         {"script://o/a/b"}, 0, 0},
        {"split mode retries a POST", "POST", three, {{-14}, {HT_LOAD_OK}}, Call::kScmDocument, 1,
         {"script://s1/a/b", "script://s2/a/b"}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script = c.steps;
        calls.clear();
        retryStatusSeen.clear();
        testing::internal::CaptureStderr();
        const Result r = load(c.method, "script://o/a/b", c.prefs, c.call);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(calls, c.urls);
        EXPECT_EQ(r.error_code, c.error);
        EXPECT_EQ(r.page.status, c.pageStatus);
        EXPECT_LE(r.page.calls, 1);
        if (c.pageStatus != 0) {
            EXPECT_NE(r.page.message.find("URL \"" + c.urls.back() + "\""), std::string::npos) << r.page.message;
            EXPECT_EQ(r.detailed, HT_DERR_CONNECTFAIL);
            EXPECT_EQ(r.client.rfind("HTTP/1.0 504", 0), 0u) << r.client;
        }
        const bool obsolete = c.error == HT_ERR_INTERNAL;
        EXPECT_EQ(err.find("**** HTAccess: socket or file number returned by obsolete load routine!\n") !=
                      std::string::npos,
                  obsolete);
        EXPECT_EQ(err.find("**** HTAccess: Internal software error. URL: script://o/a/b\n") != std::string::npos,
                  obsolete);
        // The normal mode clears the retry-status word before each retry; the split mode leaves it.
        for (size_t i = 1; i < retryStatusSeen.size(); ++i)
            EXPECT_EQ(retryStatusSeen[i], c.call == Call::kScmDocument ? 7 : 0);
        EXPECT_FALSE(utilServerPref_isset(g));
    }
}

// A stream of the host's own in place of the client's writer: the loop asks
// it whether a page went in already; one that cannot say counts as untouched.
struct HostStream {
    HTStream stream;
    bool answers;
    std::string bytes;
};
int host_put_string(HTStream *s, const char *t)
{
    reinterpret_cast<HostStream *>(s)->bytes += t;
    return 0;
}
int host_message(HTStream *s, int message, void *argument)
{
    auto *h = reinterpret_cast<HostStream *>(s);
    if (!h->answers || message != HT_STREAM_MSG_TOUCHED)
        return -1;
    *static_cast<int *>(argument) = !h->bytes.empty();
    return 0;
}
int host_nothing(HTStream *, void *) { return 0; }
const HTStreamClass kHostStreamClass = {"HostStream", host_nothing, host_nothing, nullptr, host_put_string,
                                        nullptr,     nullptr,      host_message, nullptr};

TEST_F(Access, AStreamOfAnotherClassIsAskedBeforeTheFailurePage)
{
    struct Case {
        const char *name;
        bool answers;
        bool loaderWrites;
        int pages; // failure pages from the document loader
    } cases[] = {
        {"the loader's page is not doubled", true, true, 0},
        {"nothing went in: the failure page", true, false, 1},
        {"a stream that cannot say counts as untouched", false, false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script = {{-14, c.loaderWrites}};
        HostStream out{{&kHostStreamClass}, c.answers, {}};
        const Result r = load("GET", "script://o/a/b", {}, Call::kDocument, {},
                              [&](HTRequest *request) { request->output_stream = &out.stream; });
        EXPECT_EQ(r.rc, HT_ACCESS_DONE);
        EXPECT_EQ(r.page.calls, c.pages);
        EXPECT_EQ(out.bytes.rfind(c.loaderWrites ? "HTTP/1.0 502 Own page" : "HTTP/1.0 504", 0), 0u) << out.bytes;
    }
}

TEST_F(Access, SplitModeResponseHalf)
{
    HTRequest *request = HTRequest_new(g);
    request->anchor = HTAnchor_findAddress("script://o/a", g);
    EXPECT_EQ(scm_HTLoadResponse(request, g), HT_LOAD_FAILED);
    EXPECT_EQ(request->error_code, HT_ERR_NO_PHYSICAL);
    request->error_code = 0;
    HTAnchor_setPhysical(request->anchor, "script://o/a");
    HTAnchor_setProtocol(request->anchor, HTAccess_find("script"));
    EXPECT_EQ(scm_HTLoadResponse(request, g), HT_LOAD_FAILED);
    EXPECT_EQ(request->error_code, 0);
    HTRequest_delete(request);
}

TEST_F(Access, AllocationFailures)
{
    HTRequest *request = nullptr;
    volatile int rc = 0;
    const auto prepare = [&] {
        request = HTRequest_new(g);
        request->config = &cfg;
        request->method = HT_METHOD_GET;
        request->anchor = HTAnchor_findAddress("script://o/a/b", g);
        g->url = HTAnchor_address(request->anchor);
        utilServerPref_createList("script://s1 script://s2", g);
        script = {{HT_LOAD_RETRY}, {HT_LOAD_OK}};
        calls.clear();
        rc = 0;
    };
    prepare();
    const unsigned long rounds = htc_each_failure([&] { rc = HTLoadDocument(request, g); },
                                                  [&](const HtcOomRound &round) {
                                                      if (!round.raised) {
                                                          EXPECT_EQ(rc, HT_ACCESS_DONE) << round.n;
                                                          EXPECT_EQ(calls.size(), 2u) << round.n;
                                                      }
                                                      HTRequest_delete(request);
                                                      end_request();
                                                      prepare();
                                                  });
    EXPECT_GT(rounds, 0u);
    HTRequest_delete(request);
}

// ---- the HTTP loader against real servers ----

class AccessPeers : public Access {
protected:
    static void SetUpTestSuite()
    {
        if (!peers::installed("/usr/sbin/nginx")) {
            skip_ = "nginx is not installed";
            return;
        }
        dir_ = new peers::TempDir();
        dir_->dir("html", 0755);
        dir_->dir("tmp");
        dir_->file("html/index.html", "hello from nginx\n");
        port_ = peers::free_port();
        const std::string conf = dir_->file("nginx.conf", peers::nginx_conf(dir_->path(), port_, ""));
        nginx_ = peers::start_nginx(dir_->path(), conf, port_, skip_);
    }
    static void TearDownTestSuite()
    {
        delete nginx_;
        nginx_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        Access::SetUp();
        closed_ = peers::free_port();
    }
    static std::string at(int port, const std::string &path = {})
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    static inline std::string skip_;
    static inline peers::TempDir *dir_ = nullptr;
    static inline peers::Peer *nginx_ = nullptr;
    static inline int port_ = 0;
    int closed_ = 0;
};

TEST_F(AccessPeers, PreferenceListWhoseFirstServerRefuses)
{
    const std::string prefs = at(closed_) + " " + at(port_);
    Result r = load("GET", "http://origin.invalid/index.html", prefs);
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_EQ(r.client.rfind("HTTP/1.1 200", 0), 0u) << r.client;
    EXPECT_NE(r.client.find("hello from nginx\n"), std::string::npos);
    EXPECT_EQ(r.page.calls, 0);

    // A body cannot be sent twice: the walk ends at the first server, with one page.
    r = load("POST", "http://origin.invalid/index.html", prefs, Call::kDocument, "a=b");
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_EQ(r.page.calls, 1);
    EXPECT_EQ(r.page.status, 504);
    EXPECT_NE(r.page.message.find("\"127.0.0.1:" + std::to_string(closed_) + "\""), std::string::npos)
        << r.page.message;
    EXPECT_NE(r.page.message.find("URL \"" + at(closed_, "/index.html") + "\""), std::string::npos) << r.page.message;
    EXPECT_EQ(r.detailed, HT_DERR_CONNECTFAIL);
    EXPECT_EQ(r.client.find("hello from nginx"), std::string::npos);
}

TEST_F(AccessPeers, PhysicalAddressThroughAProxy)
{
    // An explicit forward target is a proxy for every scheme; the loader is then HTTP's.
    const std::string proxy = "127.0.0.1:" + std::to_string(closed_);
    const auto through = [&](int select) {
        return [&, select](HTRequest *) {
            g->explicit_forward = HTMemPoolStrdup(proxy.c_str(), g);
            g->url_select = select;
            g->alt_url[0] = "script://alt/x";
        };
    };
    Result r = load("GET", "script://o/a", {}, Call::kLoad, {}, through(0));
    EXPECT_EQ(r.rc, HT_LOAD_RETRY_CONNECT);
    EXPECT_EQ(r.physical, "http://" + proxy + "/script://o/a");
    EXPECT_NE(r.flags & HT_REQ_VIA_PROXY, 0u);
    EXPECT_TRUE(calls.empty());
    r = load("GET", "script://o/a", {}, Call::kLoad, {}, through(1));
    EXPECT_EQ(r.physical, "http://" + proxy + "/script://alt/x");
    g->explicit_forward = nullptr;
    g->url_select = 0;
    g->alt_url[0] = nullptr;
    r = load("GET", "script://o/a", {}, Call::kLoad);
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_EQ(r.physical, "script://o/a");
    EXPECT_EQ(r.flags & HT_REQ_VIA_PROXY, 0u);
}

TEST_F(AccessPeers, ClosedPeerCacheFallsBackToTheOrigin)
{
    g->forward_target = HTMemPoolStrdup(("127.0.0.1:" + std::to_string(closed_)).c_str(), g);
    Result r = load("GET", at(port_, "/index.html"));
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_EQ(r.client.rfind("HTTP/1.1 200", 0), 0u) << r.client;
    EXPECT_NE(r.client.find("hello from nginx\n"), std::string::npos);
    EXPECT_EQ(r.page.calls, 0);
    EXPECT_EQ(g->forward_target, nullptr);

    // With the fall-back suppressed the loader's own page stands.
    g->forward_target = HTMemPoolStrdup(("127.0.0.1:" + std::to_string(closed_)).c_str(), g);
    g->no_fallback = 1;
    r = load("GET", at(port_, "/index.html"));
    g->no_fallback = 0;
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_EQ(r.page.calls, 1);
    EXPECT_EQ(r.detailed, HT_DERR_CONNECTFAIL);
    EXPECT_EQ(r.client.find("hello from nginx"), std::string::npos);
    g->forward_target = nullptr;
}

TEST_F(AccessPeers, SquidAsThePeerCache)
{
    if (!peers::installed("/usr/sbin/squid"))
        GTEST_SKIP() << "squid is not installed";
    const std::string d = dir_->dir("squid", 0777);
    const int port = peers::free_port();
    const std::string conf = dir_->file("squid/squid.conf", peers::squid_conf(d, port));
    peers::Peer squid({"/usr/sbin/squid", "-N", "-f", conf}, d + "/squid.out", port);
    ASSERT_TRUE(squid.ready()) << "squid did not start";
    g->forward_target = HTMemPoolStrdup(("127.0.0.1:" + std::to_string(port)).c_str(), g);
    const Result r = load("GET", at(port_, "/index.html"));
    g->forward_target = nullptr;
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_NE(r.client.find(" 200 OK\r\n"), std::string::npos) << r.client;
    EXPECT_NE(r.client.find("\r\nVia: "), std::string::npos) << r.client;
    EXPECT_NE(r.client.find("hello from nginx\n"), std::string::npos);
}

// A chain in front of the writer is asked whether it passed anything on (an
// error page after a walk must not follow an answer it already sent); a
// stream that does not answer counts as untouched, as it always did.
TEST(AccessOutput, AStreamInFrontOfTheWriterIsAsked)
{
    struct Chain {
        HTStream stream;
        int answer; // what it says of itself: 1 touched, 0 not, -1 does not answer
    };
    static const HTStreamClass kClass = {
        "Chain", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        [](HTStream *me, int message, void *argument) {
            auto *c = reinterpret_cast<Chain *>(me);
            if (message != HT_STREAM_MSG_TOUCHED || c->answer < 0)
                return -1;
            *static_cast<int *>(argument) = c->answer;
            return 0;
        },
        nullptr};
    HTRequest request{};
    EXPECT_EQ(HTAccess_outputUntouched(&request), 0);
    for (const int answer : {1, 0, -1}) {
        Chain c{{&kClass}, answer};
        request.output_stream = &c.stream;
        EXPECT_EQ(HTAccess_outputUntouched(&request), answer == 1 ? 0 : 1) << answer;
    }
}

} // namespace
