// Benchmarks of the URL toolkit (against libcurl's URL API when it is
// there), catalogue lookups, atoms and linear hashing (against
// std::unordered_map).

#include "HTAtom.h"
#include "HTGlobals.h"
#include "HTInit.h"
#include "HTParse.h"
#include "afs_lhash.h"
#include "nls.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#if HAVE_CURL
#include <curl/curl.h>
#endif

namespace {

// Links as a browser or a proxy meets them: relative references of every
// kind against page URLs, with dot segments, default ports, queries and
// fragments.
const std::vector<std::pair<const char *, const char *>> &url_corpus()
{
    static const std::vector<std::pair<const char *, const char *>> corpus = {
        {"images/logo.png", "http://www.example.com/index.html"},
        {"../css/site.css?v=3", "http://www.example.com/docs/guide/intro.html"},
        {"/search?q=proxy+cache&lang=en", "http://www.example.com/a/b/c"},
        {"http://cdn.example.net:80/lib/jquery.min.js", "http://www.example.com/"},
        {"./chapter2.html#section-4", "http://books.example.org/vol1/chapter1.html"},
        {"../../up/two/levels/file.txt", "https://files.example.org:8443/a/b/c/d/e.txt"},
        {"page.php?id=42&sort=desc", "http://shop.example.com/catalog/"},
        {"https://secure.example.com/login", "http://www.example.com/account/"},
        {"//static.example.com/img/a.gif", "http://www.example.com/x/y"},
        {"sub/dir/./file.html", "http://www.example.com/root/index.html"},
        {"#top", "http://www.example.com/long/path/to/some/page.html"},
        {"ftp://ftp.example.org/pub/readme.txt", "http://www.example.com/"},
        {"a/b/../c/./d.html", "http://intranet.example.local/wiki/Main_Page"},
        {"/a/b/c/d/e/f/g/h/i/j/k.html", "http://deep.example.com/"},
        {"news/2024/05/article-123.html?ref=home", "http://news.example.com/index"},
        {"../img/banner.jpg", "http://www.example.com:8080/site/pages/about.html"},
    };
    return corpus;
}

HTThdGlobals *bench_context()
{
    static HTThdGlobals *ctx = [] {
        HTInitAll();
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

void BM_HTParse_HTSimplify(benchmark::State &state)
{
    HTThdGlobals *ctx = bench_context();
    const auto &corpus = url_corpus();
    std::size_t i = 0, since_reset = 0;
    for (auto _ : state) {
        const auto &[name, base] = corpus[i];
        char *r = HTParse(name, base, PARSE_ALL, ctx);
        benchmark::DoNotOptimize(HTSimplify(r, ctx));
        if (++i == corpus.size())
            i = 0;
        if (++since_reset == 256) { // a request's worth of pool use
            HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
            since_reset = 0;
        }
    }
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_HTParse_HTSimplify);

#if HAVE_CURL
void BM_curl_url_resolve(benchmark::State &state)
{
    const auto &corpus = url_corpus();
    std::vector<CURLU *> bases;
    for (const auto &entry : corpus) {
        CURLU *h = curl_url();
        curl_url_set(h, CURLUPART_URL, entry.second, 0);
        bases.push_back(h);
    }
    std::size_t i = 0;
    for (auto _ : state) {
        CURLU *h = curl_url_dup(bases[i]);
        curl_url_set(h, CURLUPART_URL, corpus[i].first, 0);
        char *out = nullptr;
        curl_url_get(h, CURLUPART_URL, &out, 0);
        benchmark::DoNotOptimize(out);
        curl_free(out);
        curl_url_cleanup(h);
        if (++i == corpus.size())
            i = 0;
    }
    for (CURLU *h : bases)
        curl_url_cleanup(h);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_curl_url_resolve);
#endif

void BM_nlsGetString_cached(benchmark::State &state)
{
    setenv("ORVANE_MSG_DIR", HT_CATALOG_BUILD_DIR, 1);
    const char *first = nlsGetString(NLS_ORVANEPROXY, 1, 948, "%s: Error: %s\n");
    state.SetLabel(HT_CATALOG_BUILT && first != nullptr ? "catalogue" : "defaults only");
    int n = 893;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nlsGetString(NLS_ORVANEPROXY, 1, n, "default"));
        if (++n > 948)
            n = 893;
    }
}
BENCHMARK(BM_nlsGetString_cached);

void BM_HTAtom_for_existing(benchmark::State &state)
{
    HTLoadGlobalAtoms();
    const char *names[] = {"text/html", "application/octet-stream", "www/present", "8bit"};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(HTAtom_for(names[i]));
        i = (i + 1) & 3;
    }
}
BENCHMARK(BM_HTAtom_for_existing);

int equal_u32(const void *argument, const void *data)
{
    return *static_cast<const uint32_t *>(argument) == *static_cast<const uint32_t *>(data);
}

std::vector<uint32_t> &keys(std::size_t n)
{
    static std::vector<uint32_t> k;
    if (k.size() != n) {
        k.resize(n);
        uint32_t x = 12345;
        for (auto &v : k) {
            x = x * 1103515245u + 12345u;
            v = x;
        }
    }
    return k;
}

void BM_afs_lhash_lookup(benchmark::State &state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    auto &k = keys(n);
    afs_lhash *t = afs_lhash_create(equal_u32, nullptr, nullptr);
    // The key is the caller's hash; these keys are random already (and
    // std::hash<uint32_t> is the identity too).
    for (auto &v : k)
        afs_lhash_enter(t, v, &v);
    std::size_t i = 0;
    for (auto _ : state) {
        const uint32_t &v = k[i];
        benchmark::DoNotOptimize(afs_lhash_rosearch(t, v, &v));
        if (++i == n)
            i = 0;
    }
    afs_lhash_destroy(t);
}
BENCHMARK(BM_afs_lhash_lookup)->Arg(1000)->Arg(100000);

void BM_unordered_map_lookup(benchmark::State &state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    auto &k = keys(n);
    std::unordered_map<uint32_t, const uint32_t *> m;
    for (auto &v : k)
        m.emplace(v, &v);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.find(k[i]));
        if (++i == n)
            i = 0;
    }
}
BENCHMARK(BM_unordered_map_lookup)->Arg(1000)->Arg(100000);

} // namespace
