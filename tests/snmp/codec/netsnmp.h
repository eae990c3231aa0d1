// Helpers for tests against net-snmp: a private temporary directory, child
// processes that are always stopped, loopback UDP sockets, and a private
// snmpd on a free port. Everything the peers write stays in the directory.
#ifndef TESTS_SNMP_CODEC_NETSNMP_H
#define TESTS_SNMP_CODEC_NETSNMP_H

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

// Full path of a program found in PATH or the system directories; "" if none.
inline std::string find_program(const std::string &name)
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        const std::string p = dir + "/" + name;
        if (access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "snmpcodec-XXXXXX").string();
        if (mkdtemp(tmpl.data()))
            path = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(path, ec);
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(file(name)) << text;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(file(name));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

// A child process with its output in a file; stopped when it goes away.
class Child {
public:
    Child(const std::vector<std::string> &argv, const TempDir &dir, const std::string &out)
    {
        // net-snmp reads and writes its configuration and state under these.
        std::vector<std::string> env = {
            "SNMP_PERSISTENT_DIR=" + dir.path.string(), "SNMPCONFPATH=" + dir.path.string(),
            "HOME=" + dir.path.string(), "MIBS=", "MIBDIRS=/dev/null", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        std::vector<char *> args, envp;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (const auto &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        const std::string path = dir.file(out);
        posix_spawn_file_actions_addopen(&fa, 1, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }

    bool started() const { return pid_ > 0; }

    // Exit status once it ended within `seconds`, else -1 (still running).
    int wait(double seconds)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (pid_ > 0) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > until)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        if (wait(3) < 0 && pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
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
