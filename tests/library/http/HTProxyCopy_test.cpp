// The answer framing: where an answer ends and whether its connection may
// carry another request, whatever the cuts of the bytes.

#include "HTProxyCopy.h"
#include "HTStreamStack.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

struct Fed {
    size_t used = 0;     // bytes that belong to the answer
    bool complete = false;
    bool reusable = false;
    int interims = 0;
};

// Feeds the bytes in pieces of the given sizes (cycled), then the close when
// `close`. With `stop`, feeding pauses where the final head ends (the
// caller goes on with the rest of the piece); `head_end` is where it did.
Fed feed(const std::string &bytes, bool head, bool close, const std::vector<size_t> &cuts, bool stop = false,
         size_t *head_end = nullptr)
{
    HTProxyFrame f;
    HTProxyFrame_init(&f, head);
    f.stop_at_head = stop;
    Fed r;
    size_t at = 0, k = 0;
    while (at < bytes.size()) {
        const size_t n = std::min(cuts[k++ % cuts.size()], bytes.size() - at);
        size_t off = 0;
        while (off < n) {
            int interim = 0;
            const int before = f.state;
            const size_t u = HTProxyFrame_feed(&f, bytes.data() + at + off, n - off, &interim);
            off += u;
            r.used += u;
            r.interims += interim;
            if (stop && before == HT_FRAME_HEAD && f.state != HT_FRAME_HEAD && head_end != nullptr)
                *head_end = r.used;
            if (!interim && !(stop && before == HT_FRAME_HEAD && f.state != HT_FRAME_HEAD && u > 0))
                break;
        }
        at += n;
        if (off < n)
            break;
    }
    r.complete = f.state == HT_FRAME_DONE;
    if (close && !r.complete)
        r.complete = HTProxyFrame_closed(&f) != 0;
    r.reusable = HTProxyFrame_reusable(&f) != 0;
    return r;
}

struct Case {
    const char *name;
    std::string bytes;
    bool head_request;
    bool close_after;   // the server closes after the bytes
    size_t used;        // npos: all of them
    bool complete;
    bool reusable;
};

const size_t kAll = std::string::npos;

std::vector<Case> cases()
{
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    return {
        {"length", ok, false, false, kAll, true, true},
        {"length then extra", ok + "EXTRA", false, false, ok.size(), true, true},
        {"length zero", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, false, kAll, true, true},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2;x=y\r\nok\r\nA\r\n0123456789\r\n0\r\n\r\n",
         false, false, kAll, true, true},
        {"chunked trailer", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n1\r\na\r\n0\r\nX-A: 1\r\nX-B: 2\r\n\r\n",
         false, false, kAll, true, true},
        {"chunked bare LF", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n1\na\n0\n\n", false, false, kAll, true, true},
        {"no body for HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", true, false, kAll, true, true},
        {"no body for 204", "HTTP/1.1 204 No Content\r\n\r\n", false, false, kAll, true, true},
        {"no body for 304", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", false, false, kAll, true, true},
        {"interim then final", "HTTP/1.1 100 Continue\r\n\r\n" + ok, false, false, kAll, true, true},
        {"until close", "HTTP/1.1 200 OK\r\n\r\nanything", false, true, kAll, true, false},
        {"until close, not closed", "HTTP/1.1 200 OK\r\n\r\nanything", false, false, kAll, false, false},
        {"HTTP/0.9", "<html>hi</html>", false, true, kAll, true, false},
        {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, false, kAll, true, false},
        {"HTTP/1.0 with keep-alive", "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok", false,
         false, kAll, true, true},
        {"connection close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", false, false, kAll,
         true, false},
        {"both framings", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
         false, false, kAll, true, false},
        {"differing lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", false, true, kAll,
         true, false},
        {"same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok", false, false, kAll,
         true, true},
        {"truncated", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", false, true, kAll, false, false},
        {"non-hex chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\ng\r\n", false, false, 47, false,
         false},
        {"chunk size over 2^31", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000000\r\n", false, false, 54,
         false, false},
        {"chunk longer than declared", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n0\r\n\r\n", false,
         false, 51, false, false},
        {"missing CR LF after chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nax0\r\n\r\n", false,
         false, 51, false, false},
        {"unknown coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nokmore", false, true,
         kAll, true, false},
        {"switching protocols", "HTTP/1.1 101 Switching\r\nUpgrade: x\r\n\r\nraw", false, true, kAll, true, false},
    };
}

TEST(HTProxyFrame, EndsAndReuseWhateverTheCuts)
{
    std::mt19937 rng(16);
    for (const Case &c : cases()) {
        const size_t used = c.used == kAll ? c.bytes.size() : c.used;
        std::vector<std::vector<size_t>> cutsList = {{c.bytes.size() + 1}, {1}, {2, 3}, {7}};
        for (int i = 0; i < 20; ++i)
            cutsList.push_back({std::uniform_int_distribution<size_t>(1, 16)(rng),
                                std::uniform_int_distribution<size_t>(1, 64)(rng)});
        for (const auto &cuts : cutsList) {
            const Fed r = feed(c.bytes, c.head_request, c.close_after, cuts);
            EXPECT_EQ(r.used, used) << c.name << " cut " << cuts[0];
            EXPECT_EQ(r.complete, c.complete) << c.name << " cut " << cuts[0];
            EXPECT_EQ(r.reusable, c.reusable) << c.name << " cut " << cuts[0];
        }
    }
}

TEST(HTProxyFrame, PausingWhereTheHeadEndsChangesNoEnd)
{
    for (const Case &c : cases()) {
        const size_t used = c.used == kAll ? c.bytes.size() : c.used;
        for (const std::vector<size_t> &cuts : std::vector<std::vector<size_t>>{{c.bytes.size() + 1}, {1}, {2, 3}, {7}}) {
            size_t headEnd = std::string::npos;
            const Fed r = feed(c.bytes, c.head_request, c.close_after, cuts, true, &headEnd);
            EXPECT_EQ(r.used, used) << c.name << " cut " << cuts[0];
            EXPECT_EQ(r.complete, c.complete) << c.name << " cut " << cuts[0];
            EXPECT_EQ(r.reusable, c.reusable) << c.name << " cut " << cuts[0];
            // A head with a status line pauses the feed just behind its blank line.
            if (c.bytes.rfind("HTTP/", 0) == 0 && headEnd != std::string::npos) {
                EXPECT_EQ(c.bytes[headEnd - 1], '\n') << c.name << " cut " << cuts[0];
                const std::string head = c.bytes.substr(0, headEnd);
                EXPECT_TRUE(head.size() >= 2 && (head.compare(head.size() - 2, 2, "\n\n") == 0 ||
                                                 (head.size() >= 3 && head.compare(head.size() - 3, 3, "\n\r\n") == 0)))
                    << c.name << " cut " << cuts[0] << ": " << head;
            }
        }
    }
}

TEST(HTProxyFrame, HugeHeadsOverrunTheBound)
{
    for (const std::string &head : {"HTTP/1.1 200 OK\r\nX: " + std::string(100 * 1024, 'a') + "\r\n\r\n",
                                    [] {
                                        std::string h = "HTTP/1.1 200 OK\r\n";
                                        for (int i = 0; i < 5000; ++i)
                                            h += "X-Line-" + std::to_string(i) + ": v\r\n";
                                        return h + "\r\n";
                                    }()}) {
        HTProxyFrame f;
        HTProxyFrame_init(&f, 0);
        size_t used = 0;
        for (size_t at = 0; at < head.size(); at += 1000) {
            const size_t n = std::min<size_t>(1000, head.size() - at);
            const size_t u = HTProxyFrame_feed(&f, head.data() + at, n, nullptr);
            used += u;
            if (u < n)
                break;
        }
        EXPECT_EQ(f.state, HT_FRAME_ERROR);
        EXPECT_EQ(f.head_overrun, 1);
        EXPECT_LE(used, static_cast<size_t>(HT_STACK_HEAD_MAX));
        EXPECT_EQ(HTProxyFrame_reusable(&f), 0);
    }
}

} // namespace
