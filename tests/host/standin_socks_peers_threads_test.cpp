// standin-proxy in front of an origin it can reach only through SOCKS:
// danted (Debian dante-server) on 127.0.0.1:1080 relays to nginx on
// 127.0.0.2, as the SocksRules file says; curl asks through the program.
#include "standin_peer.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

using standin::run;

int connect_ip(const char *ip, int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool listening(const char *ip, int port, std::chrono::seconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        const int s = connect_ip(ip, port);
        if (s >= 0) {
            close(s);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// Occurrences of `what` in the text.
int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(StandinSocks, CurlThroughTheProgramAndDanted)
{
    if (!peers::installed("/usr/sbin/danted") || !peers::installed("/usr/sbin/nginx") ||
        !peers::installed("/usr/bin/curl"))
        GTEST_SKIP() << "needs danted (dante-server), nginx and curl";
    peers::TempDir dir;
    const std::string d = dir.path();
    dir.dir("html", 0755);
    dir.dir("tmp");
    std::string page;
    for (int i = 0; page.size() < 100 * 1024; ++i)
        page += "line " + std::to_string(i) + " of the page behind SOCKS\n";
    dir.file("html/page.txt", page);
    const int origin = peers::free_port("127.0.0.2");
    ASSERT_GT(origin, 0);
    // nginx_conf listens on 127.0.0.1: this origin is on 127.0.0.2 only.
    std::string conf = peers::nginx_conf(d, origin, "  log_format peer '$remote_addr $request_uri';\n",
                                         "    access_log " + d + "/origin.log peer;\n");
    const std::string from = "listen 127.0.0.1:" + std::to_string(origin);
    conf.replace(conf.find(from), from.size(), "listen 127.0.0.2:" + std::to_string(origin));
    peers::Peer nginx({"/usr/sbin/nginx", "-e", d + "/nginx-error.log", "-p", d, "-c", dir.file("nginx.conf", conf)},
                      d + "/nginx.out", origin);
    dir.file("danted.conf", "logoutput: " + d + "/danted.log\n"
                            "internal: 127.0.0.1 port = 1080\n"
                            "external: 127.0.0.1\n"
                            "clientmethod: none\n"
                            "socksmethod: none\n"
                            "user.unprivileged: nobody\n"
                            "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n log: error\n}\n"
                            "socks pass {\n from: 127.0.0.0/8 to: 127.0.0.0/8\n command: connect\n"
                            " log: connect disconnect\n}\n");
    // danted's temporary files stay in the directory.
    peers::Peer danted({"/usr/bin/env", "TMPDIR=" + d, "/usr/sbin/danted", "-f", d + "/danted.conf", "-N", "1", "-p",
                        d + "/danted.pid"},
                       d + "/danted.out", 1080);
    ASSERT_TRUE(danted.ready()) << standin::slurp(d + "/danted.out");
    ASSERT_TRUE(listening("127.0.0.2", origin, 20s)) << standin::slurp(d + "/nginx-error.log");

    // 127.0.0.2 through the SOCKS server by the rules, everything else
    // direct; then every connection through the one server named.
    dir.file("socks.rules", "sockd @=127.0.0.1 127.0.0.2 255.255.255.255\ndirect 0.0.0.0 0.0.0.0\n");
    const std::string relayed = "127.0.0.2." + std::to_string(origin);
    int requests = 0;
    for (const std::string &socks : {"FlexibleSocks on\nSocksRules " + d + "/socks.rules\n",
                                     std::string("SocksServer 127.0.0.1\n")}) {
        const int before = count(standin::slurp(d + "/danted.log"), relayed);
        const int port = peers::free_port();
        auto proxy = standin::start(dir, "socks",
                                    "ListenPort " + std::to_string(port) + "\nWorkerThreads 4\nRequestTimeout 20\n" +
                                        socks,
                                    port);
        const std::string x = "/usr/bin/curl -s -S --max-time 30 -x http://127.0.0.1:" + std::to_string(port) + " ";
        const std::string base = "http://127.0.0.2:" + std::to_string(origin);
        const std::string got = run(x + base + "/page.txt");
        EXPECT_TRUE(got == page) << socks << got.size() << " bytes of " << page.size() << ": " << got.substr(0, 200);
        // A missing page: the origin's 404 comes back the same way.
        EXPECT_EQ(run(x + "-o /dev/null -w '%{http_code}' " + base + "/missing"), "404") << socks;
        requests += 2;
        EXPECT_EQ(proxy->terminate(), 0);
        // danted's log names the origin for each connection it relayed.
        const std::string log = standin::slurp(d + "/danted.log");
        EXPECT_GT(count(log, relayed), before) << socks << log;
    }
    const std::string seen = standin::slurp(d + "/origin.log");
    EXPECT_EQ(count(seen, "/page.txt") + count(seen, "/missing"), requests) << seen;
}

} // namespace
