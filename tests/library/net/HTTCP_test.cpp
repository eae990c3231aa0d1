#include "HTTCP.h"

#include "HTDNSCache.h"
#include "HTGlobals.h"
#include "htc_oom.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string inet_text(const char *dotted)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &a.sin_addr);
    char buf[HT_INET_STRING_SIZE];
    return HTInetString(&a, buf);
}

TEST(HTTCP, InetString)
{
    EXPECT_EQ(inet_text("10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(inet_text("192.168.100.7"), "192.168.100.7");
    EXPECT_EQ(inet_text("0.0.0.0"), "0.0.0.0");
    EXPECT_EQ(inet_text("255.255.255.255"), "255.255.255.255");
    EXPECT_EQ(inet_text("1.20.105.200"), "1.20.105.200");
}

TEST(HTTCP, InetStatusReturnsNegatedErrno)
{
    errno = ECONNREFUSED;
    EXPECT_EQ(HTInetStatus("connect"), -ECONNREFUSED);
}

TEST(HTTCP, ReverseLookupOfLoopback)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char *name = HTGetHostName(&a);
    // /etc/hosts names 127.0.0.1 on every system we run on.
    ASSERT_NE(name, nullptr);
    EXPECT_GT(std::strlen(name), 0u);
    std::free(name);
    EXPECT_EQ(HTGetHostName(nullptr), nullptr);
}

TEST(HTTCP, HostAndDomainNames)
{
    HTSetHostName("www.example.org");
    EXPECT_STREQ(HTHostName(), "www.example.org");
    EXPECT_STREQ(HTDomainName(), ".example.org");
    HTSetHostName("proxy");
    const std::string name = HTHostName();
    EXPECT_EQ(name.rfind("proxy", 0), 0u);
    EXPECT_STREQ(HTDomainName(), name.find('.') == std::string::npos ? "" : name.c_str() + 5);
    HTUnSetHostName();
    char sys[256] = {};
    gethostname(sys, sizeof sys - 1);
    ASSERT_NE(HTHostName(), nullptr);
    EXPECT_EQ(std::string(HTHostName()).rfind(sys, 0), 0u);
}

TEST(HTTCP, ServerAddressList)
{
    EXPECT_EQ(checkServerIPList("203.0.113.9", 0), 0);
    ServerIPListAdd("203.0.113.9", 0);
    EXPECT_EQ(checkServerIPList("203.0.113.9", 0), 1);
    EXPECT_EQ(checkServerIPList("203.0.113.90", 0), 0);
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    EXPECT_GE(InitIPAddresses(s), 1); // at least the loopback interface
    close(s);
    EXPECT_EQ(checkServerIPList("127.0.0.1", 0), 1);
    EXPECT_EQ(checkServerIPList("0.0.0.0", 0), 1);
}

struct Parsed {
    int result;
    std::string address;
    int port;
};

Parsed parse_inet(const char *text, uint16_t old_port = 1)
{
    struct sockaddr_in a = {};
    a.sin_port = htons(old_port);
    const std::string before = text;
    const int r = HTParseInet(&a, text, nullptr);
    EXPECT_EQ(before, text); // the caller's text is left alone
    char buf[HT_INET_STRING_SIZE];
    return {r, HTInetString(&a, buf), ntohs(a.sin_port)};
}

TEST(HTTCP, ParseInetNumeric)
{
    Parsed p = parse_inet("127.0.0.1:8080");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.address, "127.0.0.1");
    EXPECT_EQ(p.port, 8080);
    p = parse_inet("10.1.2.3", 99);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.port, 99);
    EXPECT_EQ(parse_inet("10.1.2.3:x", 99).port, 99); // no digit after ":": port kept
    EXPECT_EQ(parse_inet("255.255.255.255").address, "255.255.255.255");
    // A bad address is refused, not taken as 255.255.255.255; so is a port above 65535.
    EXPECT_EQ(parse_inet("1.2.3.4.5").result, -1);
    EXPECT_EQ(parse_inet("300.1.1.1").result, -1);
    EXPECT_EQ(parse_inet("127.0.0.1:65536").result, -1);
    EXPECT_EQ(parse_inet("127.0.0.1:65535").port, 65535);
    EXPECT_EQ(parse_inet("127.0.0.1:99999999999999999999").result, -1);
    EXPECT_EQ(parse_inet(":80").result, -1);
    EXPECT_EQ(parse_inet("").result, -1);
}

TEST(HTTCP, ParseInetNameThroughResolverAndCache)
{
    HTDNSCache_init();
    HTDNSCache_purge();
    Parsed p = parse_inet("localhost:81");
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.address.rfind("127.", 0), 0u);
    EXPECT_EQ(p.port, 81);
    uint32_t cached = 0;
    EXPECT_EQ(HTDNSCache_lookup("localhost", &cached), 1);
    // A cached name is answered from the cache.
    const uint32_t fake = htonl(0x7f000063);
    HTDNSCache_purge();
    HTDNSCache_add("localhost", &fake, nullptr);
    EXPECT_EQ(parse_inet("localhost").address, "127.0.0.99");
    HTDNSCache_purge();
    EXPECT_EQ(parse_inet("no-such-host.invalid").result, -1);
}

TEST(HTTCP, ResolverTimeIsStoredInTheContext)
{
    HTDNSCache_init();
    HTDNSCache_purge();
    HTThdGlobals context{};
    context.session = &context.session_part;
    context.dns_lookup_usec = -1;
    sockaddr_in a{};
    ASSERT_EQ(HTParseInet(&a, "localhost", &context), 0);
    EXPECT_GE(context.dns_lookup_usec, 0); // the resolver was asked and timed
    // Answered by the cache, or a literal address: no resolver call to time.
    context.dns_lookup_usec = -1;
    ASSERT_EQ(HTParseInet(&a, "localhost", &context), 0);
    ASSERT_EQ(HTParseInet(&a, "10.1.2.3:80", &context), 0);
    EXPECT_EQ(context.dns_lookup_usec, -1);
    // A failed lookup is timed too.
    EXPECT_EQ(HTParseInet(&a, "no-such-host.invalid", &context), -1);
    EXPECT_GE(context.dns_lookup_usec, 0);
}

TEST(HTTCP, AddressesOfTheServedConnection)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    ASSERT_NE(ctx, nullptr);
    // No socket: port 0 and empty texts.
    EXPECT_EQ(ClientPort(ctx), 0);
    EXPECT_STREQ(FetchHTClientHost(ctx), "");
    EXPECT_STREQ(FetchHTServerAddr(ctx), "");

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const int served = accept(listener, nullptr, nullptr);
    ASSERT_GE(served, 0);
    struct sockaddr_in local = {};
    len = sizeof local;
    getsockname(client, reinterpret_cast<sockaddr *>(&local), &len);

    ctx->session->client_socket = served;
    EXPECT_EQ(ClientPort(ctx), ntohs(local.sin_port));
    EXPECT_STREQ(FetchHTClientHost(ctx), "127.0.0.1");
    EXPECT_STREQ(FetchHTServerAddr(ctx), "127.0.0.1");
    // Kept: the answers stay when the socket is gone.
    close(served);
    EXPECT_EQ(ClientPort(ctx), ntohs(local.sin_port));
    EXPECT_STREQ(FetchHTClientHost(ctx), "127.0.0.1");
    ctx->session->client_socket = -1;
    close(client);
    close(listener);
    HTEndThd(HT_THREAD_WORKER, ctx);
}

TEST(HTTCP, ClientNameIsWaitedForOnceAndKept)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    ASSERT_NE(ctx, nullptr);
    // Nothing started: null at once.
    EXPECT_EQ(FetchClientHostName(ctx), nullptr);

    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(HTClientName_start(ctx, &a), 0);
    EXPECT_EQ(HTClientName_start(ctx, &a), 1);
    const char *name = FetchClientHostName(ctx);
    // The loopback address has a name in every hosts file we run on; what
    // matters is that the second call gives the same answer without waiting
    // on the auto-reset event a second time (it used to hang here).
    const char *again = FetchClientHostName(ctx);
    EXPECT_EQ(again, name);
    if (name != nullptr) {
        EXPECT_STRNE(name, "");
    }

    // A new session forgets the answer; a lookup can start again.
    HTClientName_forget(ctx);
    EXPECT_EQ(FetchClientHostName(ctx), nullptr);
    ASSERT_EQ(HTClientName_start(ctx, &a), 0);
    // Ending the thread's globals while the lookup may still run waits for it.
    HTEndThd(HT_THREAD_WORKER, ctx);
}

// Every allocation of the names and the server address list, failed in
// turn: a call either takes effect whole or goes to out_of_memory with
// nothing changed (or, for the lookups that answer null, gives null), and
// the locks are free afterwards.
TEST(HTTCP, RunningOutOfMemoryChangesNothingHalf)
{
    HTSetHostName("before.example.org");
    htc_each_failure([] { HTSetHostName("oom.example.net"); },
                     [](const HtcOomRound &r) {
                         const char *want = r.raised ? "before.example.org" : "oom.example.net";
                         EXPECT_STREQ(HTHostName(), want) << "round " << r.n;
                         EXPECT_STREQ(HTDomainName(), std::strchr(want, '.'));
                     });

    HTUnSetHostName();
    const char *volatile found = nullptr;
    htc_each_failure([&] { found = HTHostName(); },
                     [&](const HtcOomRound &r) {
                         EXPECT_FALSE(r.raised);
                         if (found == nullptr) {
                             EXPECT_TRUE(r.failed);
                         }
                         // Both names or neither: the domain agrees with the host.
                         const char *host = HTHostName();
                         ASSERT_NE(host, nullptr);
                         const char *dot = std::strchr(host, '.');
                         EXPECT_STREQ(HTDomainName(), dot ? dot : "");
                         HTUnSetHostName();
                     });

    htc_each_failure([] { ServerIPListAdd("198.51.100.7", 0); },
                     [](const HtcOomRound &r) {
                         EXPECT_EQ(checkServerIPList("198.51.100.7", 0), r.raised ? 0 : 1);
                     });

    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    volatile int added = -2;
    htc_each_failure([&] { added = InitIPAddresses(s); },
                     [&](const HtcOomRound &r) {
                         if (!r.raised) {
                             EXPECT_GE(added, 1);
                             EXPECT_EQ(checkServerIPList("0.0.0.0", 0), 1);
                         }
                     });
    close(s);

    struct sockaddr_in lo = {};
    lo.sin_family = AF_INET;
    lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char *volatile name = nullptr;
    htc_each_failure([&] { name = HTGetHostName(&lo); },
                     [&](const HtcOomRound &r) {
                         EXPECT_FALSE(r.raised);
                         if (name == nullptr) {
                             EXPECT_TRUE(r.failed);
                         }
                         HTAlloc_free(name);
                     });
}

} // namespace
