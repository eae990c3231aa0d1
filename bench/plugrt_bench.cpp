// libplugrt against what a plug-in's call costs the host anyway (tracing
// off, request memory reset every 1000 calls):
// - HTTPD_extract of SERVER_NAME, of a user variable and of an HTTP_ request
//   header, each against the host entry it ends in plus the copy into the
//   caller's buffer (target: under 50 ns more per call);
// - HTTPD_read of a 10 MB body in 8 KiB pieces, stored copy included,
//   against reading the same pieces from the host (target: within 2x), with
//   the C library's default allocation (each request's 10 MB copy is fresh
//   memory from the kernel) and, last, with the heap keeping freed blocks as
//   a long-running server's does (M_MMAP_THRESHOLD, M_TRIM_THRESHOLD);
// - HTTPD_write of 8 KiB blocks against writing them to the sink directly.

#include "orvhost.h"

#include "htapi_cb.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstring>
#include <memory>

namespace {

constexpr int kResetEvery = 1000;
constexpr std::size_t kBody = 10u << 20;
constexpr std::size_t kPiece = 8192;

const orvhost::Plugrt *api()
{
    static const orvhost::Plugrt *p = orvhost::plugrt();
    return p;
}

template <int N> typename plugrt::Cb<N>::fn *host_entry()
{
    return reinterpret_cast<typename plugrt::Cb<N>::fn *>(orvhost::Host::get().table()[N]);
}

// A request with the three variables; every kResetEvery calls the request
// ends (its memory with it) and the next one begins.
struct Served {
    std::unique_ptr<orvhost::Request> r;
    int calls = 0;
    Served()
    {
        orvhost::Host::get().server_text[HTAPI_SERVER_NAME] = "proxy.example.com";
        next();
    }
    void next()
    {
        r = std::make_unique<orvhost::Request>();
        r->request_headers = {{"Accept", "*/*", {}}, {"X-Forwarded-For", "192.0.2.10", {}}};
        unsigned long n = 9, v = 17;
        long rc;
        api()->HTSET(r->handle(), "plugin_id", &n, "plugin-value-0001", &v, &rc);
    }
    void tick()
    {
        if (++calls == kResetEvery) {
            next();
            calls = 0;
        }
    }
};

void extract(benchmark::State &state, const char *name)
{
    Served s;
    char buffer[256];
    const unsigned long n = std::strlen(name);
    for (auto _ : state) {
        unsigned long nl = n, room = sizeof buffer;
        long rc;
        api()->HTXTRACT(s.r->handle(), name, &nl, buffer, &room, &rc);
        benchmark::DoNotOptimize(buffer);
        s.tick();
    }
}

void BM_Extract_ServerName(benchmark::State &state)
{
    extract(state, "SERVER_NAME");
}
BENCHMARK(BM_Extract_ServerName);

// The host entry that a call ends in, and the copy into the caller's buffer.
template <class Get> void host_copy(benchmark::State &state, Get get)
{
    Served s;
    char buffer[256];
    for (auto _ : state) {
        const char *v = get(s);
        std::memcpy(buffer, v, std::strlen(v) + 1);
        benchmark::DoNotOptimize(buffer);
        s.tick();
    }
}

void BM_Host_ServerName(benchmark::State &state)
{
    host_copy(state, [get = host_entry<HTCB_SERVER_TEXT>()](Served &s) {
        return get(s.r->handle(), HTAPI_SERVER_NAME);
    });
}
BENCHMARK(BM_Host_ServerName);

void BM_Extract_UserVariable(benchmark::State &state)
{
    extract(state, "plugin_id");
}
BENCHMARK(BM_Extract_UserVariable);

void BM_Host_UserVariable(benchmark::State &state)
{
    host_copy(state, [get = host_entry<HTCB_USERVAR_GET>()](Served &s) {
        std::size_t n = 0;
        return static_cast<const char *>(get(s.r->api()->user_variables, "plugin_id", 0, &n));
    });
}
BENCHMARK(BM_Host_UserVariable);

void BM_Extract_HttpHeader(benchmark::State &state)
{
    extract(state, "HTTP_X-Forwarded-For");
}
BENCHMARK(BM_Extract_HttpHeader);

void BM_Host_HttpHeader(benchmark::State &state)
{
    host_copy(state, [get = host_entry<HTCB_REQUEST_HEADER>()](Served &s) {
        const char *v = std::strchr(get(s.r->handle(), "X-Forwarded-For", 0), ':') + 1;
        while (*v == ' ')
            ++v;
        return v;
    });
}
BENCHMARK(BM_Host_HttpHeader);

const std::string &body()
{
    static const std::string b(kBody, 'b');
    return b;
}

void read_10mb(benchmark::State &state)
{
    std::vector<char> buffer(kPiece);
    for (auto _ : state) {
        state.PauseTiming();
        auto r = std::make_unique<orvhost::Request>();
        r->set_body(body(), kPiece);
        state.ResumeTiming();
        long rc = 0;
        while (rc != HTTPD_END_OF_BODY) {
            unsigned long n = kPiece;
            api()->HTREAD(r->handle(), buffer.data(), &n, &rc);
        }
        benchmark::DoNotOptimize(r->handle()->body_used);
        state.PauseTiming();
        r.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBody);
}

void BM_Read_10MB(benchmark::State &state)
{
    read_10mb(state);
}
BENCHMARK(BM_Read_10MB)->Unit(benchmark::kMillisecond);

void BM_HostRead_10MB(benchmark::State &state)
{
    std::vector<char> buffer(kPiece);
    auto read = host_entry<HTCB_READ_BLOCK>();
    for (auto _ : state) {
        state.PauseTiming();
        orvhost::BodySource source;
        source.set(body(), kPiece);
        state.ResumeTiming();
        for (;;) {
            std::size_t n = kPiece;
            const char *p = read(&source, &n);
            if (p == nullptr)
                break;
            std::memcpy(buffer.data(), p, n);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBody);
}
BENCHMARK(BM_HostRead_10MB)->Unit(benchmark::kMillisecond);

void BM_Write_8KiB(benchmark::State &state)
{
    orvhost::Request r;
    const std::string block(kPiece, 'w');
    int calls = 0;
    for (auto _ : state) {
        unsigned long n = kPiece;
        long rc;
        api()->HTWRITE(r.handle(), block.data(), &n, &rc);
        if (++calls == kResetEvery) {
            r.sink.data.clear();
            calls = 0;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPiece);
}
BENCHMARK(BM_Write_8KiB);

void BM_SinkWrite_8KiB(benchmark::State &state)
{
    orvhost::Request r;
    const std::string block(kPiece, 'w');
    HTStream *s = r.sink.stream();
    int calls = 0;
    for (auto _ : state) {
        s->isa->write(s, block.data(), static_cast<int>(kPiece));
        if (++calls == kResetEvery) {
            r.sink.data.clear();
            calls = 0;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPiece);
}
BENCHMARK(BM_SinkWrite_8KiB);

// Registered last: the heap settings stay for the rest of the process.
void BM_Read_10MB_KeptHeap(benchmark::State &state)
{
    static const bool kept = [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 256 << 20);
        return true;
    }();
    benchmark::DoNotOptimize(kept);
    read_10mb(state);
}
BENCHMARK(BM_Read_10MB_KeptHeap)->Unit(benchmark::kMillisecond);

} // namespace
