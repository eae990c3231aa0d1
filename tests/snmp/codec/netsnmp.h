// Helpers for tests against net-snmp: a private temporary directory, child
// processes that are always stopped, loopback UDP sockets, and a private
// snmpd on a free port. Everything the peers write stays in the directory.
#ifndef TESTS_SNMP_CODEC_NETSNMP_H
#define TESTS_SNMP_CODEC_NETSNMP_H

#include "peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace netsnmp {

namespace fs = std::filesystem;

using peers::find_program;

struct TempDir : peers::TempDir {
    TempDir() : peers::TempDir("snmpcodec") {}
};

// A child process with its output in a file; stopped when it goes away.
// net-snmp reads and writes its configuration and state under the directory.
class Child : public peers::Child {
public:
    Child(const std::vector<std::string> &argv, const TempDir &dir, const std::string &out)
        : peers::Child(argv,
                       {"SNMP_PERSISTENT_DIR=" + dir.path.string(), "SNMPCONFPATH=" + dir.path.string(),
                        "HOME=" + dir.path.string(), "MIBS=", "MIBDIRS=/dev/null",
                        "PATH=/usr/sbin:/usr/bin:/sbin:/bin"},
                       dir, out)
    {
    }
};

// A UDP socket on 127.0.0.1 with a port of the system's choosing.
struct UdpSocket {
    int fd = -1;
    int port = 0;
    UdpSocket()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~UdpSocket()
    {
        if (fd >= 0)
            close(fd);
    }
    bool send_to(int to_port, const unsigned char *p, size_t n) const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(to_port));
        return sendto(fd, p, n, 0, reinterpret_cast<sockaddr *>(&a), sizeof a) == static_cast<ssize_t>(n);
    }
    // One datagram within `ms`, with its sender; empty on time-out.
    std::vector<unsigned char> receive(int ms, sockaddr_in *from = nullptr) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return {};
        std::vector<unsigned char> buf(65536);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&a), &len);
        if (from)
            *from = a;
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }
    bool reply(const sockaddr_in &to, const unsigned char *p, size_t n) const
    {
        return sendto(fd, p, n, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) == static_cast<ssize_t>(n);
    }
};

// A free UDP port on the loopback address (free when asked).
inline int free_udp_port()
{
    UdpSocket s;
    return s.port;
}

// A private snmpd on 127.0.0.1:<port>, without SMUX, with communities public
// (read) and private (write); `extra` is added to its configuration.
struct Agent {
    TempDir &dir;
    int port = free_udp_port();
    std::unique_ptr<Child> child;

    Agent(TempDir &d, const std::string &extra) : dir(d)
    {
        dir.write("snmpd.conf", "agentaddress udp:127.0.0.1:" + std::to_string(port) +
                                    "\nrocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n" +
                                    extra);
        child = std::make_unique<Child>(
            std::vector<std::string>{find_program("snmpd"), "-f", "-C", "-c", dir.file("snmpd.conf"),
                                     "-M", "/dev/null", "-m", "", "-Lf", dir.file("snmpd.log"), "-p",
                                     dir.file("snmpd.pid"), "-I", "-smux"},
            dir, "snmpd.out");
    }
    std::string log() const { return dir.read("snmpd.log") + dir.read("snmpd.out"); }
};

} // namespace netsnmp

#endif
