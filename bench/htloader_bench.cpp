// The HTTP loader, one thread, sequential requests to nginx (started here on
// loopback from a private configuration, stopped by its pid), for a 1 KB
// and a 10 MB file, on pooled and on new connections; the answer goes into
// a loopback socket drained by a reader thread. Next to it libcurl's easy
// interface (a reused handle, and CURLOPT_FORBID_REUSE for new connections)
// writes the same answers into the same kind of socket. CPU time is the
// benchmark thread's: the work per request on the proxy's side.

#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTInit.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTRequest.h"
#include "HTSocket.h"
#include "HTTP.h"
#include "HTWriter.h"

#include "bench_net.hpp"

#include <benchmark/benchmark.h>

#if HAVE_CURL
#include <curl/curl.h>
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

using bench::Drain;

bench::Nginx &nginx()
{
    static bench::Nginx n(
        "htloader-bench",
        [](const std::string &html) {
            std::ofstream(html + "/1k.bin") << std::string(1024, 'k');
            std::ofstream(html + "/10m.bin") << std::string(10 * 1024 * 1024, 'm');
        },
        "", " keepalive_requests 1000000;\n sendfile on;\n");
    return n;
}

HTThdGlobals *worker()
{
    static HTThdGlobals *ctx = [] {
        HTInitAll();
        signal(SIGPIPE, SIG_IGN);
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

void BM_Loader(benchmark::State &state, const char *file, bool pooled)
{
    if (nginx().pid <= 0) {
        state.SkipWithError("nginx did not start");
        return;
    }
    HTThdGlobals *g = worker();
    const std::string url = nginx().url(file);
    HTMyStaticConfig.server_conn_pool = pooled;
    HTMyStaticConfig.server_idle_limit = 60;
    HTMyStaticConfig.max_socket_per_server = 8;
    Drain drain;
    HTSocket *out = HTSocketQueue_get();
    out->socket = drain.write_fd;
    long long bytes = 0;
    for (auto _ : state) {
        HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
        HTRequest *request = HTRequest_new(g);
        request->config = &HTMyStaticConfig;
        request->method = HT_METHOD_GET;
        request->anchor = HTAnchor_findAddress(url.c_str(), g);
        HTAnchor_setPhysical(request->anchor, url.c_str());
        static const char kHeaders[] = "Host: 127.0.0.1\r\nAccept: */*\r\n";
        g->client_headers = kHeaders;
        g->client_headers_length = sizeof kHeaders - 1;
        request->output_stream = HTWriter_newNoClose(out, request);
        if (HTLoadHTTP(request, g) != HT_LOAD_OK) {
            state.SkipWithError("load failed");
            break;
        }
        bytes += g->output_healthy;
        if (!pooled && g->server_socket != nullptr)
            CompleteSocketClose(g->server_socket, g, 1);
        HTRequest_delete(request);
        HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
    }
    state.SetBytesProcessed(bytes);
    out->socket = -1;
    HTSocketQueue_return(out);
}

#if HAVE_CURL
size_t curl_to_socket(char *data, size_t size, size_t n, void *fd)
{
    size_t total = size * n, at = 0;
    while (at < total) {
        const ssize_t k = send(*static_cast<int *>(fd), data + at, total - at, MSG_NOSIGNAL);
        if (k <= 0)
            return 0;
        at += static_cast<size_t>(k);
    }
    return total;
}

void BM_Curl(benchmark::State &state, const char *file, bool reuse)
{
    if (nginx().pid <= 0) {
        state.SkipWithError("nginx did not start");
        return;
    }
    const std::string url = nginx().url(file);
    Drain drain;
    CURL *c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, curl_to_socket);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &drain.write_fd);
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, reuse ? 0L : 1L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    long long bytes = 0;
    for (auto _ : state) {
        if (curl_easy_perform(c) != CURLE_OK) {
            state.SkipWithError("curl failed");
            break;
        }
        curl_off_t n = 0;
        curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &n);
        bytes += n;
    }
    curl_easy_cleanup(c);
    state.SetBytesProcessed(bytes);
}
#endif

} // namespace

BENCHMARK_CAPTURE(BM_Loader, 1KB_pooled, "1k.bin", true);
BENCHMARK_CAPTURE(BM_Loader, 1KB_new, "1k.bin", false);
BENCHMARK_CAPTURE(BM_Loader, 10MB_pooled, "10m.bin", true);
BENCHMARK_CAPTURE(BM_Loader, 10MB_new, "10m.bin", false);
#if HAVE_CURL
BENCHMARK_CAPTURE(BM_Curl, 1KB_reused, "1k.bin", true);
BENCHMARK_CAPTURE(BM_Curl, 1KB_new, "1k.bin", false);
BENCHMARK_CAPTURE(BM_Curl, 10MB_reused, "10m.bin", true);
BENCHMARK_CAPTURE(BM_Curl, 10MB_new, "10m.bin", false);
#endif
