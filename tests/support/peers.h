// Real peers for the network tests: a private temporary directory, child
// processes stopped by pid in every case, loopback ports and sockets.
// Everything a peer writes stays in the directory.
#ifndef TESTS_SUPPORT_PEERS_H
#define TESTS_SUPPORT_PEERS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace peers {

namespace fs = std::filesystem;

// Full path of a program in PATH or the system directories; "" if none.
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
    explicit TempDir(const char *tag = "htnet")
    {
        std::string tmpl = (fs::temp_directory_path() / (std::string(tag) + "-XXXXXX")).string();
        if (mkdtemp(tmpl.data()))
            path = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return (path / name).string(); }
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(file(name), std::ios::binary) << text;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(file(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

// A child process with standard output and error in a file of the
// directory; stopped (SIGTERM, then SIGKILL) when it goes away.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &env, const TempDir &dir,
          const std::string &out)
    {
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
    pid_t pid() const { return pid_; }

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

inline sockaddr_in address(const char *ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A listening TCP socket on the address (port 0: the system's choice); -1 on failure.
inline int listen_on(const char *ip, int port, int *bound_port = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = address(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, SOMAXCONN) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    if (bound_port)
        *bound_port = ntohs(a.sin_port);
    return fd;
}

// A port that was free on the address a moment ago.
inline int free_port(const char *ip)
{
    int port = 0;
    const int fd = listen_on(ip, 0, &port);
    if (fd >= 0)
        close(fd);
    return port;
}

// Waits until something accepts connections on ip:port.
inline bool wait_listening(const char *ip, int port, double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = address(ip, port);
        const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A connected loopback TCP pair: `client` connected to `server` (accepted).
struct TcpPair {
    int client = -1;
    int server = -1;
    TcpPair()
    {
        int port = 0;
        const int l = listen_on("127.0.0.1", 0, &port);
        if (l < 0)
            return;
        client = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = address("127.0.0.1", port);
        if (connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            server = accept(l, nullptr, nullptr);
        close(l);
    }
    ~TcpPair()
    {
        if (client >= 0)
            close(client);
        if (server >= 0)
            close(server);
    }
    TcpPair(const TcpPair &) = delete;
    TcpPair &operator=(const TcpPair &) = delete;
};

} // namespace peers

#endif
