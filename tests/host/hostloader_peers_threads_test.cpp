// standin-proxy as a forward proxy in front of nginx, as curl uses it (curl -x),
// directly and through squid and tinyproxy as parents: files small and
// large, chunked and gzip answers, bodies echoed (plain, chunked, with
// Expect: 100-continue), kept origin connections that nginx closes.
#include "gopher_peer.hpp"
#include "hostloader.h"
#include "standin_peer.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using standin::slurp;
using standin::words_of;

using namespace std::chrono_literals;

using standin::curl;

class Loader : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!peers::installed("/usr/sbin/nginx") || !peers::installed("/usr/bin/curl")) {
            skip_ = "nginx or curl is not installed";
            return;
        }
        dir_ = new peers::TempDir();
        const std::string d = dir_->path();
        dir_->dir("html", 0755);
        dir_->dir("tmp");
        dir_->file("html/index.html", "<html><body>hello from nginx</body></html>\n");
        std::string big;
        for (int i = 0; big.size() < 3 * 1024 * 1024; ++i)
            big += "block " + std::to_string(i * 7919 % 100003) + " of the large file\n";
        dir_->file("html/big.txt", big);
        origin_port_ = peers::free_port();
        const std::string echo = "/usr/lib/nginx/modules/ngx_http_echo_module.so";
        const std::string conf = dir_->file(
            "nginx.conf",
            peers::nginx_conf(d, origin_port_,
                              "  keepalive_timeout 1;\n  client_body_buffer_size 1m;\n"
                              "  gzip on;\n  gzip_types text/plain;\n  gzip_min_length 0;\n",
                              "    location /echo { echo_read_request_body; echo_request_body; }\n"
                              "    location /pieces { echo one; echo_flush; echo_sleep 0.2; echo two; }\n",
                              access(echo.c_str(), R_OK) == 0 ? "load_module " + echo + ";\n" : std::string()));
        origin_ = peers::start_nginx(d, conf, origin_port_, skip_);
    }
    static void TearDownTestSuite()
    {
        delete origin_;
        origin_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
    }

    // standin-proxy with the configuration lines, on a port of its own.
    std::unique_ptr<peers::Peer> host(const std::string &name, const std::string &config, int *port)
    {
        *port = peers::free_port();
        return standin::start(*dir_, name, "ListenAddress 127.0.0.1\nListenPort " + std::to_string(*port) + "\nWorkerThreads 4\nRequestTimeout 10\n" + config, *port);
    }
    std::string origin(const std::string &path) const
    {
        return "http://127.0.0.1:" + std::to_string(origin_port_) + path;
    }
    // The fetches every configuration must pass.
    void fetches(int port)
    {
        const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
        const std::string d = dir_->path();
        EXPECT_EQ(curl(x + origin("/index.html")), "<html><body>hello from nginx</body></html>\n");
        EXPECT_EQ(curl(x + "-o " + d + "/got.txt -w '%{http_code}' " + origin("/big.txt")), "200");
        EXPECT_EQ(slurp(d + "/got.txt"), slurp(d + "/html/big.txt"));
        // gzip: nginx sends it chunked; curl decodes it.
        EXPECT_EQ(curl(x + "--compressed -o " + d + "/gz.txt -w '%{http_code}' " + origin("/big.txt")), "200");
        EXPECT_EQ(slurp(d + "/gz.txt"), slurp(d + "/html/big.txt"));
        EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' " + origin("/missing")), "404");
        EXPECT_EQ(curl(x + "-I -o /dev/null -w '%{http_code}' " + origin("/index.html")), "200");
        EXPECT_EQ(curl(x + origin("/pieces")), "one\ntwo\n");
        // Bodies: plain, chunked (de-chunked on the way), and large with Expect: 100-continue.
        EXPECT_EQ(curl(x + "--data-binary 'abc=def' " + origin("/echo")), "abc=def");
        EXPECT_EQ(curl(x + "-H 'Transfer-Encoding: chunked' --data-binary 'chunked body' " + origin("/echo")),
                  "chunked body");
        const std::string body(200000, 'b');
        dir_->file("body.txt", body);
        EXPECT_EQ(curl(x + "-H 'Expect: 100-continue' --data-binary @" + d + "/body.txt " + origin("/echo")), body);
        // Several requests on one client connection, one after the other.
        EXPECT_EQ(curl(x + origin("/index.html") + " " + origin("/index.html")),
                  "<html><body>hello from nginx</body></html>\n<html><body>hello from nginx</body></html>\n");
    }

    static std::string skip_;
    static peers::TempDir *dir_;
    static peers::Peer *origin_;
    static int origin_port_;
};

std::string Loader::skip_;
peers::TempDir *Loader::dir_ = nullptr;
peers::Peer *Loader::origin_ = nullptr;
int Loader::origin_port_ = 0;

TEST_F(Loader, DirectWithAndWithoutThePoolAndWithPersistMapping)
{
    for (const char *pool : {"ServerConnPool on\nServerIdleLimit 30\nMaxSocketPerServer 8\n", "ServerConnPool off\n",
                             "ServerConnPool on\nPersistMapping on\n"}) {
        SCOPED_TRACE(pool);
        int port = 0;
        auto h = host("direct", pool, &port);
        fetches(port);
        // nginx closes kept connections after a second: the next request is sent again on a new one.
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(curl("-x http://127.0.0.1:" + std::to_string(port) + " " + origin("/index.html")),
                  "<html><body>hello from nginx</body></html>\n");
    }
}

TEST_F(Loader, ErrorPagesForUnknownHostsAndDeadPorts)
{
    int port = 0;
    auto h = host("errors", "", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' http://no-such-host.invalid/"), "400");
    EXPECT_EQ(curl(x + "-o /dev/null -w '%{http_code}' http://127.0.0.1:" + std::to_string(peers::free_port()) + "/"),
              "504");
}

TEST_F(Loader, GopherUrlsThroughTheHost)
{
    if (!gopher_peer::available())
        GTEST_SKIP() << "gophernicus or socat is not installed";
    const std::string root = dir_->dir("gopher", 0755);
    const int gport = peers::free_port();
    const std::string g = std::to_string(gport);
    dir_->file("gopher/gophermap", "iHello <you>\tfake\tnull.host\t1\n0Notes\t/notes.txt\t127.0.0.1\t" + g + "\n");
    dir_->file("gopher/notes.txt", "some notes\n");
    const auto server = gopher_peer::start(root, gport, dir_->path() + "/gopher.out");
    ASSERT_NE(server, nullptr) << "socat did not start";
    int port = 0;
    auto h = host("gopher", "", &port);
    // curl tunnels gopher:// URLs through CONNECT; a browser sends them to the
    // proxy as request targets, which is what --request-target makes curl do.
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const auto via = [&](const std::string &target) {
        return x + "--request-target '" + target + "' http://127.0.0.1:" + g + "/";
    };
    const std::string menu = "gopher://127.0.0.1:" + g + "/";
    EXPECT_EQ(curl(via(menu)), "<h2>Gopher Menu</h2><hr><pre>Hello &lt;you&gt;\n<a href=\"//127.0.0.1:" + g +
                                   "/0/notes.txt\" TITLE=\"Notes\">Notes</a>\n</pre>");
    EXPECT_EQ(curl("-w '%{content_type}' " + via(menu + "0/notes.txt")), "some notes\r\ntext/plain");
    // A menu page goes with its length: the connection carries the next request; an item ends it.
    EXPECT_EQ(curl("-o /dev/null -o /dev/null -w '%{num_connects} ' " + via(menu) + " http://127.0.0.1:" + g + "/"), "1 0 ");
    EXPECT_EQ(curl("-o /dev/null -o /dev/null -w '%{num_connects} ' " + via(menu + "0/notes.txt") + " http://127.0.0.1:" + g + "/"),
              "1 1 ");
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' " + via("gopher://127.0.0.1:" + std::to_string(peers::free_port()) +
                                                           "/1/")),
              "502");
    EXPECT_EQ(curl(x + origin("/index.html")), "<html><body>hello from nginx</body></html>\n");
}

TEST_F(Loader, FileUrlsThroughTheHost)
{
    int port = 0, closed = 0;
    auto h = host("file", "LocalFiles on\n", &port);
    // As for gopher://, curl would read a file:// URL itself: the URL goes as the request's target.
    const auto via_to = [&](int p, const std::string &target) {
        return "-x http://127.0.0.1:" + std::to_string(p) + " --request-target '" + target + "' " + origin("/");
    };
    const auto via = [&](const std::string &target) { return via_to(port, target); };
    const std::string file = "file://" + dir_->path() + "/html/index.html";
    // Off by default: the proxy's own files are not for every client that reaches it.
    auto shut = host("nofile", "", &closed);
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' " + via_to(closed, file)), "403");
    EXPECT_EQ(curl("-w '%{content_type}' " + via(file)), "<html><body>hello from nginx</body></html>\ntext/html");
    EXPECT_EQ(curl("-o /dev/null -o /dev/null -w '%{num_connects} ' " + via(file) + " " + origin("/")), "1 0 ");
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' " + via("file://" + dir_->path() + "/html/missing")), "404");
}

// There is no secure backend: an https:// URL reaches the loader, whose
// handshake error page names it.
TEST_F(Loader, HttpsUrlsGetTheHandshakePage)
{
    int port = 0;
    auto h = host("https", "", &port);
    const std::string target = "https://127.0.0.1:" + std::to_string(origin_port_) + "/";
    const std::string page = curl("-x http://127.0.0.1:" + std::to_string(port) + " --request-target '" + target +
                                  "' -w ' %{http_code}' " + origin("/"));
    EXPECT_NE(page.find("SSL Handshake with upstream server failed"), std::string::npos) << page;
    EXPECT_NE(page.find(target), std::string::npos) << page;
    EXPECT_EQ(page.find(" 501"), std::string::npos) << page;
}

TEST_F(Loader, FtpUrlsThroughTheHost)
{
    if (!peers::installed("/usr/sbin/vsftpd"))
        GTEST_SKIP() << "vsftpd is not installed";
    // Anonymous and read-only: the anonymous root must not be writable by the anonymous user.
    const std::string root = dir_->dir("ftproot", 0755);
    dir_->dir("ftproot/sub", 0755);
    dir_->file("ftproot/hello.txt", "ftp file\n");
    chmod(root.c_str(), 0555);
    const std::string empty = dir_->dir("ftpempty", 0755);
    const int fport = peers::free_port();
    const int pasv = peers::free_port();
    const std::string conf = dir_->file(
        "vsftpd.conf", "listen=YES\nbackground=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(fport) +
                           "\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" + root +
                           "\nwrite_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" +
                           std::to_string(pasv) + "\npasv_max_port=" + std::to_string(pasv) +
                           "\nport_enable=NO\nsecure_chroot_dir=" + empty +
                           "\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nuse_localtime=NO\nxferlog_enable=NO\n");
    peers::Peer ftp({"/usr/sbin/vsftpd", conf}, dir_->path() + "/vsftpd.out", fport);
    ASSERT_TRUE(ftp.ready()) << "vsftpd did not start";
    int port = 0;
    auto h = host("ftp", "", &port);
    const std::string x = "-x http://127.0.0.1:" + std::to_string(port) + " ";
    const std::string site = "ftp://127.0.0.1:" + std::to_string(fport) + "/";
    EXPECT_EQ(curl(x + site + "hello.txt"), "ftp file\n");
    const std::string listing = curl(x + site);
    EXPECT_NE(listing.find("hello.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("sub/"), std::string::npos) << listing;
    chmod(root.c_str(), 0755);
}

TEST_F(Loader, ThroughSquidAndTinyproxyAsParents)
{
    if (!peers::installed("/usr/sbin/squid") || !peers::installed("/usr/bin/tinyproxy"))
        GTEST_SKIP() << "squid or tinyproxy is not installed";
    const std::string d = dir_->path();
    dir_->dir("squid");
    dir_->dir("tinyproxy");
    const int squidPort = peers::free_port();
    const std::string squidConf = dir_->file("squid/squid.conf", peers::squid_conf(d + "/squid", squidPort));
    peers::Peer squid({"/usr/sbin/squid", "-N", "-f", squidConf}, d + "/squid/squid.out", squidPort);
    ASSERT_TRUE(squid.ready()) << "squid did not start";
    const int tinyPort = peers::free_port();
    const std::string tinyConf = dir_->file("tinyproxy/tinyproxy.conf", peers::tinyproxy_conf(d + "/tinyproxy", tinyPort));
    peers::Peer tiny({"/usr/bin/tinyproxy", "-d", "-c", tinyConf}, d + "/tinyproxy/tinyproxy.out", tinyPort);
    ASSERT_TRUE(tiny.ready()) << "tinyproxy did not start";

    const std::string pool = "ServerConnPool on\nServerIdleLimit 30\n";
    {
        SCOPED_TRACE("squid as the default proxy");
        int port = 0;
        auto h = host("squid-parent", pool + "http_proxy http://127.0.0.1:" + std::to_string(squidPort) + "/\n", &port);
        fetches(port);
        EXPECT_NE(curl("-i -x http://127.0.0.1:" + std::to_string(port) + " " + origin("/index.html")).find("Via: "),
                  std::string::npos);
    }
    {
        SCOPED_TRACE("round-robin parents");
        int port = 0;
        auto h = host("parents", pool + "parent_proxy http://127.0.0.1:" + std::to_string(squidPort) +
                                     "/\nparent_proxy http://127.0.0.1:" + std::to_string(tinyPort) + "/\n",
                      &port);
        fetches(port);
        // tinyproxy closes after each answer without saying so: never reused, never an error.
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(curl("-x http://127.0.0.1:" + std::to_string(port) + " " + origin("/index.html")),
                      "<html><body>hello from nginx</body></html>\n")
                << i;
    }
}

} // namespace
