// The page of a 10 000-file local directory (HTBrowseDirectory with the
// date and size columns, written to a loopback socket that a thread
// drains), next to nginx's autoindex of the same directory fetched in the
// same run over loopback (nginx started here from a private configuration,
// stopped by pid).

#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTDirBrowse.h"
#include "HTGlobals.h"
#include "HTInit.h"
#include "HTLoadCodes.h"
#include "HTRequest.h"
#include "HTSocket.h"
#include "HTWriter.h"

#include "bench_net.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

constexpr int kFiles = 10000;

using bench::connect_port;
using bench::Drain;

bench::Nginx &nginx()
{
    static bench::Nginx n(
        "htdir-bench",
        [](const std::string &html) {
            std::filesystem::create_directories(html + "/d");
            for (int i = 0; i < kFiles; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "/d/file%05d.txt", i);
                std::ofstream(html + name) << std::string(static_cast<size_t>(i % 3000), 'x');
            }
        },
        "location / { autoindex on; }");
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

void BM_DirPage(benchmark::State &state)
{
    HTThdGlobals *g = worker();
    static HTStaticConfig cfg{};
    cfg.dir_flags = HT_DIR_DATE | HT_DIR_SIZE;
    cfg.dir_max_name = 50;
    g->config = &cfg;
    Drain drain;
    HTSocket *s = HTSocketQueue_get();
    s->socket = drain.write_fd;
    const std::string path = nginx().dir + "/html/d/";
    long long pages = 0;
    for (auto _ : state) {
        HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
        g->config = &cfg;
        HTRequest *request = HTRequest_new(g);
        request->config = &cfg;
        request->http_version = "HTTP/1.1";
        request->anchor = HTAnchor_findAddress("http://127.0.0.1/d/", g);
        request->output_stream = HTWriter_newNoClose(s, request);
        if (HTBrowseDirectory(request, path.c_str(), g) != HT_LOAD_OK)
            state.SkipWithError("page failed");
        ++pages;
        HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, g);
    }
    s->socket = -1;
    HTSocketQueue_return(s);
    g->config = nullptr;
    state.counters["page_bytes"] = pages ? static_cast<double>(drain.bytes.load()) / static_cast<double>(pages) : 0;
}
BENCHMARK(BM_DirPage)->Unit(benchmark::kMillisecond);

void BM_NginxAutoindex(benchmark::State &state)
{
    if (nginx().pid <= 0) {
        state.SkipWithError("nginx did not start");
        return;
    }
    static char buf[1 << 16];
    long long bytes = 0, pages = 0;
    for (auto _ : state) {
        const int c = connect_port(nginx().port);
        const char req[] = "GET /d/ HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (c < 0 || send(c, req, sizeof req - 1, 0) < 0) {
            state.SkipWithError("nginx refused");
            break;
        }
        ssize_t k;
        while ((k = recv(c, buf, sizeof buf, 0)) > 0)
            bytes += k;
        close(c);
        ++pages;
    }
    state.counters["page_bytes"] = pages ? static_cast<double>(bytes) / static_cast<double>(pages) : 0;
}
BENCHMARK(BM_NginxAutoindex)->Unit(benchmark::kMillisecond);

} // namespace
