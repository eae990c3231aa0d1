// The answer streams as the client sees them, and the socket copy through
// a stream.

#include "HTOutStream.h"

#include "HTSockCopy.h"
#include "dir_fixture.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

void put(HTStream *s, const std::string &text) { s->isa->write(s, text.data(), static_cast<int>(text.size())); }

TEST(HTOutStream, HtmlPageGoesWithItsLength)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        ClientEnd c(g);
        HTStream *page = HTOutStream_newHTML(&c.request, nullptr, 200, g);
        ASSERT_NE(page, nullptr);
        std::string big(40000, 'x');   // more than one segment of the page
        page->isa->put_string(page, "<html>");
        page->isa->put_character(page, '!');
        put(page, big);
        EXPECT_EQ(page->isa->free(page, nullptr), 0);
        const std::string &got = c.finish();
        EXPECT_EQ(head_of(got), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 40007\r\n\r\n");
        EXPECT_EQ(body_of(got), "<html>!" + big);
        EXPECT_EQ(g->client_close, 0);
        EXPECT_EQ(g->output_healthy, 1);
    });
}

TEST(HTOutStream, AbortedPageSendsNothingAndLeavesTheWriter)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        ClientEnd c(g, "HTTP/1.0");
        HTStream *page = HTOutStream_newHTML(&c.request, nullptr, 200, g);
        page->isa->put_string(page, "half a page");
        page->isa->abort(page, nullptr);
        EXPECT_EQ(g->output_healthy, 0);
        // The error page that follows still reaches the client.
        HTStream *err = HTOutStream_newHTML(&c.request, nullptr, 404, g);
        err->isa->put_string(err, "gone");
        err->isa->free(err, nullptr);
        EXPECT_EQ(c.finish(), "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 4\r\n\r\ngone");
    });
}

struct RawCase {
    const char *name;
    long long declared;
    std::string body;          // what the loader writes
    std::string head;
    std::string expected_body;
    int client_close;
};

TEST(HTOutStream, RawStreamKeepsToItsHead)
{
    ASSERT_TRUE(htc_test_start());
    const RawCase cases[] = {
        {"exact", 5, "hello", "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 5\r\n\r\n", "hello", 0},
        {"more than declared is cut", 3, "hello",
         "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 3\r\n\r\n", "hel", 0},
        {"fewer ends the connection", 9, "hello",
         "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 9\r\n\r\n", "hello", 1},
        {"unknown length ends the connection", HT_OUT_LENGTH_UNKNOWN, "hello",
         "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nConnection: close\r\n\r\n", "hello", 1},
        {"empty", 0, "", "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 0\r\n\r\n", "", 0},
    };
    for (const RawCase &k : cases) {
        htc_as_worker([&](HTThdGlobals *g) {
            ClientEnd c(g);
            HTStream *raw = HTOutStream_newRaw(&c.request, nullptr, 200, "image/gif", k.declared, g);
            // In two pieces: the cut must hold across writes.
            put(raw, k.body.substr(0, 2));
            put(raw, k.body.substr(k.body.size() < 2 ? k.body.size() : 2));
            raw->isa->free(raw, nullptr);
            const std::string &got = c.finish();
            EXPECT_EQ(head_of(got), k.head) << k.name;
            EXPECT_EQ(body_of(got), k.expected_body) << k.name;
            EXPECT_EQ(g->client_close, k.client_close) << k.name;
        });
    }
}

TEST(HTOutStream, AnHttpOneZeroClientAskingToKeepItsConnectionIsToldSo)
{
    ASSERT_TRUE(htc_test_start());
    struct Case {
        const char *version;
        int asks;
        long long declared; // HT_OUT_LENGTH_UNKNOWN: a raw stream without a length
        std::string head;
        int client_close;
    } cases[] = {
        {"HTTP/1.0", 1, 2, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
                           "Connection: keep-alive\r\n\r\n", 0},
        {"HTTP/1.0", 1, HT_OUT_LENGTH_UNKNOWN, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n",
         1},
        {"HTTP/1.0", 0, 2, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n", 0},
        {"HTTP/1.1", 1, 2, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n", 0},
    };
    for (const Case &k : cases) {
        htc_as_worker([&](HTThdGlobals *g) {
            ClientEnd c(g, k.version);
            c.request.keep_alive = k.asks;
            HTStream *raw = HTOutStream_newRaw(&c.request, nullptr, 200, "text/plain", k.declared, g);
            put(raw, "ok");
            raw->isa->free(raw, nullptr);
            const std::string &got = c.finish();
            EXPECT_EQ(head_of(got), k.head) << k.version << k.asks << k.declared;
            EXPECT_EQ(body_of(got), "ok");
            EXPECT_EQ(g->client_close, k.client_close) << k.version << k.asks << k.declared;
        });
    }
}

TEST(HTOutStream, NoHeadForHttp09AndNoStreamWithoutSink)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        ClientEnd c(g, "HTTP/0.9");
        HTStream *page = HTOutStream_newHTML(&c.request, nullptr, 200, g);
        page->isa->put_string(page, "<p>");
        page->isa->free(page, nullptr);
        EXPECT_EQ(c.finish(), "<p>");
        HTRequest bare{};
        EXPECT_EQ(HTOutStream_newHTML(&bare, nullptr, 200, g), nullptr);
        EXPECT_EQ(HTOutStream_newRaw(nullptr, nullptr, 200, nullptr, 0, g), nullptr);
    });
}

TEST(HTSockCopy, CopiesUntilTheCloseThenStops)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        ClientEnd c(g);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::string data;
        for (int i = 0; i < 30000; ++i)
            data += static_cast<char>('a' + i % 26);
        std::thread server([&] {
            // In odd pieces, so that blocks never line up with the copy's.
            for (size_t at = 0; at < data.size(); at += 777)
                (void)!write(fds[1], data.data() + at, std::min<size_t>(777, data.size() - at));
            close(fds[1]);
        });
        HTSocket *from = HTSocketQueue_get();
        from->socket = fds[0];
        HTStream *raw = HTOutStream_newRaw(&c.request, nullptr, 200, "text/plain", HT_OUT_LENGTH_UNKNOWN, g);
        EXPECT_EQ(HTSockCopy_toStream(from, raw, &c.request, g), 30000);
        server.join();
        raw->isa->free(raw, nullptr);
        HTSocket_close(from, __FILE__, __LINE__, nullptr);
        EXPECT_EQ(body_of(c.finish()), data);
        EXPECT_EQ(HTSockCopy_toStream(nullptr, raw, nullptr, g), HT_COPY_READ_FAILED);
    });
}

TEST(HTSockCopy, ReportsAStreamThatRefuses)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ASSERT_EQ(write(fds[1], "abc", 3), 3);
        close(fds[1]);
        static const HTStreamClass refuse = {"Refuse", nullptr, nullptr, nullptr, nullptr,
                                             [](HTStream *, const char *, int) { return -1; },
                                             nullptr, nullptr, nullptr};
        HTStream s{&refuse};
        HTSocket *from = HTSocketQueue_get();
        from->socket = fds[0];
        EXPECT_EQ(HTSockCopy_toStream(from, &s, nullptr, g), HT_COPY_WRITE_FAILED);
        HTRequest stop{};
        stop.abort_flag = 1;
        EXPECT_EQ(HTSockCopy_toStream(from, &s, &stop, g), HT_COPY_ABORTED);
        HTSocket_close(from, __FILE__, __LINE__, nullptr);
    });
}

} // namespace
