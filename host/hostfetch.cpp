// One blocking HTTP/1.0 exchange.

#include "hostfetch.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace orvhost {
namespace {

struct Target {
    std::string host;
    std::string port = "80";
    std::string path = "/";
};

bool parse(const std::string &url, Target *t)
{
    constexpr char kScheme[] = "http://";
    if (url.compare(0, sizeof kScheme - 1, kScheme) != 0)
        return false;
    const std::size_t start = sizeof kScheme - 1;
    const std::size_t slash = url.find('/', start);
    const std::string authority = url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (slash != std::string::npos)
        t->path = url.substr(slash);
    const std::size_t colon = authority.rfind(':');
    t->host = authority.substr(0, colon);
    if (colon != std::string::npos)
        t->port = authority.substr(colon + 1);
    return !t->host.empty() && !t->port.empty();
}

bool send_all(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool http_fetch(const FetchRequest &request, std::string *answer)
{
    Target t;
    if (!parse(request.url, &t))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(t.host.c_str(), t.port.c_str(), &hints, &found) != 0)
        return false;
    const int fd = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::string head = request.method + " " + t.path + " HTTP/1.0\r\nHost: " + t.host + ":" + t.port + "\r\n";
    for (const auto &[name, value] : request.headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    bool ok = send_all(fd, head + request.body);
    answer->clear();
    char buffer[4096];
    for (ssize_t n; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer->append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return ok && !answer->empty();
}

int http_status(const std::string &answer)
{
    const std::size_t blank = answer.find(' ');
    if (answer.compare(0, 5, "HTTP/") != 0 || blank == std::string::npos)
        return 0;
    return std::atoi(answer.c_str() + blank + 1);
}

} // namespace orvhost
