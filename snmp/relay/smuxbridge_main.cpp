#include "smuxbridge_main.h"

#include "smux_stream.h"
#include "smuxbridge_log.h"
#include "smuxbridge_peers.h"
#include "smuxbridge_reg.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

int smux_fd = -1;
int dpi_fd = -1;
int dpi_port = 0;
fd_set selectfds;
int nfds = 0;
int sa_fds[SMUXBRIDGE_MAX_SUBAGENTS] = {-1, -1, -1, -1, -1};
char myname[256] = "smuxbridge";
char myoid[1024] = "";
bool myoid_set = false;
char mypw[256] = "";
int forever = 1;

const char smuxbridge_banner[] =
    "smuxbridge version 1.0.00, Mar 16 1998, Compiled " __DATE__ " at " __TIME__;

namespace {

smux_pdu open_pdu;
SmuxStream smux_in;
// The RReqPDUs sent and not yet answered, oldest first.
struct SentRReq {
    int operation;
    std::string subtree;
};
std::deque<SentRReq> rreq_sent;
// Subagents that failed during a relayed request, dropped afterwards.
std::vector<int> failed_fds;
// Depth of SMUX message handling: non-zero while a request is being relayed.
int smux_depth = 0;
// RReqPDUs waiting for a quiet moment of the agent.
struct QueuedRReq {
    snmp_container *subtree;
    int operation;
};
std::deque<QueuedRReq> rreq_queue;
long long first_queued_ms = 0;
long long last_agent_ms = 0;

long long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void clear_rreq_queue()
{
    for (QueuedRReq &q : rreq_queue)
        snmp_free_container(q.subtree);
    rreq_queue.clear();
}

// The read set of the current pass, so that a descriptor closed during the
// pass is not served from a readiness that belonged to an earlier one.
fd_set *pass_ready = nullptr;

void add_selectfd(int fd)
{
    FD_SET(fd, &selectfds);
    if (fd > nfds)
        nfds = fd;
}

bool readable_now(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void report_level(int level)
{
    printf("Tracing set to %d\n", level);
    static const struct {
        int bit;
        const char *name;
    } names[] = {{8, "DPI-lvl1"}, {16, "DPI-lvl2"}, {32, "Internal-lvl1"},
                 {64, "Internal-lvl2"}, {128, "Internal-lvl3"}};
    for (const auto &n : names)
        if (level & n.bit)
            printf(" %3d %s\n", n.bit, n.name);
    DPIdebug((level & TRACE_DPI_LVL1) ? 1 : (level & TRACE_DPI_LVL2) ? 2 : 0);
    if (level & 7)
        snmp_debug_init();
    printf("\n%s\n", smuxbridge_banner);
}

int relay_request(smux_pdu *pdu, const unsigned char *msg, uint32_t len)
{
    snmp_pdu *req = pdu->request;
    const int type = pdu->type;
    req->error_status = 0;
    req->error_index = 0;
    ++smux_depth;
    for (uint32_t i = 0; i < req->count; ++i) {
        const int rc = process_req(type, &req->varbinds[i]);
        if (rc != 0) {
            req->error_index = static_cast<int32_t>(i + 1);
            req->error_status = rc;
            break;
        }
    }
    --smux_depth;
    pdu->type = SNMP_RESPONSE;
    req->type = SNMP_RESPONSE;
    unsigned char *start = nullptr;
    uint32_t out_len = 0;
    const int rc = smux_encode_message(&start, &out_len, pdu);
    SB_RC(rc, "smux_encode_message");
    if (rc == 0)
        return SMUXsend(start, out_len);
    // The answer does not fit (tooBig) or cannot be encoded (genErr): the
    // agent still gets one GetResponse, with the bindings it sent.
    std::vector<unsigned char> raw;
    const bool too_big = rc == SNMP_ERR_NOROOM;
    if (!smux_raw_response(msg, len, too_big ? SNMP_ERROR_TOOBIG : SNMP_ERROR_GENERR,
                           too_big ? 0 : (req->error_index ? req->error_index : 1), raw))
        return rc;
    SB_TRACE("answering %s\n", too_big ? "tooBig" : "genErr");
    return SMUXsend(raw.data(), static_cast<uint32_t>(raw.size()));
}

} // namespace

void set_myname(const char *argv0)
{
    const char *base = argv0 ? argv0 : "";
    if (const char *slash = std::strrchr(base, '/'); slash && slash[1])
        base = slash + 1;
    if (std::strncmp(base, "smux.", 5) == 0 && base[5])
        base += 5;
    std::snprintf(myname, sizeof myname, "%s", base);
}

int parse_args(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-d") != 0) {
            printf("usage:  %s [-d [level]]\n", argv[0]);
            printf("\n%s\n", smuxbridge_banner);
            return 1;
        }
        tracing = i + 1 < argc ? static_cast<int>(std::strtol(argv[++i], nullptr, 10)) : 31;
        report_level(tracing);
    }
    return 0;
}

int SMUXconnect(void)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("SMUXconnect::socket");
        return -1;
    }
    if (fd >= FD_SETSIZE) {
        close(fd);
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(SMUXBRIDGE_AGENT_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        perror("SMUXconnect::connect");
        close(fd);
        return -1;
    }
    return fd;
}

int DPI_port(void)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("DPI_port::socket");
        return -1;
    }
    if (fd >= FD_SETSIZE) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        perror("DPI_port::bind");
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    if (listen(fd, 5) < 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        perror("DPI_port:getsockname");
        close(fd);
        return -1;
    }
    dpi_port = ntohs(a.sin_port);
    return fd;
}

int SMUXopen(const char *name)
{
    if (std::FILE *f = std::fopen(SMUXBRIDGE_PEERS_FILE, "r")) {
        SB_TRACE("Using config file: %s\n", SMUXBRIDGE_PEERS_FILE);
        int lines = 0;
        const peers_fields fields{myoid, sizeof myoid, &myoid_set, mypw, sizeof mypw};
        const int rc = read_peers_file(f, name, fields, &lines);
        std::fclose(f);
        if (rc == PEERS_TOO_LONG) {
            SB_ALWAYS("Token too long in line %d of %s\n", lines, SMUXBRIDGE_PEERS_FILE);
            return -1;
        }
        if (tracing & TRACE_INTERNAL3)
            printf("Using line %d: %s %s\n", lines, name, myoid_set ? myoid : "(none)");
    } else {
        SB_ALWAYS("Cannot open file: %s\n", SMUXBRIDGE_PEERS_FILE);
    }

    std::memset(&open_pdu, 0, sizeof open_pdu);
    open_pdu.version = 0;
    open_pdu.type = SMUX_OPEN;
    const size_t dlen = std::min(sizeof smuxbridge_banner - 1, size_t{SMUX_STRING_MAX});
    std::memcpy(open_pdu.description, smuxbridge_banner, dlen);
    open_pdu.description_len = static_cast<int32_t>(dlen);
    const size_t plen = std::strlen(mypw);
    std::memcpy(open_pdu.password, mypw, plen);
    open_pdu.password_len = static_cast<int32_t>(plen);
    open_pdu.object = myoid_set ? snmp_create_oid_container(myoid) : nullptr;
    if (!open_pdu.object) {
        SB_ALWAYS("Cannot create identity\n");
        std::memset(open_pdu.password, 0, sizeof open_pdu.password);
        return -1;
    }
    unsigned char *start = nullptr;
    uint32_t len = 0;
    const int rc = smux_encode_message(&start, &len, &open_pdu);
    SB_RC(rc, "smux_encode_message");
    snmp_free_container(open_pdu.object);
    open_pdu.object = nullptr;
    // The password is read again from the file for the next open.
    std::memset(mypw, 0, plen);
    std::memset(open_pdu.password, 0, sizeof open_pdu.password);
    if (rc != 0)
        return rc;
    return SMUXsend(start, len);
}

void close_fd(int fd)
{
    if (fd < 0)
        return;
    FD_CLR(fd, &selectfds);
    if (pass_ready)
        FD_CLR(fd, pass_ready);
    close(fd);
}

void smux_reset_state(void)
{
    smux_in.clear();
    rreq_sent.clear();
    clear_rreq_queue();
}

int queue_registration(const snmp_container *subtree, int operation)
{
    if (smux_fd < 0)
        return -1;
    snmp_container *copy = snmp_copy_container_value(nullptr, subtree);
    if (!copy)
        return -1;
    if (rreq_queue.empty())
        first_queued_ms = now_ms();
    rreq_queue.push_back({copy, operation});
    return 0;
}

int registration_wait_ms(void)
{
    if (rreq_queue.empty())
        return -1;
    const long long now = now_ms();
    long long wait = SMUXBRIDGE_QUIET_MS - (now - last_agent_ms);
    const long long cap = SMUXBRIDGE_QUIET_MAX_MS - (now - first_queued_ms);
    if (cap < wait)
        wait = cap;
    return wait < 0 ? 0 : static_cast<int>(wait);
}

int flush_registrations(bool force)
{
    if (rreq_queue.empty())
        return 0;
    if (smux_fd < 0) {
        clear_rreq_queue();
        return 0;
    }
    if (!force && registration_wait_ms() > 0)
        return 0;
    // Serve what the agent already asked; if it asked something, it is not
    // quiet yet.
    const long long before = last_agent_ms;
    smux_serve_pending();
    if (!force && last_agent_ms != before && now_ms() - first_queued_ms < SMUXBRIDGE_QUIET_MAX_MS)
        return 0;
    int sent = 0;
    while (!rreq_queue.empty() && smux_fd >= 0) {
        QueuedRReq q = rreq_queue.front();
        rreq_queue.pop_front();
        smux_pdu pdu;
        std::memset(&pdu, 0, sizeof pdu);
        pdu.operation = q.operation;
        pdu.priority = -1;
        pdu.object = q.subtree;
        const int rc = SMUXregister(&pdu);
        SB_RC(rc, "SMUXregister");
        snmp_free_container(q.subtree);
        if (rc == 0)
            ++sent;
    }
    clear_rreq_queue();
    return sent;
}

void init_smux_dpi_fds(void)
{
    if (smux_fd >= 0)
        return;
    smux_fd = SMUXconnect();
    if (smux_fd < 0) {
        SB_RC(-1, "SMUXconnect");
        SB_ALWAYS("Connect to agent failed, will retry\n");
        return;
    }
    SB_TRACE("SMUX fd: %d\n", smux_fd);
    smux_reset_state();
    if (dpi_fd < 0) {
        dpi_fd = DPI_port();
        if (dpi_fd < 0) {
            SB_RC(-1, "DPI_port");
            SB_ALWAYS("Create DPI port failed, will retry\n");
        } else {
            SB_TRACE("DPI  fd: %d port: %d\n", dpi_fd, dpi_port);
        }
    }
    if (dpi_fd < 0) {
        close_fd(smux_fd);
        smux_fd = -1;
        return;
    }
    add_selectfd(smux_fd);
    add_selectfd(dpi_fd);
    const int rc = SMUXopen(myname);
    SB_RC(rc, "SMUXopen");
    if (rc != 0) {
        SB_TRACE("Error on SMUXopen\n");
        close_fd(smux_fd);
        close_fd(dpi_fd);
        smux_fd = -1;
        dpi_fd = -1;
        return;
    }
    // A new association knows nothing: the daemon's own object (once) and
    // every subagent's subtree are registered again.
    bool own = false;
    for (mop_entry *e = mop_list; e; e = e->next)
        own = own || e->owner == -1;
    if (!own && !add_mop_entry(SMUXBRIDGE_OWN_SUBTREE, -1))
        SB_ALWAYS("Out of memory\n");
    const int reg = register_subtrees();
    SB_RC(reg, "register_subtrees");
    SB_ALWAYS("%s connected to agent, ready to receive requests.....\n", myname);
}

int SMUXsend(const unsigned char *buf, uint32_t len)
{
    if (smux_fd < 0)
        return -1;
    log_bfr(buf, len, "SMUXsend");
    last_agent_ms = now_ms();
    const ssize_t n = write(smux_fd, buf, len);
    if (n < 0) {
        perror("write");
        return -1;
    }
    if (static_cast<uint32_t>(n) != len) {
        SB_ALWAYS("Only %d of %u bytes written on fd %d\n", static_cast<int>(n), len, smux_fd);
        return -1;
    }
    return 0;
}

int SMUXregister(smux_pdu *pdu)
{
    if (smux_fd < 0)
        return -1;
    // The agent takes whatever arrives while it waits for an answer as that
    // answer: serve what it has already asked before registering.
    smux_serve_pending();
    if (smux_fd < 0)
        return -1;
    pdu->type = SMUX_RREQ;
    unsigned char *start = nullptr;
    uint32_t len = 0;
    const int rc = smux_encode_message(&start, &len, pdu);
    SB_RC(rc, "smux_encode_message");
    if (rc != 0)
        return rc;
    const int sent = SMUXsend(start, len);
    if (sent == 0) {
        char *text = snmp_oid_to_string(pdu->object);
        rreq_sent.push_back({pdu->operation, text ? text : ""});
        std::free(text);
    }
    return sent;
}

int DPIsend(int fd, const unsigned char *packet)
{
    const uint32_t len = packet ? DPI_PACKET_LEN(packet) : 0;
    log_bfr(packet, len, "Outgoing DPI packet");
    const ssize_t n = write(fd, packet, len);
    if (n < 0) {
        perror("DPIwrite::write");
        return -1;
    }
    if (static_cast<uint32_t>(n) != len) {
        SB_ALWAYS("Only %d of %d written on fd %d\n", static_cast<int>(n), static_cast<int>(len), fd);
        return -1;
    }
    return 0;
}

int must_read(int fd, unsigned char *buf, int n)
{
    if (n <= 0)
        return 0;
    int got = 0;
    while (got < n) {
        // Most pieces are already there: try first, wait only when not.
        ssize_t k;
        do
            k = recv(fd, buf + got, static_cast<size_t>(n - got), MSG_DONTWAIT);
        while (k < 0 && errno == EINTR);
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLIN, 0};
            int r;
            do
                r = poll(&p, 1, SMUXBRIDGE_READ_TIMEOUT * 1000);
            while (r < 0 && errno == EINTR);
            if (r <= 0)
                return r;
            continue;
        }
        if (k <= 0)
            return static_cast<int>(k);
        got += static_cast<int>(k);
    }
    return n;
}

int read_DPI_packet(int fd, unsigned char *buf, uint32_t size)
{
    int r = must_read(fd, buf, 2);
    if (r != 2) {
        if (r == 0)
            SB_TRACE("EOF received (fd=%d)\n", fd);
        else
            SB_TRACE("could not read DPI request length (fd=%d)\n", fd);
        subagent_failed(fd);
        return -1;
    }
    const uint32_t len = (uint32_t{buf[0]} << 8) | buf[1];
    if (len > size - 2) {
        SB_TRACE("DPI packet too large, skipping\n");
        for (uint32_t left = len; left > 0;) {
            const int piece = static_cast<int>(left < size ? left : size);
            if (must_read(fd, buf, piece) != piece) {
                SB_TRACE("could not read DPI request body\n");
                break;
            }
            left -= static_cast<uint32_t>(piece);
        }
        subagent_failed(fd);
        return -1;
    }
    r = must_read(fd, buf + 2, static_cast<int>(len));
    if (r != static_cast<int>(len)) {
        SB_TRACE("could not read DPI request body\n");
        subagent_failed(fd);
        return -1;
    }
    log_bfr(buf, len + 2, "Incoming DPI packet");
    return 0;
}

void del_sa_fd(int fd)
{
    for (int &s : sa_fds) {
        if (s == fd) {
            s = -1;
            FD_CLR(fd, &selectfds);
            if (pass_ready)
                FD_CLR(fd, pass_ready);
            return;
        }
    }
    SB_DETAIL("Subagent fd not found\n");
}

void unregister_fd(int fd)
{
    mop_entry *gone = take_mop_entries(fd);
    bool in_table = false;
    for (int s : sa_fds)
        in_table = in_table || s == fd;
    if (in_table) {
        close(fd);
        del_sa_fd(fd);
    } else {
        SB_DETAIL("Subagent fd not found\n");
    }
    while (gone) {
        mop_entry *e = gone;
        gone = e->next;
        queue_registration(e->subtree, SMUX_OP_DELETE);
        free_mop_entry(e);
    }
}

void subagent_failed(int fd)
{
    if (smux_depth > 0) {
        if (!subagent_is_failed(fd))
            failed_fds.push_back(fd);
        return;
    }
    unregister_fd(fd);
}

bool subagent_is_failed(int fd)
{
    for (int f : failed_fds)
        if (f == fd)
            return true;
    return false;
}

void drop_failed_subagents(void)
{
    if (smux_depth > 0)
        return;
    while (!failed_fds.empty()) {
        const int fd = failed_fds.front();
        failed_fds.erase(failed_fds.begin());
        unregister_fd(fd);
    }
}

int handle_smux_message(const unsigned char *msg, uint32_t len)
{
    log_bfr(msg, len, "Incoming SMUX packet");
    smux_pdu *pdu = nullptr;
    const int rc = smux_decode_message(msg, len, &pdu);
    SB_RC(rc, "smux_decode_message");
    if (rc != 0) {
        // A request that cannot be taken is still answered, so that the
        // association survives it.
        std::vector<unsigned char> raw;
        if (smux_raw_response(msg, len, SNMP_ERROR_GENERR, 0, raw)) {
            SB_TRACE("answering an undecodable request with genErr\n");
            return SMUXsend(raw.data(), static_cast<uint32_t>(raw.size()));
        }
        return rc;
    }
    switch (pdu->type) {
    case SMUX_CLOSE:
        SB_ALWAYS("SMUX CLOSE received\n");
        return -1;
    case SMUX_RRSP: {
        const SentRReq sent = rreq_sent.empty() ? SentRReq{SMUX_OP_READWRITE, ""} : rreq_sent.front();
        const int op = sent.operation;
        if (!rreq_sent.empty())
            rreq_sent.pop_front();
        SB_TRACE("Registration answered: %d for %s %s\n", static_cast<int>(pdu->value),
                 op == SMUX_OP_DELETE ? "delete" : "register", sent.subtree.c_str());
        if (pdu->value < 0) {
            if (op == SMUX_OP_DELETE) {
                SB_ALWAYS("Unregistration refused by agent (%d)\n", static_cast<int>(pdu->value));
                return 0;
            }
            SB_ALWAYS("Registration failed\n");
            return -1;
        }
        process_dpi_trapv1(0, 0, myoid_set ? myoid : nullptr, nullptr);
        return 0;
    }
    case SMUX_SOUT:
        SB_TRACE("SMUX SOUT received\n");
        return 0;
    case SMUX_OPEN:
    case SMUX_RREQ:
    case SNMP_RESPONSE:
    case SNMP_TRAP:
        SB_TRACE("Unexpected SMUX request\n");
        return 0;
    case SNMP_GET:
    case SNMP_GETNEXT:
    case SNMP_SET:
        return relay_request(pdu, msg, len);
    default:
        SB_TRACE("Unknown SMUX request\n");
        return 0;
    }
}

namespace {

// Takes every whole message out of the stream: 0, or non-zero to drop the
// association.
int serve_stream()
{
    std::vector<unsigned char> msg;
    for (;;) {
        const int got = smux_in.next(msg);
        if (got < 0) {
            SB_ALWAYS("Cannot frame SMUX message\n");
            return -1;
        }
        if (got == 0)
            return 0;
        ++smux_depth;
        const int rc = handle_smux_message(msg.data(), static_cast<uint32_t>(msg.size()));
        --smux_depth;
        if (rc != 0)
            return rc;
    }
}

// Reads what the agent sent: 1 bytes read, 0 nothing there (a readiness
// already used up), -1 failed.
int read_smux()
{
    unsigned char buf[SMUX_BUFFER_SIZE];
    ssize_t n;
    do
        n = recv(smux_fd, buf, sizeof buf, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (n < 0) {
        perror("handle_smux::read");
        return -1;
    }
    if (n == 0) {
        SB_ALWAYS("EOF received on SMUX fd: %d\n", smux_fd);
        return -1;
    }
    last_agent_ms = now_ms();
    smux_in.feed(buf, static_cast<size_t>(n));
    return 1;
}

void drop_association()
{
    SB_ALWAYS("Lost connection to agent\n");
    close_fd(smux_fd);
    smux_fd = -1;
    smux_reset_state();
}

} // namespace

int handle_smux(void)
{
    const int r = read_smux();
    if (r < 0)
        return -1;
    return r == 0 ? 0 : serve_stream();
}

void smux_serve_pending(void)
{
    if (smux_depth > 0 || smux_fd < 0)
        return;
    int rc = 0;
    for (;;) {
        const int r = read_smux();
        if (r <= 0) {
            rc = r;
            break;
        }
        rc = serve_stream();
        if (rc != 0)
            break;
    }
    if (rc != 0)
        drop_association();
}

int handle_DPI_request(int fd)
{
    SB_TRACE("handle_DPI_request on fd %d\n", fd);
    unsigned char buf[SMUXBRIDGE_DPI_BUFFER];
    if (read_DPI_packet(fd, buf, sizeof buf) != 0)
        return -1;
    dpi_packet *p = pDPIpacket_n(buf, DPI_PACKET_LEN(buf));
    if (!p) {
        SB_TRACE("could not parse DPI request packet\n");
        subagent_failed(fd);
        return -1;
    }
    const unsigned char *answer = nullptr;
    bool answer_wanted = true;
    switch (p->type) {
    case DPI_PACKET_TRAP:
        process_dpi_trapv1(p->data.trap->generic, p->data.trap->specific, p->data.trap->enterprise,
                           p->data.trap->bindings);
        answer_wanted = false;
        break;
    case DPI_PACKET_REGISTER: {
        int code = 0;
        for (const dpi_register_item *r = p->data.reg; r; r = r->next)
            if (register_object(r->subtree, fd) != 0)
                code = DPI_OTHER_ERROR;
        answer = mkDPIresp(p, code, 0, nullptr);
        break;
    }
    case DPI_PACKET_OPEN:
    case DPI_PACKET_CLOSE:
    case DPI_PACKET_ARE_YOU_THERE:
        answer = mkDPIresp(p, 0, 0, nullptr);
        break;
    default:
        answer_wanted = false;
        break;
    }
    int rc = 0;
    if (answer_wanted) {
        if (!answer) {
            SB_TRACE("could not create DPI response packet\n");
            subagent_failed(fd);
            rc = -1;
        } else if (DPIsend(fd, answer) != 0) {
            subagent_failed(fd);
            rc = 5;
        }
    }
    fDPIparse(p);
    return rc;
}

int main_loop_pass(void)
{
    fd_set rd = selectfds;
    timeval tv{SMUXBRIDGE_RETRY_SECONDS, 0};
    timeval *timeout = &tv;
    if (smux_fd >= 0) {
        const int wait = registration_wait_ms();
        tv = {wait / 1000, (wait % 1000) * 1000};
        timeout = wait < 0 ? nullptr : &tv;
    }
    const int n = select(nfds + 1, &rd, nullptr, nullptr, timeout);
    if (n < 0) {
        if (errno == EINTR)
            return 0;
        perror("select");
        SB_ALWAYS("Error on select\n");
        return -1;
    }
    SB_TRACE("select returned %d fds\n", n);
    pass_ready = &rd;
    init_smux_dpi_fds();
    if (smux_fd >= 0 && FD_ISSET(smux_fd, &rd)) {
        SB_TRACE("SMUX request\n");
        if (handle_smux() != 0)
            drop_association();
        drop_failed_subagents();
    }
    if (dpi_fd >= 0 && FD_ISSET(dpi_fd, &rd)) {
        SB_TRACE("New DPI subagent...\n");
        const int fd = accept(dpi_fd, nullptr, nullptr);
        if (fd < 0) {
            perror("accept");
        } else if (fd >= FD_SETSIZE) {
            SB_TRACE("Descriptor %d beyond the select set\n", fd);
            close(fd);
        } else {
            int slot = -1;
            for (int i = 0; i < SMUXBRIDGE_MAX_SUBAGENTS && slot < 0; ++i)
                if (sa_fds[i] < 0)
                    slot = i;
            if (slot < 0) {
                SB_TRACE("Max subagents exceeded\n");
                close(fd);
            } else {
                sa_fds[slot] = fd;
                add_selectfd(fd);
                SB_TRACE("... accepted on fd %d\n", fd);
            }
        }
    }
    for (int i = 0; i < SMUXBRIDGE_MAX_SUBAGENTS; ++i) {
        const int fd = sa_fds[i];
        if (fd < 0 || !FD_ISSET(fd, &rd))
            continue;
        FD_CLR(fd, &rd);
        // Its data may have been read during a relay in this pass.
        if (subagent_is_failed(fd) || !readable_now(fd))
            continue;
        SB_TRACE("DPI request on fd %d\n", fd);
        handle_DPI_request(fd);
        drop_failed_subagents();
    }
    pass_ready = nullptr;
    flush_registrations(false);
    return 0;
}

int smuxbridge_main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (parse_args(argc, argv) != 0)
        return 1;
    set_myname(argc > 0 ? argv[0] : "smuxbridge");
    SB_ALWAYS("%s, starting...\n%s\n", myname, smuxbridge_banner);
    std::signal(SIGPIPE, SIG_IGN);
    FD_ZERO(&selectfds);
    nfds = 0;
    init_smux_dpi_fds();
    for (int &s : sa_fds)
        s = -1;
    while (forever) {
        if (main_loop_pass() != 0)
            return 0;
    }
    return 0;
}
