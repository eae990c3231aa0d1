/*
 * hostfetch: one blocking HTTP/1.0 exchange with an origin, for the
 * stand-in host's proxy and asynchronous-request entries.
 *
 * The URL must be http://HOST[:PORT]/PATH with a dotted or resolvable host.
 * The whole answer (head and body, up to the server's close) is returned;
 * false when the URL is not one of those, the connection fails, or the
 * server sends nothing.
 */
#ifndef HOSTFETCH_H
#define HOSTFETCH_H

#include <string>
#include <utility>
#include <vector>

namespace orvhost {

struct FetchRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers; // sent as they are
    std::string body;
};

bool http_fetch(const FetchRequest &request, std::string *answer);

// The status code of an answer's first line, or 0.
int http_status(const std::string &answer);

} // namespace orvhost

#endif
