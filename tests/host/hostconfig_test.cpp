#include "hostconfig.h"

#include "HTList.h"
#include "HTSocks.h"
#include "htc_start.h"
#include "htstab.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

TEST(HostConfig, EveryDirective)
{
    htc_test_start();
    peers::TempDir dir("hostcfg");
    dir.write("socks.conf", "sockd @=127.0.0.1 127.0.0.2 255.255.255.255\n");
    dir.write("host.conf", "# the stand-in host\n"
                           "LocalAddress 127.0.0.5\n"
                           "socksserver 127.0.0.1\n"
                           "FlexibleSocks on\n"
                           "SocksRules " + dir.file("socks.conf") + "\n"
                           "SocksUser \"tester one\"\n"
                           "UdpSendBuffer 65536\n"
                           "UdpReceiveBuffer 32768\n"
                           "SocketDebugging off\n"
                           "BlockHeader X-Internal\n"
                           "BlockHeader Server\n"
                           "ResponseTimeHeader X-Response-Time\n"
                           "FlushAfterHeaders yes\n"
                           "ErrorLog " + dir.file("error.log") + "\n"
                           "LocalAddress 300.1.1.1\n"
                           "NoSuchDirective 1\n"
                           "UdpSendBuffer many\n"
                           "FlexibleSocks maybe\n"
                           "SocksRules " + dir.file("missing.conf") + "\n"
                           "BlockHeader\n");
    HTStaticConfig c{};
    char error[HOSTCONF_ERROR_MAX];
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(hostconfig_load(dir.file("host.conf").c_str(), &c, error), 6);
    const std::string reports = ::testing::internal::GetCapturedStderr();
    // Every bad line is reported with its number; the first is also the error.
    EXPECT_EQ(std::string(error), dir.file("host.conf") + ":15: LocalAddress: not a dotted IPv4 address");
    for (const char *line : {":15: LocalAddress", ":16: unknown directive", ":17: UdpSendBuffer",
                             ":18: FlexibleSocks", ":19: SocksRules", ":20: BlockHeader"})
        EXPECT_NE(reports.find(line), std::string::npos) << line << "\n" << reports;
    EXPECT_EQ(c.local_address, htonl(0x7f000005));
    EXPECT_EQ(c.socks_old_style, 1u);
    EXPECT_EQ(c.socks_server, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(c.flexible_socks, 1u);
    EXPECT_EQ(HTList_count(c.socks_rules), 1);
    EXPECT_STREQ(c.socks_user, "tester one");
    EXPECT_EQ(c.udp_send_buffer, 65536);
    EXPECT_EQ(c.udp_receive_buffer, 32768);
    EXPECT_EQ(c.socket_debugging, 0u);
    EXPECT_EQ(HTList_count(c.blocked_headers), 2);
    EXPECT_EQ(c.response_time_header, 1u);
    EXPECT_STREQ(c.response_time_name, "X-Response-Time");
    EXPECT_EQ(c.flush_after_headers, 1u);
    EXPECT_EQ(HTSocketTable_debugging(), 0);
    hostconfig_free(&c);
    EXPECT_EQ(c.socks_rules, nullptr);
    EXPECT_EQ(c.blocked_headers, nullptr);
    EXPECT_EQ(hostconfig_load(dir.file("absent.conf").c_str(), &c, nullptr), -1);
    hostconfig_free(&c);

    // The proxy-selection directives come with the same file.
    dir.write("proxy.conf", "http_proxy http://cache.example.net:3128/\nFlexibleSocks off\n");
    HTStaticConfig p{};
    EXPECT_EQ(hostconfig_load(dir.file("proxy.conf").c_str(), &p, nullptr), 0);
    ASSERT_NE(p.http_proxy, nullptr);
    EXPECT_STREQ(p.http_proxy, "http://cache.example.net:3128/");
    hostconfig_free(&p);
    EXPECT_EQ(p.http_proxy, nullptr);
}

} // namespace
