// gophernicus on a loopback port, a process per connection under socat, as
// an unprivileged user when the tests run as root (it refuses root). The
// tree it serves must be readable by that user.
#ifndef GOPHER_PEER_HPP
#define GOPHER_PEER_HPP

#include "peers.hpp"

#include <memory>
#include <string>
#include <unistd.h>

namespace gopher_peer {

inline bool available()
{
    return peers::installed("/usr/sbin/gophernicus") && peers::installed("/usr/bin/socat");
}

// Serves `root` on `port`; its output goes to `log`. Null when it did not come up.
inline std::unique_ptr<peers::Peer> start(const std::string &root, int port, const std::string &log)
{
    const std::string p = std::to_string(port);
    const std::string exec = "EXEC:/usr/sbin/gophernicus -h 127.0.0.1 -p " + p + " -r " + root +
                             " -nv -nf -ns -na -nt -nu,nofork" + (geteuid() == 0 ? ",su=nobody" : "");
    auto peer = std::make_unique<peers::Peer>(
        std::vector<std::string>{"/usr/bin/socat", "TCP4-LISTEN:" + p + ",bind=127.0.0.1,reuseaddr,fork", exec}, log,
        port);
    if (!peer->ready())
        return nullptr;
    return peer;
}

} // namespace gopher_peer

#endif
