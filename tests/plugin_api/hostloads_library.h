// The library's settings the host's own requests follow, for tests whose
// translation units see libplugrt's types (which clash with the library's).
#ifndef HOSTLOADS_LIBRARY_H
#define HOSTLOADS_LIBRARY_H

#include <string>

namespace hostloads {

// The server configuration's default proxy for http: URLs ("": none).
void use_parent(const std::string &proxy_url);
// The host's error pages (on) or the library's default handler (off).
void error_pages(bool on);
// The server sockets' read and write time-out in seconds (0: none).
void server_timeout(int seconds);

} // namespace hostloads

#endif
