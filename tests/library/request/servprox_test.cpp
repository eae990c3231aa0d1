// Proxy selection: domain lists, the no-proxy list, chains, defaults,
// forward targets and round-robin parents.

#include "servprox.h"

#include "HTAtom.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTRequest.h"
#include "htc_alloc_fail.h"
#include "htc_trace_log.h"
#include "htc_worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Domain {
    std::string name;
    int port;
    bool operator==(const Domain &o) const { return name == o.name && port == o.port; }
};

std::vector<Domain> domains(HTList *list)
{
    std::vector<Domain> out;
    if (list != nullptr)
        for (HTList *e = list->next; e != nullptr; e = e->next) {
            const auto *d = static_cast<const HTProxyDomain *>(e->object);
            out.push_back({d->name, d->port});
        }
    return out;
}

std::string text(const char *s) { return s ? s : "DIRECT"; }

class Proxy : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        g->config = &config;
        HTProxy__resetRoundRobin();
        request = HTRequest_new(g);
    }
    void TearDown() override
    {
        HTRequest_delete(request);
        proxychain_free(g, &config);
        WorkerTest::TearDown();
    }
    // The configuration most cases use.
    void configure()
    {
        proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_HTTP, "http://default:3128/");
        proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_FTP, "http://ftpproxy/");
        proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_GOPHER, "http://gopherproxy/");
        proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP, "http://chain-a/",
                              "example.org, 10.1.2.3 intra:8080");
        proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP, "http://chain-b/", "org");
        proxychain_addDomains(g, &config, HT_PROXY_TYPE_FTP, "http://ftp-chain/", "ftp.example.org");
        proxychain_setNoProxyList(g, &config, "local.net,192.168.0.1 special:8443 NonCacheable:81");
    }
    const char *query(const char *host, int port, int type = HT_PROXY_TYPE_HTTP, int cacheable = 1)
    {
        request->cacheable = cacheable;
        return proxychain_queryProxyChain(g, &config, request, type, host, port);
    }
    const char *proxy_for(const char *host_port, const char *scheme)
    {
        request->cacheable = 1;
        return HTProxy_for(request, host_port, HTAtom_for(scheme), g);
    }
    HTStaticConfig config{};
    HTRequest *request = nullptr;
};

} // namespace

TEST_F(Proxy, ParseDomains)
{
    const struct {
        const char *text;
        std::vector<Domain> expected;
    } cases[] = {
        {"a.com", {{"a.com", 0}}},
        {"a.com,b.org:8080", {{"a.com", 0}, {"b.org", 8080}}},
        {" ,\t a.com ,, \r\n b.org ", {{"a.com", 0}, {"b.org", 0}}},
        {"c:0 d:65535", {{"c", 0}, {"d", 65535}}},
        // The last ':' starts the port.
        {"h:1:2", {{"h:1", 2}}},
        // A port that is not a number from 0 to 65535 drops its item only.
        {"e:65536 f:x g: h:-1 i:+5 j:99999999999999999999 k.com", {{"k.com", 0}}},
        {":80", {{"", 80}}},
        {"x\x01y\x1fz", {{"x", 0}, {"y", 0}, {"z", 0}}},
        {"", {}},
        {" , ,\t", {}},
        {"bad:port", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        HTList *list = parseDomains(g, c.text);
        EXPECT_EQ(domains(list), c.expected);
        EXPECT_EQ(list == nullptr, c.expected.empty()); // no empty list is made
        proxychain_freeDomains(list, g);
    }
    EXPECT_EQ(parseDomains(g, nullptr), nullptr);
}

TEST_F(Proxy, ChainsAndNoProxyList)
{
    configure();
    const struct {
        const char *host;
        int port;
        int type;
        int cacheable;
        const char *expected;
    } cases[] = {
        {"www.example.org", 80, 0, 1, "http://chain-a/"},
        {"badexample.org", 80, 0, 1, "http://chain-a/"}, // plain suffix, no dot rule
        {"www.other.org", 80, 0, 1, "http://chain-b/"},
        {"example.com", 80, 0, 1, "http://default:3128/"},
        {"intra", 8080, 0, 1, "http://chain-a/"},
        {"intra", 80, 0, 1, "http://default:3128/"}, // the entry carries a port
        {"10.1.2.3", 80, 0, 1, "http://chain-a/"},
        {"110.1.2.3", 80, 0, 1, "http://default:3128/"}, // addresses match exactly
        {"10.1.2.30", 80, 0, 1, "http://default:3128/"},
        // No-proxy entries win over chains.
        {"www.local.net", 80, 0, 1, nullptr},
        {"xlocal.net", 443, 0, 1, nullptr},
        {"192.168.0.1", 80, 0, 1, nullptr},
        {"192.168.0.10", 80, 0, 1, "http://default:3128/"},
        {"1192.168.0.1", 80, 0, 1, "http://default:3128/"},
        {"special", 8443, 0, 1, nullptr},
        {"special", 443, 0, 1, "http://default:3128/"},
        // The "noncacheable" item sends uncacheable requests direct, on its port only,
        // and is never a suffix.
        {"www.example.org", 81, 0, 0, nullptr},
        {"10.1.2.3", 81, 0, 0, nullptr},
        {"www.example.org", 80, 0, 0, "http://chain-a/"},
        {"x.noncacheable", 81, 0, 1, "http://default:3128/"},
        // The other scheme types.
        {"ftp.example.org", 21, 1, 1, "http://ftp-chain/"},
        {"files.example.net", 21, 1, 1, "http://ftpproxy/"},
        {"www.example.org", 70, 2, 1, "http://gopherproxy/"},
        {"www.example.org", 80, 3, 1, nullptr},
        {"www.example.org", 80, -1, 1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port) + " type " + std::to_string(c.type));
        EXPECT_EQ(text(query(c.host, c.port, c.type, c.cacheable)), text(c.expected));
    }
    // No request counts as cacheable.
    EXPECT_EQ(text(proxychain_queryProxyChain(g, &config, nullptr, 0, "a.example.org", 81)), "http://chain-a/");
    EXPECT_EQ(proxychain_queryProxyChain(g, &config, nullptr, 0, nullptr, 80), nullptr);
}

TEST_F(Proxy, SettersReplaceAndRefuse)
{
    EXPECT_EQ(proxychain_setDefaultProxy(g, &config, 7, "http://x/"), -1);
    EXPECT_EQ(proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_HTTP, "http://one/"), 0);
    EXPECT_EQ(proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_HTTP, "http://two/"), 0);
    EXPECT_STREQ(config.http_proxy, "http://two/");
    EXPECT_EQ(proxychain_setDefaultProxy(g, &config, HT_PROXY_TYPE_HTTP, nullptr), 0);
    EXPECT_EQ(config.http_proxy, nullptr);
    EXPECT_EQ(proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP, "", "a"), -1);
    EXPECT_EQ(proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP, "http://p/", ""), -1);
    EXPECT_EQ(proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP, nullptr, "a"), -1);
    EXPECT_EQ(proxychain_addDomains(g, &config, 9, "http://p/", "a"), -1);
    EXPECT_EQ(config.http_chains, nullptr);
    EXPECT_EQ(proxychain_addDomains(g, &config, HT_PROXY_TYPE_GOPHER, "http://p/", "a b:70"), 0);
    ASSERT_NE(config.gopher_chains, nullptr);
    auto *entry = static_cast<HTProxyChainEntry *>(HTList_objectAt(config.gopher_chains, 0));
    EXPECT_STREQ(entry->proxy, "http://p/");
    EXPECT_EQ(domains(entry->domains), (std::vector<Domain>{{"a", 0}, {"b", 70}}));
    EXPECT_EQ(proxychain_setNoProxyList(g, &config, "x"), 0);
    EXPECT_EQ(proxychain_setNoProxyList(g, &config, ""), 0); // replaces with nothing
    EXPECT_EQ(config.no_proxy, nullptr);
}

TEST_F(Proxy, ProxyForUsesChainsAndDefaultPorts)
{
    configure();
    // An explicit port with no chain match gives the default HTTP proxy.
    EXPECT_EQ(text(proxy_for("www.example.com:8000", "http")), "http://default:3128/");
    EXPECT_EQ(text(proxy_for("www.example.org", "https")), "http://chain-a/");
    EXPECT_EQ(text(proxy_for("intra:8080", "http")), "http://chain-a/");
    EXPECT_EQ(text(proxy_for("intra", "http")), "http://default:3128/");
    // https defaults to 443, so the no-proxy entry special:8443 does not apply.
    EXPECT_EQ(text(proxy_for("special", "https")), "http://default:3128/");
    EXPECT_EQ(text(proxy_for("special:8443", "https")), "DIRECT");
    EXPECT_EQ(text(proxy_for("ftp.example.org", "ftp")), "http://ftp-chain/");
    EXPECT_EQ(text(proxy_for("www.example.org", "gopher")), "http://gopherproxy/");
    EXPECT_EQ(text(proxy_for("www.example.org", "wais")), "DIRECT");
    // A port of 0 or an unreadable port counts as 80.
    EXPECT_EQ(text(proxy_for("www.example.org:0", "ftp")), "http://ftpproxy/");
    proxychain_setNoProxyList(g, &config, "www.example.org:80");
    EXPECT_EQ(text(proxy_for("www.example.org:0", "ftp")), "DIRECT");
    EXPECT_EQ(text(proxy_for("www.example.org:zz", "ftp")), "DIRECT");
    EXPECT_EQ(text(proxy_for("www.example.org", "ftp")), "http://ftpproxy/");
    EXPECT_EQ(text(proxy_for(nullptr, "http")), "http://default:3128/");
}

TEST_F(Proxy, ForwardTargets)
{
    configure();
    g->forward_target = "peer:3130";
    g->explicit_forward = "ignored";
    EXPECT_EQ(text(proxy_for("www.example.org", "http")), "http://peer:3130/");
    g->forward_target = nullptr;
    const struct {
        const char *target;
        const char *expected;
    } cases[] = {
        {"upstream", "http://upstream/"},
        {"upstream.example:8080", "http://upstream.example:8080/"}, // a bare host and port
        {"http://upstream:8080", "http://upstream:8080/"},
        {"http://upstream:8080/", "http://upstream:8080/"},
        {"https://secure.example/path", "https://secure.example/path/"},
        // An empty host part gives no answer: the chains decide.
        {"http:///x", "http://chain-a/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target);
        g->explicit_forward = c.target;
        EXPECT_EQ(text(proxy_for("www.example.org", "http")), c.expected);
    }
}

TEST_F(Proxy, RoundRobinParents)
{
    configure();
    proxychain_addParent(&config, "http://p1/");
    proxychain_addParent(&config, ""); // an empty slot takes the fall-back
    proxychain_addParent(&config, "http://p3/");
    EXPECT_EQ(config.parent_proxy_count, 3);
    EXPECT_EQ(text(proxy_for("www.example.org", "http")), "http://p1/");
    EXPECT_EQ(text(proxy_for("www.example.org", "http")), "DIRECT"); // no fall-back yet
    EXPECT_EQ(text(proxy_for("www.example.org", "https")), "http://p3/");
    proxychain_setFallbackProxy(&config, "http://fallback/");
    std::vector<std::string> seen;
    for (int i = 0; i < 6; ++i)
        seen.push_back(text(proxy_for("www.example.org", "http")));
    EXPECT_EQ(seen, (std::vector<std::string>{"http://p1/", "http://fallback/", "http://p3/", "http://p1/",
                                              "http://fallback/", "http://p3/"}));
    // Other schemes keep their chains and do not move the counter.
    EXPECT_EQ(text(proxy_for("ftp.example.org", "ftp")), "http://ftp-chain/");
    EXPECT_EQ(text(proxy_for("www.example.org", "http")), "http://p1/");
    // The slot replaces the chain's answer, a no-proxy hit included.
    EXPECT_EQ(text(proxy_for("www.local.net", "http")), "http://fallback/");
}


TEST_F(Proxy, RunningOutOfMemoryLeavesNothingHalfBuilt)
{
    HTList *list = nullptr;
    htc_each_failure([&] { list = parseDomains(g, "a.example, b.example:81, c, d, e"); },
                 [&](bool failed) {
                     if (failed) {
                         EXPECT_EQ(list, nullptr);
                     } else {
                         EXPECT_EQ(domains(list).size(), 5u);
                         proxychain_freeDomains(list, g);
                     }
                     list = nullptr;
                 });
    int added = 0;
    htc_each_failure([&] { proxychain_addDomains(g, &config, HT_PROXY_TYPE_HTTP, "http://p/", "a b c"); },
                 [&](bool failed) {
                     const int n = HTList_count(config.http_chains);
                     EXPECT_EQ(n, added + (failed ? 0 : 1));
                     added = n;
                 });
    htc_each_failure([&] { proxychain_addParent(&config, "http://parent/"); },
                 [&](bool failed) { EXPECT_EQ(config.parent_proxy_count, failed ? 0 : 1); });
    htc_each_failure([&] { proxychain_setNoProxyList(g, &config, "x y z"); },
                 [&](bool failed) { EXPECT_EQ(domains(config.no_proxy).size(), failed ? 0u : 3u); });
}

TEST_F(Proxy, TracingChangesNothing)
{
    HtcTraceLog trace({HT_TRACE_PROXY, HT_TRACE_PROXYCHAIN});
    configure();
    proxychain_addParent(&config, "");
    HTList_delete(parseDomains(g, "bad:port"), g);
    const std::string traced[] = {text(proxy_for("www.local.net", "gopher")), text(proxy_for("10.1.2.3", "ftp")),
                                  text(proxy_for("x.org", "https"))};
    g->explicit_forward = "upstream";
    const std::string forward = text(proxy_for("x.org", "http"));
    g->explicit_forward = nullptr;
    const std::string t = trace.stop();
    EXPECT_EQ(traced[0], "DIRECT");
    EXPECT_EQ(traced[1], "http://ftpproxy/");
    EXPECT_EQ(traced[2], "DIRECT"); // the one empty round-robin slot, no fall-back
    EXPECT_EQ(forward, "http://upstream/");
    for (const char *expected : {"Set default HTTP proxy chain: http://default:3128/.",
                                 "Setting proxy chain for proxy: http://chain-a/.",
                                 "Setting no_proxy list to... local.net", "override.... proxy - hit on hostname.",
                                 "For......... gopher, proxy is NONE.", "Proxy....... choosing #0 [-none-].",
                                 "ProxyFor.... append trailing '/' for http://upstream",
                                 "item \"bad:port\" left out: bad port"})
        EXPECT_NE(t.find(expected), std::string::npos) << expected;
}
