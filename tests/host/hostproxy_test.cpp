// The proxy-selection directives of the host's configuration file, and the
// choices the library makes over what they configure.

#include "hostproxy.h"

#include "HTAtom.h"
#include "HTGlobals.h"
#include "htc_worker.h"
#include "servprox.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class HostProxy : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        g->config = &config;
        HTProxy__resetRoundRobin();
    }
    void TearDown() override
    {
        hostproxy_free(&config);
        WorkerTest::TearDown();
    }
    std::string read(const std::string &text)
    {
        const HostDirectiveTable table = hostproxy_directives(&config);
        char error[HOSTCONF_ERROR_MAX];
        return hostconf_readText(text.c_str(), "proxy.conf", &table, 1, error) == 0 ? "ok" : error;
    }
    std::string proxy_for(const char *host, const char *scheme)
    {
        const char *p = HTProxy_for(nullptr, host, HTAtom_for(scheme), g);
        return p ? p : "DIRECT";
    }
    HTStaticConfig config{};
};

} // namespace

TEST_F(HostProxy, EveryDirective)
{
    ASSERT_EQ(read("http_proxy http://default:3128/\n"
                   "ftp_proxy http://ftp-proxy/\n"
                   "gopher_proxy http://gopher-proxy/\n"
                   "proxy_chain http http://chain/ example.org, 10.0.0.1 intra:8080\n"
                   "proxy_chain FTP http://ftp-chain/ ftp.example.org\n"
                   "no_proxy local.net\n"
                   "no_proxy 192.168.0.1 special:8443\n"
                   "proxy_host proxy.example\n"
                   "proxy_port 8080\n"),
              "ok");
    EXPECT_STREQ(config.http_proxy, "http://default:3128/");
    EXPECT_STREQ(config.proxy_host_name, "proxy.example");
    EXPECT_EQ(config.proxy_port, 8080);
    EXPECT_EQ(proxy_for("www.example.org", "http"), "http://chain/");
    EXPECT_EQ(proxy_for("intra:8080", "http"), "http://chain/");
    EXPECT_EQ(proxy_for("www.example.com", "https"), "http://default:3128/");
    EXPECT_EQ(proxy_for("ftp.example.org", "ftp"), "http://ftp-chain/");
    EXPECT_EQ(proxy_for("x.example.net", "gopher"), "http://gopher-proxy/");
    // Both no_proxy lines count.
    EXPECT_EQ(proxy_for("www.local.net", "http"), "DIRECT");
    EXPECT_EQ(proxy_for("192.168.0.1", "http"), "DIRECT");
    EXPECT_EQ(proxy_for("special:8443", "https"), "DIRECT");
}

TEST_F(HostProxy, Parents)
{
    ASSERT_EQ(read("parent_proxy http://p1/\nparent_proxy -\nfallback_proxy http://fb/\n"), "ok");
    EXPECT_EQ(config.parent_proxy_count, 2);
    EXPECT_EQ(proxy_for("a.example", "http"), "http://p1/");
    EXPECT_EQ(proxy_for("a.example", "http"), "http://fb/");
    EXPECT_EQ(proxy_for("a.example", "ftp"), "DIRECT");
}

TEST_F(HostProxy, RefusedValues)
{
    const struct {
        const char *line;
        const char *error;
    } cases[] = {
        {"http_proxy", "proxy.conf:1: http_proxy: needs a value"},
        {"http_proxy a b", "proxy.conf:1: http_proxy: takes one value"},
        {"proxy_port 0", "proxy.conf:1: proxy_port: needs a port from 1 to 65535"},
        {"proxy_port 65536", "proxy.conf:1: proxy_port: needs a port from 1 to 65535"},
        {"proxy_port 80x", "proxy.conf:1: proxy_port: needs a port from 1 to 65535"},
        {"proxy_chain wais http://p/ a", "proxy.conf:1: proxy_chain: unknown scheme \"wais\" (http, ftp or gopher)"},
        {"proxy_chain http http://p/", "proxy.conf:1: proxy_chain: needs a scheme, a proxy and domains"},
        {"no_proxy", "proxy.conf:1: no_proxy: needs domains"},
        {"parent_proxy", "proxy.conf:1: parent_proxy: needs a value"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.line), c.error) << c.line;
}
