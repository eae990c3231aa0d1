// A daemon without its main loop: the agent connection and each subagent are
// socket pairs whose other ends the test holds. Answers of a subagent are
// written before the daemon asks (the pairs buffer them), and what the daemon
// sent is read back afterwards.
#ifndef TESTS_SNMP_RELAY_FIXTURE_H
#define TESTS_SNMP_RELAY_FIXTURE_H

#include "smux_codec.h"
#include "smux_stream.h"
#include "smuxbridge_log.h"
#include "smuxbridge_main.h"
#include "smuxbridge_reg.h"
#include "snmp_dpi.h"

#include "hexvec.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

struct SocketPair {
    int ours = -1;   // the test's end
    int theirs = -1; // the daemon's end
    SocketPair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            ours = sv[0];
            theirs = sv[1];
        }
    }
    ~SocketPair()
    {
        if (ours >= 0)
            close(ours);
    }
    // Everything the daemon wrote so far.
    Bytes drain() const
    {
        Bytes out;
        unsigned char buf[8192];
        for (;;) {
            pollfd p{ours, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                break;
            const ssize_t n = read(ours, buf, sizeof buf);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    void send(const unsigned char *p, size_t n) const
    {
        ASSERT_EQ(write(ours, p, n), static_cast<ssize_t>(n));
    }
    void send(const Bytes &b) const { send(b.data(), b.size()); }
};

inline std::string oid_str(const snmp_container *c)
{
    char *t = snmp_oid_to_string(c);
    std::string s = t ? t : "";
    std::free(t);
    return s;
}

// SMUX messages cut from a byte stream.
inline std::vector<Bytes> smux_messages(const Bytes &b)
{
    std::vector<Bytes> out;
    size_t at = 0;
    while (at < b.size()) {
        const long n = smux_frame_length(b.data() + at, b.size() - at);
        if (n <= 0 || at + static_cast<size_t>(n) > b.size())
            break;
        out.emplace_back(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + n);
        at += static_cast<size_t>(n);
    }
    return out;
}

// DPI packets cut from a byte stream, parsed.
struct DpiPackets {
    std::vector<dpi_packet *> list;
    explicit DpiPackets(const Bytes &b)
    {
        size_t at = 0;
        while (at + 2 <= b.size()) {
            const size_t n = 2 + ((size_t{b[at]} << 8) | b[at + 1]);
            if (at + n > b.size())
                break;
            list.push_back(pDPIpacket_n(b.data() + at, static_cast<uint32_t>(n)));
            at += n;
        }
    }
    ~DpiPackets()
    {
        for (dpi_packet *p : list)
            fDPIparse(p);
    }
    size_t size() const { return list.size(); }
    dpi_packet *operator[](size_t i) const { return list[i]; }
};

// A DPI RESPONSE with one binding (or none when type is 0).
inline Bytes dpi_answer(int error, const char *group = nullptr, const char *instance = nullptr,
                        int type = 0, uint32_t len = 0, const void *value = nullptr)
{
    dpi_packet *req = mkDPIhdr_version(DPI_PACKET_GET, 2, 0);
    dpi_binding *b = type ? mkDPIset_packet(nullptr, group, instance, type, len, value) : nullptr;
    const unsigned char *p = mkDPIresp(req, error, error ? 1 : 0, b);
    fDPIparse(req);
    return p ? Bytes(p, p + DPI_PACKET_LEN(p)) : Bytes{};
}

inline Bytes dpi_int_answer(const char *group, const char *instance, int32_t v)
{
    return dpi_answer(0, group, instance, DPI_TYPE_INTEGER32, 4, &v);
}

class RelayTest : public ::testing::Test {
protected:
    SocketPair agent;
    SocketPair sub[3];

    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN); // as the daemon does
        clear_mop_list();
        smux_reset_state();
        tracing = 0;
        smux_fd = agent.theirs;
        dpi_port = 4321;
        std::snprintf(myoid, sizeof myoid, "%s", "1.3.6.1.4.1.59981.2.1.1.1");
        myoid_set = true;
        for (int &s : sa_fds)
            s = -1;
        for (int i = 0; i < 3; ++i)
            sa_fds[i] = sub[i].theirs;
    }
    void TearDown() override
    {
        clear_mop_list();
        smux_reset_state();
        drop_failed_subagents();
        for (int i = 0; i < 3; ++i)
            if (sa_fds[i] >= 0)
                close(sa_fds[i]);
        for (int &s : sa_fds)
            s = -1;
        close(agent.theirs);
        smux_fd = -1;
        tracing = 0;
    }

    // Registers a subtree for subagent i, leaving the RReqPDU unread.
    void own(const char *subtree, int i)
    {
        ASSERT_EQ(register_object(subtree, i < 0 ? -1 : sub[i].theirs), 0);
        flush_registrations(true);
    }
};

// One binding with a name and a NULL value, freed with the test.
struct Binding {
    snmp_varbind vb{};
    explicit Binding(const char *name, snmp_container *value = nullptr)
    {
        vb.name = snmp_create_oid_container(name);
        vb.value = value ? value : snmp_create_value_container(nullptr, 0, SNMP_TAG_NULL, 0);
    }
    ~Binding()
    {
        snmp_free_container(vb.name);
        snmp_free_container(vb.value);
    }
    std::string name() const { return oid_str(vb.name); }
};

#endif
