// The stand-in host: every table entry filled, the entries the variables
// rely on, the body source, the memory sink and MD4 (RFC 1320's vectors).

#include "orvhost.h"

#include "htapi_cb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

using orvhost::Host;
using orvhost::Request;

template <int N> typename plugrt::Cb<N>::fn *entry()
{
    return reinterpret_cast<typename plugrt::Cb<N>::fn *>(Host::get().table()[N]);
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(orvhost::plugrt(&error), nullptr) << error;
        Host::get().clear_records();
    }
    std::string error;
};

} // namespace

TEST_F(HostTest, EveryEntryIsFilledAndTheRestRecordTheirCalls)
{
    for (int i = 0; i < HTAPI_NCALLBACKS; ++i)
        EXPECT_NE(Host::get().table()[i], nullptr) << i;
    EXPECT_EQ(entry<HTCB_RESERVED_2>()(), 0);
    // Entries that still have no behaviour (the cache's open for writing, a reserved one).
    EXPECT_EQ(entry<HTCB_CACHE_OPEN_WRITE>()(nullptr, "k", 1), 0);
    EXPECT_EQ(entry<HTCB_RESERVED_11>()(), 0);
    EXPECT_EQ(Host::get().stub_calls(), (std::vector<int>{2, HTCB_CACHE_OPEN_WRITE, HTCB_RESERVED_11}));
}

TEST_F(HostTest, Md4OfRfc1320)
{
    const struct {
        const char *text;
        const char *digest;
    } rows[] = {{"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
                {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
                {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
                {"message digest", "d9130a8164549fe818874806e1c7014b"},
                {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
                {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                 "043f8582f241db351ce627e153e7f0e4"},
                {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
                 "7890",
                 "e33b4ddc9c38f2199c3e7b164fcc0536"}};
    for (const auto &r : rows)
        EXPECT_EQ(orvhost::md4_hex(r.text), r.digest) << r.text;
    // Through the entries, fed in pieces.
    Request q;
    void *m = entry<HTCB_MD4_NEW>()(q.handle());
    ASSERT_NE(m, nullptr);
    const char *text = "message digest";
    for (std::size_t i = 0; i < std::strlen(text); ++i)
        entry<HTCB_MD4_UPDATE>()(m, reinterpret_cast<const unsigned char *>(text + i), 1);
    unsigned char digest[16];
    char hex[33];
    entry<HTCB_MD4_FINAL>()(digest, m);
    EXPECT_STREQ(entry<HTCB_MD4_TEXT>()(digest, hex), "d9130a8164549fe818874806e1c7014b");
}

TEST_F(HostTest, BodySourceServesPiecesThenTheEnd)
{
    orvhost::BodySource s;
    s.set("abcdefg", 3);
    std::size_t n = 100;
    const char *p = s.block(&n);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(std::string(p, n), "abc");
    n = 2;
    p = s.block(&n);
    EXPECT_EQ(std::string(p, n), "de");
    EXPECT_EQ(s.byte(), 'f');
    n = 100;
    p = s.block(&n);
    EXPECT_EQ(std::string(p, n), "g");
    n = 100;
    EXPECT_EQ(s.block(&n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s.byte(), -1);
    s.set("xy", 0); // pieces of at least one byte
    n = 100;
    p = s.block(&n);
    EXPECT_EQ(n, 1u);
}

TEST_F(HostTest, MemorySinkHasTheNineOperations)
{
    orvhost::MemorySink sink;
    HTStream *s = sink.stream();
    EXPECT_STREQ(s->isa->name, "MemorySink");
    s->isa->put_character(s, 'a');
    s->isa->put_string(s, "bc");
    EXPECT_EQ(s->isa->write(s, "de", 2), 0);
    int status = -1;
    s->isa->status(s, &status);
    s->isa->message(s, 2006, nullptr);
    s->isa->put_headers(s, nullptr);
    s->isa->abort(s, nullptr);
    s->isa->free(s, nullptr);
    EXPECT_EQ(sink.data, "abcde");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sink.messages, std::vector<int>{2006});
    EXPECT_EQ(sink.put_headers + sink.aborts + sink.frees + sink.statuses, 4);
    sink.fail_writes = true;
    EXPECT_LT(s->isa->write(s, "x", 1), 0);
}

TEST_F(HostTest, HeaderEditsByMode)
{
    Request q;
    q.proxy_headers = {{"A", "1", {}}, {"a", "2", {}}, {"B", "3", {}}};
    auto edit = entry<HTCB_PROXY_HEADER_EDIT>();
    EXPECT_EQ(edit(q.handle(), "A", "x", 2), 0u);
    EXPECT_EQ(q.proxy_headers.size(), 4u);
    EXPECT_EQ(edit(q.handle(), "A", "y", 0), 3u);
    EXPECT_EQ(q.proxy_headers.size(), 2u);
    EXPECT_EQ(edit(q.handle(), "B", "z", 1), 1u);
    EXPECT_EQ(q.proxy_headers[0].value, "z");
    EXPECT_EQ(edit(q.handle(), "A", "", 3), 1u);
    EXPECT_EQ(q.proxy_headers.size(), 1u);
    const char *line = entry<HTCB_REQUEST_HEADER>()(q.handle(), "none", 0);
    EXPECT_EQ(line, nullptr);
}

TEST_F(HostTest, CharsetParameterAndTrim)
{
    Request q;
    auto charset = entry<HTCB_CHARSET_PARAMETER>();
    EXPECT_STREQ(charset("level=1; CharSet=\"utf-8\" ; x=y", q.handle()), "utf-8");
    EXPECT_STREQ(charset("charset=latin1", q.handle()), "latin1");
    EXPECT_EQ(charset("level=1", q.handle()), nullptr);
    EXPECT_EQ(charset("charset", q.handle()), nullptr);
    char text[] = " \t value \r\n";
    EXPECT_STREQ(entry<HTCB_TRIM>()(text), "value");
}

TEST_F(HostTest, RequestMemoryFailsOnRequest)
{
    Request q;
    q.pool.allocations = 0;
    q.pool.fail_at = 2;
    auto alloc = entry<HTCB_POOL_ALLOC>();
    EXPECT_NE(alloc(10, q.handle()), nullptr);
    EXPECT_EQ(alloc(10, q.handle()), nullptr);
    EXPECT_EQ(alloc(10, q.handle()), nullptr);
    EXPECT_EQ(entry<HTCB_POOL_CALLOC>()(SIZE_MAX, 2, q.handle()), nullptr);
}

TEST_F(HostTest, EachThreadHasItsCurrentRequest)
{
    Request a, b;
    const pthread_key_t key = entry<HTCB_THREAD_KEY>()();
    std::thread t([&] {
        b.bind();
        EXPECT_EQ(pthread_getspecific(key), b.handle());
        Request::unbind();
    });
    a.bind();
    t.join();
    EXPECT_EQ(pthread_getspecific(key), a.handle());
    Request::unbind();
    EXPECT_EQ(pthread_getspecific(key), nullptr);
}
