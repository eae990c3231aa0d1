// Response heads of real servers through the stream-stack writer: nginx
// directly, and squid (caching off) and tinyproxy as forward proxies in
// front of it. Each answer, captured here over a raw socket, goes through
// the writer in one block, cut at every byte position, and byte by byte:
// the client always gets the answer with its Keep-Alive lines removed and
// its body intact, and the store always holds the same status and lines.

#include "peers.hpp"
#include "stack_sink.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Captured {
    std::string name;
    std::string bytes;
};

// The answer as the client must get it, worked out from the raw bytes.
struct Expected {
    std::string client;
    int code;
    std::vector<std::string> lines;
};

Expected expected_of(const std::string &raw)
{
    Expected e{};
    const size_t end = raw.find("\r\n\r\n");
    std::string head = raw.substr(0, end + 2);
    std::string body = raw.substr(end + 4);
    const size_t first = head.find("\r\n");
    const std::string status = head.substr(0, first + 2);
    e.code = std::atoi(status.c_str() + 9);
    for (size_t at = first + 2; at < head.size();) {
        const size_t eol = head.find("\r\n", at);
        const std::string line = head.substr(at, eol + 2 - at);
        if (peers::lower(line).find("keep-alive") == std::string::npos)
            e.lines.push_back(line);
        at = eol + 2;
    }
    e.client = status;
    for (const std::string &l : e.lines)
        e.client += l;
    e.client += "\r\n" + (e.code == 304 ? std::string() : body);
    return e;
}

class Peers : public StackTest {
protected:
    static void SetUpTestSuite()
    {
        if (!peers::installed("/usr/sbin/nginx")) {
            skip_ = "nginx (nginx-light) is not installed";
            return;
        }
        dir_ = new peers::TempDir();
        const std::string d = dir_->path();
        dir_->dir("html", 0755);
        dir_->dir("tmp");
        dir_->dir("squid");
        dir_->dir("tinyproxy");
        dir_->file("html/index.html", "<html><body>hello from nginx</body></html>\n");
        std::string text;
        for (int i = 0; i < 30; ++i)
            text += "line " + std::to_string(i) + " of a text that compresses well\n";
        dir_->file("html/text.txt", text);
        origin_port_ = peers::free_port();
        const std::string conf = dir_->file(
            "nginx.conf", peers::nginx_conf(d, origin_port_,
                                            "  keepalive_timeout 65 60;\n"
                                            "  gzip on;\n  gzip_types text/plain;\n  gzip_min_length 0;\n"));
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
        StackTest::SetUp();
    }

    // The requests, in absolute form when `proxy` is set.
    std::vector<Captured> capture(int port, bool proxy)
    {
        const std::string origin = "127.0.0.1:" + std::to_string(origin_port_);
        const std::string prefix = proxy ? "http://" + origin : "";
        auto get = [&](const std::string &method, const std::string &path, const std::string &extra) {
            return peers::exchange(port, method + " " + prefix + path + " HTTP/1.1\r\nHost: " + origin + "\r\n" +
                                             extra + "\r\n");
        };
        std::vector<Captured> out;
        out.push_back({"200 keep-alive", get("GET", "/index.html", "Connection: keep-alive\r\n")});
        const auto modified = peers::header(out.back().bytes, "Last-Modified");
        out.push_back({"304", get("GET", "/index.html", "If-Modified-Since: " + modified.value_or("") +
                                                            "\r\nConnection: close\r\n")});
        out.push_back({"404", get("GET", "/missing", "Connection: close\r\n")});
        out.push_back({"HEAD", get("HEAD", "/index.html", "Connection: close\r\n")});
        out.push_back({"gzip", get("GET", "/text.txt", "Accept-Encoding: gzip\r\nConnection: close\r\n")});
        return out;
    }

    void check(const std::vector<Captured> &answers)
    {
        for (const Captured &c : answers) {
            SCOPED_TRACE(c.name + ":\n" + c.bytes.substr(0, c.bytes.find("\r\n\r\n")));
            ASSERT_NE(c.bytes.find("\r\n\r\n"), std::string::npos) << "no complete head captured";
            const Expected e = expected_of(c.bytes);
            auto once = [&](const std::vector<size_t> &cuts) {
                next_request();
                CaptureSink sink;
                run(c.bytes, cuts, sink);
                HTClientRespHeaders_checkHeaderSanity(sink.as_stream(), g);
                const StoreView v = view_of(g);
                EXPECT_EQ(sink.out, e.client);
                EXPECT_EQ(v.code, e.code);
                EXPECT_EQ(v.lines, e.lines);
                EXPECT_EQ(v.phase, HT_STACK_BODY);
                return !::testing::Test::HasFailure();
            };
            ASSERT_TRUE(once({}));
            for (size_t k = 1; k < c.bytes.size(); ++k)
                ASSERT_TRUE(once({k})) << "cut at " << k;
            std::vector<size_t> all;
            for (size_t k = 1; k < c.bytes.size(); ++k)
                all.push_back(k);
            ASSERT_TRUE(once(all)) << "byte by byte";
        }
    }

    static std::string skip_;
    static peers::TempDir *dir_;
    static peers::Peer *origin_;
    static int origin_port_;
};

std::string Peers::skip_;
peers::TempDir *Peers::dir_ = nullptr;
peers::Peer *Peers::origin_ = nullptr;
int Peers::origin_port_ = 0;

} // namespace

TEST_F(Peers, Nginx)
{
    const std::vector<Captured> answers = capture(origin_port_, false);
    // The captures are what the cases are meant to be.
    EXPECT_NE(answers[0].bytes.find("Keep-Alive: timeout=60"), std::string::npos);
    EXPECT_EQ(answers[1].bytes.rfind("HTTP/1.1 304", 0), 0u);
    EXPECT_EQ(answers[2].bytes.rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_NE(answers[4].bytes.find("Transfer-Encoding: chunked"), std::string::npos);
    EXPECT_NE(answers[4].bytes.find("Content-Encoding: gzip"), std::string::npos);
    check(answers);
}

TEST_F(Peers, ThroughSquid)
{
    if (!peers::installed("/usr/sbin/squid"))
        GTEST_SKIP() << "squid is not installed";
    const std::string d = dir_->path() + "/squid";
    const int port = peers::free_port();
    const std::string conf = dir_->file("squid/squid.conf", peers::squid_conf(d, port));
    peers::Peer squid({"/usr/sbin/squid", "-N", "-f", conf}, d + "/squid.out", port);
    ASSERT_TRUE(squid.ready()) << "squid did not start";
    const std::vector<Captured> answers = capture(port, true);
    EXPECT_NE(answers[0].bytes.find("Via: "), std::string::npos);
    check(answers);
}

TEST_F(Peers, ThroughTinyproxy)
{
    if (!peers::installed("/usr/bin/tinyproxy"))
        GTEST_SKIP() << "tinyproxy is not installed";
    const std::string d = dir_->path() + "/tinyproxy";
    const int port = peers::free_port();
    const std::string conf = dir_->file("tinyproxy/tinyproxy.conf", peers::tinyproxy_conf(d, port));
    peers::Peer tinyproxy({"/usr/bin/tinyproxy", "-d", "-c", conf}, d + "/tinyproxy.out", port);
    ASSERT_TRUE(tinyproxy.ready()) << "tinyproxy did not start";
    const std::vector<Captured> answers = capture(port, true);
    EXPECT_NE(answers[0].bytes.find("Via: 1.1"), std::string::npos);
    check(answers);
}
