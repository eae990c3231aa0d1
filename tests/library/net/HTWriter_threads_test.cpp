#include "HTWriter.h"

#include "HTLog.h"
#include "HTSocket.h"
#include "error_reports.h"
#include "htc_start.h"
#include "htstab.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Every level3write: bytes asked for and the result.
std::mutex sends_lock;
std::vector<std::pair<int, int>> sends;

void observe(const char *, int length, int result)
{
    std::lock_guard<std::mutex> hold(sends_lock);
    sends.emplace_back(length, result);
}

std::vector<std::pair<int, int>> sent()
{
    std::lock_guard<std::mutex> hold(sends_lock);
    return sends;
}

std::string pattern(size_t n, size_t from = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (from + i) % 26);
    return s;
}

// A writer on one end of a loopback connection, and a peer thread that
// reads everything from the other end until it closes.
class Writer : public ::testing::Test {
protected:
    void SetUp() override
    {
        htc_test_start();
        {
            std::lock_guard<std::mutex> hold(sends_lock);
            sends.clear();
        }
        HTWriter__setObserver(observe);
        request_.config = &config_;
        ASSERT_GE(pair_.client, 0);
        s_ = HTSocketQueue_get();
        s_->socket = pair_.client;
        pair_.client = -1;
    }
    void TearDown() override
    {
        HTWriter__setObserver(nullptr);
        if (reader_.joinable())
            reader_.join();
        if (s_ != nullptr && s_->socket >= 0)
            HTSocket_close(s_, __FILE__, __LINE__, nullptr);
    }
    // The peer reads in pieces of `chunk` bytes, pausing `pause_ms` after each.
    void start_reader(size_t chunk = 65536, int pause_ms = 0, size_t stop_after = SIZE_MAX)
    {
        reader_ = std::thread([this, chunk, pause_ms, stop_after] {
            std::vector<char> buf(chunk);
            for (;;) {
                const ssize_t r = recv(pair_.server, buf.data(), buf.size(), 0);
                if (r <= 0)
                    break;
                received_.append(buf.data(), static_cast<size_t>(r));
                if (received_.size() >= stop_after)
                    break;
                if (pause_ms)
                    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
            }
            close(pair_.server);
            pair_.server = -1;
        });
    }
    std::string finish()
    {
        reader_.join();
        return received_;
    }
    HTStream *make() { return HTWriter_new(s_, &request_, nullptr); }

    peers::TcpPair pair_;
    HTStaticConfig config_{};
    HTRequest request_{};
    HTSocket *s_ = nullptr;
    std::thread reader_;
    std::string received_;
};

TEST_F(Writer, StarterPacketMakesTheFirstSegmentFull)
{
    start_reader();
    HTStream *w = make();
    const std::string a = pattern(100), b = pattern(5000, 100);
    EXPECT_EQ(HTWriter_put_string(w, a.c_str()), 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(HTWriter_write(w, b.data(), 5000), 0);
    EXPECT_EQ(sent(), (std::vector<std::pair<int, int>>{{1460, 1460}, {3640, 3640}}));
    EXPECT_EQ(HTWriter_free(w, nullptr), 0);
    EXPECT_TRUE(finish() == a + b);
    s_ = nullptr; // closed and returned by the writer
}

TEST_F(Writer, NoStarterPacketWhenMuchIsBuffered)
{
    start_reader();
    HTStream *w = make();
    const std::string a = pattern(3000), b = pattern(2000, 3000);
    HTWriter_write(w, a.data(), 3000);
    HTWriter_write(w, b.data(), 2000);
    EXPECT_EQ(sent(), (std::vector<std::pair<int, int>>{{3000, 3000}, {2000, 2000}}));
    // Only the first large block is shaped.
    const std::string c = pattern(100), d = pattern(5000);
    HTWriter_write(w, c.data(), 100);
    HTWriter_write(w, d.data(), 5000);
    EXPECT_EQ(sent().size(), 4u);
    EXPECT_EQ(sent()[2], std::make_pair(100, 100));
    HTWriter_free(w, nullptr);
    EXPECT_TRUE(finish() == a + b + c + d);
    s_ = nullptr;
}

TEST_F(Writer, SmallBlocksAreCoalesced)
{
    start_reader();
    HTStream *w = make();
    const std::string a = pattern(100), b = pattern(2000);
    HTWriter_write(w, a.data(), 100);
    HTWriter_write(w, b.data(), 2000);
    HTWriter_put_character(w, '!');
    EXPECT_TRUE(sent().empty());
    HTWriter_free(w, nullptr);
    EXPECT_EQ(sent(), (std::vector<std::pair<int, int>>{{2101, 2101}}));
    int body = 0;
    HTWriter_catchMessage(w, HT_MSG_BODY_LENGTH, &body);
    EXPECT_EQ(body, 2101);
    EXPECT_EQ(HTWriter_free(w, nullptr), 0); // a second free only traces
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_TRUE(finish() == a + b + "!");
    s_ = nullptr;
}

TEST_F(Writer, DontBufferSendsEveryPut)
{
    start_reader();
    HTStream *w = HTWriter_newNoClose(s_, &request_);
    EXPECT_EQ(HTWriter_catchMessage(w, HT_MSG_DONT_BUFFER, nullptr), 0);
    HTWriter_put_string(w, "ab");
    HTWriter_put_character(w, 'c');
    HTWriter_write(w, "def", 3);
    EXPECT_EQ(sent(), (std::vector<std::pair<int, int>>{{2, 2}, {1, 1}, {3, 3}}));
    HTWriter_free(w, nullptr);
    EXPECT_GE(s_->socket, 0); // no-close
    shutdown(s_->socket, SHUT_WR);
    EXPECT_EQ(finish(), "abcdef");
}

TEST_F(Writer, HeadWithBlockedHeaders)
{
    start_reader();
    config_.blocked_headers = HTList_new(nullptr);
    char prefix[] = "X-Internal";
    HTList_appendObject(config_.blocked_headers, prefix, nullptr);
    HTList *lines = HTList_new(nullptr);
    char l1[] = "Content-Type: text/plain\r\n", l2[] = "x-internal-id: 7\r\n", l3[] = "X-INTERNALS: 2\r\n",
         l4[] = "Server: test\r\n";
    for (char *l : {l1, l2, l3, l4})
        HTList_appendObject(lines, l, nullptr);
    HTRespHeaders head{};
    head.status_line = const_cast<char *>("HTTP/1.1 200 OK\r\n");
    head.headers = lines;
    HTStream *w = make();
    EXPECT_EQ(HTWriter_putHeaders(w, &head), 1);
    EXPECT_TRUE(sent().empty()); // buffered with the body
    HTWriter_put_string(w, "body");
    int header_length = 0;
    HTWriter_catchMessage(w, HT_MSG_HEADER_LENGTH, &header_length);
    const std::string expected_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nServer: test\r\n\r\n";
    EXPECT_EQ(header_length, static_cast<int>(expected_head.size()));
    HTWriter_free(w, nullptr);
    int body = 0;
    HTWriter_catchMessage(w, HT_MSG_BODY_LENGTH, &body);
    EXPECT_EQ(body, 4);
    EXPECT_EQ(finish(), expected_head + "body");
    s_ = nullptr;
    HTList_delete(lines, nullptr);
    HTList_delete(config_.blocked_headers, nullptr);
}

TEST_F(Writer, NoHeadForHttp09Clients)
{
    start_reader();
    request_.http_version = "HTTP/0.9";
    HTRespHeaders head{};
    head.status_line = const_cast<char *>("HTTP/1.0 200 OK\r\n");
    HTStream *w = make();
    EXPECT_EQ(HTWriter_putHeaders(w, &head), 1);
    HTWriter_put_string(w, "just the body");
    HTWriter_free(w, nullptr);
    EXPECT_EQ(finish(), "just the body");
    s_ = nullptr;
}

TEST_F(Writer, ResponseTimeHeaderAndFlushAfterHeaders)
{
    start_reader();
    config_.response_time_header = 1;
    char name[] = "X-Response-Time";
    config_.response_time_name = name;
    config_.flush_after_headers = 1;
    gettimeofday(&request_.start_time, nullptr);
    HTList *lines = HTList_new(nullptr);
    char old[] = "x-response-time: stale\r\n";
    HTList_appendObject(lines, old, nullptr);
    HTRespHeaders head{};
    head.status_line = const_cast<char *>("HTTP/1.1 204 No Content\r\n");
    head.headers = lines;
    HTStream *w = make();
    HTWriter_putHeaders(w, &head);
    EXPECT_EQ(sent().size(), 1u); // sent as soon as it was complete
    HTWriter_free(w, nullptr);
    const std::string got = finish();
    char start[64];
    std::snprintf(start, sizeof start, "X-Response-Time: t=%lld%06ld D=", static_cast<long long>(request_.start_time.tv_sec),
                  static_cast<long>(request_.start_time.tv_usec));
    EXPECT_EQ(got.rfind("HTTP/1.1 204 No Content\r\n", 0), 0u) << got;
    EXPECT_NE(got.find(start), std::string::npos) << got;
    EXPECT_EQ(got.find("stale"), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.size() - 4), "\r\n\r\n");
    s_ = nullptr;
    HTList_delete(lines, nullptr);
}

TEST_F(Writer, ControlMessages)
{
    start_reader();
    HTStream *w = make();
    int word = 0;
    EXPECT_EQ(HTWriter_catchMessage(w, HT_MSG_IDENTIFY, &word), 0);
    EXPECT_EQ(word, 1);
    EXPECT_EQ(HTWriter_catchMessage(w, HT_MSG_NO_STORE_QUERY, &word), 0);
    EXPECT_EQ(word, 0);
    HTWriter_catchMessage(w, HT_MSG_NO_STORE, nullptr);
    HTWriter_catchMessage(w, HT_MSG_NO_STORE_QUERY, &word);
    EXPECT_EQ(word, 1);
    EXPECT_EQ(HTWriter_catchMessage(w, 4242, &word), -1);

    char version[] = "HTTP/1.1";
    HTWriter_put_string(w, "held back");
    HTWriter_catchMessage(w, HT_MSG_SEND_100, version); // at once, not through the buffer
    EXPECT_EQ(sent().size(), 1u);

    // An aborted request drops output until a purge asks for it.
    request_.abort_flag = 1;
    HTWriter_put_string(w, "dropped");
    HTWriter_catchMessage(w, HT_MSG_PURGE, nullptr); // also drops "held back"
    HTWriter_put_string(w, "after purge");
    request_.abort_flag = 0;
    word = 5;
    HTWriter_catchMessage(w, HT_MSG_QUERY_STATUS, &word);
    EXPECT_EQ(word, 5);
    HTWriter_catchMessage(w, HT_MSG_CLOSE_CLIENT, nullptr);
    EXPECT_EQ(finish(), "HTTP/1.1 100 continue\r\n\r\nafter purge"); // ended by the shutdown
    HTWriter_free(w, nullptr);
    EXPECT_EQ(reinterpret_cast<HTWriter *>(w)->buffer[0], '\0'); // no-store wiped the buffer
    s_ = nullptr;
}

TEST_F(Writer, PartialWritesContinue)
{
    // A small send buffer and a reader that drains slowly: a send stops at
    // its time-out with part of the block written.
    const int small = 4096, window = 65536;
    setsockopt(s_->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(pair_.server, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    timeval tv{0, 250000};
    setsockopt(s_->socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    start_reader(16384, 10);
    HTStream *w = make();
    const std::string big = pattern(1024 * 1024);
    EXPECT_EQ(HTWriter_write(w, big.data(), static_cast<int>(big.size())), 0);
    HTWriter_free(w, nullptr);
    const std::string got = finish();
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
    const auto s = sent();
    ASSERT_GE(s.size(), 2u);
    EXPECT_LT(s[0].second, s[0].first); // cut short by the time-out
    int total = 0;
    for (const auto &e : s) {
        EXPECT_GT(e.second, 0);
        total += e.second;
    }
    EXPECT_EQ(total, static_cast<int>(big.size()));
    s_ = nullptr;
}

TEST_F(Writer, ClientThatClosesMidResponse)
{
    struct sigaction dfl, old;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL; // a SIGPIPE would end the program
    sigaction(SIGPIPE, &dfl, &old);
    start_reader(4096, 0, 10);
    HTStream *w = make();
    const std::string block = pattern(64 * 1024);
    int rc = 0;
    for (int i = 0; i < 200 && rc == 0; ++i)
        rc = HTWriter_write(w, block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(rc, -1);
    const size_t calls = sent().size();
    EXPECT_EQ(HTWriter_write(w, block.data(), 100), -1);
    EXPECT_EQ(HTWriter_put_string(w, "more"), -1);
    EXPECT_EQ(sent().size(), calls); // nothing more reaches the socket
    int word = 0;
    HTWriter_catchMessage(w, HT_MSG_QUERY_STATUS, &word);
    EXPECT_EQ(word, -1);
    int status = 0;
    EXPECT_LT(HTWriter_status(w, &status), 0);
    EXPECT_EQ(HTWriter_free(w, nullptr), -1);
    finish();
    sigaction(SIGPIPE, &old, nullptr);
    s_ = nullptr;
}

// Relaying: what the writer holds goes first, then the source socket's
// bytes as they come, all of them, counted; the source's end and a failed
// read come back as a read reports them; a writer whose writes are watched
// relays nothing.
TEST_F(Writer, RelayMovesSocketBytesAfterWhatIsBuffered)
{
    peers::TcpPair origin, silent;
    HTSocket *from = HTSocketQueue_get();
    from->socket = origin.client;
    origin.client = -1;
    HTStream *w = make();
    EXPECT_EQ(HTWriter_relay(w, from, 4096), HT_RELAY_UNAVAILABLE); // the observer must see every byte
    HTWriter__setObserver(nullptr);
    start_reader(65536, 0);
    const std::string head = "HTTP/1.1 200 OK\r\n\r\n", body = pattern(3 * 1024 * 1024 + 5, 7);
    EXPECT_EQ(HTWriter_put_string(w, head.c_str()), 0);
    std::thread feeder([&] {
        for (size_t at = 0; at < body.size();) {
            const ssize_t n = send(origin.server, body.data() + at, std::min<size_t>(100000, body.size() - at), 0);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        shutdown(origin.server, SHUT_WR);
    });
    size_t moved = 0;
    int r = 0;
    // Asked for less than comes: never more than asked.
    while ((r = HTWriter_relay(w, from, 300000)) > 0) {
        EXPECT_LE(r, 300000);
        moved += static_cast<size_t>(r);
    }
    feeder.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(moved, body.size());
    EXPECT_EQ(reinterpret_cast<HTWriter *>(w)->body_count, head.size() + body.size());
    EXPECT_EQ(from->bytes_read, body.size());
    // A source that stays silent past its receive time-out: -1, its error kept.
    HTSocket *mute = HTSocketQueue_get();
    mute->socket = silent.client;
    silent.client = -1;
    const timeval tv{0, 100 * 1000};
    setsockopt(mute->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(HTWriter_relay(w, mute, 4096), -1);
    EXPECT_EQ(mute->error, EAGAIN);
    EXPECT_EQ(HTWriter_free(w, nullptr), 0);
    EXPECT_TRUE(finish() == head + body) << received_.size() << " bytes";
    HTSocket_close(from, __FILE__, __LINE__, nullptr);
    HTSocket_close(mute, __FILE__, __LINE__, nullptr);
    s_ = nullptr;
}

TEST_F(Writer, OwnershipCheckStopsAWrongClient)
{
    HTStaticConfig debug{};
    debug.socket_debugging = 1;
    HTSocketTable_init(&debug, 16, 1);
    HTLogError_setHandler(reports::collect);
    start_reader();
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(s_->socket, reinterpret_cast<sockaddr *>(&peer), &len);

    request_.client_address = peer; // the right client: silent
    request_.url = "http://example.test/";
    HTStream *good = HTWriter_newNoClose(s_, &request_);
    HTWriter_put_string(good, "ok");
    EXPECT_EQ(HTWriter_paranoiaCheck(good), 0);
    HTWriter_free(good, nullptr);

    peer.sin_port = htons(static_cast<uint16_t>(ntohs(peer.sin_port) + 1));
    request_.client_address = peer;
    HTStream *w = make();
    EXPECT_EQ(HTWriter_put_string(w, "to the wrong client"), -1);
    EXPECT_EQ(reinterpret_cast<HTWriter *>(w)->socket, nullptr); // closed
    EXPECT_EQ(finish(), "ok");
    HTSocketTable__setDebugging(0);
    HTLogError_setHandler(nullptr);
    bool found = false;
    for (const auto &r : reports::take())
        if (r.rfind("PANIC! Socket address mismatch: 127.0.0.1:", 0) == 0 &&
            r.find("(request: \"http://example.test/\", thread ") != std::string::npos)
            found = true;
    EXPECT_TRUE(found);
    s_ = nullptr;
}

} // namespace
