// standin-proxy with a service plug-in that loads URLs through asynchronous
// requests: entry 157 on the program's internal block through the library
// (status and body length from a private nginx, an origin that is down), and
// a plug-in that returns before its request has ended.
#include "standin_peer.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using standin::curl;

TEST(StandinAsync, APluginsAsynchronousRequestsRunInTheProgram)
{
    const std::string echo = "/usr/lib/nginx/modules/ngx_http_echo_module.so";
    if (!peers::installed("/usr/sbin/nginx") || !peers::installed("/usr/bin/curl") || access(echo.c_str(), R_OK) != 0)
        GTEST_SKIP() << "nginx with its echo module, or curl, is not installed";
    peers::TempDir dir;
    dir.dir("html", 0755);
    dir.dir("tmp");
    dir.file("html/1k", std::string(1024, 'k'));
    const int origin = peers::free_port();
    const std::string conf =
        dir.file("nginx.conf", peers::nginx_conf(dir.path(), origin, "",
                                                 "    location /slow { echo_sleep 0.5; echo done; }\n",
                                                 "load_module " + echo + ";\n"));
    std::string skip;
    std::unique_ptr<peers::Peer> nginx(peers::start_nginx(dir.path(), conf, origin, skip));
    if (!skip.empty())
        GTEST_SKIP() << skip;
    const int port = peers::free_port();
    auto host = standin::start(dir, "async",
                               "ListenAddress 127.0.0.1\nListenPort " + std::to_string(port) +
                                   "\nWorkerThreads 4\nServicePlugin http://* " ASYNC_SERVICE " async_service\n",
                               port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const std::string at = "http://127.0.0.1:" + std::to_string(origin);
    EXPECT_EQ(curl(x + "'http://plugin.invalid/fetch?" + at + "/1k'"), "200 1024\n");
    const std::string missing = curl(x + "'http://plugin.invalid/fetch?" + at + "/missing'");
    EXPECT_EQ(missing.rfind("404 ", 0), 0u) << missing;
    EXPECT_NE(missing, "404 0\n");
    const std::string down =
        curl(x + "'http://plugin.invalid/fetch?http://127.0.0.1:" + std::to_string(peers::free_port()) + "/'");
    EXPECT_EQ(down.rfind("504 ", 0), 0u) << "the error page's status: " << down;

    // The plug-in returns while its request runs: the worker keeps the
    // request's memory (its latch and description) until the request has
    // ended, and then serves on. (A reset under it shows under the sanitizers.)
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(curl(x + "'http://plugin.invalid/leave?" + at + "/slow'"), "left\n");
    EXPECT_EQ(curl(x + "'http://plugin.invalid/fetch?" + at + "/1k'"), "200 1024\n");
    EXPECT_EQ(curl(x + at + "/1k"), std::string(1024, 'k')) << "other URLs go to the origin";

    // A request the plug-in has proxied: the server's answer reaches the
    // client once, head and body as the server sent them; the connection
    // ends after it (its framing is the server's).
    const std::string proxied = curl("-i " + x + "'http://plugin.invalid/proxy?" + at + "/1k'");
    EXPECT_EQ(proxied.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << proxied;
    EXPECT_EQ(proxied.find("HTTP/", 1), std::string::npos) << "one head only: " << proxied;
    EXPECT_NE(proxied.find("\r\nContent-Length: 1024\r\n"), std::string::npos) << proxied;
    EXPECT_EQ(proxied.substr(proxied.size() - 1024), std::string(1024, 'k'));
    const std::string gone =
        curl("-i " + x + "'http://plugin.invalid/proxy?http://127.0.0.1:" + std::to_string(peers::free_port()) + "/'");
    EXPECT_EQ(gone.rfind("HTTP/1.", 0), 0u) << gone;
    EXPECT_NE(gone.find(" 504 "), std::string::npos) << "one error page: " << gone;
    EXPECT_EQ(gone.find("HTTP/", 1), std::string::npos) << gone;
}

} // namespace
