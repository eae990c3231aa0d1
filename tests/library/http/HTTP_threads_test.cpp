// The HTTP loader against origins written here (misbehaving on purpose) and
// nginx: the head bytes the origin gets, framing, reuse, resend, error
// pages, interim answers and de-chunked bodies.

#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTError.h"
#include "HTInputSocket.h"
#include "HTList.h"
#include "HTLoadCodes.h"
#include "HTMethod.h"
#include "HTRequest.h"
#include "HTSocket.h"
#include "HTTP.h"
#include "HTTPResp.h"
#include "HTWild.h"
#include "HTWriter.h"
#include "HTServerPref.h"
#include "htc_oom.h"
#include "htc_worker.h"
#include "peers.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// ---- an origin that runs a script per connection ----

std::string read_head(int fd)
{
    std::string in;
    char c;
    while (in.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1)
        in += c;
    return in;
}

std::string read_n(int fd, size_t n)
{
    std::string in;
    char buf[4096];
    while (in.size() < n) {
        const ssize_t k = recv(fd, buf, std::min(sizeof buf, n - in.size()), 0);
        if (k <= 0)
            break;
        in.append(buf, static_cast<size_t>(k));
    }
    return in;
}

void say(int fd, const std::string &s) { send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

class Origin {
public:
    using Script = std::function<void(int fd, Origin &o)>;
    explicit Origin(Script script) : script_(std::move(script))
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = accept(fd_, nullptr, nullptr);
                if (c < 0)
                    return;
                ++connections;
                {
                    std::lock_guard<std::mutex> l(m_);
                    fds_.push_back(c);
                }
                timeval tv{5, 0};
                setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                workers_.emplace_back([this, c] {
                    script_(c, *this);
                    shutdown(c, SHUT_RDWR);
                    ++ended;
                });
            }
        });
    }
    ~Origin()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
        {
            // Scripts still waiting on a connection the loader keeps end now.
            std::lock_guard<std::mutex> l(m_);
            for (int c : fds_)
                shutdown(c, SHUT_RDWR);
        }
        for (auto &t : workers_)
            t.join();
        for (int c : fds_)
            close(c);
    }
    int port() const { return port_; }
    void record(const std::string &s)
    {
        std::lock_guard<std::mutex> l(m_);
        received_.push_back(s);
    }
    std::vector<std::string> received()
    {
        std::lock_guard<std::mutex> l(m_);
        return received_;
    }
    std::atomic<int> connections{0};
    std::atomic<int> ended{0};

private:
    Script script_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::vector<std::thread> workers_;
    std::mutex m_;
    std::vector<std::string> received_;
    std::vector<int> fds_;
};

// ---- the client side: a writer on one end of a socket pair, drained on the other ----

struct Page {
    int status = 0;
    std::string message;
};
thread_local Page *page = nullptr;

int capture_page(HTRequest *request, int status, const char *message, HTThdGlobals *)
{
    if (page) {
        page->status = status;
        page->message = message ? message : "";
    }
    (void)request;
    return -status;
}

struct Result {
    std::string left; // what the client sent that the loader did not read
    int rc = 0;
    std::string client;
    Page page;
    int detailed = -1;
    int client_close = 0;
};

class HTTPLoader : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        // The pool's collector reads the configuration of the thread that
        // starts the pool, for good: one record that never changes. Each
        // test's requests read a record of their own.
        static HTStaticConfig collector = [] {
            HTStaticConfig c{};
            c.server_idle_limit = 60;
            c.server_gc_interval = 60;
            return c;
        }();
        g->config = &collector;
        HTLoadError_setHandler(capture_page);
    }
    void TearDown() override
    {
        if (g)
            http_close();
        HTLoadError_setHandler(nullptr);
        WorkerTest::TearDown();
    }
    void http_close()
    {
        if (g->server_socket)
            CompleteSocketClose(g->server_socket, g, 1);
    }

    // One request through HTLoadHTTP; `body` is what the client sends after the head.
    Result load(const std::string &method, const std::string &url, std::function<void(HTRequest *)> setup = {},
                const std::string &body = {}, const std::string &headers = "Accept: */*\r\n",
                bool brokenClient = false)
    {
        Result r;
        int pair[2], in[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        socketpair(AF_UNIX, SOCK_STREAM, 0, in);
        std::string got;
        std::thread drain([&] {
            char buf[65536];
            ssize_t k;
            while ((k = recv(pair[1], buf, sizeof buf, 0)) > 0)
                got.append(buf, static_cast<size_t>(k));
        });
        if (!body.empty())
            send(in[1], body.data(), body.size(), MSG_NOSIGNAL);
        shutdown(in[1], SHUT_WR);
        if (brokenClient)
            shutdown(pair[1], SHUT_RD);
        HTSocket *out = HTSocketQueue_get();
        out->socket = pair[0];
        HTSocket *cin = HTSocketQueue_get();
        cin->socket = in[0];
        HTRequest *request = HTRequest_new(g);
        request->config = &cfg;
        request->method = HTMethod_enum(method.c_str());
        request->anchor = HTAnchor_findAddress(url.c_str(), g);
        HTAnchor_setPhysical(request->anchor, url.c_str());
        request->client_input = HTInputSocket_new(cin, request);
        g->client_headers = HTMemPoolStrdup(headers.c_str(), g);
        g->client_headers_length = headers.size();
        request->output_stream = HTWriter_newNoClose(out, request);
        if (setup)
            setup(request);
        Page p;
        page = &p;
        r.rc = HTLoadHTTP(request, g);
        page = nullptr;
        if (r.rc != HT_LOAD_OK) {
            HTStream *s = request->output_stream;
            s->isa->free(s, nullptr);
        }
        r.page = p;
        r.detailed = g->detailed_error;
        r.client_close = g->client_close;
        {
            int n = 0;
            char *p = HTInputSocket_getInputPointer(request->client_input, &n);
            r.left.assign(p, static_cast<size_t>(n));
            char buf[4096];
            ssize_t k;
            while ((k = recv(in[0], buf, sizeof buf, MSG_DONTWAIT)) > 0)
                r.left.append(buf, static_cast<size_t>(k));
        }
        shutdown(pair[0], SHUT_RDWR);
        drain.join();
        close(pair[0]);
        close(pair[1]);
        close(in[0]);
        close(in[1]);
        out->socket = -1;
        HTSocketQueue_return(out);
        cin->socket = -1;
        HTSocketQueue_return(cin);
        r.client = got;
        HTRequest_delete(request);
        end_request();
        return r;
    }
    std::string url(int port, const std::string &path = "/x") const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    HTStaticConfig cfg{};
};

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// Answers each request of the connection with `answer`, recording heads (and bodies by Content-Length).
Origin::Script serve_all(const std::string &answer)
{
    return [answer](int fd, Origin &o) {
        for (;;) {
            std::string h = read_head(fd);
            if (h.empty())
                return;
            const auto cl = peers::header(h, "Content-Length");
            if (cl)
                h += read_n(fd, std::stoul(*cl));
            o.record(h);
            say(fd, answer);
        }
    };
}

TEST_F(HTTPLoader, RequestHeadsAsTheOriginGetsThem)
{
    Origin o(serve_all(kOk));
    struct Case {
        const char *method;
        const char *path;
        std::function<void(HTRequest *)> setup;
        const char *line;
    } cases[] = {
        {"GET", "/a/b?q=1", {}, "GET /a/b?q=1 HTTP/1.1\r\n"},
        {"OPTIONS", "", {}, "OPTIONS * HTTP/1.1\r\n"},
        {"HEAD", "/h", [](HTRequest *r) { r->downgrade = 1; }, "HEAD /h HTTP/1.0\r\n"},
    };
    for (const Case &c : cases) {
        const Result r = load(c.method, url(o.port(), c.path), c.setup);
        EXPECT_EQ(r.rc, HT_LOAD_OK) << c.method;
        EXPECT_EQ(r.client.rfind("HTTP/1.1 200 OK", 0), 0u) << r.client;
    }
    const auto heads = o.received();
    ASSERT_EQ(heads.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(heads[i].rfind(cases[i].line, 0), 0u) << heads[i];
        EXPECT_NE(heads[i].find("\r\nAccept: */*\r\n\r\n"), std::string::npos) << heads[i];
    }
}

TEST_F(HTTPLoader, AbsoluteTargetThroughAParentAndUserInformation)
{
    Origin o(serve_all(kOk));
    // Through a parent the path holds the whole URL behind its '/'.
    const std::string physical = url(o.port(), "/http://origin.example/p?x");
    Result r = load("GET", physical, [](HTRequest *q) { q->flags |= HT_REQ_VIA_PROXY; });
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    // The host follows the last '@' of the authority.
    r = load("GET", "http://us@er:pw@127.0.0.1:" + std::to_string(o.port()) + "/u");
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    const auto heads = o.received();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0].rfind("GET http://origin.example/p?x HTTP/1.1\r\n", 0), 0u) << heads[0];
    EXPECT_EQ(heads[1].rfind("GET /u HTTP/1.1\r\n", 0), 0u) << heads[1];
}

TEST_F(HTTPLoader, PostBodiesWithCRLFPatternAndLimit)
{
    Origin o([](int fd, Origin &org) {
        std::string h = read_head(fd);
        h += read_n(fd, 12);
        org.record(h);
        say(fd, kOk);
    });
    HTPattern *p = HTPattern_new("http://127.0.0.1:*/form*");
    cfg.crlf_patterns = HTList_new(g);
    HTList_appendObject(cfg.crlf_patterns, p, g);
    // The body the client sends is followed by a pipelined request that must stay.
    const Result r = load("POST", url(o.port(), "/form"),
                          [](HTRequest *q) {
                              q->content_length = 10;
                              q->content_length_set = 1;
                          },
                          "0123456789GET /next HTTP/1.1\r\n\r\n", "Content-Length: 10\r\n");
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_EQ(r.left, "GET /next HTTP/1.1\r\n\r\n");
    const auto got = o.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].substr(got[0].find("\r\n\r\n") + 4), "0123456789\r\n");
    HTList_delete(cfg.crlf_patterns, g);
    HTPattern_free(p);

    // A declared length above the limit is refused with the page, nothing sent.
    cfg.crlf_patterns = nullptr;
    cfg.request_body_limit = 5;
    const Result big = load("POST", url(o.port(), "/big"), [](HTRequest *q) {
        q->content_length = 10;
        q->content_length_set = 1;
    });
    EXPECT_EQ(big.rc, HT_LOAD_RETRY);
    EXPECT_EQ(big.detailed, HT_DERR_HTTPNOFORWARD);
}

TEST_F(HTTPLoader, HundredGetsOnOnePooledConnection)
{
    Origin o(serve_all(kOk));
    cfg.server_conn_pool = 1;
    cfg.server_idle_limit = 60;
    cfg.max_socket_per_server = 10;
    for (int i = 0; i < 100; ++i) {
        const Result r = load("GET", url(o.port(), "/n" + std::to_string(i)));
        ASSERT_EQ(r.rc, HT_LOAD_OK) << i;
        ASSERT_EQ(r.client, kOk) << i;
    }
    EXPECT_EQ(o.connections.load(), 1);
    EXPECT_EQ(o.received().size(), 100u);
}

TEST_F(HTTPLoader, KeptConnectionClosedByTheOriginIsRetriedOnce)
{
    // Each connection answers one request and closes without saying so.
    Origin o([](int fd, Origin &org) {
        org.record(read_head(fd));
        say(fd, kOk);
        char c;
        recv(fd, &c, 1, MSG_PEEK);
    });
    for (int i = 0; i < 3; ++i) {
        const Result r = load("GET", url(o.port()));
        EXPECT_EQ(r.rc, HT_LOAD_OK) << i;
        EXPECT_EQ(r.client, kOk) << i;
    }
    EXPECT_EQ(o.received().size(), 3u);

    // An origin that takes the request and closes silently every time: one retry, then the page.
    Origin mute([](int fd, Origin &org) { org.record(read_head(fd)); });
    const Result r = load("GET", url(mute.port(), "/q\"<x>"));
    EXPECT_EQ(r.rc, HT_LOAD_RETRY);
    EXPECT_EQ(r.page.status, 504);
    EXPECT_EQ(r.detailed, HT_DERR_OUTPUTTIMEOUT);
    EXPECT_NE(r.page.message.find("/q&quot;&lt;x&gt;"), std::string::npos) << r.page.message;
}

TEST_F(HTTPLoader, ErrorPagesEscapeWhatTheyInsert)
{
    // Nothing listens on this port.
    const int dead = peers::free_port();
    Result r = load("GET", "http://127.0.0.1:" + std::to_string(dead) + "/\"a\"");
    EXPECT_EQ(r.rc, HT_LOAD_RETRY_CONNECT);
    EXPECT_EQ(r.page.status, 504);
    EXPECT_EQ(r.detailed, HT_DERR_CONNECTFAIL);
    EXPECT_NE(r.page.message.find("/&quot;a&quot;"), std::string::npos) << r.page.message;

    g->mapping = 1;
    r = load("GET", "http://127.0.0.1:" + std::to_string(dead) + "/", [this](HTRequest *) { g->mapping = 1; });
    EXPECT_EQ(r.page.status, 400);

    r = load("GET", "http://no-such-host.invalid/<b>");
    EXPECT_EQ(r.rc, HT_LOAD_RETRY_CONNECT);
    EXPECT_EQ(r.page.status, 400);
    EXPECT_EQ(r.detailed, HT_DERR_NOPARTNER);
    EXPECT_NE(r.page.message.find("&lt;b&gt;"), std::string::npos) << r.page.message;

    r = load("GET", "");
    EXPECT_EQ(r.rc, HT_LOAD_RETRY);
    EXPECT_EQ(r.page.status, 400);
    EXPECT_EQ(r.detailed, HT_DERR_PROXYBADURL);

    r = load("GET", "http://127.0.0.1/", [](HTRequest *q) { q->bad_request = 1; });
    EXPECT_EQ(r.page.status, 400);
    EXPECT_EQ(r.detailed, HT_DERR_BADREQUEST);

    // https without a secure-socket backend: the handshake fails with its reason.
    Origin o(serve_all(kOk));
    r = load("GET", "https://127.0.0.1:" + std::to_string(o.port()) + "/s");
    EXPECT_EQ(r.rc, HT_LOAD_RETRY_CONNECT);
    EXPECT_EQ(r.page.status, 504);
    EXPECT_NE(r.page.message.find("SSL Handshake"), std::string::npos) << r.page.message;
    EXPECT_NE(r.page.message.find("secure sockets not available"), std::string::npos) << r.page.message;
}

TEST_F(HTTPLoader, MisbehavingOriginsAreFramedAndNeverReused)
{
    struct Case {
        const char *name;
        std::string answer;
        std::string client; // what the client must get
        bool client_close;
    } cases[] = {
        {"truncated", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
         true},
        {"http09", "just bytes", "", true},
        {"bare LF", "HTTP/1.1 200 OK\nContent-Length: 2\n\nokEXTRA", "", false},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\nzz\r\n",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n", true},
        {"chunk too long", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokay\r\n0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok", true},
        {"huge chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000000\r\nok",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8000000", true},
        {"both framings", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", false},
    };
    cfg.server_conn_pool = 1;
    cfg.server_idle_limit = 60;
    for (const Case &c : cases) {
        Origin o([&c](int fd, Origin &org) {
            org.record(read_head(fd));
            say(fd, c.answer);
            shutdown(fd, SHUT_WR);
            char b;
            recv(fd, &b, 1, 0);
        });
        const Result r = load("GET", url(o.port()));
        EXPECT_EQ(r.rc, HT_LOAD_OK) << c.name;
        if (!c.client.empty()) {
            EXPECT_EQ(r.client, c.client) << c.name;
        }
        EXPECT_EQ(r.client_close != 0, c.client_close) << c.name;
        // Never pooled: the next request opens a new connection.
        load("GET", url(o.port()));
        EXPECT_EQ(o.connections.load(), 2) << c.name;
    }
}

TEST_F(HTTPLoader, OverlongHeadGetsA502)
{
    Origin o([](int fd, Origin &org) {
        org.record(read_head(fd));
        say(fd, "HTTP/1.1 200 OK\r\nX-Big: " + std::string(100 * 1024, 'a') + "\r\n\r\n");
    });
    const Result r = load("GET", url(o.port()));
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_EQ(r.page.status, 502);
    EXPECT_EQ(r.detailed, HT_DERR_ORIGINBADRESP);
    EXPECT_EQ(r.client.find("X-Big"), std::string::npos);
}

TEST_F(HTTPLoader, InterimAnswers)
{
    // 100, then the final answer in the same packet: the bytes behind the 100 are kept.
    Origin cont([](int fd, Origin &org) {
        std::string h = read_head(fd);
        say(fd, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok");
        h += read_n(fd, 4);
        org.record(h);
    });
    auto body = [](HTRequest *q) {
        q->content_length = 4;
        q->content_length_set = 1;
    };
    g->expect_continue = 1;
    Result r = load("POST", url(cont.port()), [&](HTRequest *q) {
        body(q);
        g->expect_continue = 1;
    }, "abcd", "Expect: 100-continue\r\nContent-Length: 4\r\n");
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_NE(r.client.find("HTTP/1.1 201 Created\r\n"), std::string::npos) << r.client;
    for (int i = 0; i < 500 && cont.received().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(cont.received().size(), 1u);
    EXPECT_EQ(cont.received()[0].substr(cont.received()[0].size() - 4), "abcd");

    // 417 instead of 100: forwarded, the body never sent, the client connection to end.
    Origin refuse([](int fd, Origin &org) {
        org.record(read_head(fd));
        say(fd, "HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\n\r\n");
        char b;
        const ssize_t k = recv(fd, &b, 1, 0);
        org.record(k > 0 ? "body" : "nobody");
    });
    r = load("POST", url(refuse.port()), [&](HTRequest *q) {
        body(q);
        g->expect_continue = 1;
    }, "abcd", "Expect: 100-continue\r\nContent-Length: 4\r\n");
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_EQ(r.client.rfind("HTTP/1.1 417", 0), 0u) << r.client;
    EXPECT_TRUE(r.client_close);

    // Silence after Expect: after 2 s the body goes anyway.
    Origin silent([](int fd, Origin &org) {
        std::string h = read_head(fd);
        h += read_n(fd, 4);
        org.record(h);
        say(fd, kOk);
    });
    r = load("POST", url(silent.port()), [&](HTRequest *q) {
        body(q);
        g->expect_continue = 1;
    }, "abcd", "Expect: 100-continue\r\nContent-Length: 4\r\n");
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_EQ(r.client, kOk);
}

TEST_F(HTTPLoader, ChunkedClientBodiesAreDechunked)
{
    Origin o([](int fd, Origin &org) {
        std::string h = read_head(fd);
        const auto cl = peers::header(h, "Content-Length");
        if (cl)
            h += read_n(fd, std::stoul(*cl));
        org.record(h);
        say(fd, kOk);
    });
    auto chunked = [](HTRequest *q) { q->transfer_coding = "chunked"; };
    struct Case {
        const char *name;
        std::string body;
        int rc;
        const char *forwarded; // the body the origin gets, with its Content-Length
    } cases[] = {
        {"extension", "5;name=v\r\nhello\r\n0\r\n\r\n", HT_LOAD_OK, "Content-Length: 5\r\n\r\nhello"},
        {"two chunks and a trailer", "3\r\nabc\r\n2\r\nde\r\n0\r\nX-T: 1\r\n\r\n", HT_LOAD_OK,
         "Content-Length: 5\r\n\r\nabcde"},
        {"not hexadecimal", "5x\r\nhello\r\n0\r\n\r\n", HT_LOAD_FAILED, nullptr},
        {"35 digits", std::string(35, '1') + "\r\n", HT_LOAD_FAILED, nullptr},
        {"over 2^31", "80000000\r\n", HT_LOAD_FAILED, nullptr},
    };
    for (const Case &c : cases) {
        const int before = static_cast<int>(o.received().size());
        const Result r = load("POST", url(o.port()), chunked, c.body + "GET /next HTTP/1.1\r\n\r\n",
                              "Accept: */*\r\n");
        EXPECT_EQ(r.rc, c.rc) << c.name;
        if (c.rc == HT_LOAD_OK) {
            EXPECT_EQ(r.left, "GET /next HTTP/1.1\r\n\r\n") << c.name;
        }
        if (c.forwarded) {
            ASSERT_EQ(static_cast<int>(o.received().size()), before + 1) << c.name;
            const std::string h = o.received().back();
            EXPECT_NE(h.find(std::string("\r\n") + c.forwarded), std::string::npos) << c.name << h;
        }
    }
    // The 10 MiB bound.
    std::string big;
    for (int i = 0; i < 641; ++i)
        big += "4000\r\n" + std::string(0x4000, 'z') + "\r\n";
    big += "0\r\n\r\n";
    std::thread feeder;
    const Result rb = [&] {
        // Fed from a thread: more than a socket buffer holds.
        return load("POST", url(o.port()), [&](HTRequest *q) {
            q->transfer_coding = "chunked";
            int sv[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
            HTSocket *s = HTSocketQueue_get();
            s->socket = sv[0];
            q->client_input = HTInputSocket_new(s, q);
            feeder = std::thread([sv, &big] {
                send(sv[1], big.data(), big.size(), MSG_NOSIGNAL);
                close(sv[1]);
            });
        });
    }();
    feeder.join();
    EXPECT_EQ(rb.rc, HT_LOAD_FAILED);
}

TEST_F(HTTPLoader, ConnectionFate)
{
    Origin o(serve_all(kOk));
    Origin closing(serve_all("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"));
    Origin old(serve_all("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    // Pool off: the connection stays the thread's current one and is reused.
    load("GET", url(o.port()));
    load("GET", url(o.port()));
    EXPECT_EQ(o.connections.load(), 1);
    EXPECT_NE(g->server_socket, nullptr);
    // The server says close, or answers HTTP/1.0 without keep-alive: closed.
    load("GET", url(closing.port()));
    EXPECT_EQ(g->server_socket, nullptr);
    load("GET", url(closing.port()));
    EXPECT_EQ(closing.connections.load(), 2);
    load("GET", url(old.port()));
    load("GET", url(old.port()));
    EXPECT_EQ(old.connections.load(), 2);
    // Persist mapping: reserved for the client connection and used again.
    g->persist_mapping = 1;
    load("GET", url(o.port()), [this](HTRequest *) { g->persist_mapping = 1; });
    EXPECT_NE(g->reserved_socket, nullptr);
    load("GET", url(o.port()), [this](HTRequest *) { g->persist_mapping = 1; });
    EXPECT_LE(o.connections.load(), 2);
    // A reservation for another server is closed, not leaked.
    HTSocket *reserved = g->reserved_socket;
    ASSERT_NE(reserved, nullptr);
    const int fd = reserved->socket;
    load("GET", url(old.port()), [this](HTRequest *) { g->persist_mapping = 1; });
    (void)fd;
    // The origin sees the reserved connection end.
    for (int i = 0; i < 500 && o.ended.load() < o.connections.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(o.ended.load(), o.connections.load());
    g->persist_mapping = 0;
    if (g->reserved_socket) {
        HTSocket_close(g->reserved_socket, __FILE__, __LINE__, nullptr);
        g->reserved_socket = nullptr;
    }
}

TEST_F(HTTPLoader, HttpOneZeroClientsGetHeadsTheyCanFrame)
{
    const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-A: 1\r\n\r\n";
    const std::string chunks = "2;ext=1\r\nok\r\nA\r\nabcdefghij\r\n0\r\nX-Trailer: t\r\n\r\n";
    struct Case {
        const char *name;
        const char *method;
        bool asks;           // the client sent "Connection: keep-alive"
        std::string answer;
        bool origin_closes;  // the origin ends its connection after the answer
        std::string client;  // what the client must get
        bool client_close;
    } cases[] = {
        {"length, kept", "GET", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nKeep-Alive: timeout=5\r\nContent-Length: 2\r\n\r\nok", false,
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok", false},
        {"length, not asked", "GET", false, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false,
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", true},
        {"no body", "GET", true, "HTTP/1.1 204 No Content\r\nX-B: 2\r\n\r\n", false,
         "HTTP/1.1 204 No Content\r\nX-B: 2\r\nConnection: keep-alive\r\n\r\n", false},
        {"HEAD", "HEAD", true, "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", false,
         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nConnection: keep-alive\r\n\r\n", false},
        {"chunked: bare body, then the close", "GET", true, chunkedHead + chunks, false,
         "HTTP/1.1 200 OK\r\nX-A: 1\r\nConnection: close\r\n\r\nokabcdefghij", true},
        {"chunked in one-byte chunks", "GET", true, chunkedHead + "1\r\na\r\n1\r\nb\r\n0\r\n\r\n", false,
         "HTTP/1.1 200 OK\r\nX-A: 1\r\nConnection: close\r\n\r\nab", true},
        {"both framings: the chunks win, the length goes",
         "GET", true, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
         true, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nok", true},
        {"until the close", "GET", true, "HTTP/1.1 200 OK\r\nX-C: 3\r\n\r\nbytes", true,
         "HTTP/1.1 200 OK\r\nX-C: 3\r\nConnection: close\r\n\r\nbytes", true},
        {"the origin says close", "GET", true, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok",
         true, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", true},
        {"folded connection line", "GET", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive,\r\n X-Gone\r\nProxy-Connection: x\r\nContent-Length: 2\r\n\r\nok",
         false, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok", false},
        {"interim answers stay with the proxy", "GET", true,
         "HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false,
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok", false},
        {"an HTTP/1.0 origin with a length", "GET", true, "HTTP/1.0 200 OK\nContent-Length: 2\n\nok", true,
         "HTTP/1.0 200 OK\nContent-Length: 2\nConnection: keep-alive\r\n\nok", false},
    };
    cfg.server_conn_pool = 1;
    cfg.server_idle_limit = 60;
    // The plain writer takes the head as the copier passes it; a logging
    // step has it parsed into the store and sent from there.
    for (const unsigned flags : {0u, unsigned{HT_PLUGIN_LOG}}) {
        for (const Case &c : cases) {
            const std::string name = std::string(c.name) + (flags ? " (parsed)" : "");
            Origin o([&c](int fd, Origin &org) {
                for (;;) {
                    const std::string h = read_head(fd);
                    if (h.empty())
                        return;
                    org.record(h);
                    say(fd, c.answer);
                    if (c.origin_closes)
                        return;
                }
            });
            const auto oneZero = [&](HTRequest *q) {
                q->http_version = "HTTP/1.0";
                q->keep_alive = c.asks;
                g->plugin_flags = flags;
            };
            Result r = load(c.method, url(o.port()), oneZero);
            EXPECT_EQ(r.rc, HT_LOAD_OK) << name;
            if (flags == 0 || c.answer.find('\r') != std::string::npos) {
                EXPECT_EQ(r.client, c.client) << name;
            } else {
                // The parsing writer ends every line it sends with CR LF.
                EXPECT_NE(r.client.find("Connection: keep-alive\r\n"), std::string::npos) << name;
            }
            EXPECT_EQ(r.client_close != 0, c.client_close) << name;
            // The origin connection is the library's to keep: a second request
            // shares it unless the origin ended it.
            r = load(c.method, url(o.port()), oneZero);
            EXPECT_EQ(r.rc, HT_LOAD_OK) << name;
            EXPECT_EQ(o.connections.load(), c.origin_closes ? 2 : 1) << name;
            g->plugin_flags = 0;
        }
    }
}

TEST_F(HTTPLoader, AServersCloseEndsAnHttpOneOneClientsConnectionUnchanged)
{
    const std::string closing = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok";
    Origin o(serve_all(closing));
    Result r = load("GET", url(o.port()));
    EXPECT_EQ(r.client, closing);
    EXPECT_EQ(r.client_close, 1);
    Origin kept(serve_all(kOk));
    r = load("GET", url(kept.port()));
    EXPECT_EQ(r.client, kOk);
    EXPECT_EQ(r.client_close, 0);
}

TEST_F(HTTPLoader, HeadsNearTheBoundKeepTheirBodyApart)
{
    // A head a few bytes under the bound whose last byte comes in one read
    // with the body behind it: the head is held alone (its buffer has room
    // for the bound, not for a read of body bytes more), and the body
    // follows it exactly.
    std::string body;
    for (int i = 0; body.size() < 5000; ++i)
        body += std::to_string(i) + ";";
    for (const std::string &framing : {std::string(), "Content-Length: " + std::to_string(body.size()) + "\r\n"}) {
        const std::string start = "HTTP/1.1 200 OK\r\n" + framing + "X-Big: ";
        const std::string head = start + std::string(65530 - start.size() - 4, 'h') + "\r\n\r\n";
        ASSERT_EQ(head.size(), 65530u);
        const std::string answer = head + body;
        Origin o([&answer](int fd, Origin &org) {
            org.record(read_head(fd));
            say(fd, answer.substr(0, 65529));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            say(fd, answer.substr(65529));
        });
        const Result r = load("GET", url(o.port()));
        EXPECT_EQ(r.rc, HT_LOAD_OK);
        EXPECT_EQ(r.page.status, 0);
        EXPECT_EQ(r.client.size(), answer.size());
        EXPECT_TRUE(r.client == answer) << framing;
    }
}

TEST_F(HTTPLoader, SplitModeRequestThenResponse)
{
    Origin o(serve_all(kOk));
    cfg.connection_management = 1;
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    HTSocket *out = HTSocketQueue_get();
    out->socket = pair[0];
    HTRequest *request = HTRequest_new(g);
    request->config = &cfg;
    request->method = HT_METHOD_GET;
    const std::string u = url(o.port());
    request->anchor = HTAnchor_findAddress(u.c_str(), g);
    HTAnchor_setPhysical(request->anchor, u.c_str());
    request->output_stream = HTWriter_newNoClose(out, request);
    g->use_connmgmt = 1;
    EXPECT_EQ(HTLoadHTTP(request, g), HT_LOAD_UNDONE);
    EXPECT_EQ(g->request_half_done, 1);
    EXPECT_EQ(scm_HTLoadHTTPResponse(request, g), HT_LOAD_OK);
    shutdown(pair[0], SHUT_WR);
    std::string got;
    char buf[256];
    ssize_t k;
    while ((k = recv(pair[1], buf, sizeof buf, 0)) > 0)
        got.append(buf, static_cast<size_t>(k));
    EXPECT_EQ(got, kOk);
    g->use_connmgmt = 0;
    HTRequest_delete(request);
    close(pair[0]);
    close(pair[1]);
    out->socket = -1;
    HTSocketQueue_return(out);
    end_request();
}

TEST_F(HTTPLoader, MorePagesAndTheirDetailedErrors)
{
    // The origin takes the request and says nothing; under the mapping flag: 400 and httpnodata.
    Origin mute([](int fd, Origin &org) { org.record(read_head(fd)); });
    Result r = load("GET", url(mute.port(), "/m"), [this](HTRequest *) { g->mapping = 1; });
    EXPECT_EQ(r.rc, HT_LOAD_RETRY);
    EXPECT_EQ(r.page.status, 400);
    EXPECT_EQ(r.detailed, HT_DERR_HTTPNODATA);
    EXPECT_NE(r.page.message.find("did not send any data"), std::string::npos) << r.page.message;
    // The client sends fewer body bytes than it declared and goes: 408 and httpnoforward.
    Origin o(serve_all(kOk));
    r = load("POST", url(o.port()), [](HTRequest *q) {
        q->content_length = 10;
        q->content_length_set = 1;
    }, "abc", "Content-Length: 10\r\n");
    EXPECT_EQ(r.rc, HT_LOAD_RETRY);
    EXPECT_EQ(r.page.status, 408);
    EXPECT_EQ(r.detailed, HT_DERR_HTTPNOFORWARD);
    EXPECT_TRUE(r.client_close);
    // A chunked body that stops in the middle: the same.
    r = load("POST", url(o.port()), [](HTRequest *q) { q->transfer_coding = "chunked"; }, "5\r\nab");
    EXPECT_EQ(r.rc, HT_LOAD_RETRY);
    EXPECT_EQ(r.page.status, 408);
}

TEST_F(HTTPLoader, DeferredHostHeader)
{
    Origin o(serve_all(kOk));
    const Result r = load("GET", url(o.port()), [this](HTRequest *) { utilServerPref_hostDefer(1, g); });
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    ASSERT_EQ(o.received().size(), 1u);
    EXPECT_EQ(o.received()[0].rfind("GET /x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(o.port()) + "\r\n", 0), 0u)
        << o.received()[0];
}

TEST_F(HTTPLoader, SlowSilentAndBrokenAnswers)
{
    // A byte at a time.
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
    Origin slow([&chunked](int fd, Origin &org) {
        for (;;) {
            const std::string h = read_head(fd);
            if (h.empty())
                return;
            org.record(h);
            for (char c : chunked) {
                say(fd, std::string(1, c));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    });
    cfg.server_conn_pool = 1;
    cfg.server_idle_limit = 60;
    for (int i = 0; i < 2; ++i) {
        const Result r = load("GET", url(slow.port()));
        EXPECT_EQ(r.client, chunked);
        EXPECT_FALSE(r.client_close);
    }
    EXPECT_EQ(slow.connections.load(), 1);

    // Silence in the middle of the body: the read time-out of the server socket ends it.
    HTServerSocketTimer = [](HTSocket *s, HTRequest *, int on) {
        timeval tv{on ? 1 : 0, 0};
        setsockopt(s->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    };
    Origin silent([](int fd, Origin &org) {
        org.record(read_head(fd));
        say(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        char b;
        recv(fd, &b, 1, 0); // until the loader gives up
    });
    Result r = load("GET", url(silent.port()));
    HTServerSocketTimer = nullptr;
    EXPECT_EQ(r.rc, HT_LOAD_OK);
    EXPECT_EQ(r.client, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    EXPECT_TRUE(r.client_close);
    load("GET", url(silent.port()));
    EXPECT_EQ(silent.connections.load(), 2);

    // A client that cannot be written: the server connection is not pooled.
    Origin big(serve_all("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + std::string(300000, 'x')));
    r = load("GET", url(big.port()), {}, {}, "Accept: */*\r\n", true);
    EXPECT_EQ(g->output_healthy, 0);
    load("GET", url(big.port()));
    EXPECT_EQ(big.connections.load(), 2);
}

TEST_F(HTTPLoader, AllocationFailuresLeaveTheRequestCleanly)
{
    Origin o(serve_all(kOk));
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    std::thread drain([&] {
        char buf[4096];
        while (recv(pair[1], buf, sizeof buf, 0) > 0) {
        }
    });
    HTSocket *out = HTSocketQueue_get();
    out->socket = pair[0];
    static char urlText[64];
    std::snprintf(urlText, sizeof urlText, "http://127.0.0.1:%d/oom", o.port());
    static int rc;
    static HTRequest *request;
    HTThdGlobals *ctx = g;
    HTStaticConfig *conf = &cfg;
    auto op = [ctx, out, conf] {
        rc = 0;
        request = nullptr;
        request = HTRequest_new(ctx);
        request->config = conf;
        request->method = HT_METHOD_GET;
        request->anchor = HTAnchor_findAddress(urlText, ctx);
        HTAnchor_setPhysical(request->anchor, urlText);
        request->output_stream = HTWriter_newNoClose(out, request);
        rc = HTLoadHTTP(request, ctx);
    };
    const unsigned long rounds = htc_each_failure(op, [this](const HtcOomRound &round) {
        if (!round.raised) {
            EXPECT_EQ(rc, HT_LOAD_OK) << "round " << round.n;
        }
        if (g->server_socket)
            CompleteSocketClose(g->server_socket, g, 1);
        HTRequest_delete(request);
        end_request();
    });
    EXPECT_GT(rounds, 1u);
    shutdown(pair[0], SHUT_RDWR);
    drain.join();
    close(pair[0]);
    close(pair[1]);
    out->socket = -1;
    HTSocketQueue_return(out);
}

TEST(EncodeScriptCharacters, EscapesTheFiveAndLeavesTheRest)
{
    ASSERT_EQ(htc_test_start(), 1);
    const char *plain = "http://a/b?c=d&e";
    EXPECT_EQ(EncodeScriptCharacters(plain, nullptr), plain);
    htc_as_worker([](HTThdGlobals *g) {
        EXPECT_STREQ(EncodeScriptCharacters("<\"&>\n\r", g), "&lt;&quot;&&gt;&#x000A;&#x000D;");
    });
}

} // namespace
