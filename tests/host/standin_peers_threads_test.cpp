// standin-proxy as a program: its command line, and what a client and an
// nginx origin see through it (curl, wrk): the hop-by-hop fields and Via,
// statuses passed through, large bodies with Expect: 100-continue, the
// service plug-in, origin connections shared by requests, 1000 idle kept
// connections, and SIGTERM while wrk is running.
#include "standin_peer.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using standin::slurp;
using standin::words_of;

using namespace std::chrono_literals;

#ifdef HT_TEST_REDUCED
constexpr int kIdle = 200;
constexpr const char *kWrkSeconds = "3s";
#else
constexpr int kIdle = 1000;
constexpr const char *kWrkSeconds = "10s";
#endif

using standin::run;

std::string curl(const std::string &args) { return run("/usr/bin/curl -s -S --max-time 30 " + args); }

// More than one read of chunks: the page the ssi location sends unchanged.
const std::string kSsiPage = [] {
    std::string page = "<html><body>\n";
    for (int i = 0; page.size() < 200 * 1024; ++i)
        page += "<p>line " + std::to_string(i) + "</p>\n";
    return page + "</body></html>\n";
}();

// One answer read from a raw client connection: its head, and its body by
// Content-Length or, without one, up to the close.
struct Answer {
    std::string head;
    std::string body;
    bool closed = false; // the connection ended after it
};

Answer read_answer(int fd)
{
    Answer a;
    std::string in;
    char buf[16384];
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return a;
        in.append(buf, static_cast<size_t>(n));
    }
    a.head = in.substr(0, end + 4);
    a.body = in.substr(end + 4);
    const auto length = peers::header(a.head, "Content-Length");
    const size_t want = length ? std::stoul(*length) : std::string::npos;
    while (a.body.size() < want) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            a.closed = n == 0;
            break;
        }
        a.body.append(buf, static_cast<size_t>(n));
    }
    return a;
}

// Whether the peer ends the connection within `seconds` (nothing else arriving).
bool ends_within(int fd, int seconds)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, seconds * 1000) == 1 && read(fd, &c, 1) == 0;
}

const std::string kProgram = std::string(HOST_EMULATOR).empty() ? STANDIN_PROXY
                                                                 : std::string(HOST_EMULATOR) + " " + STANDIN_PROXY;

TEST(StandinProgram, CommandLineAndConfigurationChecks)
{
    peers::TempDir dir;
    const std::string good = dir.file("good.conf", "# a comment\nListenAddress 127.0.0.1\nWorkerThreads 8\n"
                                                   "AccessLog off\nTrace all 0\nViaName edge1\n"
                                                   "ServerPreference http://a.example/* http://s1:8080 http://s2\n");
    const std::string bad = dir.file("bad.conf", "WorkerThreads 8\nWorkerThreads many\nNoSuchThing 1\n"
                                                 "ServicePlugin only-two words\n"
                                                 "ServerPreference http://a.example/*\n");
    struct Case {
        std::string args;
        int status;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"--help", 0, {"usage: standin-proxy", "--listen ADDR:PORT"}},
        {"--check", 0, {"is good"}},
        {"--check --config " + good, 0, {"is good"}},
        {"--check --config " + good + " --listen 127.0.0.1:0", 0, {"is good"}},
        {"--check --config " + bad, 2, {bad + ":2: ", bad + ":3: ", bad + ":4: ", bad + ":5: ServerPreference: needs a URL pattern and servers"}},
        {"--check --config " + dir.path() + "/missing.conf", 2, {"missing.conf"}},
        {"--check --listen 127.0.0.1", 2, {"--listen wants ADDR:PORT"}},
        {"--check --listen 1.2.3:80", 2, {"--listen wants ADDR:PORT"}},
        {"--check --listen 127.0.0.1:65536", 2, {"--listen wants ADDR:PORT"}},
        {"--verbose", 2, {"usage: standin-proxy"}},
        {"--config", 2, {"usage: standin-proxy"}},
    };
    for (const Case &c : cases) {
        int status = -1;
        const std::string out = run(kProgram + " " + c.args, &status);
        EXPECT_EQ(status, c.status) << c.args << "\n" << out;
        for (const std::string &w : c.says)
            EXPECT_NE(out.find(w), std::string::npos) << c.args << " lacks " << w << "\n" << out;
    }
    // A port someone else holds: the start fails with its status, after the
    // pool and the timer started (once that ended in an abort).
    int heldPort = 0;
    const int held = peers::listening_socket(&heldPort, 1);
    ASSERT_GE(held, 0);
    int status = -1;
    const std::string out = run(kProgram + " --listen 127.0.0.1:" + std::to_string(heldPort), &status);
    close(held);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot listen on 127.0.0.1:"), std::string::npos) << out;
}

// Plug-in lines are checked when the file is read: the library must load and
// have every function named, and the line must name all of them.
TEST(StandinProgram, PluginLinesAreCheckedAtTheirLine)
{
    peers::TempDir dir;
    const std::string good = dir.file("good.conf", "TransmogrifierPlugin http://* " WORD_MOGRIFY
                                                   " word_open word_write word_close word_error\n"
                                                   "FilterPlugin http://x/* " COUNT_FILTER
                                                   " count_open count_write count_close\n");
    const std::string bad = dir.file("bad.conf", "TransmogrifierPlugin http://* " + dir.path() +
                                                     "/none.so a b c d\n"
                                                     "TransmogrifierPlugin http://* " WORD_MOGRIFY
                                                     " word_open word_write word_close no_such_error\n"
                                                     "FilterPlugin http://* " COUNT_FILTER " count_open count_write\n"
                                                     "ServicePlugin http://* " HELLO_SERVICE " no_service\n");
    int status = -1;
    std::string out = run(kProgram + " --check --config " + good, &status);
    EXPECT_EQ(status, 0) << out;
    out = run(kProgram + " --check --config " + bad, &status);
    EXPECT_EQ(status, 2) << out;
    for (const std::string &w : {bad + ":1: TransmogrifierPlugin: cannot load",
                                 bad + ":2: TransmogrifierPlugin: " WORD_MOGRIFY " has no function no_such_error",
                                 bad + ":3: FilterPlugin: expected URL-PATTERN LIBRARY OPEN WRITE CLOSE",
                                 bad + ":4: ServicePlugin: " HELLO_SERVICE " has no function no_service"})
        EXPECT_NE(out.find(w), std::string::npos) << "lacks " << w << "\n" << out;
}

class Standin : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!peers::installed("/usr/sbin/nginx") || !peers::installed("/usr/bin/curl")) {
            skip_ = "nginx or curl is not installed";
            return;
        }
        const std::string echo = "/usr/lib/nginx/modules/ngx_http_echo_module.so";
        if (access(echo.c_str(), R_OK) != 0) {
            skip_ = "the nginx echo module is not installed";
            return;
        }
        dir_ = new peers::TempDir();
        const std::string d = dir_->path();
        dir_->dir("html", 0755);
        dir_->dir("tmp");
        dir_->file("html/1k", std::string(1024, 'k'));
        {
            std::mt19937 rng(10);
            std::string big(10 * 1024 * 1024, '\0');
            for (char &c : big)
                c = static_cast<char>(rng());
            dir_->file("html/10m", big);
        }
        // Text for the rewriting plug-in: the word at every offset of a block.
        std::string words;
        for (int i = 0; words.size() < 300 * 1024; ++i)
            words += "origin" + std::string(static_cast<size_t>(i % 7), ' ') + std::to_string(i) + (i % 9 ? " " : "\n");
        dir_->dir("html/nt", 0755);
        dir_->dir("html/bin", 0755);
        dir_->file("html/words.txt", words);
        dir_->file("html/nt/words.txt", words);
        dir_->file("html/bin/blob", words);
        // Its length unknown beforehand, the page goes to HTTP/1.1 requests in chunks.
        dir_->file("html/ssi.html", kSsiPage);
        origin_port_ = peers::free_port();
        // /seen: the request fields the origin got, as text.
        const std::string conf = dir_->file(
            "nginx.conf",
            peers::nginx_conf(d, origin_port_,
                              "  keepalive_timeout 60;\n  keepalive_requests 100000;\n"
                              "  client_max_body_size 20m;\n  client_body_buffer_size 4m;\n"
                              "  log_format conn '$connection $request_uri';\n",
                              "    access_log " + d + "/origin.log conn;\n"
                              "    location /echo { echo_read_request_body; echo_request_body; }\n"
                              "    location /seen { return 200 'via=[$http_via] te=[$http_te] hop=[$http_x_hop] "
                              "auth=[$http_proxy_authorization] ka=[$http_keep_alive] up=[$http_upgrade] "
                              "tr=[$http_trailer] end=[$http_x_end]\\n'; }\n"
                              "    location /fail { return 500 'broken\\n'; }\n"
                              "    location /nt/ { add_header Cache-Control no-transform; }\n"
                              "    location /bin/ { default_type application/octet-stream; }\n"
                              // Chunks cut inside the word: the blocks the plug-in sees.
                              "    location /chunked { echo -n 'the orig'; echo_flush; echo -n 'in of it, '; "
                              "echo_flush; echo -n 'origin'; echo_flush; echo ''; }\n"
                              "    location /ssi { ssi on; }\n",
                              "load_module " + echo + ";\n"));
        origin_ = peers::start_nginx(d, conf, origin_port_, skip_);
    }
    static void TearDownTestSuite()
    {
        delete origin_;
        origin_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
    }

    std::unique_ptr<peers::Peer> host(const std::string &name, const std::string &config, int *port)
    {
        *port = peers::free_port();
        return standin::start(*dir_, name, "ListenPort " + std::to_string(*port) + "\nWorkerThreads 8\nRequestTimeout 20\n" + config, *port);
    }
    std::string origin(const std::string &path) const
    {
        return "http://127.0.0.1:" + std::to_string(origin_port_) + path;
    }
    // Lines of the origin's log since `from` (a byte offset): "CONNECTION URI".
    std::vector<std::string> origin_log(size_t from) const
    {
        const std::string all = slurp(dir_->path() + "/origin.log");
        std::vector<std::string> lines;
        std::istringstream in(all.size() > from ? all.substr(from) : std::string());
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
    size_t origin_log_size() const { return slurp(dir_->path() + "/origin.log").size(); }
    // nginx writes a line after its answer: wait (bounded) until `n` are there.
    std::vector<std::string> origin_log_wait(size_t from, size_t n) const
    {
        std::vector<std::string> lines = origin_log(from);
        for (int i = 0; i < 100 && lines.size() < n; ++i) {
            std::this_thread::sleep_for(50ms);
            lines = origin_log(from);
        }
        return lines;
    }

    static std::string skip_;
    static peers::TempDir *dir_;
    static peers::Peer *origin_;
    static int origin_port_;
};

std::string Standin::skip_;
peers::TempDir *Standin::dir_ = nullptr;
peers::Peer *Standin::origin_ = nullptr;
int Standin::origin_port_ = 0;

TEST_F(Standin, HopByHopFieldsStayAndViaIsAdded)
{
    int port = 0;
    auto h = host("hop", "ServerConnPool on\n", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    EXPECT_EQ(curl(x + "-H 'X-Hop: 1' -H 'Connection: X-Hop' -H 'TE: trailers' -H 'Proxy-Authorization: Basic eDp5' "
                       "-H 'Keep-Alive: 5' -H 'Upgrade: h2c' -H 'Trailer: X-T' -H 'X-End: kept' " +
                   origin("/seen")),
              "via=[1.1 standin-proxy] te=[] hop=[] auth=[] ka=[] up=[] tr=[] end=[kept]\n");
    // A Via the client brought stays, with this proxy after it.
    EXPECT_NE(curl(x + "-H 'Via: 1.0 first' " + origin("/seen")).find("via=[1.0 first"), std::string::npos);
    EXPECT_EQ(h->terminate(), 0);
}

// The peak resident memory of a process, in KiB (-1: unknown).
long peak_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Answers far larger than any buffer arrive whole, with the access log on
// (the head parsed for it) and off, and the host never holds one whole:
// its peak memory grows by much less than an answer.
TEST_F(Standin, LargeAnswersArriveWholeAndAreNeverHeld)
{
    const std::string d = dir_->path();
    const std::string want = slurp(d + "/html/10m");
    for (const std::string log : {"", "AccessLog off\n"}) {
        int port = 0;
        auto h = host(log.empty() ? "large-logged" : "large", "ServerConnPool on\n" + log, &port);
        const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
        EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' " + origin("/1k")), "200");
        const long before = peak_kib(h->pid());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(curl(x + "-o " + d + "/got-10m -w '%{http_code} %{size_download}' " + origin("/10m")),
                      "200 10485760")
                << log;
            EXPECT_TRUE(slurp(d + "/got-10m") == want) << log << ": the bytes differ";
        }
        // HEAD of the same: the head alone.
        EXPECT_EQ(curl(x + "-I -o /dev/null -w '%{http_code} %{size_download}' " + origin("/10m")), "200 0");
        if (std::string(HOST_EMULATOR).empty() && before > 0) {
            EXPECT_LT(peak_kib(h->pid()) - before, 4096) << log << "KiB more at the peak";
        }
        EXPECT_EQ(h->terminate(), 0);
    }
}

TEST_F(Standin, StatusesBodiesAndErrorsPassThrough)
{
    int port = 0;
    auto h = host("pass", "ServerConnPool on\n", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const std::string d = dir_->path();
    EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' " + origin("/missing")), "404");
    EXPECT_EQ(curl(x + "-w ' %{http_code}' " + origin("/fail")), "broken\n 500");
    EXPECT_EQ(curl(x + "-I -o /dev/null -w '%{http_code} %{size_download}' " + origin("/1k")), "200 0");
    EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' http://127.0.0.1:" + std::to_string(peers::free_port()) + "/"),
              "504");
    // Above 1 MiB curl waits for 100 Continue; chunked and plain bodies arrive whole.
    std::string body;
    for (int i = 0; body.size() < 1536 * 1024; ++i)
        body += std::to_string(i) + ",";
    dir_->file("big-body", body);
    EXPECT_EQ(curl(x + "-H 'Expect: 100-continue' --data-binary @" + d + "/big-body " + origin("/echo")), body);
    EXPECT_EQ(curl(x + "-H 'Transfer-Encoding: chunked' --data-binary @" + d + "/big-body " + origin("/echo")), body);
    // CONNECT: refused, no tunnel.
    EXPECT_NE(curl("-p -x http://127.0.0.1:" + std::to_string(port) + " -o /dev/null https://127.0.0.1:1/")
                  .find("CONNECT tunnel failed, response 501"),
              std::string::npos);
    EXPECT_EQ(h->terminate(), 0);
}

TEST_F(Standin, ConnectionsAreKeptOnBothSides)
{
    int port = 0;
    auto h = host("keep", "ServerConnPool on\nServerIdleLimit 60\nPersistTimeout 2\n", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const size_t from = origin_log_size();
    // Two URLs on one curl: one client connection.
    EXPECT_EQ(curl(x + "-o /dev/null -o /dev/null -w '%{num_connects} ' " + origin("/1k") + " " + origin("/1k")),
              "1 0 ");
    // HTTP/1.0 without keep-alive, and "close": one connection per request.
    EXPECT_EQ(curl(x + "-0 -o /dev/null -o /dev/null -w '%{num_connects} ' " + origin("/1k") + " " + origin("/1k")),
              "1 1 ");
    EXPECT_EQ(curl(x + "-H 'Connection: close' -o /dev/null -o /dev/null -w '%{num_connects} ' " + origin("/1k") +
                   " " + origin("/1k")),
              "1 1 ");
    EXPECT_EQ(origin_log_wait(from, 6).size(), 6u);
    const size_t later = origin_log_size();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' " + origin("/1k")), "200");
    // Ten clients one after the other: the origin saw ten requests on one
    // or two pooled connections.
    std::set<std::string> connections;
    size_t requests = 0;
    for (const std::string &l : origin_log_wait(later, 10)) {
        ++requests;
        connections.insert(l.substr(0, l.find(' ')));
    }
    EXPECT_EQ(requests, 10u);
    EXPECT_LE(connections.size(), 2u) << requests << " requests";
    // Pipelined requests, answered in order; then the idle time-out closes.
    const int fd = peers::connect_to(port);
    ASSERT_GE(fd, 0);
    std::string pipelined;
    for (const char *path : {"/1k", "/seen", "/missing"})
        pipelined += "GET " + origin(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(write(fd, pipelined.data(), pipelined.size()), static_cast<ssize_t>(pipelined.size()));
    std::string got;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break; // the idle time-out
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t a = got.find("HTTP/1.1 200"), b = got.find("via=[1.1"), c = got.find("HTTP/1.1 404");
    EXPECT_NE(a, std::string::npos) << got;
    EXPECT_NE(c, std::string::npos) << got;
    EXPECT_TRUE(a < b && b < c) << got;
    EXPECT_EQ(h->terminate(), 0);
}

// HTTP/1.0 clients: kept only on request and when the answer's length
// shows; chunks they cannot read arrive as the bare body, ended by the close.
TEST_F(Standin, HttpOneZeroKeepAliveOnRequest)
{
    // With the access log (on standard error by default) the head is parsed
    // on its way; without, it is passed as it comes.
    for (const char *log : {"", "AccessLog off\n"}) {
        int port = 0;
        auto h = host("ka10", std::string("ServerConnPool on\nServerIdleLimit 60\nPersistTimeout 30\n") + log, &port);
        const std::string hostLine = "Host: 127.0.0.1:" + std::to_string(origin_port_) + "\r\n";
        const auto get = [&](const std::string &path, const std::string &extra) {
            return "GET " + origin(path) + " HTTP/1.0\r\n" + hostLine + extra + "\r\n";
        };
        const size_t from = origin_log_size();
        const int fd = peers::connect_to(port);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 2; ++i) {
            const std::string req = get("/1k", "Connection: keep-alive\r\n");
            ASSERT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
            const Answer a = read_answer(fd);
            EXPECT_NE(a.head.find(" 200 "), std::string::npos) << log << a.head;
            EXPECT_NE(a.head.find("Connection: keep-alive\r\n"), std::string::npos) << log << a.head;
            EXPECT_EQ(a.body, std::string(1024, 'k')) << log;
            EXPECT_FALSE(a.closed) << log;
        }
        // The origin answers in chunks: the client gets the page whole, and the close.
        const std::string req = get("/ssi.html", "Connection: keep-alive\r\n");
        ASSERT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
        Answer a = read_answer(fd);
        EXPECT_NE(a.head.find(" 200 "), std::string::npos) << log << a.head;
        EXPECT_NE(a.head.find("Connection: close\r\n"), std::string::npos) << log << a.head;
        EXPECT_EQ(a.head.find("Transfer-Encoding"), std::string::npos) << log << a.head;
        EXPECT_EQ(a.head.find("Content-Length"), std::string::npos) << log << a.head;
        EXPECT_TRUE(a.body == kSsiPage) << log << " got " << a.body.size() << " bytes of " << kSsiPage.size();
        EXPECT_TRUE(a.closed) << log;
        close(fd);
        // Three requests on one client connection: the origin saw them on fewer connections.
        std::set<std::string> connections;
        const std::vector<std::string> seen = origin_log_wait(from, 3);
        for (const std::string &l : seen)
            connections.insert(l.substr(0, l.find(' ')));
        EXPECT_EQ(seen.size(), 3u) << log;
        EXPECT_LT(connections.size(), seen.size()) << log;

        // Without keep-alive, and with "close": the answer, then the end.
        for (const std::string &extra : {std::string(), std::string("Connection: close\r\n")}) {
            const int c = peers::connect_to(port);
            ASSERT_GE(c, 0);
            const std::string r = get("/1k", extra);
            ASSERT_EQ(write(c, r.data(), r.size()), static_cast<ssize_t>(r.size()));
            a = read_answer(c);
            EXPECT_EQ(a.body, std::string(1024, 'k')) << log << extra;
            EXPECT_NE(a.head.find("Connection: close\r\n"), std::string::npos) << log << a.head;
            EXPECT_TRUE(a.closed || ends_within(c, 5)) << log << extra;
            close(c);
        }
        // Without Host the request cannot go on as HTTP/1.1: it goes as it came.
        {
            const int c = peers::connect_to(port);
            ASSERT_GE(c, 0);
            const std::string r = "GET " + origin("/1k") + " HTTP/1.0\r\nConnection: keep-alive\r\n\r\n";
            ASSERT_EQ(write(c, r.data(), r.size()), static_cast<ssize_t>(r.size()));
            a = read_answer(c);
            EXPECT_NE(a.head.find(" 200 "), std::string::npos) << log << a.head;
            EXPECT_EQ(a.body, std::string(1024, 'k')) << log;
            close(c);
        }
        // An HTTP/1.0 client's 100-continue is not for it: no interim answer, only the final one.
        {
            const int c = peers::connect_to(port);
            ASSERT_GE(c, 0);
            const std::string body = "posted by an HTTP/1.0 client";
            const std::string r = "POST " + origin("/echo") + " HTTP/1.0\r\n" + hostLine +
                                  "Expect: 100-continue\r\nContent-Length: " + std::to_string(body.size()) +
                                  "\r\n\r\n" + body;
            ASSERT_EQ(write(c, r.data(), r.size()), static_cast<ssize_t>(r.size()));
            a = read_answer(c);
            EXPECT_EQ(a.head.rfind("HTTP/1.1 200 ", 0), 0u) << log << a.head;
            EXPECT_EQ(a.body, body) << log;
            close(c);
        }
        // curl in HTTP/1.0 asking for keep-alive: one connection for two URLs.
        EXPECT_EQ(curl("-0 -H 'Connection: keep-alive' -x http://127.0.0.1:" + std::to_string(port) +
                       " -o /dev/null -o /dev/null -w '%{num_connects} ' " + origin("/1k") + " " + origin("/1k")),
                  "1 0 ")
            << log;
        EXPECT_EQ(h->terminate(), 0);
    }
}

// Preferred servers tried in turn: the first that answers serves the path;
// when none does, the client gets the loader's one page and the end.
TEST_F(Standin, ServerPreferenceWalks)
{
    const int dead1 = peers::free_port(), dead2 = peers::free_port();
    const std::string d1 = "http://127.0.0.1:" + std::to_string(dead1);
    const std::string d2 = "http://127.0.0.1:" + std::to_string(dead2);
    int port = 0;
    auto h = host("pref", "ServerPreference http://walk.invalid/* " + d1 + " " + d2 +
                              "\nServerPreference http://live.invalid/* " + d1 + " http://127.0.0.1:" +
                              std::to_string(origin_port_) + "\n",
                  &port);
    const size_t from = origin_log_size();
    EXPECT_EQ(curl("-x http://127.0.0.1:" + std::to_string(port) + " http://live.invalid/1k"), std::string(1024, 'k'));
    const std::vector<std::string> seen = origin_log_wait(from, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("/1k"), std::string::npos);

    const int fd = peers::connect_to(port);
    ASSERT_GE(fd, 0);
    const std::string ask = "GET http://walk.invalid/1k HTTP/1.1\r\nHost: walk.invalid\r\n\r\n";
    ASSERT_EQ(write(fd, ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
    const Answer a = read_answer(fd);
    // The answer ends the connection, and nothing follows it.
    char c;
    EXPECT_TRUE(a.closed || read(fd, &c, 1) == 0) << a.head;
    close(fd);
    EXPECT_EQ(a.head.rfind("HTTP/1.0 504 ", 0), 0u) << a.head;
    EXPECT_EQ(a.body.find("HTTP/1."), std::string::npos) << a.body;
    EXPECT_NE(a.body.find("Unable to connect to remote host"), std::string::npos) << a.body;
    EXPECT_NE(a.body.find("127.0.0.1:" + std::to_string(dead2) + "/1k"), std::string::npos) << a.body;
    EXPECT_NE(a.body.find("<p>Error: connectfail</p>"), std::string::npos) << a.body;
    // Neither preferred server was the origin: it saw nothing more.
    EXPECT_EQ(origin_log(from).size(), 1u);
    EXPECT_EQ(h->terminate(), 0);
}

TEST_F(Standin, TheServicePluginNeverAsksTheOrigin)
{
    int port = 0;
    auto h = host("service", "ServicePlugin http://* " HELLO_SERVICE " hello_service\n", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const size_t from = origin_log_size();
    EXPECT_EQ(curl(x + origin("/hello")), "hello from the proxy\n");
    EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' " + origin("/1k")), "200");
    const std::vector<std::string> seen = origin_log_wait(from, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("/1k"), std::string::npos);
    EXPECT_EQ(h->terminate(), 0);
}

// Head and body of one answer fetched with curl -i.
struct Fetched {
    std::string head;
    std::string body;
    bool has(const std::string &line) const { return head.find("\r\n" + line) != std::string::npos; }
};

Fetched split(const std::string &got)
{
    const size_t end = got.find("\r\n\r\n");
    if (end == std::string::npos)
        return {got, ""};
    return {got.substr(0, end + 2), got.substr(end + 4)};
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

TEST_F(Standin, TheRewritingTransmogrifierAndWhatItLeavesAlone)
{
    int port = 0;
    auto h = host("mogrify",
                  "ServerConnPool on\nTransmogrifierPlugin http://* " WORD_MOGRIFY
                  " word_open word_write word_close word_error\n",
                  &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const std::string words = slurp(dir_->path() + "/html/words.txt");
    const std::string rewritten = replaced(words, "origin", "proxy");
    ASSERT_NE(rewritten, words);

    // Rewritten: the exact body, a Warning 214, no stale length, and the close.
    Fetched a = split(curl(x + "-i " + origin("/words.txt")));
    EXPECT_TRUE(a.body == rewritten) << a.body.size() << " bytes, expected " << rewritten.size();
    EXPECT_TRUE(a.has("Warning: 214 standin-proxy \"Transmogrified\"")) << a.head;
    EXPECT_FALSE(a.has("Content-Length:")) << a.head;
    EXPECT_TRUE(a.has("Connection: close")) << a.head;
    EXPECT_EQ(curl(x + "-o /dev/null -o /dev/null -w '%{num_connects} ' " + origin("/words.txt") + " " +
                   origin("/words.txt")),
              "1 1 ");
    // A chunked answer whose chunks cut the word: de-chunked, rewritten, no framing left.
    a = split(curl(x + "-i --raw " + origin("/chunked")));
    EXPECT_EQ(a.body, "the proxy of it, proxy\n");
    EXPECT_FALSE(a.has("Transfer-Encoding:")) << a.head;
    // The same to an HTTP/1.0 client asking to keep its connection: rewritten, and closed all the same.
    a = split(curl(x + "-0 -i --raw -H 'Connection: keep-alive' " + origin("/chunked")));
    EXPECT_EQ(a.body, "the proxy of it, proxy\n");
    EXPECT_TRUE(a.has("Connection: close")) << a.head;
    EXPECT_FALSE(a.has("Connection: keep-alive")) << a.head;

    // Behind a 100 Continue (curl waits for one above 1 MiB) the final answer is the one rewritten.
    std::string big;
    while (big.size() < 1536 * 1024)
        big += words;
    dir_->file("origin-body", big);
    const std::string both =
        curl(x + "-i -H 'Expect: 100-continue' --data-binary @" + dir_->path() + "/origin-body " + origin("/echo"));
    // The interim head goes as it came (no close, no warning on it).
    ASSERT_EQ(both.rfind("HTTP/1.1 100 Continue\r\n\r\n", 0), 0u) << both.substr(0, 200);
    a = split(both.substr(both.find("\r\n\r\n") + 4));
    EXPECT_TRUE(a.body == replaced(big, "origin", "proxy")) << a.body.size() << " bytes\n" << a.head;
    EXPECT_TRUE(a.has("Warning: 214 ")) << a.head;

    // Left alone, byte for byte, with length and keep-alive: no-transform, and
    // an answer the module declines at its open (not text).
    for (const char *path : {"/nt/words.txt", "/bin/blob"}) {
        a = split(curl(x + "-i " + origin(path)));
        EXPECT_TRUE(a.body == words) << path << ": " << a.body.size() << " bytes";
        EXPECT_TRUE(a.has("Content-Length: " + std::to_string(words.size()))) << path << "\n" << a.head;
        EXPECT_FALSE(a.has("Warning:")) << path << "\n" << a.head;
        EXPECT_EQ(curl(x + "-o /dev/null -o /dev/null -w '%{num_connects} ' " + origin(path) + " " + origin(path)),
                  "1 0 ")
            << path;
    }
    // A page of the proxy's own (origin down) is neither rewritten nor sent twice.
    const std::string down = "http://127.0.0.1:" + std::to_string(peers::free_port()) + "/origin";
    a = split(curl(x + "-i " + down));
    EXPECT_NE(a.head.find(" 504 "), std::string::npos) << a.head;
    EXPECT_EQ(a.body.find("<html>"), a.body.rfind("<html>")) << a.body;
    EXPECT_FALSE(a.has("Warning:")) << a.head;
    EXPECT_EQ(h->terminate(), 0);
}

TEST_F(Standin, AFilterSeesEveryBlock)
{
    int port = 0;
    auto h = host("filter", "FilterPlugin http://* " COUNT_FILTER " count_open count_write count_close\n", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const std::string words = slurp(dir_->path() + "/html/words.txt");
    Fetched a = split(curl(x + "-i " + origin("/words.txt")));
    const std::string tail = " blocks, " + std::to_string(words.size()) + " bytes]\n";
    ASSERT_GT(a.body.size(), words.size());
    EXPECT_TRUE(a.body.compare(0, words.size(), words) == 0);
    EXPECT_NE(a.body.find(tail, words.size()), std::string::npos) << a.body.substr(words.size());
    EXPECT_TRUE(a.has("Warning: 214 ")) << a.head;
    EXPECT_FALSE(a.has("Content-Length:")) << a.head;
    // A no-transform answer passes the filter by.
    a = split(curl(x + "-i " + origin("/nt/words.txt")));
    EXPECT_TRUE(a.body == words) << a.body.size();
    EXPECT_TRUE(a.has("Content-Length: " + std::to_string(words.size()))) << a.head;
    EXPECT_EQ(h->terminate(), 0);
}

// A service plug-in reads the real request: its line, a header and the body
// (plain, chunked, behind 100 Continue), and answers through the proxy's
// response; the origin is never asked.
TEST_F(Standin, AServicePluginReadsTheRequestItself)
{
    int port = 0;
    auto h = host("body", "RequestTimeout 2\nServicePlugin http://* " BODY_SERVICE " body_service\n", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const size_t from = origin_log_size();
    const std::string d = dir_->path();
    dir_->file("small-body", "hello body");
    Fetched a = split(curl(x + "-i -H 'X-Test: yes' --data-binary @" + d + "/small-body '" + origin("/body?a=1") + "'"));
    EXPECT_EQ(a.head.rfind("HTTP/1.1 201 Made Here\r\n", 0), 0u) << a.head;
    EXPECT_EQ(a.body, "POST a=1 yes\nhello body");
    EXPECT_TRUE(a.has("X-Seen: 10")) << a.head;
    EXPECT_TRUE(a.has("Content-Length: 23")) << a.head;
    // The body read whole: the connection carries the next request.
    EXPECT_EQ(curl(x + "-o /dev/null -o /dev/null -w '%{num_connects} ' --data-binary @" + d + "/small-body " +
                   origin("/body") + " " + origin("/body")),
              "1 0 ");
    EXPECT_EQ(curl(x + "-H 'Transfer-Encoding: chunked' --data-binary @" + d + "/small-body '" + origin("/body?c") + "'"),
              "POST c -\nhello body");
    // Without the proxy's 100 Continue curl would wait far longer than it may.
    std::string big;
    for (int i = 0; big.size() < 1536 * 1024; ++i)
        big += std::to_string(i) + ";";
    dir_->file("service-body", big);
    EXPECT_TRUE(curl(x + "--max-time 10 --expect100-timeout 60 -H 'Expect: 100-continue' --data-binary @" + d +
                     "/service-body " + origin("/body")) == "POST  -\n" + big); // no query, no X-Test
    // Body bytes taken and then declined: nothing is left to forward.
    a = split(curl(x + "-i --data-binary @" + d + "/small-body " + origin("/taste")));
    EXPECT_EQ(a.head.rfind("HTTP/1.1 500 ", 0), 0u) << a.head;
    EXPECT_TRUE(a.has("Connection: close")) << a.head;

    // A client that stops in its body, or closes, is left without an answer.
    for (const bool close_it : {false, true}) {
        const int fd = peers::connect_to(port);
        ASSERT_GE(fd, 0);
        const std::string head = "POST " + origin("/body") + " HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n0123";
        ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        if (close_it)
            shutdown(fd, SHUT_WR);
        char buf[256];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(read(fd, buf, sizeof buf), 0) << close_it;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << close_it;
        close(fd);
    }
    EXPECT_TRUE(origin_log(from).empty());
    EXPECT_EQ(h->terminate(), 0);
}

// Each connection makes a request and idles; every second request is
// answered; after the idle time-out every session is back.
TEST_F(Standin, ManyIdleKeptConnections)
{
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_cur < static_cast<rlim_t>(kIdle) + 200) {
        r.rlim_cur = std::min<rlim_t>(r.rlim_max, kIdle + 200);
        setrlimit(RLIMIT_NOFILE, &r);
    }
    int port = 0;
    auto h = host("idle", "ServerConnPool on\nPersistTimeout 12\nAccessLog off\nSessions 5000\n", &port);
    const std::string request = "GET " + origin("/1k") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<int> fds;
    // One answer: a head with Content-Length 1024 and its body.
    auto answered = [&](int fd) {
        if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return false;
        std::string got;
        char buf[4096];
        while (got.find("\r\n\r\n") == std::string::npos || got.size() < got.find("\r\n\r\n") + 4 + 1024) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return got.rfind("HTTP/1.1 200", 0) == 0;
    };
    int first = 0, second = 0;
    for (int i = 0; i < kIdle; ++i) {
        const int fd = peers::connect_to(port);
        if (fd < 0)
            break;
        fds.push_back(fd);
        first += answered(fd);
    }
    for (int fd : fds)
        second += answered(fd);
    EXPECT_EQ(first, kIdle);
    EXPECT_EQ(second, kIdle);
    // The host closes them all after the idle time.
    int closed = 0;
    for (int fd : fds) {
        char c;
        timeval tv{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        closed += read(fd, &c, 1) == 0;
        close(fd);
    }
    EXPECT_EQ(closed, kIdle);
    // "sessions=0" once every record is back.
    std::string out;
    for (int i = 0; i < 100; ++i) {
        kill(h->pid(), SIGUSR1);
        std::this_thread::sleep_for(100ms);
        out = slurp(dir_->path() + "/idle.out");
        if (out.rfind("sessions=0\n") != std::string::npos && out.rfind("sessions=0\n") + 11 == out.size())
            break;
    }
    EXPECT_EQ(out.rfind("sessions=0\n") + 11, out.size()) << out.substr(out.size() > 400 ? out.size() - 400 : 0);
    EXPECT_EQ(h->terminate(), 0);
}

TEST_F(Standin, WrkGetsOnlyAnswersAndSigtermMidRunExitsCleanly)
{
    if (!peers::installed("/usr/bin/wrk"))
        GTEST_SKIP() << "wrk is not installed";
    int port = 0;
    auto h = host("wrk", "ServerConnPool on\nWorkerThreads 32\nAccessLog off\n", &port);
    dir_->file("abs.lua", "wrk.path = \"" + origin("/1k") + "\"\nwrk.headers[\"Host\"] = \"127.0.0.1:" +
                              std::to_string(origin_port_) + "\"\n");
    const std::string wrk = "/usr/bin/wrk -t2 -c64 --timeout 30s -s " + dir_->path() + "/abs.lua http://127.0.0.1:" +
                            std::to_string(port) + "/";
    const std::string out = run(wrk + " -d" + kWrkSeconds);
    EXPECT_EQ(out.find("Socket errors"), std::string::npos) << out;
    EXPECT_EQ(out.find("Non-2xx"), std::string::npos) << out;
    EXPECT_NE(out.find(" requests in "), std::string::npos) << out;
    // SIGTERM while 64 connections are busy: the host still ends with 0.
    std::thread load([&] { run(wrk + " -d3s"); });
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(h->terminate(), 0) << slurp(dir_->path() + "/wrk.out");
    load.join();
}

} // namespace
