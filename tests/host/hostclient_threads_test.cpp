// The host's client side: its request-head parser, and standin-proxy serving
// keep-alive clients through the connection manager and the worker pool
// (started by the tests from a private configuration, under the emulator
// on a cross build): plain requests, wrk with 2000 keep-alive connections,
// and 10 000 idle connections timed out at the configured idle time, sooner
// when sessions run short.
#include "hostclient.h"

#include "fd_limit.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

#ifdef HT_TEST_REDUCED
constexpr int kIdleConnections = 1000;
constexpr int kWrkConnections = 200;
constexpr const char *kWrkDuration = "3s";
#else
constexpr int kIdleConnections = 10000;
constexpr int kWrkConnections = 2000;
constexpr const char *kWrkDuration = "10s";
#endif

// ---- the parser ----

struct HeadCase {
    const char *requestLine;
    std::vector<const char *> headers;
    int result;            // of the last call
    int keepAlive;
    long long length;
    int chunked;
};

TEST(RequestHead, LinesAreParsedAsTheHostNeedsThem)
{
    const HeadCase cases[] = {
        {"GET / HTTP/1.1", {}, 0, 1, -1, 0},
        {"GET /a?b HTTP/1.0", {}, 0, 0, -1, 0},
        {"GET / HTTP/1.0", {"Connection: Keep-Alive"}, 0, 1, -1, 0},
        {"GET / HTTP/1.1", {"Connection: keep-alive, close"}, 0, 0, -1, 0},
        {"GET / HTTP/1.1", {"connection:close"}, 0, 0, -1, 0},
        {"POST /f HTTP/1.1", {"Content-Length: 12", "content-length:12 "}, 0, 1, 12, 0},
        {"POST /f HTTP/1.1", {"Content-Length: 12", "Content-Length: 13"}, -1, 1, 12, 0},
        {"POST /f HTTP/1.1", {"Content-Length: 1x"}, -1, 1, -1, 0},
        {"POST /f HTTP/1.1", {"Content-Length:"}, -1, 1, -1, 0},
        {"POST /f HTTP/1.1", {"Content-Length: 99999999999999999999"}, -1, 1, -1, 0},
        {"POST /f HTTP/1.1", {"Transfer-Encoding: chunked"}, 0, 1, -1, 1},
        // Both framings, in either order: refused.
        {"POST /f HTTP/1.1", {"Content-Length: 3", "Transfer-Encoding: chunked"}, -1, 1, 3, 1},
        {"POST /f HTTP/1.1", {"Transfer-Encoding: chunked", "Content-Length: 3"}, -1, 1, 3, 1},
        {"GET / HTTP/1.1", {"X-A: 1", " folded", "\tfolded"}, 0, 1, -1, 0},
        {"GET / HTTP/1.1", {"no colon here"}, -1, 1, -1, 0},
        {"GET / HTTP/1.1", {": no name"}, -1, 1, -1, 0},
        {"GET / HTTP/1.1", {"Bad Name: x"}, -1, 1, -1, 0},
        {"GET / HTTP/2.0", {}, 0, 1, -1, 0},
    };
    for (const HeadCase &c : cases) {
        HostRequestHead head;
        int rc = hostclient_parseRequestLine(c.requestLine, &head);
        for (const char *h : c.headers)
            rc = hostclient_parseHeaderLine(h, &head);
        EXPECT_EQ(rc, c.result) << c.requestLine << " / " << (c.headers.empty() ? "" : c.headers.back());
        EXPECT_EQ(head.keep_alive, c.keepAlive) << c.requestLine;
        EXPECT_EQ(head.content_length, c.length) << c.requestLine;
        EXPECT_EQ(head.chunked, c.chunked) << c.requestLine;
        EXPECT_EQ(head.headers, static_cast<int>(c.headers.size()));
    }
    HostRequestHead head;
    for (const char *bad : {"", "GET", "GET /", "GET / HTTP/1.1 ", "GET  / HTTP/1.1", "GET / HTTP/11",
                            "GET / http/1.1", "GET / HTTP/1.x", "G(T / HTTP/1.1", " GET / HTTP/1.1",
                            "GET /\x01 HTTP/1.1"})
        EXPECT_EQ(hostclient_parseRequestLine(bad, &head), -1) << '"' << bad << '"';
    EXPECT_EQ(hostclient_parseRequestLine(nullptr, &head), -1);
    EXPECT_EQ(hostclient_parseHeaderLine(nullptr, &head), -1);
}

TEST(RequestHead, FieldsNamedByConnectionAreThisHopsOnly)
{
    struct Case {
        const char *line;
        const char *connection;
        int named;
    };
    const Case cases[] = {
        {"X-Hop: 1", " close, X-Hop", 1},  {"x-hop : 1", "X-HOP", 1},   {"X-Hop: 1", "keep-alive,,x-hop ", 1},
        {"X-Hopper: 1", "X-Hop", 0},       {"X-Ho: 1", "X-Hop", 0},     {"X-Hop: 1", "", 0},
        {"no colon", "no colon", 0},       {"X-Hop: 1", nullptr, 0},    {nullptr, "X-Hop", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hostclient_namedByConnection(c.line, c.connection), c.named)
            << (c.line ? c.line : "null") << " / " << (c.connection ? c.connection : "null");
}

// ---- standin-proxy ----

std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

struct Stats {
    unsigned long accepts = 0, requests = 0, timeouts = 0, ends = 0, refused = 0;
    long sessions = -1;
};

// standin-proxy from a private configuration; stopped (SIGTERM) when it goes.
class Host {
public:
    explicit Host(const std::string &config) : dir_("orvhost")
    {
        // The example service plug-in answers every /hello URL: no origin needed.
        dir_.write("host.conf", "ListenAddress 127.0.0.1\nListenPort 0\nServicePlugin http://* " HELLO_SERVICE
                                " hello_service\n" + config);
        std::vector<std::string> argv = words_of(HOST_EMULATOR);
        argv.push_back(STANDIN_PROXY);
        argv.push_back("--config");
        argv.push_back(dir_.file("host.conf"));
        // The sanitizers' settings go along, so that a report ends the host.
        std::vector<std::string> env{"PATH=/usr/bin:/bin"};
        for (const char *v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
            if (const char *value = std::getenv(v))
                env.push_back(std::string(v) + "=" + value);
        child_ = std::make_unique<peers::Child>(argv, env, dir_, "out");
        for (int i = 0; i < 1500 && port_ == 0; ++i) {
            const std::string out = dir_.read("out");
            const auto at = out.find("listening on 127.0.0.1:");
            if (at != std::string::npos && out.find('\n', at) != std::string::npos)
                port_ = std::atoi(out.c_str() + at + 23);
            else
                std::this_thread::sleep_for(20ms);
        }
    }
    int port() const { return port_; }
    std::string output() const { return dir_.read("out"); }

    // The counters, asked for with SIGUSR1.
    Stats stats()
    {
        const size_t before = lines("standin-proxy: stats");
        kill(child_->pid(), SIGUSR1);
        for (int i = 0; i < 1000 && lines("standin-proxy: stats") == before; ++i)
            std::this_thread::sleep_for(10ms);
        const std::string out = output();
        const auto at = out.rfind("standin-proxy: stats");
        Stats s;
        if (at != std::string::npos)
            std::sscanf(out.c_str() + at, "standin-proxy: stats accepts=%lu requests=%lu timeouts=%lu ends=%lu refused=%lu sessions=%ld",
                        &s.accepts, &s.requests, &s.timeouts, &s.ends, &s.refused, &s.sessions);
        return s;
    }
    // Waits until `ok(stats)` holds; the last stats.
    template <class F> Stats wait_for(F ok, std::chrono::seconds limit = 60s)
    {
        const auto until = Clock::now() + limit;
        Stats s = stats();
        while (!ok(s) && Clock::now() < until) {
            std::this_thread::sleep_for(50ms);
            s = stats();
        }
        return s;
    }

private:
    size_t lines(const std::string &what) const
    {
        const std::string out = output();
        size_t n = 0;
        for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1))
            ++n;
        return n;
    }
    peers::TempDir dir_;
    std::unique_ptr<peers::Child> child_;
    int port_ = 0;
};

// A client connection from `source` (a loopback address; spreading them
// keeps the ephemeral ports from running out).
int connect_client(int port, const std::string &source = "127.0.0.1")
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in from = peers::address(source.c_str(), 0);
    sockaddr_in to = peers::address("127.0.0.1", port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &text)
{
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// One response (head and its Content-Length bytes); empty at end of stream.
std::string read_response(int fd, std::string &pending)
{
    char buf[4096];
    for (;;) {
        const auto end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            const auto cl = pending.find("Content-Length: ");
            const size_t len = cl == std::string::npos || cl > end ? 0 : std::stoul(pending.substr(cl + 16));
            if (pending.size() >= end + 4 + len) {
                std::string r = pending.substr(0, end + 4 + len);
                pending.erase(0, end + 4 + len);
                return r;
            }
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return std::string();
        pending.append(buf, static_cast<size_t>(n));
    }
}

// True when the host has closed the connection (nothing else arrives; a
// close with bytes of the client still unread is a reset).
bool closed_by_host(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
        return false;
    char c;
    const ssize_t n = read(fd, &c, 1);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

const std::string kUrl = "http://127.0.0.1:1/hello";
const std::string kGet = "GET " + kUrl + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 21\r\n"
                        "Via: 1.1 standin-proxy\r\nConnection: keep-alive\r\n\r\nhello from the proxy\n";

TEST(StandinProxy, AnswersAndKeepsOrEndsEachConnectionAsAsked)
{
    Host host("SelectThreads 2\nWorkerThreads 4\nSessions 100\nPersistTimeout 60\n");
    ASSERT_NE(host.port(), 0) << host.output();
    {
        const int fd = connect_client(host.port());
        std::string pending;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(send_all(fd, kGet));
            EXPECT_EQ(read_response(fd, pending), kOk);
        }
        // Two requests in one write: both answered, in order.
        ASSERT_TRUE(send_all(fd, kGet + kGet));
        EXPECT_EQ(read_response(fd, pending), kOk);
        EXPECT_EQ(read_response(fd, pending), kOk);
        close(fd);
    }
    struct Ending {
        std::string request;
        std::string status;
    };
    const std::string longLine(70, 'x');
    std::string bigHead;
    for (int i = 0; i < 70; ++i)
        bigHead += "X-" + std::to_string(i) + ": " + std::string(1000, 'v') + "\r\n";
    const Ending endings[] = {
        {"GET " + kUrl + " HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
        {"GET " + kUrl + " HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK"},
        // A body the plug-in did not read: answered, and the connection ends.
        {"POST " + kUrl + " HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 200 OK"},
        {"GET /\r\n\r\n", "HTTP/1.1 400 "},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 400 "},
        {"GET " + kUrl + " HTTP/1.1\r\nno colon\r\n\r\n", "HTTP/1.1 400 "},
        {"POST " + kUrl + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", "HTTP/1.1 400 "},
        {"POST " + kUrl + " HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 400 "},
        {"POST " + kUrl + " HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "HTTP/1.1 400 "},
        {"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n", "HTTP/1.1 501 "},
        {"GET nntp://127.0.0.1/x HTTP/1.1\r\n\r\n", "HTTP/1.1 501 "},
        {"GET http://127.0.0.1:1/" + std::string(9000, 'p') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 "},
        {"GET " + kUrl + " HTTP/1.1\r\nX: " + std::string(9000, 'x') + "\r\n\r\n", "HTTP/1.1 431 "},
        {"GET " + kUrl + " HTTP/1.1\r\n" + bigHead + "\r\n", "HTTP/1.1 431 "},
    };
    for (const Ending &e : endings) {
        const int fd = connect_client(host.port());
        ASSERT_TRUE(send_all(fd, e.request));
        std::string pending;
        const std::string r = read_response(fd, pending);
        EXPECT_EQ(r.rfind(e.status, 0), 0u) << e.request.substr(0, 60) << " -> " << r;
        EXPECT_NE(r.find("Connection: close"), std::string::npos) << r;
        EXPECT_TRUE(closed_by_host(fd)) << e.request.substr(0, 40);
        close(fd);
    }
    {
        // HTTP/1.0 asking to keep the connection.
        const int fd = connect_client(host.port());
        std::string pending;
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(send_all(fd, "GET " + kUrl + " HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
            EXPECT_EQ(read_response(fd, pending), kOk);
        }
        close(fd);
    }
    const unsigned long n = sizeof endings / sizeof endings[0];
    const Stats s = host.wait_for([](const Stats &s) { return s.sessions == 0; });
    EXPECT_EQ(s.sessions, 0);
    EXPECT_EQ(s.accepts, n + 2);
    EXPECT_EQ(s.ends, n + 2);
    EXPECT_EQ(s.requests, n + 7);
    // One access-log line per answer, with its connection and number on it.
    const std::string out = host.output();
    EXPECT_NE(out.find("\"GET " + kUrl + " HTTP/1.1\" 200 134 conn="), std::string::npos) << out;
    EXPECT_NE(out.find("req=5\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\"CONNECT 127.0.0.1:443 HTTP/1.1\" 501 "), std::string::npos) << out;
    EXPECT_NE(out.find("\"-\" 414 "), std::string::npos) << out;
}

// No free session record: the connection gets 503 and a close at once, and
// the connections holding the records are served on.
TEST(StandinProxy, NoFreeSessionGets503)
{
    Host host("SelectThreads 1\nWorkerThreads 2\nSessions 2\nPersistTimeout 60\n");
    ASSERT_NE(host.port(), 0) << host.output();
    const int a = connect_client(host.port()), b = connect_client(host.port());
    std::string pa, pb;
    ASSERT_TRUE(send_all(a, kGet) && send_all(b, kGet));
    EXPECT_EQ(read_response(a, pa), kOk);
    EXPECT_EQ(read_response(b, pb), kOk);
    const int c = connect_client(host.port());
    std::string pc;
    const std::string refused = read_response(c, pc);
    EXPECT_EQ(refused.rfind("HTTP/1.1 503 ", 0), 0u) << refused;
    EXPECT_TRUE(closed_by_host(c));
    close(c);
    ASSERT_TRUE(send_all(a, kGet));
    EXPECT_EQ(read_response(a, pa), kOk);
    close(a);
    close(b);
    const Stats s = host.wait_for([](const Stats &s) { return s.sessions == 0; });
    EXPECT_EQ(s.refused, 1u);
    EXPECT_EQ(s.sessions, 0);
}

TEST(StandinProxy, WrkWithKeepAliveGetsOnlyRightAnswersOnReusedConnections)
{
    const std::string wrk = peers::find_program("wrk");
    if (wrk.empty())
        GTEST_SKIP() << "needs wrk";
    raise_fd_limit(2 * kWrkConnections + 500);
    Host host("SelectThreads 4\nWorkerThreads 48\nSessions " + std::to_string(2 * kWrkConnections) +
              "\nPersistTimeout 60\nAccessLog off\n");
    ASSERT_NE(host.port(), 0) << host.output();
    peers::TempDir dir("htwrk");
    // Every answer is checked; the threads' counts are summed at the end.
    dir.write("check.lua", "wrk.path = \"" + kUrl + "\"\n"
                           "wrk.headers[\"Host\"] = \"127.0.0.1:1\"\n"
                           "local threads = {}\n"
                           "function setup(thread) table.insert(threads, thread) end\n"
                           "function init(args) wrong = 0 end\n"
                           "function response(status, headers, body)\n"
                           "  if status ~= 200 or body ~= \"hello from the proxy\\n\" then wrong = wrong + 1 end\n"
                           "end\n"
                           "function done(summary, latency, requests)\n"
                           "  local w = 0\n"
                           "  for _, t in ipairs(threads) do w = w + t:get(\"wrong\") end\n"
                           "  io.write(string.format(\"wrong answers %d\\n\", w))\n"
                           "end\n");
    // wrk's own 2 s deadline for an answer is a wall-clock bound; a loaded machine passes it.
    peers::Child run({wrk, "-t2", "-c" + std::to_string(kWrkConnections), "-d" + std::string(kWrkDuration),
                      "--timeout", "30s", "-s", dir.file("check.lua"), "http://127.0.0.1:" + std::to_string(host.port()) + "/"},
                     {"PATH=/usr/bin:/bin"}, dir, "wrk.out");
    ASSERT_EQ(run.wait(120), 0) << dir.read("wrk.out");
    const std::string out = dir.read("wrk.out");
    std::printf("%s", out.c_str());
    EXPECT_EQ(out.find("Socket errors"), std::string::npos) << out;
    EXPECT_EQ(out.find("Non-2xx"), std::string::npos) << out;
    EXPECT_NE(out.find("wrong answers 0\n"), std::string::npos) << out;
    unsigned long requests = 0;
    const auto at = out.find(" requests in ");
    ASSERT_NE(at, std::string::npos) << out;
    requests = std::stoul(out.substr(out.rfind('\n', at) + 1));
    EXPECT_GT(requests, static_cast<unsigned long>(10 * kWrkConnections));
    const Stats s = host.stats();
    // Connections really reused: one accept each (and a few for wrk's own check).
    EXPECT_LE(s.accepts, static_cast<unsigned long>(kWrkConnections + 10));
    EXPECT_GE(s.requests, requests);
    EXPECT_EQ(s.refused, 0u);
}

// Client connections opened in a row, each spread over 127.0.0.2 to .51.
// `opened`, when given, gets the time each connect started: the host cannot
// have taken the connection, and so started its idle time, before then.
std::vector<int> open_clients(int port, int n, std::vector<Clock::time_point> *opened = nullptr)
{
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const Clock::time_point start = Clock::now();
        const int fd = connect_client(port, "127.0.0." + std::to_string(2 + i % 50));
        if (fd < 0)
            break;
        fds.push_back(fd);
        if (opened)
            opened->push_back(start);
    }
    return fds;
}

// Seconds from `since[i]` to the host's close of each connection, waiting
// at most `limit`; -1 for one still open then.
std::vector<double> wait_closes(const std::vector<int> &fds, const std::vector<Clock::time_point> &since,
                                std::chrono::seconds limit)
{
    std::vector<double> after(fds.size(), -1);
    std::vector<pollfd> p;
    for (int fd : fds)
        p.push_back({fd, POLLIN, 0});
    size_t left = fds.size();
    const auto until = Clock::now() + limit;
    while (left > 0 && Clock::now() < until) {
        if (poll(p.data(), p.size(), 100) <= 0)
            continue;
        const auto now = Clock::now();
        for (size_t i = 0; i < p.size(); ++i) {
            if (p[i].fd < 0 || !p[i].revents)
                continue;
            char c;
            after[i] = read(p[i].fd, &c, 1) == 0 ? std::chrono::duration<double>(now - since[i]).count() : -2;
            p[i].fd = -1;
            --left;
        }
    }
    return after;
}

// Descriptors closed when the test ends, however it ends (a failed
// assertion must not leave thousands open for the next test).
struct Fds {
    std::vector<int> v;
    Fds() = default;
    Fds(const Fds &) = delete;
    Fds &operator=(const Fds &) = delete;
    ~Fds()
    {
        for (int fd : v)
            if (fd >= 0)
                close(fd);
    }
};

// Every idle time is judged from the client's clock at a moment the host
// cannot have seen the connection's last activity before: the start of its
// connect, or the sending of its last request. The host never ends one as
// idle sooner than the time-out after that; how long the opening of 10 000
// connections takes (longer than the time-out on a loaded machine) changes
// which connections may be gone, never what must hold.
TEST(StandinProxy, TenThousandIdleConnectionsAreAnsweredAndTimedOut)
{
    constexpr int kTimeout = 8;
    constexpr auto kIdle = std::chrono::seconds(kTimeout);
    // The host's clock reads milliseconds: a close this much before the time-out is still on time.
    constexpr auto kTick = std::chrono::milliseconds(10);
    const int n = kIdleConnections;
    if (raise_fd_limit(static_cast<rlim_t>(n) + 500) < static_cast<rlim_t>(n) + 500)
        GTEST_SKIP() << "needs " << n + 500 << " descriptors";
    Host host("SelectThreads 4\nWorkerThreads 16\nSessions " + std::to_string(4 * n) + "\nPersistTimeout " +
              std::to_string(kTimeout) + "\nAccessLog off\n");
    ASSERT_NE(host.port(), 0) << host.output();
    std::vector<Clock::time_point> last;
    Fds fds;
    fds.v = open_clients(host.port(), n, &last);
    ASSERT_EQ(static_cast<int>(fds.v.size()), n);
    // Connections still open here that have been idle the whole time-out by `at`.
    const auto idle_by = [&](Clock::time_point at) {
        unsigned long k = 0;
        for (size_t i = 0; i < last.size(); ++i)
            k += fds.v[i] >= 0 && at - last[i] >= kIdle - kTick;
        return k;
    };

    // Every connection is taken and held, unless its time-out has come.
    const Stats taken = host.wait_for([&](const Stats &s) {
        return s.accepts == static_cast<unsigned long>(n) && s.sessions + static_cast<long>(s.ends) == n;
    });
    EXPECT_EQ(taken.accepts, static_cast<unsigned long>(n));
    EXPECT_EQ(taken.refused, 0u);
    EXPECT_EQ(taken.sessions + static_cast<long>(taken.ends), n);
    EXPECT_EQ(taken.ends, taken.timeouts) << "a connection ended other than by its time-out";
    EXPECT_LE(taken.timeouts, idle_by(Clock::now())) << "a connection timed out early";

    // Requests on connections picked at random among those idle less than
    // half the time-out are answered; one the host closed instead must have
    // been idle the whole time-out by then.
    std::mt19937 r(5);
    std::vector<size_t> answered;
    int closed = 0;
    for (int i = 0; i < 200; ++i) {
        std::vector<size_t> young;
        const auto now = Clock::now();
        for (size_t k = 0; k < last.size(); ++k)
            if (now - last[k] < kIdle / 2)
                young.push_back(k);
        ASSERT_FALSE(young.empty());
        const size_t k = young[r() % young.size()];
        const auto sent = Clock::now();
        std::string pending;
        const std::string got = send_all(fds.v[k], kGet) ? read_response(fds.v[k], pending) : std::string();
        if (got.empty()) {
            ++closed;
            EXPECT_GE(Clock::now() - last[k], kIdle - kTick) << "connection " << k << " was closed early";
            continue;
        }
        EXPECT_EQ(got, kOk) << "connection " << k;
        last[k] = sent;
        answered.push_back(k);
    }
    EXPECT_FALSE(answered.empty());

    // Clients that close while idle: dispatched and ended, their sessions
    // back. The last ones answered go; each closed well within its
    // time-out must be ended by the close (the host cannot have timed it out).
    std::vector<size_t> gone;
    for (auto it = answered.rbegin(); it != answered.rend() && gone.size() < 100; ++it)
        if (fds.v[*it] >= 0) {
            gone.push_back(*it);
            close(fds.v[*it]);
            fds.v[*it] = -1;
        }
    unsigned long sure = 0;
    const auto closedAt = Clock::now();
    for (size_t k : gone)
        sure += closedAt - last[k] < kIdle - kTick;
    const Stats afterClose =
        host.wait_for([&](const Stats &s) { return s.ends - s.timeouts >= sure && s.sessions + static_cast<long>(s.ends) == n; });
    EXPECT_GE(afterClose.ends - afterClose.timeouts, sure);
    EXPECT_LE(afterClose.ends - afterClose.timeouts, gone.size());
    EXPECT_EQ(afterClose.sessions + static_cast<long>(afterClose.ends), n);
    EXPECT_LE(afterClose.timeouts, idle_by(Clock::now()) + gone.size() - sure) << "a connection timed out early";

    // The rest time out, all of them, and none before its time-out.
    std::vector<int> open;
    std::vector<Clock::time_point> since;
    for (size_t k = 0; k < fds.v.size(); ++k)
        if (fds.v[k] >= 0) {
            open.push_back(fds.v[k]);
            since.push_back(last[k]);
        }
    const std::vector<double> after = wait_closes(open, since, kIdle + std::chrono::seconds(60));
    int early = 0, still = 0;
    double first = 1e9, latest = 0;
    for (double a : after) {
        if (a == -1)
            ++still;
        else if (a >= 0 && a < kTimeout - 0.01)
            ++early;
        if (a >= 0) {
            first = std::min(first, a);
            latest = std::max(latest, a);
        }
    }
    EXPECT_EQ(still, 0);
    EXPECT_EQ(early, 0) << "first close after " << first << " s";
    std::printf("idle connections closed %.2f to %.2f s after their last activity; %zu answered, %d closed when "
                "asked\n", first, latest, answered.size(), closed);
    const Stats end = host.wait_for([](const Stats &s) { return s.sessions == 0; });
    EXPECT_EQ(end.sessions, 0);
    EXPECT_EQ(end.ends, static_cast<unsigned long>(n));
    EXPECT_EQ(end.ends - end.timeouts, afterClose.ends - afterClose.timeouts) << "ended other than by time-out";
}

// Sessions short: of 1000, the test keeps `busy` connections sending and
// `silent` ones quiet. The silent ones time out after the configured 16 s
// shifted by the session pressure: an eighth (2 s) when more than three
// quarters of the sessions are out, half (8 s) when more than half are.
TEST(StandinProxy, IdleTimeOutsShrinkWhenSessionsRunShort)
{
    constexpr int kTimeout = 16;
    raise_fd_limit(2000);
    Host host("SelectThreads 4\nWorkerThreads 16\nSessions 1000\nPersistTimeout " + std::to_string(kTimeout) + "\n");
    ASSERT_NE(host.port(), 0) << host.output();
    struct Phase {
        int busy, silent;
        double shortened, longer; // the time-out expected, and the next longer one
    };
    for (const Phase &ph : {Phase{800, 190, kTimeout >> 3, kTimeout >> 1}, Phase{550, 150, kTimeout >> 1, kTimeout}}) {
        std::vector<int> busy = open_clients(host.port(), ph.busy);
        ASSERT_EQ(static_cast<int>(busy.size()), ph.busy);
        std::vector<Clock::time_point> opened;
        std::vector<int> silent = open_clients(host.port(), ph.silent, &opened);
        ASSERT_EQ(static_cast<int>(silent.size()), ph.silent);
        // Requests keep the busy ones (and every select thread) awake.
        std::atomic<bool> stop{false};
        std::atomic<int> lost{0};
        std::thread traffic([&] {
            std::string pending;
            for (size_t i = 0; !stop; i = (i + 1) % busy.size()) {
                pending.clear();
                if (!send_all(busy[i], kGet) || read_response(busy[i], pending) != kOk) {
                    ++lost;
                    close(busy[i]);
                    busy[i] = connect_client(host.port());
                }
            }
        });
        const std::vector<double> after = wait_closes(silent, opened, std::chrono::seconds(kTimeout + 30));
        stop = true;
        traffic.join();
        double first = 1e9, latest = 0;
        int open = 0;
        for (double a : after) {
            if (a < 0)
                ++open;
            first = std::min(first, a);
            latest = std::max(latest, a);
        }
        std::printf("%d busy, %d silent: silent closed %.2f to %.2f s after opening (%d busy lost)\n", ph.busy,
                    ph.silent, first, latest, lost.load());
        EXPECT_EQ(open, 0);
        EXPECT_GE(first, ph.shortened - 1.5);
        // Shortened: before the next longer time-out would have come.
        EXPECT_LT(latest, ph.longer - 1) << ph.busy << " busy";
        for (int fd : silent)
            close(fd);
        for (int fd : busy)
            close(fd);
        EXPECT_EQ(host.wait_for([](const Stats &s) { return s.sessions == 0; }).sessions, 0);
    }
}

} // namespace
