// Real web servers and proxies for the tests: each starts from a private
// configuration in a temporary directory on a free loopback port, is
// stopped by its pid when the Peer goes (also when a test fails), and is
// talked to over raw sockets.
#ifndef PEERS_HPP
#define PEERS_HPP

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace peers {

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/htpeers.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) {
            path_ = tmpl;
            // Peers that drop root (squid's proxy user) must reach their files.
            chmod(path_.c_str(), 0755);
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name, const std::string &content, mode_t mode = 0644) const
    {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        chmod(p.c_str(), mode);
        return p;
    }
    std::string dir(const std::string &name, mode_t mode = 0777) const
    {
        const std::string p = path_ + "/" + name;
        mkdir(p.c_str(), mode);
        chmod(p.c_str(), mode);
        return p;
    }

private:
    std::string path_;
};

inline bool installed(const char *program) { return access(program, X_OK) == 0; }

// A port of the loopback address nothing listens on at the moment of asking.
inline int free_port(const char *address = "127.0.0.1")
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    socklen_t n = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// A socket listening on a loopback port of its own that never accepts (a
// port someone else holds, a server that never answers); -1 on failure.
inline int listening_socket(int *port, int backlog = 8)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) != 0) {
        if (s >= 0)
            close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

inline int connect_to(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return s;
}

// A program started in the background, stopped by its pid.
class Peer {
public:
    Peer(std::vector<std::string> argv, const std::string &log, int port) : port_(port)
    {
        // Everything the child needs is made before the fork: it only opens, dups and execs.
        std::vector<char *> args;
        for (std::string &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            const int null = open("/dev/null", O_RDONLY);
            if (null >= 0)
                dup2(null, 0);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Peer() { stop(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Waits until the port accepts a connection, or the program has gone.
    bool ready(std::chrono::seconds limit = std::chrono::seconds(20))
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            const int s = connect_to(port_);
            if (s >= 0) {
                close(s);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // SIGTERM, then its exit status once it has gone (-1: killed after 20 s, or not running).
    int terminate()
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 400; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
        return -1;
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_;
};

inline std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The value of a header in a raw head, or none.
inline std::optional<std::string> header(const std::string &head, const std::string &name)
{
    const std::string h = lower(head);
    const size_t at = h.find("\r\n" + lower(name) + ":");
    if (at == std::string::npos)
        return std::nullopt;
    size_t v = at + 3 + name.size();
    while (v < head.size() && head[v] == ' ')
        ++v;
    return head.substr(v, head.find("\r\n", v) - v);
}

// True when a chunked body starting at `at` is complete in `bytes`.
inline bool chunked_complete(const std::string &bytes, size_t at)
{
    for (;;) {
        const size_t eol = bytes.find("\r\n", at);
        if (eol == std::string::npos)
            return false;
        const unsigned long size = std::strtoul(bytes.substr(at, eol - at).c_str(), nullptr, 16);
        if (size == 0)
            return bytes.find("\r\n", eol + 2) != std::string::npos; // the trailer's blank line
        at = eol + 2 + size + 2;
        if (at > bytes.size())
            return false;
    }
}

// Sends the request and reads one whole response: its head, then a body
// by Content-Length or chunking, none for HEAD, 204 and 304, else to EOF.
inline std::string exchange(int port, const std::string &request)
{
    const int s = connect_to(port);
    if (s < 0)
        return {};
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        close(s);
        return {};
    }
    std::string in;
    char buf[4096];
    for (;;) {
        const size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos) {
            const std::string head = in.substr(0, end + 2);
            const size_t body = end + 4;
            const int code = std::atoi(head.c_str() + 9);
            if (request.rfind("HEAD ", 0) == 0 || code == 204 || code == 304 || code / 100 == 1)
                break;
            if (const auto cl = header(head, "Content-Length")) {
                if (in.size() >= body + std::stoul(*cl))
                    break;
            } else if (const auto te = header(head, "Transfer-Encoding");
                       te && lower(*te).find("chunked") != std::string::npos) {
                if (chunked_complete(in, body))
                    break;
            }
        }
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        in.append(buf, static_cast<size_t>(n));
    }
    close(s);
    return in;
}

// An nginx configuration for the private directory `d` (with html/ and tmp/
// in it) on the loopback port: `top` before the events block, `http` in the
// http block, `server` in the server block.
inline std::string nginx_conf(const std::string &d, int port, const std::string &http,
                              const std::string &server = {}, const std::string &top = {})
{
    return top + "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\n" +
           "error_log " + d + "/nginx-error.log;\nevents { worker_connections 256; }\n" +
           "http {\n  access_log off;\n" + "  client_body_temp_path " + d + "/tmp/body;\n  proxy_temp_path " + d +
           "/tmp/proxy;\n" + "  fastcgi_temp_path " + d + "/tmp/fcgi;\n  uwsgi_temp_path " + d + "/tmp/uwsgi;\n" +
           "  scgi_temp_path " + d + "/tmp/scgi;\n" + "  types { text/html html; text/plain txt; }\n" + http +
           "  server { listen 127.0.0.1:" + std::to_string(port) + "; root " + d + "/html;\n" + server + "  }\n}\n";
}

// nginx started from the configuration `conf` of the private directory `d`;
// when it does not come up, `skip` says so (the caller still deletes it).
inline Peer *start_nginx(const std::string &d, const std::string &conf, int port, std::string &skip)
{
    auto *p = new Peer({"/usr/sbin/nginx", "-e", d + "/nginx-error.log", "-p", d, "-c", conf}, d + "/nginx.out", port);
    if (!p->ready())
        skip = "nginx did not start";
    return p;
}

// A squid that caches nothing, for loopback clients, its files in `d`.
inline std::string squid_conf(const std::string &d, int port)
{
    return "http_port 127.0.0.1:" + std::to_string(port) + "\n" +
           "acl loopback src 127.0.0.0/8\nhttp_access allow loopback\nhttp_access deny all\n" +
           "cache deny all\ncache_mem 0 MB\nicp_port 0\nhtcp_port 0\nsnmp_port 0\n" + "pid_filename " + d +
           "/squid.pid\ncache_log " + d + "/cache.log\naccess_log none\n" + "cache_store_log none\ncoredump_dir " +
           d + "\nnetdb_filename none\npinger_enable off\n" + "shutdown_lifetime 0 seconds\n" +
           (geteuid() == 0 ? "cache_effective_user proxy\n" : "");
}

// A tinyproxy for loopback clients, its files in `d`.
inline std::string tinyproxy_conf(const std::string &d, int port)
{
    return std::string(geteuid() == 0 ? "User nobody\nGroup nogroup\n" : "") + "Port " + std::to_string(port) +
           "\nListen 127.0.0.1\nTimeout 30\nPidFile \"" + d + "/tinyproxy.pid\"\nLogFile \"" + d +
           "/tinyproxy.log\"\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n";
}

} // namespace peers

#endif
