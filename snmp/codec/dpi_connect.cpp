#include "dpi_connect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Byte = unsigned char;

enum { KIND_UDP = 1, KIND_TCP = 2 };

struct Slot {
    int fd;
    int kind;
    sockaddr_in peer;
};

Slot slots[DPI_MAX_CONNECTIONS];
bool slots_ready = false;
Byte receive_buffer[4096];
uint32_t receive_length = 0;

void init_slots()
{
    if (slots_ready)
        return;
    for (Slot &s : slots)
        s.fd = -1;
    slots_ready = true;
}

Slot *slot_of(int handle)
{
    init_slots();
    if (handle < 0 || handle >= DPI_MAX_CONNECTIONS || slots[handle].fd < 0)
        return nullptr;
    return &slots[handle];
}

void release(Slot *s)
{
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
}

// An IPv4 address for a dotted-decimal host or a name.
bool resolve(const char *host, in_addr *out)
{
    if (!host || !*host)
        return false;
    bool dotted = *host >= '0' && *host <= '9';
    for (const char *p = host; dotted && *p; ++p)
        dotted = (*p >= '0' && *p <= '9') || *p == '.';
    if (dotted)
        return inet_pton(AF_INET, host, out) == 1;
    const hostent *h = gethostbyname(host);
    if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list[0])
        return false;
    std::memcpy(out, h->h_addr_list[0], 4);
    return true;
}

int snmp_port()
{
    const char *v = std::getenv("SNMP_PORT");
    if (!v || !*v)
        return 161;
    char *end = nullptr;
    const long port = std::strtol(v, &end, 10);
    return *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : 161;
}

// Object 1.3.6.1.4.1.59981.2.1.1.<kind>.0 as BER content.
const Byte kPortObject[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x83, 0xD4, 0x4D, 0x02, 0x01, 0x01, 0x00, 0x00};
const unsigned kKindAt = 11;

// The SNMPv1 GetRequest for the port object, with one-byte lengths only.
size_t build_port_query(Byte *out, const char *community, int kind)
{
    Byte oid[sizeof kPortObject];
    std::memcpy(oid, kPortObject, sizeof oid);
    oid[kKindAt] = static_cast<Byte>(kind);
    const size_t clen = std::strlen(community);
    const size_t content = 3 + 2 + clen + 32;
    if (content > 127)
        return 0;
    size_t n = 0;
    auto put = [&](std::initializer_list<Byte> bytes) {
        for (Byte b : bytes)
            out[n++] = b;
    };
    put({0x30, static_cast<Byte>(content), 0x02, 0x01, 0x00, 0x04, static_cast<Byte>(clen)});
    std::memcpy(out + n, community, clen);
    n += clen;
    put({0xA0, 0x1E, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00,
         0x30, 0x13, 0x30, 0x11, 0x06, 0x0D});
    std::memcpy(out + n, oid, sizeof oid);
    n += sizeof oid;
    put({0x05, 0x00});
    return n;
}

// The port from the end of an answer: the object, then an INTEGER of 1 to 3
// content bytes. -1 for anything else.
int port_from_answer(const Byte *a, size_t len, int kind)
{
    for (size_t n = 1; n <= 3; ++n) {
        const size_t tail = 2 + sizeof kPortObject + 2 + n;
        if (len < tail)
            continue;
        const Byte *t = a + len - tail;
        if (t[0] != 0x06 || t[1] != sizeof kPortObject)
            continue;
        Byte oid[sizeof kPortObject];
        std::memcpy(oid, kPortObject, sizeof oid);
        oid[kKindAt] = static_cast<Byte>(kind);
        if (std::memcmp(t + 2, oid, sizeof oid) != 0)
            continue;
        const Byte *i = t + 2 + sizeof oid;
        if (i[0] != 0x02 || i[1] != n)
            continue;
        int32_t v = (i[2] & 0x80) ? -1 : 0;
        for (size_t k = 0; k < n; ++k)
            v = static_cast<int32_t>((static_cast<uint32_t>(v) << 8) | i[2 + k]);
        return v >= 1 && v <= 65535 ? v : -1;
    }
    return -1;
}

// Waits for input for `ms` milliseconds (-1: no limit): 1 ready, 0 time-out,
// -1 failure.
int wait_readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int rc = poll(&p, 1, ms);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc < 0 ? -1 : rc > 0 ? 1 : 0;
    }
}

// Reads exactly n bytes, waiting at most 3 seconds for each piece. End of
// file or a read error closes the connection and frees its slot.
int mustread(Slot *s, Byte *buf, uint32_t n)
{
    uint32_t got = 0;
    while (got < n) {
        const int w = wait_readable(s->fd, 3000);
        if (w == 0)
            return DPI_RC_TIMEOUT;
        if (w < 0)
            return DPI_RC_IO_ERROR;
        const ssize_t r = read(s->fd, buf + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            release(s);
            return r == 0 ? DPI_RC_EOF : DPI_RC_IO_ERROR;
        }
        got += static_cast<uint32_t>(r);
    }
    return DPI_RC_OK;
}

} // namespace

extern "C" {

int qDPIport(const char *host, const char *community, int kind)
{
    if (!community || kind < 1 || kind > 3)
        return -1;
    Byte query[144];
    const size_t qlen = build_port_query(query, community, kind);
    if (qlen == 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(snmp_port()));
    if (!resolve(host, &to.sin_addr))
        return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    int port = -1;
    static Byte answer[4096];
    for (int wait_s : {3, 6, 9}) {
        if (sendto(fd, query, qlen, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
            break;
        if (wait_readable(fd, wait_s * 1000) != 1)
            continue;
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        if (n > 0)
            port = port_from_answer(answer, static_cast<size_t>(n), kind);
        break;
    }
    close(fd);
    return port;
}

int DPIconnect_to_agent_TCP(const char *host, const char *community)
{
    init_slots();
    const int port = qDPIport(host, community, DPI_PORT_KIND_TCP);
    if (port < 0)
        return DPI_RC_NO_PORT;
    if (port == 0)
        return DPI_RC_NOT_SUPPORTED;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (!resolve(host, &peer.sin_addr))
        return DPI_RC_NO_PORT;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return DPI_RC_NOK;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    Slot *slot = nullptr;
    for (Slot &s : slots)
        if (s.fd < 0) {
            slot = &s;
            break;
        }
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 || !slot) {
        close(fd);
        return DPI_RC_NOK;
    }
    int rc;
    do
        rc = connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(fd);
        return DPI_RC_IO_ERROR;
    }
    slot->fd = fd;
    slot->kind = KIND_TCP;
    slot->peer = peer;
    return static_cast<int>(slot - slots);
}

int DPIconnect_to_agent_UNIXstream(void)
{
    return DPI_RC_NOT_SUPPORTED;
}

int DPIget_fd_for_handle(int handle)
{
    const Slot *s = slot_of(handle);
    return s ? s->fd : DPI_RC_INVALID_HANDLE;
}

int DPIawait_packet_from_agent(int handle, int timeout, unsigned char **packet, uint32_t *length)
{
    Slot *s = slot_of(handle);
    if (!s)
        return DPI_RC_INVALID_HANDLE;
    if (!packet || !length)
        return DPI_RC_INVALID_ARGUMENT;
    const int w = wait_readable(s->fd, timeout < 0 ? -1 : timeout * 1000);
    if (w == 0)
        return DPI_RC_TIMEOUT;
    if (w < 0)
        return DPI_RC_IO_ERROR;
    int rc = mustread(s, receive_buffer, 2);
    if (rc != DPI_RC_OK)
        return rc;
    const uint32_t len = (uint32_t{receive_buffer[0]} << 8) | receive_buffer[1];
    if (len >= sizeof receive_buffer - 1) {
        // Too large for the buffer: read it away so the stream stays in step.
        for (uint32_t left = len; left > 0;) {
            const uint32_t piece = left < sizeof receive_buffer ? left : sizeof receive_buffer;
            rc = mustread(s, receive_buffer, piece);
            if (rc != DPI_RC_OK)
                return rc;
            left -= piece;
        }
        return DPI_RC_PACKET_TOO_LARGE;
    }
    rc = mustread(s, receive_buffer + 2, len);
    if (rc != DPI_RC_OK)
        return rc;
    receive_length = len;
    *packet = receive_buffer;
    *length = len;
    return DPI_RC_OK;
}

int DPIsend_packet_to_agent(int handle, const unsigned char *packet, uint32_t length)
{
    Slot *s = slot_of(handle);
    if (!s)
        return DPI_RC_INVALID_HANDLE;
    if (!packet || length == 0)
        return DPI_RC_INVALID_ARGUMENT;
    if (s->kind != KIND_TCP)
        return DPI_RC_NOK;
    ssize_t n;
    do
        n = send(s->fd, packet, length, MSG_NOSIGNAL); // a closed agent must not kill us
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length) ? DPI_RC_OK : DPI_RC_IO_ERROR;
}

void DPIdisconnect_from_agent(int handle)
{
    Slot *s = slot_of(handle);
    if (s)
        release(s);
}

} // extern "C"
