// The codecs against net-snmp: its agent answers our messages, its tools'
// requests decode, and the subagent connection layer finds a port that the
// agent publishes.
#include "dpi_connect.h"
#include "smux_codec.h"
#include "snmp_dpi.h"

#include "hexvec.h"
#include "netsnmp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace netsnmp;

#define NEED_NETSNMP(...)                                                           \
    do {                                                                            \
        for (const char *prog : {__VA_ARGS__})                                      \
            if (find_program(prog).empty())                                         \
                GTEST_SKIP() << prog << " is not installed (Debian packages snmpd, snmp)"; \
    } while (0)

std::string oid_text(const snmp_container *c)
{
    char *t = snmp_oid_to_string(c);
    std::string s = t ? t : "";
    std::free(t);
    return s;
}

std::string string_value(const snmp_container *c)
{
    return std::string(reinterpret_cast<const char *>(snmp_container_bytes(c)), c->length);
}

// An SNMPv1 message built and decoded with the codec.
struct Message {
    unsigned char community[256] = {};
    snmp_message msg{};

    explicit Message(const char *comm = "public", int type = SNMP_GET, uint32_t room = 16)
    {
        msg.community = community;
        msg.community_size = sizeof community;
        std::strcpy(reinterpret_cast<char *>(community), comm);
        msg.community_len = static_cast<uint32_t>(std::strlen(comm));
        msg.type = static_cast<uint8_t>(type);
        msg.request = snmp_alloc_pdu(room);
        msg.request_size = SNMP_PDU_BYTES(room);
        msg.request->type = msg.type;
    }
    ~Message() { snmp_free_message(&msg); }

    void add(const char *oid, const void *value = nullptr, uint32_t len = 0, int tag = SNMP_TAG_NULL)
    {
        snmp_varbind &b = msg.request->varbinds[msg.request->count++];
        b.name = snmp_create_oid_container(oid);
        b.value = snmp_create_value_container(value, len, tag, 0);
    }
    Bytes encode()
    {
        static unsigned char buf[4096];
        unsigned char *start = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(snmp_encode_message(buf, sizeof buf, &start, &len, &msg), 0);
        return Bytes(start, start + len);
    }
    int decode(const Bytes &b)
    {
        ExactCopy c(b, b.size());
        return snmp_decode_message(&msg, c.data(), static_cast<uint32_t>(b.size()));
    }
    const snmp_varbind &vb(uint32_t i) const { return msg.request->varbinds[i]; }
};

// Sends `request` to the agent and decodes its answer into `answer`; retries
// while the agent starts up.
bool ask(const UdpSocket &s, int port, Message &request, Message &answer, int tries = 1)
{
    const Bytes q = request.encode();
    for (int i = 0; i < tries; ++i) {
        if (!s.send_to(port, q.data(), q.size()))
            return false;
        const Bytes a = s.receive(i + 1 == tries ? 3000 : 250);
        if (!a.empty())
            return answer.decode(a) == 0;
    }
    return false;
}

const char kPortScript[] =
    "#!/bin/sh\n"
    "# Stand-in for the relay's port object: answers a get of kind 1 with the\n"
    "# port in the file next to it.\n"
    "if [ \"$1\" = \"-g\" ] && [ \"$2\" = \".1.3.6.1.4.1.59981.2.1.1.1.0\" ]; then\n"
    "  echo \"$2\"; echo integer; cat \"$(dirname \"$0\")/dpi_port\"\n"
    "fi\n";

struct AgentWithPortObject {
    TempDir dir;
    std::unique_ptr<Agent> agent;
    UdpSocket sock;

    explicit AgentWithPortObject(const std::string &dpi_port = "1234")
    {
        dir.write("port.sh", kPortScript);
        dir.write("dpi_port", dpi_port + "\n");
        agent = std::make_unique<Agent>(dir, "pass .1.3.6.1.4.1.59981.2.1.1 /bin/sh " + dir.file("port.sh") + "\n");
    }
    // Waits until the agent answers.
    bool ready()
    {
        Message q;
        q.add("1.3.6.1.2.1.1.3.0");
        Message a;
        return agent->child->started() && ask(sock, agent->port, q, a, 40);
    }
};

TEST(NetSnmpAgent, AnswersAnEncodedGet)
{
    NEED_NETSNMP("snmpd");
    AgentWithPortObject env;
    ASSERT_TRUE(env.ready()) << env.agent->log();

    Message q("public", SNMP_GET);
    q.msg.request->request_id = 0x7654321;
    q.add("1.3.6.1.2.1.1.1.0");
    q.add("1.3.6.1.2.1.1.2.0");
    q.add("1.3.6.1.2.1.1.3.0");
    q.add("1.3.6.1.4.1.59981.2.1.1.1.0");
    Message a;
    ASSERT_TRUE(ask(env.sock, env.agent->port, q, a)) << env.agent->log();
    EXPECT_EQ(a.msg.type, SNMP_RESPONSE);
    EXPECT_STREQ(reinterpret_cast<char *>(a.community), "public");
    EXPECT_EQ(a.msg.request->request_id, 0x7654321);
    EXPECT_EQ(a.msg.request->error_status, 0);
    ASSERT_EQ(a.msg.request->count, 4u);
    EXPECT_EQ(oid_text(a.vb(0).name), "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(a.vb(0).value->tag, SNMP_TAG_OCTET_STRING);
    EXPECT_EQ(string_value(a.vb(0).value).rfind("Linux", 0), 0u) << string_value(a.vb(0).value);
    EXPECT_EQ(a.vb(1).value->tag, SNMP_TAG_OID);
    EXPECT_EQ(oid_text(a.vb(1).value).rfind("1.3.6.1.4.1.8072.", 0), 0u);
    EXPECT_EQ(a.vb(2).value->tag, SNMP_TAG_TIMETICKS);
    EXPECT_EQ(a.vb(3).value->tag, SNMP_TAG_INTEGER);
    EXPECT_EQ(*snmp_container_int(a.vb(3).value), 1234);
}

TEST(NetSnmpAgent, GetNextSetAndErrors)
{
    NEED_NETSNMP("snmpd");
    AgentWithPortObject env;
    ASSERT_TRUE(env.ready()) << env.agent->log();

    Message next("public", SNMP_GETNEXT);
    next.add("1.3.6.1.2.1.1");
    Message a;
    ASSERT_TRUE(ask(env.sock, env.agent->port, next, a));
    EXPECT_EQ(oid_text(a.vb(0).name), "1.3.6.1.2.1.1.1.0");

    Message missing("public", SNMP_GET);
    missing.add("1.3.6.1.2.1.1.3.0");
    missing.add("1.3.6.1.2.1.1.99.0");
    Message e;
    ASSERT_TRUE(ask(env.sock, env.agent->port, missing, e));
    EXPECT_EQ(e.msg.request->error_status, 2); // noSuchName
    EXPECT_EQ(e.msg.request->error_index, 2);

    const char where[] = "rack 4, row 2";
    Message set("private", SNMP_SET);
    set.add("1.3.6.1.2.1.1.6.0", where, sizeof where - 1, SNMP_TAG_OCTET_STRING);
    Message s;
    ASSERT_TRUE(ask(env.sock, env.agent->port, set, s)) << env.agent->log();
    EXPECT_EQ(s.msg.request->error_status, 0);
    Message get("public", SNMP_GET);
    get.add("1.3.6.1.2.1.1.6.0");
    Message g;
    ASSERT_TRUE(ask(env.sock, env.agent->port, get, g));
    EXPECT_EQ(string_value(g.vb(0).value), where);

    // The read-only community cannot set.
    Message ro("public", SNMP_SET);
    ro.add("1.3.6.1.2.1.1.6.0", where, 4, SNMP_TAG_OCTET_STRING);
    Message r;
    ASSERT_TRUE(ask(env.sock, env.agent->port, ro, r));
    EXPECT_NE(r.msg.request->error_status, 0);
}

TEST(NetSnmpAgent, PortQueryFindsThePublishedPort)
{
    NEED_NETSNMP("snmpd");
    AgentWithPortObject env("1234");
    ASSERT_TRUE(env.ready()) << env.agent->log();
    setenv("SNMP_PORT", std::to_string(env.agent->port).c_str(), 1);
    EXPECT_EQ(qDPIport("127.0.0.1", "public", DPI_PORT_KIND_TCP), 1234);
    EXPECT_EQ(qDPIport("localhost", "public", DPI_PORT_KIND_TCP), 1234);
    // Kind 2 is not published: the answer is noSuchName with a NULL value.
    EXPECT_EQ(qDPIport("127.0.0.1", "public", 2), -1);
    EXPECT_EQ(qDPIport("127.0.0.1", "public", 4), -1);
    EXPECT_EQ(qDPIport("127.0.0.1", std::string(91, 'c').c_str(), 1), -1);
    EXPECT_EQ(qDPIport("no such host.invalid", "public", 1), -1);

    // A port outside 1 to 65535 is no port.
    env.dir.write("dpi_port", "70000\n");
    EXPECT_EQ(qDPIport("127.0.0.1", "public", DPI_PORT_KIND_TCP), -1);
    env.dir.write("dpi_port", "0\n");
    EXPECT_EQ(qDPIport("127.0.0.1", "public", DPI_PORT_KIND_TCP), -1);
    EXPECT_EQ(DPIconnect_to_agent_TCP("127.0.0.1", "public"), DPI_RC_NO_PORT);
    unsetenv("SNMP_PORT");
}

// A TCP listener of the test standing in for the relay's DPI port.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    Listener()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, 5) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};

void write_all(int fd, const Bytes &b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

Bytes read_packet(int fd)
{
    unsigned char prefix[2];
    if (recv(fd, prefix, 2, MSG_WAITALL) != 2)
        return {};
    Bytes b(2 + ((prefix[0] << 8) | prefix[1]));
    b[0] = prefix[0];
    b[1] = prefix[1];
    if (b.size() > 2 && recv(fd, b.data() + 2, b.size() - 2, MSG_WAITALL) != static_cast<ssize_t>(b.size() - 2))
        return {};
    return b;
}

TEST(NetSnmpAgent, SubagentConnectsToThePublishedPort)
{
    NEED_NETSNMP("snmpd");
    Listener relay;
    ASSERT_GT(relay.port, 0);
    AgentWithPortObject env(std::to_string(relay.port));
    ASSERT_TRUE(env.ready()) << env.agent->log();
    setenv("SNMP_PORT", std::to_string(env.agent->port).c_str(), 1);
    const int h = DPIconnect_to_agent_TCP("127.0.0.1", "public");
    unsetenv("SNMP_PORT");
    ASSERT_GE(h, 0);
    ASSERT_LT(h, DPI_MAX_CONNECTIONS);
    const int peer = accept(relay.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    EXPECT_GE(DPIget_fd_for_handle(h), 0);

    // Subagent to relay: an OPEN, parsed on the other side.
    const unsigned char *open = mkDPIopen("1.3.6.1.4.1.59981.3", "test subagent", 5, 1, 0, 0, nullptr);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(DPIsend_packet_to_agent(h, open, DPI_PACKET_LEN(open)), 0);
    const Bytes got = read_packet(peer);
    ASSERT_FALSE(got.empty());
    dpi_packet *req = pDPIpacket_n(got.data(), static_cast<uint32_t>(got.size()));
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->type, DPI_PACKET_OPEN);

    // Relay to subagent: the answer carries the OPEN's packet id.
    const unsigned char *resp = mkDPIresp(req, 0, 0, nullptr);
    ASSERT_NE(resp, nullptr);
    write_all(peer, Bytes(resp, resp + DPI_PACKET_LEN(resp)));
    unsigned char *packet = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(DPIawait_packet_from_agent(h, 5, &packet, &len), 0);
    EXPECT_EQ(len + 2, DPI_PACKET_LEN(resp));
    dpi_packet *ans = pDPIpacket(packet);
    ASSERT_NE(ans, nullptr);
    EXPECT_EQ(ans->type, DPI_PACKET_RESPONSE);
    EXPECT_EQ(ans->packet_id, req->packet_id);
    fDPIparse(ans);
    fDPIparse(req);

    // A packet of 4095 bytes is read away; the next one arrives in step.
    Bytes big(4097, 0);
    big[0] = 0x0F;
    big[1] = 0xFF;
    write_all(peer, big);
    const unsigned char *ayt = mkDPIayt();
    write_all(peer, Bytes(ayt, ayt + DPI_PACKET_LEN(ayt)));
    EXPECT_EQ(DPIawait_packet_from_agent(h, 5, &packet, &len), DPI_RC_PACKET_TOO_LARGE);
    ASSERT_EQ(DPIawait_packet_from_agent(h, 5, &packet, &len), 0);
    EXPECT_EQ(len, 6u);

    // Nothing to read: a time-out; half a prefix and silence: a time-out too.
    EXPECT_EQ(DPIawait_packet_from_agent(h, 0, &packet, &len), DPI_RC_TIMEOUT);
    write_all(peer, Bytes{0x00});
    EXPECT_EQ(DPIawait_packet_from_agent(h, 1, &packet, &len), DPI_RC_TIMEOUT);

    // The relay goes away: end of file, and the handle is released.
    close(peer);
    EXPECT_EQ(DPIawait_packet_from_agent(h, 5, &packet, &len), DPI_RC_EOF);
    EXPECT_EQ(DPIget_fd_for_handle(h), DPI_RC_INVALID_HANDLE);
    EXPECT_EQ(DPIsend_packet_to_agent(h, ayt, 8), DPI_RC_INVALID_HANDLE);
    EXPECT_EQ(DPIconnect_to_agent_UNIXstream(), DPI_RC_NOT_SUPPORTED);
}

TEST(DpiConnect, ArgumentChecks)
{
    unsigned char *packet;
    uint32_t len;
    EXPECT_EQ(DPIget_fd_for_handle(-1), DPI_RC_INVALID_HANDLE);
    EXPECT_EQ(DPIget_fd_for_handle(3), DPI_RC_INVALID_HANDLE);
    EXPECT_EQ(DPIawait_packet_from_agent(0, 0, &packet, &len), DPI_RC_INVALID_HANDLE);
    EXPECT_EQ(DPIsend_packet_to_agent(7, nullptr, 0), DPI_RC_INVALID_HANDLE);
    DPIdisconnect_from_agent(2);
    EXPECT_EQ(qDPIport(nullptr, "public", 1), -1);
    EXPECT_EQ(qDPIport("127.0.0.1", nullptr, 1), -1);
    EXPECT_EQ(qDPIport("127.0.0.1", "public", 0), -1);
}

// Answers from a stand-in agent of the test: short, odd and retried ones.
TEST(DpiConnect, PortAnswersFromAStandIn)
{
    UdpSocket agent;
    setenv("SNMP_PORT", std::to_string(agent.port).c_str(), 1);
    struct Case {
        const char *answer;
        int port;
    } cases[] = {
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 02 04 D2", 1234},
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 01 50", 80},
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 03 00 FF FF", 65535},
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 03 01 00 00", -1},
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 01 FF", -1},
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 00", -1},
        {"06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 02 00 02 02 04 D2", -1}, // kind 2
        {"02 02 04 D2", -1}, // shorter than the object
        {"D2", -1},
    };
    for (const Case &c : cases) {
        std::thread answerer([&] {
            sockaddr_in from{};
            const Bytes q = agent.receive(5000, &from);
            // The query: version 0, the community, one NULL binding.
            EXPECT_EQ(to_hex(q), "30 2B 02 01 00 04 06 70 75 62 6C 69 63 A0 1E 02 01 01 02 01 00 02 01 00 "
                                 "30 13 30 11 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 05 00");
            const Bytes a = hex(c.answer);
            agent.reply(from, a.data(), a.size());
        });
        EXPECT_EQ(qDPIport("127.0.0.1", "public", 1), c.port) << c.answer;
        answerer.join();
    }

    // The first query goes unanswered; the one resent after 3 seconds is.
    std::thread late([&] {
        sockaddr_in from{};
        EXPECT_FALSE(agent.receive(5000, &from).empty());
        const Bytes again = agent.receive(5000, &from);
        EXPECT_FALSE(again.empty());
        const Bytes a = hex("06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 02 1F 90");
        agent.reply(from, a.data(), a.size());
    });
    EXPECT_EQ(qDPIport("127.0.0.1", "public", 1), 8080);
    late.join();
    unsetenv("SNMP_PORT");
}

// net-snmp's own tools send their requests to a socket of the test, which
// decodes them and answers with the codec.
std::vector<std::string> tool(const char *name, const char *community, int port,
                              std::initializer_list<std::string> rest)
{
    std::vector<std::string> argv = {name, "-v1", "-r", "0", "-t", "5", "-M", "/dev/null",
                                     "-m", "", "-On", "-c", community,
                                     "udp:127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), rest);
    return argv;
}

TEST(NetSnmpTools, GetAndGetNextRequestsDecode)
{
    NEED_NETSNMP("snmpget", "snmpgetnext");
    for (const char *name : {"snmpget", "snmpgetnext"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        UdpSocket sock;
        std::vector<std::string> argv =
            tool(name, "public", sock.port, {"1.3.6.1.2.1.1.1.0", "1.3.6.1.4.1.59981.2.1.1.1.0"});
        argv[0] = find_program(name);
        Child child(argv, dir, "out");
        ASSERT_TRUE(child.started());

        Message m("x", SNMP_GET, 8);
        sockaddr_in from{};
        const Bytes q = sock.receive(5000, &from);
        ASSERT_EQ(m.decode(q), 0) << to_hex(q);
        EXPECT_EQ(m.msg.type, std::strcmp(name, "snmpget") == 0 ? SNMP_GET : SNMP_GETNEXT);
        EXPECT_STREQ(reinterpret_cast<char *>(m.community), "public");
        ASSERT_EQ(m.msg.request->count, 2u);
        EXPECT_EQ(oid_text(m.vb(0).name), "1.3.6.1.2.1.1.1.0");
        EXPECT_EQ(oid_text(m.vb(1).name), "1.3.6.1.4.1.59981.2.1.1.1.0");
        EXPECT_EQ(m.vb(0).value->tag, SNMP_TAG_NULL);

        // Answer with our encoder; the tool prints what it understood.
        m.msg.type = SNMP_RESPONSE;
        m.msg.request->type = SNMP_RESPONSE;
        m.msg.request->varbinds[0].value =
            snmp_replace_container_value(m.vb(0).value, "hello", 5, SNMP_TAG_OCTET_STRING, 0);
        const int32_t port = 1234;
        m.msg.request->varbinds[1].value =
            snmp_replace_container_value(m.vb(1).value, &port, 4, SNMP_TAG_INTEGER, 0);
        const Bytes a = m.encode();
        ASSERT_TRUE(sock.reply(from, a.data(), a.size()));
        EXPECT_EQ(child.wait(10), 0);
        const std::string out = dir.read("out");
        EXPECT_NE(out.find(".1.3.6.1.2.1.1.1.0 = STRING: \"hello\""), std::string::npos) << out;
        EXPECT_NE(out.find(".1.3.6.1.4.1.59981.2.1.1.1.0 = INTEGER: 1234"), std::string::npos) << out;
    }
}

TEST(NetSnmpTools, SetRequestsDecodeWithEveryValueType)
{
    NEED_NETSNMP("snmpset");
    TempDir dir;
    UdpSocket sock;
    std::vector<std::string> argv = tool(
        "snmpset", "private", sock.port,
        {"1.3.6.1.4.1.59981.1.1", "i", "-5", "1.3.6.1.4.1.59981.1.2", "u", "4294967295",
         "1.3.6.1.4.1.59981.1.3", "t", "8640000", "1.3.6.1.4.1.59981.1.4", "a", "10.1.2.3",
         "1.3.6.1.4.1.59981.1.5", "o", "1.3.6.1.4.1.59981.2", "1.3.6.1.4.1.59981.1.6", "s", "text",
         "1.3.6.1.4.1.59981.1.7", "x", "00FF80", "1.3.6.1.4.1.59981.1.8", "i", "2147483647"});
    argv[0] = find_program("snmpset");
    Child child(argv, dir, "out");
    ASSERT_TRUE(child.started());

    Message m("x", SNMP_GET, 16);
    sockaddr_in from{};
    const Bytes q = sock.receive(5000, &from);
    ASSERT_EQ(m.decode(q), 0) << to_hex(q);
    EXPECT_EQ(m.msg.type, SNMP_SET);
    EXPECT_STREQ(reinterpret_cast<char *>(m.community), "private");
    ASSERT_EQ(m.msg.request->count, 8u);
    EXPECT_EQ(m.vb(0).value->tag, SNMP_TAG_INTEGER);
    EXPECT_EQ(*snmp_container_int(m.vb(0).value), -5);
    EXPECT_EQ(m.vb(1).value->tag, SNMP_TAG_GAUGE);
    EXPECT_EQ(*snmp_container_uint(m.vb(1).value), 4294967295u);
    EXPECT_EQ(m.vb(2).value->tag, SNMP_TAG_TIMETICKS);
    EXPECT_EQ(*snmp_container_uint(m.vb(2).value), 8640000u);
    EXPECT_EQ(m.vb(3).value->tag, SNMP_TAG_IPADDRESS);
    EXPECT_EQ(to_hex(snmp_container_bytes(m.vb(3).value), 4), "0A 01 02 03");
    EXPECT_EQ(oid_text(m.vb(4).value), "1.3.6.1.4.1.59981.2");
    EXPECT_EQ(string_value(m.vb(5).value), "text");
    EXPECT_EQ(to_hex(snmp_container_bytes(m.vb(6).value), m.vb(6).value->length), "00 FF 80");
    EXPECT_EQ(*snmp_container_int(m.vb(7).value), 2147483647);

    // The same bindings back as the answer, re-encoded.
    m.msg.type = SNMP_RESPONSE;
    m.msg.request->type = SNMP_RESPONSE;
    const Bytes a = m.encode();
    Bytes expect = q;
    // Only the PDU tag differs between the request and the echoed answer.
    const size_t pdu_at = (q[1] < 0x80 ? 2u : 2u + (q[1] & 0x7Fu)) + 3 + 2 + 7;
    ASSERT_EQ(q[pdu_at], SNMP_SET);
    expect[pdu_at] = SNMP_RESPONSE;
    EXPECT_EQ(to_hex(a), to_hex(expect));
    ASSERT_TRUE(sock.reply(from, a.data(), a.size()));
    EXPECT_EQ(child.wait(10), 0);
    const std::string out = dir.read("out");
    for (const char *line : {".1.3.6.1.4.1.59981.1.1 = INTEGER: -5", ".1.3.6.1.4.1.59981.1.2 = Gauge32: 4294967295",
                             ".1.3.6.1.4.1.59981.1.4 = IpAddress: 10.1.2.3",
                             ".1.3.6.1.4.1.59981.1.5 = OID: .1.3.6.1.4.1.59981.2",
                             ".1.3.6.1.4.1.59981.1.6 = STRING: \"text\"",
                             ".1.3.6.1.4.1.59981.1.8 = INTEGER: 2147483647"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

TEST(NetSnmpTools, TrapsDecode)
{
    NEED_NETSNMP("snmptrap");
    TempDir dir;
    UdpSocket sock;
    std::vector<std::string> argv = tool("snmptrap", "public", sock.port,
                                         {"1.3.6.1.4.1.59981.2", "10.1.2.3", "6", "17", "12345",
                                          "1.3.6.1.4.1.59981.2.1.1.1.0", "i", "5"});
    argv[0] = find_program("snmptrap");
    Child child(argv, dir, "out");
    ASSERT_TRUE(child.started());
    Message m("x", SNMP_GET, 4);
    const Bytes q = sock.receive(5000);
    ASSERT_EQ(m.decode(q), 0) << to_hex(q);
    EXPECT_EQ(child.wait(10), 0);
    ASSERT_EQ(m.msg.type, SNMP_TRAP);
    const snmp_trap_pdu *t = m.msg.trap;
    EXPECT_EQ(oid_text(t->enterprise), "1.3.6.1.4.1.59981.2");
    EXPECT_EQ(to_hex(t->agent_addr, 4), "0A 01 02 03");
    EXPECT_EQ(t->generic, 6);
    EXPECT_EQ(t->specific, 17);
    EXPECT_EQ(t->time_stamp, 12345u);
    ASSERT_EQ(t->count, 1u);
    EXPECT_EQ(*snmp_container_int(t->varbinds[0].value), 5);
    // Our encoder gives the tool's bytes back.
    static unsigned char buf[4096];
    unsigned char *start;
    uint32_t len;
    ASSERT_EQ(snmp_encode_message(buf, sizeof buf, &start, &len, &m.msg), 0);
    EXPECT_EQ(to_hex(start, len), to_hex(q));
}

} // namespace
