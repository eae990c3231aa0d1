#include "HTTCP.h"

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

} // namespace
