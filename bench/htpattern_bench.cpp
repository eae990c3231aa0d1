// Rule matching: one URL against 1000 mapping rules, through the rule tree
// and through a scan of the rules in number order with a compiled pattern
// each (the first match is the answer).

#include "HTGlobals.h"
#include "HTInit.h"
#include "HTWild.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kRules = 1000;

HTThdGlobals *worker()
{
    static HTThdGlobals *ctx = [] {
        HTInitAll();
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

// Rules of the kinds a proxy configuration holds: site mappings, directory
// mappings with a suffix, CGI prefixes, a few with server ports.
struct Rules {
    std::vector<std::string> texts;
    std::vector<HTPatternRule> rules;
    std::vector<HTPattern *> compiled;
    HTPattern *tmpl = HTPattern_new("/mapped/*");
    HTRuleNode *tree = nullptr;
    std::vector<std::string> urls;

    Rules()
    {
        texts.reserve(kRules);
        for (int i = 0; i < kRules; ++i) {
            std::string t;
            switch (i % 4) {
            case 0: t = "http://host" + std::to_string(i) + ".example.com/*"; break;
            case 1: t = "/docs/area" + std::to_string(i) + "/*.html"; break;
            case 2: t = "/cgi-bin/tool" + std::to_string(i) + "*"; break;
            default: t = "/static/" + std::to_string(i) + "/*/img/*"; break;
            }
            texts.push_back(t);
        }
        for (int i = 0; i < kRules; ++i) {
            HTPatternRule r{};
            r.ruleID = i;
            r.pattern = texts[static_cast<size_t>(i)].c_str();
            r.replacement = tmpl;
            r.port = (i % 10 == 9) ? 8080 : 0;
            rules.push_back(r);
            compiled.push_back(HTPattern_new(r.pattern));
        }
        std::vector<HTPatternRule *> ptrs;
        for (auto &r : rules)
            ptrs.push_back(&r);
        tree = HTCreateRuleTree(nullptr, ptrs.data(), kRules, 0, nullptr, nullptr);
        for (int i = 0; i < 64; ++i) {
            const int k = (i * 157) % kRules;
            switch (k % 4) {
            case 0: urls.push_back("http://host" + std::to_string(k) + ".example.com/a/b.html"); break;
            case 1: urls.push_back("/docs/area" + std::to_string(k) + "/guide/intro.html"); break;
            case 2: urls.push_back("/cgi-bin/tool" + std::to_string(k) + "?q=1"); break;
            default: urls.push_back("/static/" + std::to_string(k) + "/v2/img/logo.png"); break;
            }
            if (i % 8 == 7)
                urls.back() = "/nowhere/" + std::to_string(i); // no rule matches
        }
    }
};

Rules &rules()
{
    static Rules r;
    return r;
}

void BM_RuleTree1000(benchmark::State &state)
{
    Rules &r = rules();
    HTThdGlobals *ctx = worker();
    size_t u = 0;
    for (auto _ : state) {
        HTPatternRule *hit = nullptr;
        const char *out = HTPatternGroup_match(r.tree, &hit, r.urls[u].c_str(), nullptr, 80, 1, ctx);
        benchmark::DoNotOptimize(out);
        if (++u == r.urls.size()) {
            u = 0;
            HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
        }
    }
}
BENCHMARK(BM_RuleTree1000);

void BM_LinearScan1000(benchmark::State &state)
{
    Rules &r = rules();
    HTThdGlobals *ctx = worker();
    size_t u = 0;
    for (auto _ : state) {
        const char *out = nullptr;
        for (int i = 0; i < kRules && out == nullptr; ++i) {
            const HTPatternRule &rule = r.rules[static_cast<size_t>(i)];
            if (rule.port != 0 && rule.port != 80)
                continue;
            out = HTPattern_match(r.compiled[static_cast<size_t>(i)], rule.replacement,
                                  r.urls[u].c_str(), 1, ctx);
        }
        benchmark::DoNotOptimize(out);
        if (++u == r.urls.size()) {
            u = 0;
            HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
        }
    }
}
BENCHMARK(BM_LinearScan1000);

} // namespace
