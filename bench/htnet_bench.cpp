// Network I/O micro-benchmarks.
//
// Lines: the input socket's unfolded-line reader over request heads and over
// a 100 000-line text, against getline() on fdopen() of the same kind of
// socket; a feeder thread writes the text into a local stream socket pair
// and closes it, the reader takes every line. Target: at least as fast.
// getline also runs with a 1024-byte stdio buffer, the input socket's read
// size, to tell the cost of the reads from the cost of the lines.
//
// Body: 10 MB in 16 KiB blocks through the writer, against plain send() of
// the same blocks, over loopback TCP to a thread that drains it. Target:
// within 5 % (blocks that do not fit the buffer go straight from the
// caller's memory).
//
// Connect: a connect through danted (SOCKS v4, started here when installed)
// next to a direct one, for the record.

#include "HTGlobals.h"
#include "HTInit.h"
#include "HTInputSocket.h"
#include "HTSocket.h"
#include "HTSocks.h"
#include "HTWriter.h"
#include "peers.h"

#include <benchmark/benchmark.h>

#include <netinet/tcp.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

HTThdGlobals *context()
{
    static HTThdGlobals *ctx = [] {
        HTInitAll();
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

std::string request_heads(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += "GET /images/catalogue/item" + std::to_string(i) + ".png HTTP/1.1\r\n"
             "Host: www.example.com\r\n"
             "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0\r\n"
             "Accept: image/avif,image/webp,*/*\r\n"
             "Accept-Language: en-GB,en;q=0.5\r\n"
             "Accept-Encoding: gzip, deflate, br\r\n"
             "Referer: https://www.example.com/catalogue/\r\n"
             "Cookie: session=0123456789abcdef; theme=dark;\r\n"
             "  pref=compact\r\n"
             "Connection: keep-alive\r\n"
             "\r\n";
    }
    return s;
}

std::string text_lines(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "line " + std::to_string(i) + " of the plain text, with some words to make it typical\n";
    return s;
}

// A stream socket pair whose other end gets `text` from a feeder thread.
struct Fed {
    int fd = -1;
    std::thread feeder;
    explicit Fed(const std::string &text)
    {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        fd = sv[0];
        const int out = sv[1];
        feeder = std::thread([out, &text] {
            size_t at = 0;
            while (at < text.size()) {
                const ssize_t r = send(out, text.data() + at, text.size() - at, MSG_NOSIGNAL);
                if (r <= 0)
                    break;
                at += static_cast<size_t>(r);
            }
            close(out);
        });
    }
    ~Fed() { feeder.join(); }
};

void lines_htinput(benchmark::State &state, const std::string &text, bool unfold)
{
    HTThdGlobals *ctx = context();
    HTRequest request{};
    request.pool = ctx;
    long lines = 0;
    for (auto _ : state) {
        Fed fed(text);
        HTSocket *s = HTSocketQueue_get();
        s->socket = fed.fd;
        HTInputSocket *in = HTInputSocket_new(s, &request);
        while ((unfold ? HTInputSocket_getUnfoldedLine(in, &request) : HTInputSocket_getLine(in, &request)) != nullptr)
            ++lines;
        HTSocket_close(s, __FILE__, __LINE__, &request);
        HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx); // the pool's reset
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["lines"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kAvgIterations);
}

// buffer 0: stdio's own buffer size; else a buffer of that many bytes, the
// input socket's read size for a like-for-like count of reads.
void lines_getline(benchmark::State &state, const std::string &text, size_t buffer = 0)
{
    long lines = 0;
    char *buf = nullptr;
    size_t cap = 0;
    for (auto _ : state) {
        Fed fed(text);
        FILE *f = fdopen(fed.fd, "r");
        if (buffer != 0)
            setvbuf(f, nullptr, _IOFBF, buffer);
        while (getline(&buf, &cap, f) != -1)
            ++lines;
        std::fclose(f);
    }
    std::free(buf);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["lines"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kAvgIterations);
}

const std::string &heads()
{
    static const std::string s = request_heads(5000);
    return s;
}
const std::string &text100k()
{
    static const std::string s = text_lines(100000);
    return s;
}

void BM_HeadsUnfoldedLine(benchmark::State &state) { lines_htinput(state, heads(), true); }
void BM_HeadsGetline(benchmark::State &state) { lines_getline(state, heads()); }
void BM_Text100kUnfoldedLine(benchmark::State &state) { lines_htinput(state, text100k(), true); }
void BM_Text100kGetline(benchmark::State &state) { lines_getline(state, text100k()); }
void BM_HeadsGetline1k(benchmark::State &state) { lines_getline(state, heads(), HT_INPUT_BUFFER_SIZE); }
void BM_Text100kGetline1k(benchmark::State &state) { lines_getline(state, text100k(), HT_INPUT_BUFFER_SIZE); }
BENCHMARK(BM_HeadsUnfoldedLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeadsGetline1k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Text100kGetline1k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeadsGetline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Text100kUnfoldedLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Text100kGetline)->Unit(benchmark::kMillisecond);

constexpr size_t body_size = 10 * 1000 * 1000;
constexpr size_t block_size = 16 * 1024;

// A loopback TCP connection whose far end a thread drains until it closes.
struct Drained {
    peers::TcpPair pair;
    std::thread drain;
    Drained()
    {
        const int fd = pair.server;
        drain = std::thread([fd] {
            std::vector<char> buf(1 << 16);
            while (recv(fd, buf.data(), buf.size(), 0) > 0) {
            }
        });
    }
    void finish()
    {
        shutdown(pair.client, SHUT_WR);
        drain.join();
    }
};

void BM_BodyWriter(benchmark::State &state)
{
    HTThdGlobals *ctx = context();
    HTRequest request{};
    request.pool = ctx;
    const std::string block(block_size, 'b');
    for (auto _ : state) {
        Drained d;
        HTSocket *s = HTSocketQueue_get();
        s->socket = d.pair.client;
        HTStream *w = HTWriter_newNoClose(s, &request);
        for (size_t sent = 0; sent < body_size; sent += block_size)
            HTWriter_write(w, block.data(), static_cast<int>(block_size));
        HTWriter_free(w, nullptr);
        d.finish();
        s->socket = -1;
        HTSocketQueue_return(s);
        HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body_size));
}

void BM_BodySend(benchmark::State &state)
{
    const std::string block(block_size, 'b');
    for (auto _ : state) {
        Drained d;
        for (size_t sent = 0; sent < body_size; sent += block_size) {
            size_t at = 0;
            while (at < block_size) {
                const ssize_t r = send(d.pair.client, block.data() + at, block_size - at, MSG_NOSIGNAL);
                if (r <= 0)
                    break;
                at += static_cast<size_t>(r);
            }
        }
        d.finish();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body_size));
}
BENCHMARK(BM_BodyWriter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BodySend)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- connects ----

struct Acceptor {
    int fd = -1, port = 0;
    std::thread t;
    explicit Acceptor(const char *ip)
    {
        fd = peers::listen_on(ip, 0, &port);
        t = std::thread([this] {
            for (;;) {
                const int c = accept(fd, nullptr, nullptr);
                if (c < 0)
                    break; // shut down
                close(c);
            }
        });
    }
    ~Acceptor()
    {
        shutdown(fd, SHUT_RDWR); // wakes the blocked accept
        t.join();
        close(fd);
    }
};

void connect_loop(benchmark::State &state, HTRequest *request, const char *ip, int port)
{
    sockaddr_in to = peers::address(ip, port);
    for (auto _ : state) {
        HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, IPPROTO_TCP, ip, port, request);
        if (HTSocket_connect(&s, reinterpret_cast<sockaddr *>(&to), sizeof to, request) != 0) {
            state.SkipWithError("connect failed");
            HTSocket_close(s, __FILE__, __LINE__, request);
            break;
        }
        HTSocket_close(s, __FILE__, __LINE__, request);
    }
}

void BM_ConnectDirect(benchmark::State &state)
{
    context();
    Acceptor origin("127.0.0.2");
    HTRequest request{};
    connect_loop(state, &request, "127.0.0.2", origin.port);
}

void BM_ConnectThroughDanted(benchmark::State &state)
{
    context();
    const std::string danted = peers::find_program("danted");
    if (danted.empty()) {
        state.SkipWithError("danted is not installed");
        return;
    }
    peers::TempDir dir("htnetbench");
    dir.write("danted.conf", "logoutput: " + dir.file("danted.log") + "\ninternal: 127.0.0.1 port = 1080\n"
                             "external: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                             "user.unprivileged: nobody\nclient pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                             "socks pass {\n from: 127.0.0.0/8 to: 127.0.0.0/8\n command: connect\n}\n");
    peers::Child d({danted, "-f", dir.file("danted.conf"), "-N", "2"}, {"TMPDIR=" + dir.path.string()}, dir, "out");
    if (!peers::wait_listening("127.0.0.1", HT_SOCKS_PORT, 10)) {
        state.SkipWithError("danted did not start");
        return;
    }
    Acceptor origin("127.0.0.2");
    HTStaticConfig config{};
    Socks_init(&config);
    const std::string rules = "sockd @=127.0.0.1 127.0.0.2 255.255.255.255\n";
    FILE *f = fmemopen(const_cast<char *>(rules.data()), rules.size(), "r");
    Socks_loadConfiguration(f, &config);
    std::fclose(f);
    config.flexible_socks = 1;
    HTRequest request{};
    request.config = &config;
    connect_loop(state, &request, "127.0.0.2", origin.port);
    Socks_free(&config);
}
BENCHMARK(BM_ConnectDirect)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ConnectThroughDanted)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
