#include "HTInputSocket.h"

#include "HTSocket.h"
#include "htc_start.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

enum Reader { LINE, UNFOLD };

struct Case {
    const char *name;
    std::vector<std::string> pieces;
    Reader reader;
    unsigned limit;
    std::vector<std::string> lines; // then null
};

using namespace std::string_literals;

const Case cases[] = {
    {"crlf", {"abc\r\n"}, LINE, 0, {"abc"}},
    {"lf", {"abc\n"}, LINE, 0, {"abc"}},
    {"cr then lf", {"abc\r", "\n"}, LINE, 0, {"abc"}},
    {"cr then lf and more", {"abc\r", "\ndef\n"}, LINE, 0, {"abc", "def"}},
    {"bare cr kept", {"a\rb\n"}, LINE, 0, {"a\rb"}},
    {"empty lines", {"\n\r\n"}, LINE, 0, {"", ""}},
    {"no line end at the end", {"tail"}, LINE, 0, {"tail"}},
    {"unfolded", {"Host: a\r\n", " b\r\n", "\tc\r\n", "\r\n", "body"}, UNFOLD, 0,
     {"Host: a b\tc", "", "body"}},
    {"unfold keeps lines apart", {"A: 1\r\nB: 2\r\n\r\n"}, UNFOLD, 0, {"A: 1", "B: 2", ""}},
    {"unfold at the end of the stream", {"A: 1\r\n"}, UNFOLD, 0, {"A: 1"}},
    {"limit cuts a long line", {std::string(25, 'x') + "\r\n"}, LINE, 10,
     {std::string(10, 'x'), std::string(10, 'x'), std::string(5, 'x')}},
    {"limit keeps a line of the limit", {"0123456789\r\n"}, LINE, 10, {"0123456789"}},
    {"line end in the next read", {"0123456789", "\r\n", "x\n"}, LINE, 10, {"0123456789", "x"}},
    {"lf in the next read", {"0123456789\r", "\n"}, LINE, 10, {"0123456789"}},
    {"cr at the limit then the end", {"0123456789\r"}, LINE, 10, {"0123456789", "\r"}},
    {"cr before the limit", {"012345678\r", "\n"}, LINE, 10, {"012345678"}},
    {"cut then the rest", {"0123456789ab\r\n"}, LINE, 10, {"0123456789", "ab"}},
    {"bare cr at the limit", {"0123456789\rx\n"}, LINE, 10, {"0123456789", "\rx"}},
    {"unfold with a limit", {"A: 0123456789\r\n more\r\n\r\n"}, UNFOLD, 12, {"A: 012345678", "9 more", ""}},
    {"zero byte ends the read", {"ab\0cd\nef\n"s}, LINE, 0, {"ab"}},
};

// The reading end of a connection whose other end gets the pieces: over
// TCP a peer thread writes them with pauses (the reader may still see them
// joined), over a sequenced-packet pair every piece is exactly one read.
struct Feed {
    int read_fd = -1;
    std::thread writer;

    Feed(const std::vector<std::string> &pieces, bool packets)
    {
        if (packets) {
            int sv[2];
            socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
            for (const auto &p : pieces)
                send(sv[1], p.data(), p.size(), 0);
            close(sv[1]);
            read_fd = sv[0];
            return;
        }
        auto *pair = new peers::TcpPair;
        read_fd = pair->client;
        pair->client = -1;
        const int one = 1;
        setsockopt(pair->server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        writer = std::thread([pair, pieces] {
            for (const auto &p : pieces) {
                send(pair->server, p.data(), p.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
            delete pair;
        });
    }
    ~Feed()
    {
        if (writer.joinable())
            writer.join();
    }
};

HTSocket *wrap(int fd)
{
    HTSocket *s = HTSocketQueue_get();
    s->socket = fd;
    return s;
}

class InputSocket : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { htc_test_start(); }
    HTRequest request_{};
};

TEST_P(InputSocket, LineTable)
{
    for (const Case &c : cases) {
        if (!GetParam() && std::string(c.name).find("zero") != std::string::npos)
            continue; // how much a zero byte drops depends on the reads
        Feed feed(c.pieces, GetParam());
        HTSocket *s = wrap(feed.read_fd);
        HTInputSocket *in = HTInputSocket_new(s, &request_);
        std::vector<std::string> got;
        for (int i = 0; i < 20; ++i) {
            char *line = c.reader == UNFOLD ? HTInputSocket_getUnfoldedLineEx(in, c.limit, &request_)
                                            : HTInputSocket_getLineEx(in, c.limit, &request_);
            if (line == nullptr)
                break;
            got.push_back(line);
            if (c.limit > 1) {
                EXPECT_LE(got.back().size(), c.limit) << c.name;
            }
        }
        EXPECT_EQ(got, c.lines) << c.name;
        HTSocket_close(s, __FILE__, __LINE__, &request_);
    }
}

INSTANTIATE_TEST_SUITE_P(Reads, InputSocket, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Packets" : "Tcp"; });

class InputSocketReaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        htc_test_start();
        ASSERT_GE(pair_.client, 0);
        s_ = wrap(pair_.client);
        pair_.client = -1;
        in_ = HTInputSocket_new(s_, &request_);
    }
    void TearDown() override { HTSocket_close(s_, __FILE__, __LINE__, &request_); }
    void peer_sends(const std::string &bytes) { ASSERT_EQ(send(pair_.server, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())); }
    peers::TcpPair pair_;
    HTRequest request_{};
    HTSocket *s_ = nullptr;
    HTInputSocket *in_ = nullptr;
};

TEST_F(InputSocketReaders, CharactersSkipCarriageReturns)
{
    peer_sends("a\r\rb");
    shutdown(pair_.server, SHUT_WR);
    EXPECT_EQ(HTInputSocket_getCharacter(in_), 'a');
    EXPECT_EQ(HTInputSocket_getCharacter(in_), 'b');
    EXPECT_EQ(HTInputSocket_getCharacter(in_), -1);
}

TEST_F(InputSocketReaders, AbortedRequestLeavesTheSocketAlone)
{
    peer_sends("line\nmore");
    request_.abort_flag = 1;
    int n = 10;
    EXPECT_EQ(HTInputSocket_getLine(in_, &request_), nullptr);
    EXPECT_EQ(HTInputSocket_getUnfoldedLine(in_, &request_), nullptr);
    EXPECT_EQ(HTInputSocket_getCharacter(in_), -1);
    EXPECT_EQ(HTInputSocket_getBlock(in_, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(HTInputSocket_getBytesRead(in_), 0u);
    request_.abort_flag = 0;
    EXPECT_STREQ(HTInputSocket_getLine(in_, &request_), "line");
}

TEST_F(InputSocketReaders, PurgeOnAnIdleConnection)
{
    int n = 100;
    EXPECT_EQ(HTInputSocket_purgeBuf(in_, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(fcntl(s_->socket, F_GETFL) & O_NONBLOCK, 0); // blocking again
    peer_sends("waiting");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    n = 100;
    char *p = HTInputSocket_purgeBuf(in_, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, static_cast<size_t>(n)), "waiting");
}

TEST_F(InputSocketReaders, ReadersShareTheBuffer)
{
    peer_sends(std::string("first\r\n") + std::string(100, 'b'));
    request_.timing.stamp_next_read = 1;
    EXPECT_STREQ(HTInputSocket_getLine(in_, &request_), "first");
    EXPECT_EQ(request_.timing.stamp_next_read, 0);
    EXPECT_NE(request_.timing.first_read.tv_sec, 0);
    std::string rest;
    while (rest.size() < 100) {
        int n = 30;
        char *p = HTInputSocket_getBlock(in_, &n);
        ASSERT_NE(p, nullptr);
        EXPECT_LE(n, 30);
        rest.append(p, static_cast<size_t>(n));
    }
    EXPECT_EQ(rest, std::string(100, 'b'));
    EXPECT_EQ(HTInputSocket_getBytesRead(in_), 107u);
    peer_sends("0123456789");
    int n = 4;
    HTInputSocket_getBlock(in_, &n);
    int count = -1;
    char *p = HTInputSocket_getInputPointer(in_, &count);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(std::string(p, 6), "456789");
    HTInputSocket_moveInputPointer(in_, 100); // at most what is buffered
    HTInputSocket_getInputPointer(in_, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(HTInputSocket_getBytesRead(in_), 107u + 10u + 6u);
}

TEST_F(InputSocketReaders, SplitReadAndReset)
{
    peer_sends("split read\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint32_t counted = GlobalPerformanceCounters.word[HT_PERF_BYTES_READ];
    const int r = level3AsyncRead(in_, 0, &request_);
    EXPECT_EQ(r, 11);
    EXPECT_EQ(level3AsyncReadDone(in_, r), 0);
    EXPECT_EQ(GlobalPerformanceCounters.word[HT_PERF_BYTES_READ] - counted, 11u);
    EXPECT_STREQ(HTInputSocket_getLine(in_, &request_), "split read");
    HTInputSocket_reset(in_, s_);
    EXPECT_EQ(HTInputSocket_getBytesRead(in_), 0u);

    HTInputSocket *heap = HTInputSocket_newHeap(s_, nullptr);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->heap, 1);
    peer_sends("x\n");
    EXPECT_STREQ(HTInputSocket_getLine(heap, nullptr), "x");
    HTInputSocket_wipe(heap);
    HTInputSocket_free(heap);
    HTInputSocket_free(in_); // a pool object: left to its pool
}

} // namespace
