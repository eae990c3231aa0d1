// The response header store and proxy selection:
// - the parse path (a logging plug-in asks for the head) over an nginx
//   answer, against http_parser reading the same bytes with callbacks that
//   do nothing (ours also keeps every line);
// - the pass-through path (the sink is the plain writer, no plug-ins), next
//   to the same block handed to the sink directly;
// - HTProxy_for over 100 chain entries.

#include "HTAtom.h"
#include "HTGlobals.h"
#include "HTInit.h"
#include "HTStreamStack.h"
#include "servprox.h"

#include <benchmark/benchmark.h>

#if HAVE_HTTP_PARSER
#include <http_parser.h>
#endif

#include <cstring>
#include <string>

namespace {

// An answer of nginx 1.22.1 (nginx-light, Debian 12) to a keep-alive GET,
// captured over a socket.
const char kNginxAnswer[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: nginx/1.22.1\r\n"
    "Date: Wed, 09 Dec 2026 21:19:40 GMT\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: 19\r\n"
    "Last-Modified: Wed, 09 Dec 2026 21:19:34 GMT\r\n"
    "Connection: keep-alive\r\n"
    "Keep-Alive: timeout=60\r\n"
    "ETag: \"6b19c5e6-13\"\r\n"
    "Accept-Ranges: bytes\r\n"
    "\r\n"
    "<html>hello</html>\n";
const int kNginxLength = static_cast<int>(sizeof kNginxAnswer - 1);

HTThdGlobals *worker()
{
    static HTThdGlobals *ctx = [] {
        HTInitAll();
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

// The pool grows with every response; a request's end gives it back.
void next_request(HTThdGlobals *g)
{
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
    HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
}

int type_of_sink;
int sink_write(HTStream *, const char *data, int n)
{
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(n);
    return 0;
}
int sink_message(HTStream *, int number, void *argument)
{
    if (number == HT_STREAM_MSG_IDENTIFY)
        *static_cast<int *>(argument) = type_of_sink;
    return 0;
}
int sink_put_headers(HTStream *, void *headers)
{
    benchmark::DoNotOptimize(headers);
    return HT_HEADERS_SENT;
}
const HTStreamClass kSink = {"BenchSink", nullptr, nullptr, nullptr, nullptr,
                             sink_write, nullptr, sink_message, sink_put_headers};

void BM_ParsePath(benchmark::State &state)
{
    HTThdGlobals *g = worker();
    HTStream sink{&kSink};
    type_of_sink = HT_STREAM_TYPE_WRITER;
    int n = 0;
    for (auto _ : state) {
        if ((++n & 1023) == 0) {
            next_request(g);
        }
        g->plugin_flags = HT_PLUGIN_LOG;
        HTStreamStackStatus_init(g);
        HTStreamStackWriter(kNginxAnswer, kNginxLength, &sink, nullptr, g);
        benchmark::DoNotOptimize(HTStreamStack_store(g)->count);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kNginxLength);
}
BENCHMARK(BM_ParsePath);

#if HAVE_HTTP_PARSER
int on_nothing(http_parser *) { return 0; }
int on_data(http_parser *, const char *, size_t) { return 0; }

void BM_HttpParser(benchmark::State &state)
{
    http_parser_settings settings{};
    settings.on_message_begin = on_nothing;
    settings.on_url = on_data;
    settings.on_status = on_data;
    settings.on_header_field = on_data;
    settings.on_header_value = on_data;
    settings.on_headers_complete = on_nothing;
    settings.on_body = on_data;
    settings.on_message_complete = on_nothing;
    http_parser parser;
    for (auto _ : state) {
        http_parser_init(&parser, HTTP_RESPONSE);
        const size_t n = http_parser_execute(&parser, &settings, kNginxAnswer, kNginxLength);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kNginxLength);
}
BENCHMARK(BM_HttpParser);
#endif

// One block of body bytes, past the head, through the writer to the plain writer.
void BM_PassThrough(benchmark::State &state)
{
    HTThdGlobals *g = worker();
    HTStream sink{&kSink};
    type_of_sink = HT_STREAM_TYPE_WRITER;
    g->plugin_flags = 0;
    const std::string block(4096, 'b');
    for (auto _ : state)
        HTStreamStackWriter(block.data(), static_cast<int>(block.size()), &sink, nullptr, g);
}
BENCHMARK(BM_PassThrough);

// The writer's own share: the same block handed to the same sink directly.
void BM_PassThroughBaseline(benchmark::State &state)
{
    HTStream sink{&kSink};
    const std::string block(4096, 'b');
    HTStream *volatile s = &sink;
    for (auto _ : state)
        s->isa->write(s, block.data(), static_cast<int>(block.size()));
}
BENCHMARK(BM_PassThroughBaseline);

void BM_ProxyFor100Chains(benchmark::State &state)
{
    HTThdGlobals *g = worker();
    static HTStaticConfig config{};
    if (config.http_chains == nullptr) {
        proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_HTTP, "http://default:3128/");
        for (int i = 0; i < 100; ++i)
            proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP,
                                  ("http://chain" + std::to_string(i) + ":8080/").c_str(),
                                  ("site" + std::to_string(i) + ".example.com, 10.0.0." + std::to_string(i) +
                                   " intra" + std::to_string(i) + ":8080")
                                      .c_str());
        proxychain_setNoProxyList(g, &config, "localhost, 127.0.0.1, .internal");
    }
    g->config = &config;
    // range(0): 0 the last entry matches, 1 none does (the default).
    const char *host = state.range(0) == 0 ? "www.site99.example.com" : "www.unlisted.example.org";
    HTAtom *http = HTAtom_for("http");
    int n = 0;
    for (auto _ : state) {
        if ((++n & 4095) == 0) {
            next_request(g);
            g->config = &config;
        }
        benchmark::DoNotOptimize(HTProxy_for(nullptr, host, http, g));
    }
}
BENCHMARK(BM_ProxyFor100Chains)->Arg(0)->Arg(1);

} // namespace
