// The requests the host makes for a plug-in (HTTPD_proxy, entry 54, and
// asynchronous requests, entry 157) go through the library's document
// loader: against a private nginx, through squid as the configured parent,
// to an origin that is down or silent; and a request's memory outlives the
// asynchronous requests a plug-in left running.

#include "plugrt_fixture.h"

#include "../library/http/peers.hpp"
#include "hostasync.h"
#include "hostloads_library.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orvhost::AsyncDescription;

enum { kProxy = 4 };
enum { kCreate = 0, kStart = 1 };

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The head and the body of an answer.
std::pair<std::string, std::string> split(const std::string &answer)
{
    const size_t at = answer.find("\r\n\r\n");
    if (at == std::string::npos)
        return {answer, ""};
    return {answer.substr(0, at + 4), answer.substr(at + 4)};
}

int status_lines(const std::string &answer)
{
    int n = 0;
    for (size_t at = 0; (at = answer.find("HTTP/1.", at)) != std::string::npos; ++at)
        n += at == 0 || answer[at - 1] == '\n';
    return n;
}

class Loads : public PlugrtTest {
protected:
    static void SetUpTestSuite()
    {
        if (!peers::installed("/usr/sbin/nginx")) {
            skip_ = "nginx is not installed";
            return;
        }
        ASSERT_TRUE(orvhost::async_start(4));
        dir_ = new peers::TempDir();
        dir_->dir("html", 0755);
        dir_->dir("tmp");
        std::string k;
        for (int i = 0; k.size() < 1024; ++i)
            k += static_cast<char>('a' + i % 26);
        dir_->file("html/1k", k);
        port_ = peers::free_port();
        const std::string conf = dir_->file(
            "nginx.conf",
            peers::nginx_conf(dir_->path(), port_, "  log_format conn '$connection $request';\n",
                              "    access_log " + dir_->path() + "/access.log conn;\n"
                              "    location /echo { return 200 \"$request_method $server_protocol $http_host "
                              "[$http_content_length] [$http_via]\\n\"; }\n"
                              "    location /via { if ($http_via ~ squid) { return 203 \"parent\\n\"; } "
                              "return 200 \"direct\\n\"; }\n"));
        origin_ = peers::start_nginx(dir_->path(), conf, port_, skip_);
    }
    static void TearDownTestSuite()
    {
        delete origin_;
        origin_ = nullptr;
        delete dir_;
        dir_ = nullptr;
        if (skip_.empty())
            orvhost::async_stop();
    }
    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        PlugrtTest::SetUp();
        std::string error;
        void *calls = orvhost::load_plugin(CALLS_PLUGIN, &error);
        ASSERT_NE(calls, nullptr) << error;
        void *async = orvhost::load_plugin(ASYNC_CACHE_PLUGIN, &error);
        ASSERT_NE(async, nullptr) << error;
        step = reinterpret_cast<long (*)(int, void *, const char *, const char *)>(dlsym(calls, "calls_step"));
        fetch_all = reinterpret_cast<long (*)(void *, AsyncDescription *, int, int *)>(dlsym(async, "fetch_all"));
        call = reinterpret_cast<long (*)(int, void *, void *, void *)>(dlsym(async, "async_call"));
        ASSERT_TRUE(step && fetch_all && call);
    }
    void TearDown() override
    {
        hostloads::error_pages(false);
        hostloads::use_parent("");
        hostloads::server_timeout(0);
        PlugrtTest::TearDown();
    }

    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    // HTTPD_proxy of a fresh request to the URL: its code and the client's response.
    long proxy(const std::string &to, std::string *answer, const char *method = nullptr)
    {
        orvhost::Request r;
        if (method != nullptr) {
            unsigned long n = 12, v = std::strlen(method);
            long rc = -99;
            api->HTSET(r.handle(), "PROXY_METHOD", &n, method, &v, &rc);
            EXPECT_EQ(rc, HTTPD_SUCCESS);
        }
        const long rc = step(kProxy, r.handle(), to.c_str(), nullptr);
        EXPECT_EQ(r.sink.data, r.proxy_response) << "the answer is the client's response";
        *answer = r.proxy_response;
        return rc;
    }
    // One asynchronous request for the URL, waited for.
    AsyncDescription fetch(const std::string &to)
    {
        AsyncDescription d{to.c_str(), 0, -1, 0};
        int started = 0;
        EXPECT_EQ(fetch_all(h, &d, 1, &started), HTTPD_SUCCESS);
        EXPECT_EQ(started, 1);
        return d;
    }

    long (*step)(int, void *, const char *, const char *) = nullptr;
    long (*fetch_all)(void *, AsyncDescription *, int, int *) = nullptr;
    long (*call)(int, void *, void *, void *) = nullptr;

    static std::string skip_;
    static peers::TempDir *dir_;
    static peers::Peer *origin_;
    static int port_;
};

std::string Loads::skip_;
peers::TempDir *Loads::dir_ = nullptr;
peers::Peer *Loads::origin_ = nullptr;
int Loads::port_ = 0;

TEST_F(Loads, ProxiedRequestsGetTheOriginsAnswer)
{
    std::string answer;
    ASSERT_EQ(proxy(url("/1k"), &answer), HTTPD_PROXIED);
    auto [head, body] = split(answer);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-Length: 1024\r\n"), std::string::npos) << head;
    EXPECT_EQ(body, slurp(dir_->path() + "/html/1k"));

    // HTTP/1.1 with a Host line made from the URL: the plug-in gave none.
    ASSERT_EQ(proxy(url("/echo"), &answer), HTTPD_PROXIED);
    EXPECT_EQ(split(answer).second, "GET HTTP/1.1 127.0.0.1:" + std::to_string(port_) + " [] []\n");
    // HEAD: the head alone, and the copy does not wait for a body that never comes.
    ASSERT_EQ(proxy(url("/1k"), &answer, "HEAD"), HTTPD_PROXIED);
    std::tie(head, body) = split(answer);
    EXPECT_NE(head.find("\r\nContent-Length: 1024\r\n"), std::string::npos) << head;
    EXPECT_EQ(body, "");
    // The origin's errors are answers too.
    ASSERT_EQ(proxy(url("/missing"), &answer), HTTPD_PROXIED);
    EXPECT_EQ(answer.rfind("HTTP/1.1 404 ", 0), 0u) << answer;
}

TEST_F(Loads, AsynchronousRequestsGetStatusAndBodyLength)
{
    AsyncDescription d = fetch(url("/1k"));
    EXPECT_EQ(d.status, 200);
    EXPECT_EQ(d.length, 1024u);
    d = fetch(url("/missing"));
    EXPECT_EQ(d.status, 404);
    EXPECT_GT(d.length, 0u);
    d = fetch(url("/via"));
    EXPECT_EQ(d.status, 200);
    EXPECT_EQ(d.length, 7u) << "direct\\n";

    // The internal workers keep their server connections: the origin sees
    // fewer connections than requests.
    constexpr int kRequests = 12;
    const std::string one = url("/1k?round");
    std::vector<AsyncDescription> many(kRequests, AsyncDescription{one.c_str(), 0, 0, 0});
    int started = 0;
    ASSERT_EQ(fetch_all(h, many.data(), kRequests, &started), HTTPD_SUCCESS);
    for (const AsyncDescription &x : many)
        EXPECT_EQ(x.status * 10000 + static_cast<int>(x.length), 200 * 10000 + 1024);
    // nginx logs a request after its answer went out: wait for the last lines.
    std::set<std::string> connections;
    int seen = 0;
    for (int tries = 0; tries < 500 && seen < kRequests; ++tries) {
        if (tries > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        connections.clear();
        seen = 0;
        std::istringstream log(slurp(dir_->path() + "/access.log"));
        for (std::string line; std::getline(log, line);)
            if (line.find("/1k?round") != std::string::npos) {
                ++seen;
                connections.insert(line.substr(0, line.find(' ')));
            }
    }
    EXPECT_EQ(seen, kRequests);
    EXPECT_LT(connections.size(), static_cast<size_t>(kRequests));
}

TEST_F(Loads, TheConfiguredParentCarriesBoth)
{
    if (!peers::installed("/usr/sbin/squid"))
        GTEST_SKIP() << "squid is not installed";
    peers::TempDir d;
    const int squidPort = peers::free_port();
    const std::string conf = d.file("squid.conf", peers::squid_conf(d.path(), squidPort));
    peers::Peer squid({"/usr/sbin/squid", "-N", "-f", conf}, d.path() + "/squid.out", squidPort);
    ASSERT_TRUE(squid.ready()) << "squid did not start";
    hostloads::use_parent("http://127.0.0.1:" + std::to_string(squidPort) + "/");

    std::string answer;
    ASSERT_EQ(proxy(url("/echo"), &answer), HTTPD_PROXIED);
    const std::string body = split(answer).second;
    EXPECT_NE(body.find("squid"), std::string::npos) << "the origin saw squid's Via: " << body;
    AsyncDescription a = fetch(url("/via"));
    EXPECT_EQ(a.status, 203) << "nginx answers 203 only through squid";
    EXPECT_EQ(a.length, 7u);

    // Without the parent they go direct again.
    hostloads::use_parent("");
    EXPECT_EQ(fetch(url("/via")).status, 200);
}

TEST_F(Loads, AnOriginThatIsDownOrSilentEndsInAnErrorPage)
{
    const std::string down = "http://127.0.0.1:" + std::to_string(peers::free_port()) + "/1k";
    std::string answer;
    // The library's default handler writes no page: nothing to report.
    EXPECT_EQ(proxy(down, &answer), HTTPD_FAILURE);
    EXPECT_EQ(answer, "");
    AsyncDescription d = fetch(down);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.length, 0u);

    // With the host's pages: one page, the gateway's time-out, and still a failure for the plug-in.
    hostloads::error_pages(true);
    EXPECT_EQ(proxy(down, &answer), HTTPD_FAILURE);
    EXPECT_EQ(answer.rfind("HTTP/1.0 504 ", 0), 0u) << answer;
    EXPECT_EQ(status_lines(answer), 1) << "one answer, not the loader's page and the retry loop's: " << answer;
    d = fetch(down);
    EXPECT_EQ(d.status, 504);
    EXPECT_GT(d.length, 0u);

    // A server that takes the connection and never answers: the server-socket
    // time-out ends the read.
    int silentPort = 0;
    const int silent = peers::listening_socket(&silentPort);
    ASSERT_GE(silent, 0);
    hostloads::server_timeout(1);
    const std::string mute = "http://127.0.0.1:" + std::to_string(silentPort) + "/";
    EXPECT_EQ(proxy(mute, &answer), HTTPD_FAILURE);
    EXPECT_EQ(status_lines(answer), 1) << answer;
    d = fetch(mute);
    EXPECT_GE(d.status, 500);
    close(silent);
}

// A plug-in that returns while a request it started still runs: the
// request's memory (its latch and the description, both in its pool) stays
// until that request has ended.
TEST_F(Loads, RequestMemoryOutlivesARequestLeftRunning)
{
    auto r = std::make_unique<orvhost::Request>();
    void *latch = nullptr;
    ASSERT_EQ(call(kCreate, r->handle(), &latch, nullptr), HTTPD_SUCCESS);
    auto *d = static_cast<AsyncDescription *>(api->HTMPMALLOC(r->handle(), sizeof(AsyncDescription)));
    ASSERT_NE(d, nullptr);
    const std::string one = url("/1k");
    *d = {one.c_str(), 1, 0, 0};
    ASSERT_EQ(call(kStart, r->handle(), d, latch), HTTPD_SUCCESS);
    // The plug-in has returned; the request ends on another thread.
    std::atomic<bool> gone{false};
    std::thread end([&] {
        r.reset();
        gone = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(gone.load()) << "the request's pool went while its asynchronous request was held";
    orvhost::async_release(1);
    end.join();
    EXPECT_TRUE(gone.load());

    // The same for a worker's context: the thread that started a request
    // waits for it before its request memory is reset.
    orvhost::Request kept;
    AsyncDescription held{one.c_str(), 1, 0, 0};
    void *latch2 = nullptr;
    ASSERT_EQ(call(kCreate, kept.handle(), &latch2, nullptr), HTTPD_SUCCESS);
    std::atomic<bool> started{false}, drained{false};
    std::thread worker([&] {
        EXPECT_EQ(call(kStart, kept.handle(), &held, latch2), HTTPD_SUCCESS);
        started = true;
        hostasync_drain();
        drained = true;
    });
    while (!started.load())
        std::this_thread::yield();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(drained.load());
    orvhost::async_release(1);
    worker.join();
    EXPECT_TRUE(drained.load());
    EXPECT_EQ(held.status, 200);
    EXPECT_EQ(held.length, 1024u);
    hostasync_drain(); // nothing of this thread's is left
}

} // namespace
