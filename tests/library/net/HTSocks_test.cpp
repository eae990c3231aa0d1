#include "HTSocks.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rules {
    HTStaticConfig config{};
    explicit Rules(const std::string &text)
    {
        htc_test_start();
        Socks_init(&config);
        FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        Socks_loadConfiguration(f, &config);
        std::fclose(f);
    }
    ~Rules() { Socks_free(&config); }

    int decide(const char *ip, int port, std::vector<std::string> *servers = nullptr) const
    {
        sockaddr_in d{};
        d.sin_family = AF_INET;
        d.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip, &d.sin_addr);
        HTList *list = nullptr;
        const int r = check_cconf(&d, &list, &config);
        if (servers != nullptr) {
            servers->clear();
            HTList *cursor = list;
            while (void *o = HTList_nextObjectF(&cursor)) {
                const auto *a = static_cast<const sockaddr_in *>(o);
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
                servers->push_back(std::string(text) + ":" + std::to_string(ntohs(a->sin_port)));
            }
        }
        return r;
    }
};

const char *const every_kind =
    "# comment line\n"
    "\n"
    "direct 10.0.0.0 255.0.0.0\n"
    "deny 192.168.7.0 255.255.255.0\n"
    "sockd @=127.0.0.9,300.1.1.1,127.0.0.10:1090 192.168.0.0 255.255.0.0 eq 80\n"
    "Sock-D@=127.0.0.11 192.168.0.0 255.255.0.0 EQ http\n"
    "sockd @=127.0.0.12 *=alice,bob 192.168.0.0 255.255.0.0 lt 25\n"
    "sockd @=127.0.0.13 192.168.0.0 255.255.0.0 gt 60000\n"
    "sockd @=127.0.0.14 192.168.0.0 255.255.0.0 le 100\n"
    "sockd @=127.0.0.15 192.168.0.0 255.255.0.0 ge 8000\n"
    "sockd @=127.0.0.16 192.168.0.0 255.255.0.0 neq 443\n"
    "direct 172.16.0.0 255.240.0.0 sometimes 443\n"
    "bogus 1.2.3.4 255.255.255.255\n"
    "direct 1.1.1.1\n"
    "direct 1.2.3.4.5 255.255.255.255\n"
    "sockd 11.0.0.0 255.0.0.0\n"
    "sockd @=300.300.300.300 11.0.0.0 255.0.0.0\n"
    "deny 12.0.0.0 255.0.0.0 eq 70000\n"
    "deny 12.0.0.0 255.0.0.0 eq no-such-service-here\n"
    "deny 12.0.0.0 255.0.0.0 eq\n"
    "deny 12.0.0.0 255.0.0.0 # eq 80\n"
    "direct 13.0.0.0 255.0.0.0 eq 99999999999999999999999\n"
    "deny 0.0.0.0 0.0.0.0\n";

TEST(HTSocks, RuleFileWithEveryLineKind)
{
    Rules r(every_kind);
    EXPECT_EQ(HTList_count(r.config.socks_rules), 12);
    struct Case {
        const char *ip;
        int port;
        int type;
        const char *first_server;
    } cases[] = {
        {"10.1.2.3", 80, HT_SOCKS_DIRECT, nullptr},
        {"192.168.7.20", 80, HT_SOCKS_DENY, nullptr},
        {"192.168.1.1", 80, HT_SOCKS_SOCKD, "127.0.0.9:1080"},
        {"192.168.1.1", 24, HT_SOCKS_SOCKD, "127.0.0.12:1080"},
        {"192.168.1.1", 60001, HT_SOCKS_SOCKD, "127.0.0.13:1080"},
        {"192.168.1.1", 100, HT_SOCKS_SOCKD, "127.0.0.14:1080"},
        {"192.168.1.1", 8000, HT_SOCKS_SOCKD, "127.0.0.15:1080"},
        {"192.168.1.1", 444, HT_SOCKS_SOCKD, "127.0.0.16:1080"},
        {"192.168.1.1", 443, HT_SOCKS_DENY, nullptr},   // neq fails; the final deny
        {"172.20.0.1", 1, HT_SOCKS_DIRECT, nullptr},    // unknown operator: every port
        {"11.1.1.1", 80, HT_SOCKS_DENY, nullptr},       // sockd lines without servers dropped
        {"12.1.1.1", 80, HT_SOCKS_DENY, nullptr},       // the comment ends the line: no operator
        {"13.1.1.1", 80, HT_SOCKS_DENY, nullptr},       // port overflow drops the line
        {"1.1.1.1", 80, HT_SOCKS_DENY, nullptr},        // no mask: dropped
        {"127.0.0.1", 80, HT_SOCKS_DIRECT, nullptr},    // always direct
        {"255.255.255.255", 80, HT_SOCKS_DIRECT, nullptr},
        {"0.0.0.0", 80, HT_SOCKS_DIRECT, nullptr},
        {"8.8.8.8", 53, HT_SOCKS_DENY, nullptr},
    };
    for (const Case &c : cases) {
        std::vector<std::string> servers;
        EXPECT_EQ(r.decide(c.ip, c.port, &servers), c.type) << c.ip << ":" << c.port;
        if (c.first_server != nullptr) {
            ASSERT_FALSE(servers.empty()) << c.ip;
            EXPECT_EQ(servers[0], c.first_server) << c.ip << ":" << c.port;
        }
    }
    std::vector<std::string> servers;
    r.decide("192.168.9.9", 80, &servers);
    EXPECT_EQ(servers, (std::vector<std::string>{"127.0.0.9:1080", "127.0.0.10:1090"}));
}

TEST(HTSocks, SecondSockdFormKeepsTheServerText)
{
    // "Sock-D@=..." counts as sockd; only its type word is standardised.
    Rules r("Sock-D@=127.0.0.11 192.168.0.0 255.255.0.0 EQ http\n");
    std::vector<std::string> servers;
    EXPECT_EQ(r.decide("192.168.3.3", 80, &servers), HT_SOCKS_SOCKD);
    EXPECT_EQ(servers, (std::vector<std::string>{"127.0.0.11:1080"}));
    EXPECT_EQ(r.decide("192.168.3.3", 81), HT_SOCKS_DIRECT);
}

TEST(HTSocks, CommentsOnlyMeansDirect)
{
    Rules r("# nothing\n#\n\n");
    ASSERT_NE(r.config.socks_rules, nullptr);
    EXPECT_EQ(HTList_count(r.config.socks_rules), 0);
    EXPECT_EQ(r.decide("10.0.0.1", 80), HT_SOCKS_DIRECT);
    HTStaticConfig none{};
    sockaddr_in d{};
    d.sin_addr.s_addr = htonl(0x0a000001);
    EXPECT_EQ(check_cconf(&d, nullptr, &none), HT_SOCKS_DIRECT);
}

TEST(HTSocks, OverlongLineIsSkippedWhole)
{
    // Its tail, from character 1024 on, would be a rule of its own if it were read as a line.
    std::string line = "deny";
    line.append(HT_SOCKS_LINE_MAX - line.size(), ' ');
    line += "direct 10.1.0.0 255.255.0.0\n";
    Rules r(line + "deny 0.0.0.0 0.0.0.0\n");
    EXPECT_EQ(HTList_count(r.config.socks_rules), 1);
    EXPECT_EQ(r.decide("10.1.2.3", 80), HT_SOCKS_DENY);

    std::string fits = "direct 10.1.0.0 255.255.0.0";
    fits.append(HT_SOCKS_LINE_MAX - fits.size(), ' ');
    Rules r2(fits + "\ndeny 0.0.0.0 0.0.0.0\n");
    EXPECT_EQ(r2.decide("10.1.2.3", 80), HT_SOCKS_DIRECT);
}

TEST(HTSocks, ManyWordsAndFinalBackslash)
{
    std::string many = "direct 10.2.0.0 255.255.0.0 eq 80";
    for (int i = 0; i < 60; ++i)
        many += " w";
    Rules r(many + "\ndeny 10.3.0.0 255.255.0.0 eq 81 \\");
    EXPECT_EQ(r.decide("10.2.0.1", 80), HT_SOCKS_DIRECT);
    EXPECT_EQ(r.decide("10.3.0.1", 81), HT_SOCKS_DENY);
}

TEST(HTSocks, GetPort)
{
    struct {
        const char *word;
        int port;
    } cases[] = {{"0", 0}, {"80", 80}, {"65535", 65535}, {"65536", -1}, {"4294967377", -1},
                 {"99999999999999999999", -1}, {"http", 80}, {"no-such-service-x", -1}, {"", -1},
                 {"8o", -1}};
    for (const auto &c : cases)
        EXPECT_EQ(GetPort(c.word), c.port) << c.word;
    EXPECT_EQ(GetPort(nullptr), -1);
}

TEST(HTSocks, ParseServerList)
{
    HTList *l = HTSocks_parseServerList("127.0.0.1,,1.2.3.4.5,10.0.0.2:99");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(HTList_count(l), 2);
    HTSocksList_deleteAndFreeContents(l);
    EXPECT_EQ(HTSocks_parseServerList("300.0.0.1"), nullptr);
    EXPECT_EQ(HTSocks_parseServerList(nullptr), nullptr);
}

TEST(HTSocks, OldStyleServer)
{
    HTStaticConfig c{};
    Socks_init(&c);
    EXPECT_STREQ(c.socks_user, "vly");
    Socks_setServer("0.0.0.0", &c);
    EXPECT_EQ(c.socks_old_style, 0u);
    Socks_setServer("255.255.255.255", &c);
    EXPECT_EQ(c.socks_old_style, 0u);
    Socks_setServer("127.0.0.1", &c);
    EXPECT_EQ(c.socks_old_style, 1u);
    EXPECT_EQ(c.socks_server, htonl(INADDR_LOOPBACK));
    Socks_free(&c);
    EXPECT_EQ(c.socks_user, nullptr);
}

// Every allocation of a load fails in turn: each time the load leaves
// through out_of_memory or completes, and the rules it leaves behind are
// released cleanly (LeakSanitizer checks that nothing was lost).
TEST(HTSocks, LoadSurvivesEveryAllocationFailure)
{
    htc_test_start();
    const std::string text = every_kind;
    for (unsigned long n = 1; n < 200; ++n) {
        HTStaticConfig c{};
        Socks_init(&c);
        FILE *volatile f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        HTExceptFrame frame;
        volatile bool failed = false;
        HTExcept_push(&frame, nullptr);
        if (setjmp(frame.env) == 0) {
            HTAlloc_failAt(n, 0);
            Socks_loadConfiguration(f, &c);
            HTExcept_pop(&frame, nullptr);
        } else {
            failed = true;
        }
        const bool hit = HTAlloc_failed();
        HTAlloc_failAt(0, 0);
        std::fclose(f);
        const int rules = HTList_count(c.socks_rules);
        Socks_free(&c);
        if (!hit) {
            EXPECT_FALSE(failed);
            EXPECT_EQ(rules, 12);
            return;
        }
        EXPECT_TRUE(failed) << "allocation " << n << " failed without a report";
    }
    FAIL() << "the load kept failing";
}

} // namespace
