// The origin connection pool, with its collector kept out of the way (its
// first pass comes one idle limit, an hour here, after the start): hand-out
// order, the per-server limit, stale chains, what a collection pass closes
// as an origin of the test sees it, and real keep-alive connections to
// nginx parked and taken again.
#include "HTSockPool.h"

#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTSocket.h"
#include "htc_oom.h"
#include "htc_start.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kIdleLimit = 30;

// An origin that numbers its connections in accept order, answers each line
// with that number, and records which connections the other side closed.
class Origin {
public:
    Origin()
    {
        listener_ = peers::listen_on("127.0.0.1", 0, &port_);
        if (pipe(stop_) != 0)
            stop_[0] = stop_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~Origin()
    {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        for (auto &c : conns_)
            close(c.fd);
        close(listener_);
        close(stop_[0]);
        close(stop_[1]);
    }
    Origin(const Origin &) = delete;
    Origin &operator=(const Origin &) = delete;

    int port() const { return port_; }
    int accepts() const { return accepts_; }
    std::vector<int> closed() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return closed_;
    }
    // Waits until `n` connections have been closed by the other side.
    bool wait_closed(size_t n) const
    {
        for (int i = 0; i < 1000; ++i) {
            if (closed().size() >= n)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    struct Conn {
        int fd;
        int id;
    };
    void run()
    {
        for (;;) {
            std::vector<pollfd> p{{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (auto &c : conns_)
                p.push_back({c.fd, POLLIN, 0});
            if (poll(p.data(), p.size(), -1) < 0)
                continue;
            if (p[0].revents)
                return;
            if (p[1].revents & POLLIN) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd >= 0)
                    conns_.push_back({fd, accepts_++});
            }
            for (size_t i = 2; i < p.size(); ++i) {
                if (!p[i].revents)
                    continue;
                Conn &c = conns_[i - 2];
                char buf[256];
                const ssize_t r = read(c.fd, buf, sizeof buf);
                if (r <= 0) {
                    std::lock_guard<std::mutex> hold(lock_);
                    closed_.push_back(c.id);
                    close(c.fd);
                    c.fd = -1;
                    continue;
                }
                for (ssize_t k = 0; k < r; ++k)
                    if (buf[k] == '\n') {
                        const std::string answer = std::to_string(c.id) + "\n";
                        (void)!write(c.fd, answer.data(), answer.size());
                    }
            }
            std::erase_if(conns_, [](const Conn &c) { return c.fd < 0; });
        }
    }

    int listener_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::atomic<int> accepts_{0};
    std::vector<Conn> conns_;
    mutable std::mutex lock_;
    std::vector<int> closed_;
    std::thread thread_;
};

uint32_t loopback() { return inet_addr("127.0.0.1"); }

class Pool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(htc_test_start(), 1);
        // The collector's configuration: its first pass is an hour away.
        // Written once, before the pool starts: the collector reads it.
        if (HTMyStaticConfig.server_idle_limit != 3600) {
            HTMyStaticConfig.server_idle_limit = 3600;
            HTMyStaticConfig.server_gc_interval = 3600;
        }
        config_.server_idle_limit = kIdleLimit;
        config_.max_socket_per_server = 10;
        request_.config = &config_;
        associations_ = GetLibSNMPOutboundAssociations();
    }
    void TearDown() override
    {
        for (HTSocket *s : mine_)
            HTSocket_close(s, __FILE__, __LINE__, &request_);
        EXPECT_EQ(GetLibSNMPOutboundAssociations(), associations_) << "an association was not counted down";
    }

    // A connection to the origin, counted as the HTTP client counts it.
    HTSocket *connect_to(int port)
    {
        HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, 0, "127.0.0.1", port, &request_);
        if (s == nullptr)
            return nullptr;
        sockaddr_in a = peers::address("127.0.0.1", port);
        if (HTSocket_connect(&s, reinterpret_cast<sockaddr *>(&a), sizeof a, &request_) != 0) {
            HTSocket_close(s, __FILE__, __LINE__, &request_);
            return nullptr;
        }
        IncLibSNMPOutboundAssociations();
        return s;
    }
    // The origin's number of the connection.
    static int who(HTSocket *s)
    {
        if (write(s->socket, "who\n", 4) != 4)
            return -1;
        std::string line;
        char c;
        while (read(s->socket, &c, 1) == 1 && c != '\n')
            line += c;
        return line.empty() ? -1 : std::stoi(line);
    }
    // Closes a connection the test took back.
    void done(HTSocket *s)
    {
        HTSocket_close(s, __FILE__, __LINE__, &request_);
        DecLibSNMPOutboundAssociations();
    }
    // A connection on a socket pair, for checks that need no origin; the
    // test keeps the other end.
    HTSocket *paired()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return nullptr;
        HTSocket *s = HTSocketQueue_get();
        s->socket = fds[0];
        peersOf_[s] = fds[1];
        IncLibSNMPOutboundAssociations();
        return s;
    }
    ~Pool() override
    {
        for (auto &[s, fd] : peersOf_)
            close(fd);
    }

    HTStaticConfig config_{};
    HTRequest request_{};
    int associations_ = 0;
    std::vector<HTSocket *> mine_;
    std::map<HTSocket *, int> peersOf_;
};

TEST_F(Pool, ParkedConnectionsComeBackNewestFirst)
{
    Origin o;
    std::vector<HTSocket *> s;
    for (int i = 0; i < 3; ++i) {
        s.push_back(connect_to(o.port()));
        ASSERT_NE(s.back(), nullptr);
        ASSERT_EQ(who(s.back()), i);
    }
    for (HTSocket *c : s)
        ASSERT_EQ(addConnectionToPool(loopback(), o.port(), c, &request_), HT_SOCKPOOL_DONE);
    int parked = 0, bad = 0;
    ASSERT_EQ(HTSockPool__server(loopback(), o.port(), &parked, &bad), 1);
    EXPECT_EQ(parked, 3);
    for (int i = 2; i >= 0; --i) {
        HTSocket *t = GetSockPoolConnection(loopback(), o.port(), &request_);
        ASSERT_EQ(t, s[static_cast<size_t>(i)]);
        EXPECT_EQ(who(t), i) << "the origin answers on the connection taken";
        done(t);
    }
    EXPECT_EQ(GetSockPoolConnection(loopback(), o.port(), &request_), nullptr);
    EXPECT_EQ(o.accepts(), 3);
    // Parked and taken at once: the same socket again.
    HTSocket *again = connect_to(o.port());
    ASSERT_EQ(addConnectionToPool(loopback(), o.port(), again, &request_), HT_SOCKPOOL_DONE);
    EXPECT_EQ(GetSockPoolConnection(loopback(), o.port(), &request_), again);
    done(again);
}

std::mutex refusedLock;
std::vector<HTSocket *> refused;

void keep_refused(HTSocket *s, HTRequest *)
{
    std::lock_guard<std::mutex> hold(refusedLock);
    refused.push_back(s);
}

TEST_F(Pool, AParkIsRefusedOnlyWhenMoreThanTheLimitAreParked)
{
    Origin o;
    config_.max_socket_per_server = 2;
    std::vector<HTSocket *> s;
    for (int i = 0; i < 4; ++i) {
        s.push_back(connect_to(o.port()));
        ASSERT_NE(s.back(), nullptr);
        ASSERT_EQ(who(s.back()), i);
        EXPECT_EQ(addConnectionToPool(loopback(), o.port(), s.back(), &request_), HT_SOCKPOOL_DONE);
    }
    // Three parked; the fourth was closed (and counted down) at once.
    ASSERT_TRUE(o.wait_closed(1));
    EXPECT_EQ(o.closed(), std::vector<int>{3});
    int parked = 0;
    HTSockPool__server(loopback(), o.port(), &parked, nullptr);
    EXPECT_EQ(parked, 3);

    // The HTTP client's own close, once installed, gets the refused ones.
    HTSockPool_setRefusedClose(keep_refused);
    HTSocket *fifth = connect_to(o.port());
    EXPECT_EQ(addConnectionToPool(loopback(), o.port(), fifth, &request_), HT_SOCKPOOL_DONE);
    HTSockPool_setRefusedClose(nullptr);
    {
        std::lock_guard<std::mutex> hold(refusedLock);
        EXPECT_EQ(refused, std::vector<HTSocket *>{fifth});
        refused.clear();
    }
    done(fifth);
    for (int i = 2; i >= 0; --i)
        done(GetSockPoolConnection(loopback(), o.port(), &request_));
    ASSERT_TRUE(o.wait_closed(5));
}

TEST_F(Pool, OnlyConnectionsWithinTheIdleLimitAreHandedOut)
{
    struct Case {
        int age;
        bool handedOut;
    };
    for (const Case &c : {Case{kIdleLimit - 1, true}, Case{kIdleLimit, true}, Case{kIdleLimit + 1, false}}) {
        Origin o;
        std::vector<HTSocket *> s;
        for (int i = 0; i < 3; ++i) {
            s.push_back(connect_to(o.port()));
            ASSERT_EQ(addConnectionToPool(loopback(), o.port(), s.back(), &request_), HT_SOCKPOOL_DONE);
        }
        HTSockPool__age(loopback(), o.port(), c.age);
        HTSocket *t = GetSockPoolConnection(loopback(), o.port(), &request_);
        int parked = -1, bad = -1;
        HTSockPool__server(loopback(), o.port(), &parked, &bad);
        if (c.handedOut) {
            EXPECT_EQ(t, s[2]) << "parked " << c.age << " s ago";
            EXPECT_EQ(parked, 2);
            EXPECT_EQ(bad, 0);
            done(t);
            for (int i = 0; i < 2; ++i)
                done(GetSockPoolConnection(loopback(), o.port(), &request_));
            continue;
        }
        // All three are stale: the whole chain waits on the bad chain,
        // still open, until the collector closes it.
        EXPECT_EQ(t, nullptr) << "parked " << c.age << " s ago";
        EXPECT_EQ(parked, 0);
        EXPECT_EQ(bad, 3);
        EXPECT_TRUE(o.closed().empty());
        EXPECT_EQ(GarbageCollectServerSockets(kIdleLimit), 0);
        ASSERT_TRUE(o.wait_closed(3));
        HTSockPool__server(loopback(), o.port(), &parked, &bad);
        EXPECT_EQ(bad, 0);
    }
}

TEST_F(Pool, ACollectionPassClosesFromTheFirstLinkOlderThanTheLimit)
{
    Origin o;
    HTSocket *a = connect_to(o.port()), *b = connect_to(o.port()), *c = connect_to(o.port());
    ASSERT_TRUE(a && b && c);
    ASSERT_EQ(who(a), 0);
    ASSERT_EQ(who(b), 1);
    ASSERT_EQ(who(c), 2);
    addConnectionToPool(loopback(), o.port(), a, &request_);
    HTSockPool__age(loopback(), o.port(), 20);
    addConnectionToPool(loopback(), o.port(), b, &request_);
    HTSockPool__age(loopback(), o.port(), 20); // a: 40 s, b: 20 s
    addConnectionToPool(loopback(), o.port(), c, &request_);
    EXPECT_EQ(GarbageCollectServerSockets(kIdleLimit), 0);
    ASSERT_TRUE(o.wait_closed(1));
    EXPECT_EQ(o.closed(), std::vector<int>{0});
    int parked = 0;
    HTSockPool__server(loopback(), o.port(), &parked, nullptr);
    EXPECT_EQ(parked, 2);
    // Nothing more is old enough.
    EXPECT_EQ(GarbageCollectServerSockets(kIdleLimit), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(o.closed().size(), 1u);
    EXPECT_EQ(GetSockPoolConnection(loopback(), o.port(), &request_), c);
    EXPECT_EQ(GetSockPoolConnection(loopback(), o.port(), &request_), b);
    done(c);
    done(b);
}

TEST_F(Pool, NoSocketAddressZeroOrPortZeroIsNeverParked)
{
    HTSocket *s = paired();
    ASSERT_NE(s, nullptr);
    const uint32_t addr = inet_addr("10.9.8.7");
    EXPECT_EQ(addConnectionToPool(0, 80, s, &request_), HT_SOCKPOOL_NOT_ADDED);
    EXPECT_EQ(addConnectionToPool(addr, 0, s, &request_), HT_SOCKPOOL_NOT_ADDED);
    EXPECT_EQ(addConnectionToPool(addr, 80, nullptr, &request_), HT_SOCKPOOL_NOT_ADDED);
    EXPECT_EQ(HTSockPool__server(0, 80, nullptr, nullptr), 0);
    EXPECT_EQ(HTSockPool__server(addr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(HTSockPool__server(addr, 80, nullptr, nullptr), 0);
    EXPECT_EQ(GetSockPoolConnection(addr, 80, &request_), nullptr);
    done(s);
}

TEST_F(Pool, ServersOfOneChainKeepTheirOwnConnections)
{
    const uint32_t addr = inet_addr("10.1.2.3");
    const int first = 1000;
    int second = first + 1;
    while (HTSockPool__chainOf(addr, second) != HTSockPool__chainOf(addr, first))
        ++second;
    HTSocket *a = paired(), *b = paired(), *a2 = paired();
    ASSERT_TRUE(a && b && a2);
    EXPECT_EQ(addConnectionToPool(addr, first, a, &request_), HT_SOCKPOOL_DONE);
    EXPECT_EQ(addConnectionToPool(addr, second, b, &request_), HT_SOCKPOOL_DONE);
    EXPECT_EQ(addConnectionToPool(addr, first, a2, &request_), HT_SOCKPOOL_DONE);
    EXPECT_EQ(GetSockPoolConnection(addr, second, &request_), b);
    EXPECT_EQ(GetSockPoolConnection(addr, second, &request_), nullptr);
    EXPECT_EQ(GetSockPoolConnection(addr, first, &request_), a2);
    EXPECT_EQ(GetSockPoolConnection(addr, first, &request_), a);
    for (HTSocket *s : {a, b, a2})
        done(s);
}

TEST_F(Pool, ParkingWhileMemoryRunsShortLeavesTheSocketWithTheCaller)
{
    const uint32_t addr = inet_addr("10.4.5.6");
    static int port = 2000;
    HTSocket *s = paired();
    ASSERT_NE(s, nullptr);
    volatile int rc = -1;
    volatile int at = 0;
    htc_each_failure(
        [&] {
            rc = -1;
            at = ++port; // a new server each round: a node and a link every time
            rc = addConnectionToPool(addr, at, s, &request_);
        },
        [&](const HtcOomRound &round) {
            if (round.raised || round.failed) {
                // Out of memory for a block (raised), or for the pool's
                // locks when it starts (not added): never parked.
                EXPECT_EQ(rc, round.raised ? -1 : HT_SOCKPOOL_NOT_ADDED) << "round " << round.n;
                int parked = 0;
                HTSockPool__server(addr, at, &parked, nullptr);
                EXPECT_EQ(parked, 0) << "round " << round.n;
            } else {
                EXPECT_EQ(rc, HT_SOCKPOOL_DONE);
                EXPECT_EQ(GetSockPoolConnection(addr, at, &request_), s);
            }
        });
    done(s);
}

// nginx as the origin: a real keep-alive connection parked, taken again and
// asked again; nginx's log shows both requests on one connection.
TEST_F(Pool, NginxKeepAliveConnectionsAreParkedAndTakenAgain)
{
    const std::string nginx = peers::find_program("nginx");
    if (nginx.empty())
        GTEST_SKIP() << "needs nginx (nginx-light)";
    peers::TempDir dir("htpool");
    const std::string d = dir.path.string();
    const int port = peers::free_port("127.0.0.1");
    std::filesystem::create_directory(dir.path / "www");
    dir.write("www/page.txt", "parked and taken\n");
    dir.write("nginx.conf", "daemon off;\nmaster_process off;\npid " + d + "/nginx.pid;\n"
                            "error_log " + d + "/nginx-error.log;\nevents { worker_connections 64; }\n"
                            "http {\n log_format conn '$connection $connection_requests $status';\n"
                            " access_log " + d + "/access.log conn;\n keepalive_timeout 60;\n"
                            " client_body_temp_path " + d + "/t1;\n proxy_temp_path " + d + "/t2;\n"
                            " fastcgi_temp_path " + d + "/t3;\n uwsgi_temp_path " + d + "/t4;\n"
                            " scgi_temp_path " + d + "/t5;\n"
                            " server { listen 127.0.0.1:" + std::to_string(port) + "; root " + d + "/www; }\n}\n");
    peers::Child server({nginx, "-p", d, "-c", dir.file("nginx.conf"), "-e", dir.file("nginx-error.log")},
                        {"TMPDIR=" + d, "PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, dir, "nginx.out");
    ASSERT_TRUE(peers::wait_listening("127.0.0.1", port, 10)) << dir.read("nginx-error.log");

    // One GET: the response's head and its Content-Length bytes of body.
    auto get = [](HTSocket *s) {
        const std::string req = "GET /page.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (HTSocket_write(s, req.data(), static_cast<int>(req.size()), nullptr) != static_cast<int>(req.size()))
            return std::string();
        std::string got;
        char buf[4096];
        for (;;) {
            const auto end = got.find("\r\n\r\n");
            if (end != std::string::npos) {
                const auto cl = got.find("Content-Length: ");
                const size_t len = cl == std::string::npos ? 0 : std::stoul(got.substr(cl + 16));
                if (got.size() >= end + 4 + len)
                    return got;
            }
            const int r = HTSocket_read(s, buf, sizeof buf, nullptr);
            if (r <= 0)
                return got;
            got.append(buf, static_cast<size_t>(r));
        }
    };
    const auto wait_log = [&](size_t lines) {
        for (int i = 0; i < 200; ++i) {
            const std::string log = dir.read("access.log");
            if (static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) >= lines)
                return log;
            std::this_thread::sleep_for(20ms);
        }
        return dir.read("access.log");
    };
    HTSocket *s = connect_to(port);
    ASSERT_NE(s, nullptr);
    ASSERT_NE(get(s).find("parked and taken"), std::string::npos);
    ASSERT_EQ(addConnectionToPool(loopback(), port, s, &request_), HT_SOCKPOOL_DONE);
    HTSocket *t = GetSockPoolConnection(loopback(), port, &request_);
    ASSERT_EQ(t, s);
    const std::string second = get(t);
    EXPECT_NE(second.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_NE(second.find("parked and taken"), std::string::npos);
    const std::string log = wait_log(2);
    int conn1 = -1, req1 = -1, st1 = -1, conn2 = -2, req2 = -1, st2 = -1;
    ASSERT_EQ(std::sscanf(log.c_str(), "%d %d %d\n%d %d %d", &conn1, &req1, &st1, &conn2, &req2, &st2), 6) << log;
    EXPECT_EQ(conn1, conn2) << "the second request came on a new connection";
    EXPECT_EQ(req2, 2);
    EXPECT_EQ(st2, 200);
    // Parked once more and left to the collector, which closes it.
    ASSERT_EQ(addConnectionToPool(loopback(), port, t, &request_), HT_SOCKPOOL_DONE);
    HTSockPool__age(loopback(), port, kIdleLimit + 1);
    EXPECT_EQ(GetSockPoolConnection(loopback(), port, &request_), nullptr);
    EXPECT_EQ(GarbageCollectServerSockets(kIdleLimit), 0);
    int parked = -1, bad = -1;
    HTSockPool__server(loopback(), port, &parked, &bad);
    EXPECT_EQ(parked + bad, 0);
}

} // namespace
