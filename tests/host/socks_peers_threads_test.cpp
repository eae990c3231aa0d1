// SOCKS through real peers: danted (Debian dante-server) as the SOCKS v4
// server on 127.0.0.1:1080, nginx as the origin on 127.0.0.2, and SOCKS
// servers of the test's own on port 1080 of other loopback addresses that
// misbehave. danted's log shows every connection it relays.

#include "HTInputSocket.h"
#include "HTSocket.h"
#include "HTSocks.h"
#include "htc_start.h"
#include "hosttimer.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <poll.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Misbehaviour { Reply91, Short, Garbage, Silent };

// A SOCKS server of the test on ip:1080.
class FakeSocks {
public:
    FakeSocks(const char *ip, Misbehaviour how) : how_(how)
    {
        fd_ = peers::listen_on(ip, HT_SOCKS_PORT);
        if (fd_ >= 0)
            thread_ = std::thread([this] { serve(); });
    }
    ~FakeSocks()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int connections() const { return connections_; }

private:
    void serve()
    {
        std::vector<int> held;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                continue;
            ++connections_;
            char ask[64];
            recv(c, ask, sizeof ask, 0);
            const unsigned char refused[8] = {0, 91, 0, 0, 0, 0, 0, 0};
            switch (how_) {
            case Misbehaviour::Reply91: send(c, refused, 8, MSG_NOSIGNAL); break;
            case Misbehaviour::Short: send(c, "\0Z\0", 3, MSG_NOSIGNAL); break;
            case Misbehaviour::Garbage: send(c, "garbage!", 8, MSG_NOSIGNAL); break;
            case Misbehaviour::Silent: held.push_back(c); continue;
            }
            close(c);
        }
        for (int c : held)
            close(c);
    }
    Misbehaviour how_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

class Socks : public ::testing::Test {
protected:
    void SetUp() override
    {
        htc_test_start();
        const std::string danted = peers::find_program("danted"), nginx = peers::find_program("nginx");
        if (danted.empty() || nginx.empty())
            GTEST_SKIP() << "needs danted (dante-server) and nginx (nginx-light)";
        const std::string d = dir_.path.string();
        dir_.write("danted.conf", "logoutput: " + d + "/danted.log\n"
                                  "internal: 127.0.0.1 port = 1080\n"
                                  "external: 127.0.0.1\n"
                                  "clientmethod: none\n"
                                  "socksmethod: none\n"
                                  "user.unprivileged: nobody\n"
                                  "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n log: error\n}\n"
                                  "socks block {\n from: 0.0.0.0/0 to: 127.0.0.3/32\n log: connect error\n}\n"
                                  "socks pass {\n from: 127.0.0.0/8 to: 127.0.0.0/8\n command: connect\n"
                                  " log: connect disconnect\n}\n");
        port_ = peers::free_port("127.0.0.2");
        std::filesystem::create_directory(dir_.path / "www");
        body_ = "The origin's page, fetched through SOCKS.\n";
        dir_.write("www/page.txt", body_);
        dir_.write("nginx.conf", "daemon off;\nmaster_process off;\npid " + d + "/nginx.pid;\n"
                                 "error_log " + d + "/nginx-error.log;\nevents { worker_connections 64; }\n"
                                 "http {\n access_log off;\n client_body_temp_path " + d + "/t1;\n"
                                 " proxy_temp_path " + d + "/t2;\n fastcgi_temp_path " + d + "/t3;\n"
                                 " uwsgi_temp_path " + d + "/t4;\n scgi_temp_path " + d + "/t5;\n"
                                 " server { listen 127.0.0.2:" + std::to_string(port_) + "; root " + d + "/www; }\n}\n");
        const std::vector<std::string> env = {"TMPDIR=" + d, "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        danted_ = std::make_unique<peers::Child>(
            std::vector<std::string>{danted, "-f", dir_.file("danted.conf"), "-N", "1", "-p", dir_.file("danted.pid")},
            env, dir_, "danted.out");
        nginx_ = std::make_unique<peers::Child>(
            std::vector<std::string>{nginx, "-p", d, "-c", dir_.file("nginx.conf"), "-e", dir_.file("nginx-error.log")},
            env, dir_, "nginx.out");
        ASSERT_TRUE(peers::wait_listening("127.0.0.1", HT_SOCKS_PORT, 10)) << dir_.read("danted.out");
        ASSERT_TRUE(peers::wait_listening("127.0.0.2", port_, 10)) << dir_.read("nginx-error.log");
        Socks_init(&config_);
        request_.config = &config_;
    }
    void TearDown() override
    {
        Socks_free(&config_);
        nginx_.reset();
        danted_.reset();
    }

    void rules(const std::string &text)
    {
        FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        Socks_loadConfiguration(f, &config_);
        std::fclose(f);
        config_.flexible_socks = 1;
    }

    // danted's log lines that name the destination.
    int relayed(const char *ip, int port)
    {
        const std::string log = dir_.read("danted.log");
        const std::string dest = std::string(ip) + "." + std::to_string(port);
        int n = 0;
        for (size_t at = log.find(dest); at != std::string::npos; at = log.find(dest, at + 1))
            ++n;
        return n;
    }

    HTSocket *open_socket() { return HTSocket_new(AF_INET, SOCK_STREAM, IPPROTO_TCP, "origin", port_, &request_); }

    int connect_to(HTSocket **s, const char *ip, int port)
    {
        sockaddr_in to = peers::address(ip, port);
        return HTSocket_connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to, &request_);
    }

    // GET of the page on a connected socket: the body, or "" after a bad status.
    std::string get(HTSocket *s)
    {
        const std::string ask = "GET /page.txt HTTP/1.0\r\nHost: origin\r\n\r\n";
        if (HTSocket_write(s, ask.data(), static_cast<int>(ask.size()), &request_) != static_cast<int>(ask.size()))
            return "";
        HTInputSocket *in = HTInputSocket_new(s, &request_);
        const char *status = HTInputSocket_getUnfoldedLine(in, &request_);
        if (status == nullptr || std::strstr(status, " 200 ") == nullptr)
            return "";
        while (const char *line = HTInputSocket_getUnfoldedLine(in, &request_))
            if (*line == '\0')
                break;
        std::string body;
        int n = 4096;
        while (char *p = HTInputSocket_getBlock(in, &n)) {
            body.append(p, static_cast<size_t>(n));
            n = 4096;
        }
        return body;
    }

    peers::TempDir dir_{"htsocks"};
    std::unique_ptr<peers::Child> danted_, nginx_;
    int port_ = 0;
    std::string body_;
    HTStaticConfig config_{};
    HTRequest request_{};
};

TEST_F(Socks, FetchThroughDanted)
{
    rules("sockd @=127.0.0.1 127.0.0.2 255.255.255.255\n");
    HTSocket *s = open_socket();
    ASSERT_EQ(connect_to(&s, "127.0.0.2", port_), 0);
    EXPECT_EQ(get(s), body_);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_GE(relayed("127.0.0.2", port_), 1) << dir_.read("danted.log");
}

TEST_F(Socks, BlockedDestinationIsRefused)
{
    rules("sockd @=127.0.0.1 127.0.0.0 255.0.0.0\n");
    HTSocket *s = open_socket();
    EXPECT_EQ(connect_to(&s, "127.0.0.3", port_), -1);
    EXPECT_EQ(s->error, ECONNREFUSED);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_NE(dir_.read("danted.log").find("block("), std::string::npos);
}

TEST_F(Socks, ServerListFailsOverWithTheOptions)
{
    FakeSocks refusing("127.0.0.5", Misbehaviour::Reply91);
    ASSERT_TRUE(refusing.ok());
    // 127.0.0.4: nothing listens; 127.0.0.5 answers 91; danted grants.
    rules("sockd @=127.0.0.4,127.0.0.5,127.0.0.1 127.0.0.2 255.255.255.255\n");
    HTSocket *s = open_socket();
    HTSocket *const first = s;
    const int one = 1, size = 98304;
    ASSERT_EQ(HTSocket_setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size, &request_), 0);
    ASSERT_EQ(HTSocket_setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one, &request_), 0);
    ASSERT_EQ(connect_to(&s, "127.0.0.2", port_), 0);
    EXPECT_NE(s, first);
    EXPECT_EQ(refusing.connections(), 1);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(s->socket, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(getsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, &v, &len), 0);
    EXPECT_GE(v, size);
    EXPECT_EQ(get(s), body_);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_GE(relayed("127.0.0.2", port_), 1);
}

TEST_F(Socks, ShortAndGarbageRepliesFailThatServer)
{
    FakeSocks short_reply("127.0.0.8", Misbehaviour::Short), garbage("127.0.0.9", Misbehaviour::Garbage);
    ASSERT_TRUE(short_reply.ok() && garbage.ok());
    rules("sockd @=127.0.0.8,127.0.0.9,127.0.0.1 127.0.0.2 255.255.255.255\n");
    HTSocket *s = open_socket();
    ASSERT_EQ(connect_to(&s, "127.0.0.2", port_), 0);
    EXPECT_EQ(short_reply.connections(), 1);
    EXPECT_EQ(garbage.connections(), 1);
    EXPECT_EQ(get(s), body_);
    HTSocket_close(s, __FILE__, __LINE__, &request_);

    // The whole list failing: -1, the object still the caller's to close.
    rules("sockd @=127.0.0.8,127.0.0.9 127.0.0.2 255.255.255.255\n");
    s = open_socket();
    EXPECT_EQ(connect_to(&s, "127.0.0.2", port_), -1);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
}

TEST_F(Socks, OldStyleServer)
{
    Socks_setServer("127.0.0.1", &config_);
    ASSERT_EQ(config_.socks_old_style, 1u);
    HTSocket *s = open_socket();
    ASSERT_EQ(connect_to(&s, "127.0.0.2", port_), 0);
    EXPECT_EQ(get(s), body_);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_GE(relayed("127.0.0.2", port_), 1);
}

TEST_F(Socks, LoopbackAddressGoesDirect)
{
    int port = 0;
    const int l = peers::listen_on("127.0.0.1", 0, &port);
    ASSERT_GE(l, 0);
    rules("sockd @=127.0.0.1 127.0.0.0 255.0.0.0\n");
    HTSocket *s = open_socket();
    ASSERT_EQ(connect_to(&s, "127.0.0.1", port), 0);
    const int c = accept(l, nullptr, nullptr);
    EXPECT_GE(c, 0);
    close(c);
    close(l);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_EQ(relayed("127.0.0.1", port), 0);
}

TEST_F(Socks, DenyRule)
{
    rules("deny 127.0.0.2 255.255.255.255\nsockd @=127.0.0.1 0.0.0.0 0.0.0.0\n");
    HTSocket *s = open_socket();
    EXPECT_EQ(connect_to(&s, "127.0.0.2", port_), -1);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_EQ(relayed("127.0.0.2", port_), 0);
}

TEST_F(Socks, SilentServerIsEndedByTheTimer)
{
    FakeSocks silent("127.0.0.7", Misbehaviour::Silent);
    ASSERT_TRUE(silent.ok());
    ASSERT_EQ(hosttimer_start(), 0);
    rules("sockd @=127.0.0.7 127.0.0.2 255.255.255.255\n");
    HTSocket *s = open_socket();
    const unsigned long before = hosttimer_expirations();
    ASSERT_EQ(hosttimer_register(s->socket, 300), 0);
    EXPECT_EQ(connect_to(&s, "127.0.0.2", port_), -1);
    hosttimer_unregister(s->socket);
    EXPECT_EQ(hosttimer_expirations(), before + 1);
    EXPECT_EQ(silent.connections(), 1);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    hosttimer_stop();
}

} // namespace
