// Loopback helpers of the benchmarks: free ports, connections, a socket
// whose far end a thread drains, and nginx started from a private
// configuration in a temporary directory and stopped by its pid.
#ifndef BENCH_NET_HPP
#define BENCH_NET_HPP

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace bench {

inline int free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

inline int connect_port(int port)
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
    return s;
}

// nginx on a free loopback port serving dir/html; `fill` writes the files
// first, `server` is extra text for the server block.
struct Nginx {
    std::string dir;
    pid_t pid = -1;
    int port = 0;
    Nginx(const char *name, const std::function<void(const std::string &html)> &fill, const std::string &server,
          const std::string &http = "")
    {
        std::string tmpl = std::string("/tmp/") + name + ".XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            return;
        dir = tmpl;
        std::filesystem::create_directories(dir + "/html");
        std::filesystem::create_directories(dir + "/tmp");
        fill(dir + "/html");
        port = free_port();
        const std::string conf = dir + "/nginx.conf";
        std::ofstream(conf) << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir
                            << "/nginx.pid;\nerror_log " << dir << "/error.log;\nevents { worker_connections 256; }\n"
                            << "http {\n access_log off;\n client_body_temp_path " << dir << "/tmp;\n"
                            << " proxy_temp_path " << dir << "/tmp;\n fastcgi_temp_path " << dir << "/tmp;\n"
                            << " uwsgi_temp_path " << dir << "/tmp;\n scgi_temp_path " << dir << "/tmp;\n" << http
                            << " server { listen 127.0.0.1:" << port << "; root " << dir << "/html; " << server
                            << " }\n}\n";
        pid = fork();
        if (pid == 0) {
            execl("/usr/sbin/nginx", "nginx", "-e", (dir + "/error.log").c_str(), "-p", dir.c_str(), "-c",
                  conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            const int s = connect_port(port);
            if (s >= 0) {
                close(s);
                return;
            }
            usleep(20000);
        }
    }
    ~Nginx()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ec);
    }
    std::string url(const char *file) const { return "http://127.0.0.1:" + std::to_string(port) + "/" + file; }
};

// A loopback connection whose far end a thread drains.
struct Drain {
    int write_fd = -1;
    int read_fd = -1;
    std::thread reader;
    std::atomic<long long> bytes{0};
    Drain()
    {
        const int l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(l, 1);
        getsockname(l, reinterpret_cast<sockaddr *>(&a), &n);
        write_fd = connect_port(ntohs(a.sin_port));
        read_fd = accept(l, nullptr, nullptr);
        close(l);
        reader = std::thread([this] {
            static char buf[1 << 16];
            ssize_t k;
            while ((k = recv(read_fd, buf, sizeof buf, 0)) > 0)
                bytes += k;
        });
    }
    ~Drain()
    {
        shutdown(write_fd, SHUT_RDWR);
        reader.join();
        close(write_fd);
        close(read_fd);
    }
};

} // namespace bench

#endif
