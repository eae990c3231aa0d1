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

int free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

int connect_port(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The directory, and nginx serving it with autoindex.
struct Setup {
    std::string dir;
    pid_t pid = -1;
    int port = 0;
    Setup()
    {
        char tmpl[] = "/tmp/htdir-bench.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return;
        dir = tmpl;
        std::filesystem::create_directories(dir + "/html/d");
        std::filesystem::create_directories(dir + "/tmp");
        for (int i = 0; i < kFiles; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/html/d/file%05d.txt", i);
            std::ofstream(dir + name) << std::string(static_cast<size_t>(i % 3000), 'x');
        }
        port = free_port();
        const std::string conf = dir + "/nginx.conf";
        std::ofstream(conf) << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir
                            << "/nginx.pid;\nerror_log " << dir << "/error.log;\nevents { worker_connections 256; }\n"
                            << "http {\n access_log off;\n client_body_temp_path " << dir << "/tmp;\n"
                            << " proxy_temp_path " << dir << "/tmp;\n fastcgi_temp_path " << dir << "/tmp;\n"
                            << " uwsgi_temp_path " << dir << "/tmp;\n scgi_temp_path " << dir << "/tmp;\n"
                            << " server { listen 127.0.0.1:" << port << "; root " << dir
                            << "/html; location / { autoindex on; } }\n}\n";
        pid = fork();
        if (pid == 0) {
            execl("/usr/sbin/nginx", "nginx", "-e", (dir + "/error.log").c_str(), "-p", dir.c_str(), "-c",
                  conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            const int s = connect_port(port);
            if (s >= 0) {
                close(s);
                return;
            }
            usleep(20000);
        }
    }
    ~Setup()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ec);
    }
};

Setup &setup()
{
    static Setup s;
    return s;
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

// A loopback connection whose far end a thread drains.
struct Drain {
    int write_fd = -1;
    int read_fd = -1;
    std::thread reader;
    std::atomic<long long> bytes{0};
    Drain()
    {
        const int l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(l, 1);
        getsockname(l, reinterpret_cast<sockaddr *>(&a), &n);
        write_fd = connect_port(ntohs(a.sin_port));
        read_fd = accept(l, nullptr, nullptr);
        close(l);
        reader = std::thread([this] {
            static char buf[1 << 16];
            ssize_t k;
            while ((k = recv(read_fd, buf, sizeof buf, 0)) > 0)
                bytes += k;
        });
    }
    ~Drain()
    {
        shutdown(write_fd, SHUT_RDWR);
        reader.join();
        close(write_fd);
        close(read_fd);
    }
};

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
    const std::string path = setup().dir + "/html/d/";
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
    if (setup().pid <= 0) {
        state.SkipWithError("nginx did not start");
        return;
    }
    static char buf[1 << 16];
    long long bytes = 0, pages = 0;
    for (auto _ : state) {
        const int c = connect_port(setup().port);
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
