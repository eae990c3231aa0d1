// The daemon's side of the agent connection and its helpers: framing of the
// SMUX stream, answers built from a request's bytes, the peers file, the
// command line, and the handling of whole SMUX messages.
#include "relay_fixture.h"
#include "smuxbridge_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// An encoded SMUX request with the given bindings (NULL values).
Bytes request(int type, int32_t id, std::initializer_list<const char *> names,
              snmp_container *value = nullptr)
{
    snmp_pdu *req = snmp_alloc_pdu(8);
    req->type = static_cast<uint8_t>(type);
    req->request_id = id;
    for (const char *n : names) {
        snmp_varbind &b = req->varbinds[req->count++];
        b.name = snmp_create_oid_container(n);
        b.value = value ? snmp_copy_container_value(nullptr, value)
                        : snmp_create_value_container(nullptr, 0, SNMP_TAG_NULL, 0);
    }
    smux_pdu pdu{};
    pdu.type = static_cast<uint8_t>(type);
    pdu.request = req;
    unsigned char *start = nullptr;
    uint32_t len = 0;
    const int rc = smux_encode_message(&start, &len, &pdu);
    Bytes out = rc == 0 ? Bytes(start, start + len) : Bytes{};
    snmp_free_pdu(req);
    return out;
}

TEST(SmuxStream, FramesMessagesAcrossAndWithinReads)
{
    struct Case {
        const char *bytes;
        long length;
    } cases[] = {
        {"41 01 00", 3},
        {"43 01", 3},            // header complete, content not here yet
        {"43", 0},
        {"A0 81 80", 3 + 128},
        {"A0 82 01 00", 4 + 256},
        {"A0 81", 0},
        {"A0 80", -1},           // indefinite length
        {"A0 85 00 00 00 00 01", -1},
        {"BF 01 00", -1},        // multi-byte tag
        {"A0 83 01 00 00", -1},  // longer than any message the daemon takes
    };
    for (const Case &c : cases) {
        const Bytes b = hex(c.bytes);
        EXPECT_EQ(smux_frame_length(b.data(), b.size()), c.length) << c.bytes;
    }

    // An SOutPDU and a request in one read, then a request cut in two.
    SmuxStream s;
    const Bytes get = request(SNMP_GET, 7, {"1.3.6.1.2.1.1.1.0"});
    Bytes first = hex("44 01 00");
    first.insert(first.end(), get.begin(), get.end());
    first.insert(first.end(), get.begin(), get.begin() + 5);
    s.feed(first.data(), first.size());
    Bytes msg;
    ASSERT_EQ(s.next(msg), 1);
    EXPECT_EQ(to_hex(msg), "44 01 00");
    ASSERT_EQ(s.next(msg), 1);
    EXPECT_EQ(msg, get);
    EXPECT_EQ(s.next(msg), 0);
    EXPECT_EQ(s.pending(), 5u);
    s.feed(get.data() + 5, get.size() - 5);
    ASSERT_EQ(s.next(msg), 1);
    EXPECT_EQ(msg, get);
    EXPECT_EQ(s.pending(), 0u);
    const Bytes bad = hex("A0 80 00");
    s.feed(bad.data(), bad.size());
    EXPECT_EQ(s.next(msg), -1);
}

TEST(SmuxStream, AnswersBuiltFromTheRequestBytes)
{
    Bytes out;
    // GetNext with request id 0x1234 and one binding: the bindings come back.
    const Bytes req = hex("A1 1B 02 02 12 34 02 01 00 02 01 00 30 0F 30 0D 06 09 2B 06 01 04 01 83 D4 4D 09 05 00");
    ASSERT_TRUE(smux_raw_response(req.data(), req.size(), 1, 0, out));
    EXPECT_EQ(to_hex(out), "A2 1B 02 02 12 34 02 01 01 02 01 00 30 0F 30 0D 06 09 2B 06 01 04 01 83 D4 4D 09 05 00");
    // A large index takes more bytes; a Set whose bindings hold a Counter64.
    const Bytes set = hex("A3 1E 02 01 05 02 01 00 02 01 00 30 13 30 11 06 04 2B 06 01 04 46 09 01 00 00 00 00 00 00 00 01");
    ASSERT_TRUE(smux_raw_response(set.data(), set.size(), 5, 300, out));
    EXPECT_EQ(to_hex(out),
              "A2 1F 02 01 05 02 01 05 02 02 01 2C 30 13 30 11 06 04 2B 06 01 04 46 09 01 00 00 00 00 00 00 00 01");
    // Bindings that cannot be delimited are left out; no request id, no answer.
    const Bytes cut = hex("A0 0B 02 01 09 02 01 00 02 01 00 30 07");
    ASSERT_TRUE(smux_raw_response(cut.data(), cut.size(), 5, 0, out));
    EXPECT_EQ(to_hex(out), "A2 0B 02 01 09 02 01 05 02 01 00 30 00");
    for (const char *no : {"A0 03 04 01 09", "A2 03 02 01 09", "A0 05 02 01", "62 03 02 01 01"}) {
        const Bytes b = hex(no);
        EXPECT_FALSE(smux_raw_response(b.data(), b.size(), 5, 0, out)) << no;
        EXPECT_TRUE(out.empty());
    }
}

struct PeersFile {
    std::FILE *f = std::tmpfile();
    explicit PeersFile(const std::string &text)
    {
        std::fputs(text.c_str(), f);
        std::rewind(f);
    }
    ~PeersFile() { std::fclose(f); }
};

TEST(PeersFile, TokensQuotesCommentsAndLimits)
{
    struct Case {
        const char *text;
        const char *name;
        int rc;
        const char *oid;
        const char *pw;
        int lines;
    } cases[] = {
        {"\"smuxbridge\" \"1.3.6.1.4.1.59981.2\" \"secret\" extra\n", "smuxbridge", 1, "1.3.6.1.4.1.59981.2", "secret", 1},
        {"#smuxbridge 1.3.6 pw\nother 1.3.7 x\n", "smuxbridge", 0, "old", "oldpw", 2},
        {"smuxbridge 1.3.6 # pw\n", "smuxbridge", 1, "1.3.6", "oldpw", 1},
        {"\n   \t\nsmuxbridge\t1.3.6\v\"pw\"\nsmuxbridge 9.9 no\n", "smuxbridge", 1, "1.3.6", "pw", 3},
        {"SMUXBRIDGE 1.3.6 pw\nsmux.x 1.3.7 q\n", "smux.x", 1, "1.3.7", "q", 2},
        {"smuxbridge\n", "smuxbridge", 1, "old", "oldpw", 1},
        {"smuxbridge 1.3.6 " + std::string(16, 'p') + "\n" == "" ? "" : "x 1 2\n", "smuxbridge", 0, "old", "oldpw", 1},
    };
    for (const Case &c : cases) {
        PeersFile file(c.text);
        char oid[32] = "old", pw[16] = "oldpw";
        bool set = false;
        int lines = -1;
        EXPECT_EQ(read_peers_file(file.f, c.name, {oid, sizeof oid, &set, pw, sizeof pw}, &lines), c.rc) << c.text;
        EXPECT_STREQ(oid, c.oid) << c.text;
        EXPECT_STREQ(pw, c.pw) << c.text;
        EXPECT_EQ(lines, c.lines) << c.text;
    }
    // A token longer than its field fails and changes nothing.
    for (const std::string &text : {"smuxbridge 1.3.6 " + std::string(16, 'p') + "\n",
                                    "smuxbridge 1.3.6." + std::string(40, '1') + " pw\n"}) {
        PeersFile file(text);
        char oid[32] = "old", pw[16] = "oldpw";
        bool set = false;
        int lines = 0;
        EXPECT_EQ(read_peers_file(file.f, "smuxbridge", {oid, sizeof oid, &set, pw, sizeof pw}, &lines),
                  PEERS_TOO_LONG);
        EXPECT_STREQ(oid, "old");
        EXPECT_STREQ(pw, "oldpw");
        EXPECT_FALSE(set);
    }
}

TEST(CommandLine, NamesAndTraceLevels)
{
    struct Name {
        const char *argv0, *name;
    } names[] = {{"/usr/sbin/smuxbridge", "smuxbridge"}, {"/x/smux.relay2", "relay2"}, {"smux.", "smux."},
                 {"smux.a", "a"}, {"dir/", "dir/"}, {"plain", "plain"}};
    for (const Name &n : names) {
        set_myname(n.argv0);
        EXPECT_STREQ(myname, n.name) << n.argv0;
    }

    struct Args {
        std::vector<std::string> args;
        int rc, level;
        std::vector<std::string> shown, hidden;
    } cases[] = {
        {{"-d"}, 0, 31, {"Tracing set to 31\n", "   8 DPI-lvl1\n", "  16 DPI-lvl2\n"}, {"Internal"}},
        {{"-d", "0"}, 0, 0, {"Tracing set to 0\n"}, {"lvl"}},
        {{"-d", "224"}, 0, 224, {"  32 Internal-lvl1\n", "  64 Internal-lvl2\n", " 128 Internal-lvl3\n"}, {"DPI-lvl"}},
        {{"-d", "-d"}, 0, 0, {"Tracing set to 0\n"}, {}},
        {{"-x"}, 1, 0, {"usage:  prog [-d [level]]\n", "\nsmuxbridge version 1.0.00, Mar 16 1998, Compiled "}, {}},
        {{"-d", "8", "-v"}, 1, 8, {"usage:"}, {}},
    };
    for (const Args &c : cases) {
        std::vector<char *> argv{const_cast<char *>("prog")};
        for (const auto &a : c.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        tracing = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(parse_args(static_cast<int>(argv.size()), argv.data()), c.rc);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(tracing, c.level);
        for (const auto &s : c.shown)
            EXPECT_NE(out.find(s), std::string::npos) << s << " in " << out;
        for (const auto &s : c.hidden)
            EXPECT_EQ(out.find(s), std::string::npos) << s << " in " << out;
    }
    tracing = 0;
    DPIdebug(0);
}

TEST_F(RelayTest, AgentGetsItsAnswerBeforeAFailedSubagentIsWithdrawn)
{
    own("1.3.6.1.4.1.59981.9.1", 0);
    own("1.3.6.1.4.1.59981.9.2", 1);
    agent.drain();
    // Subagent 0 goes away while its request is relayed.
    close(sub[0].ours);
    sub[0].ours = -1;
    const Bytes get = request(SNMP_GET, 11, {"1.3.6.1.4.1.59981.9.1.1.0"});
    EXPECT_EQ(handle_smux_message(get.data(), static_cast<uint32_t>(get.size())), 0);
    auto msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 1u);
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(smux_decode_message(msgs[0].data(), static_cast<uint32_t>(msgs[0].size()), &pdu), 0);
    EXPECT_EQ(pdu->type, SNMP_RESPONSE);
    EXPECT_EQ(pdu->request->request_id, 11);
    EXPECT_EQ(pdu->request->error_status, SNMP_ERROR_GENERR);
    EXPECT_EQ(pdu->request->error_index, 1);
    EXPECT_TRUE(subagent_is_failed(sub[0].theirs));

    // Only now is its subtree withdrawn; the other one stays.
    const int fd0 = sub[0].theirs;
    sa_fds[0] = fd0;
    drop_failed_subagents();
    EXPECT_FALSE(subagent_is_failed(fd0));
    EXPECT_EQ(sa_fds[0], -1);
    // The deletion waits for a quiet agent.
    EXPECT_TRUE(agent.drain().empty());
    EXPECT_GE(registration_wait_ms(), 0);
    EXPECT_EQ(flush_registrations(true), 1);
    EXPECT_EQ(registration_wait_ms(), -1);
    msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 1u);
    ASSERT_EQ(smux_decode_message(msgs[0].data(), static_cast<uint32_t>(msgs[0].size()), &pdu), 0);
    EXPECT_EQ(pdu->type, SMUX_RREQ);
    EXPECT_EQ(pdu->operation, SMUX_OP_DELETE);
    EXPECT_EQ(oid_str(pdu->object), "1.3.6.1.4.1.59981.9.1");
    ASSERT_NE(mop_list, nullptr);
    EXPECT_EQ(mop_list->owner, sub[1].theirs);
    EXPECT_EQ(mop_list->next, nullptr);
}

TEST_F(RelayTest, RegistrationAnswersAndMessagesWithoutAnswers)
{
    own("1.3.6.1.4.1.59981.9.1", 0);
    agent.drain();
    const Bytes ok = hex("43 01 00"), refused = hex("43 01 FF"), sout = hex("44 01 00");
    // A positive answer to a registration announces itself with a trap.
    EXPECT_EQ(handle_smux_message(ok.data(), 3), 0);
    auto msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0][0], SNMP_TRAP);
    EXPECT_EQ(handle_smux_message(sout.data(), 3), 0);
    // A refused deletion is reported, the association stays.
    sa_fds[0] = sub[0].theirs;
    unregister_fd(sub[0].theirs);
    sub[0].theirs = -1;
    flush_registrations(true);
    agent.drain();
    testing::internal::CaptureStdout();
    EXPECT_EQ(handle_smux_message(refused.data(), 3), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Unregistration refused"), std::string::npos);
    // A refused registration drops it.
    own("1.3.6.1.4.1.59981.9.2", 1);
    agent.drain();
    testing::internal::CaptureStdout();
    EXPECT_NE(handle_smux_message(refused.data(), 3), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Registration failed"), std::string::npos);
    const Bytes close_pdu = hex("41 01 00");
    testing::internal::CaptureStdout();
    EXPECT_NE(handle_smux_message(close_pdu.data(), 3), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("SMUX CLOSE received"), std::string::npos);
    EXPECT_TRUE(agent.drain().empty());
}

TEST_F(RelayTest, UndecodableAndOversizedAnswersStillReachTheAgent)
{
    own("1.3.6.1.4.1.59981.9.1", 0);
    own(SMUXBRIDGE_OWN_SUBTREE, -1);
    agent.drain();
    // A Set of a Counter64 value cannot be decoded: genErr, same request id.
    const Bytes set = hex("A3 1E 02 01 05 02 01 00 02 01 00 30 13 30 11 06 04 2B 06 01 04 46 09 01 00 00 00 00 00 00 00 01");
    EXPECT_EQ(handle_smux_message(set.data(), static_cast<uint32_t>(set.size())), 0);
    auto msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(to_hex(msgs[0]),
              "A2 1E 02 01 05 02 01 05 02 01 00 30 13 30 11 06 04 2B 06 01 04 46 09 01 00 00 00 00 00 00 00 01");
    // Without a readable request id the association goes.
    const Bytes junk = hex("A0 03 04 01 00");
    EXPECT_NE(handle_smux_message(junk.data(), 5), 0);

    // Two bindings of 3000 bytes each do not fit one answer: tooBig with the
    // bindings the agent sent.
    const std::string big(3000, 'x');
    const Bytes get = request(SNMP_GET, 21, {"1.3.6.1.4.1.59981.9.1.3.0", "1.3.6.1.4.1.59981.9.1.3.0"});
    for (int i = 0; i < 2; ++i)
        sub[0].send(dpi_answer(0, "1.3.6.1.4.1.59981.9.1.", "3.0", DPI_TYPE_OCTET_STRING, 3000, big.data()));
    EXPECT_EQ(handle_smux_message(get.data(), static_cast<uint32_t>(get.size())), 0);
    msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 1u);
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(smux_decode_message(msgs[0].data(), static_cast<uint32_t>(msgs[0].size()), &pdu), 0);
    EXPECT_EQ(pdu->request->request_id, 21);
    EXPECT_EQ(pdu->request->error_status, SNMP_ERROR_TOOBIG);
    ASSERT_EQ(pdu->request->count, 2u);
    EXPECT_EQ(pdu->request->varbinds[1].value->tag, SNMP_TAG_NULL);

    // Several bindings: the first failure gives status and index.
    const Bytes mixed = request(SNMP_GET, 22, {SMUXBRIDGE_OWN_OBJECT, "1.3.6.1.4.1.59981.7.0"});
    EXPECT_EQ(handle_smux_message(mixed.data(), static_cast<uint32_t>(mixed.size())), 0);
    msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 1u);
    ASSERT_EQ(smux_decode_message(msgs[0].data(), static_cast<uint32_t>(msgs[0].size()), &pdu), 0);
    EXPECT_EQ(pdu->request->error_status, SNMP_ERROR_NOSUCHNAME);
    EXPECT_EQ(pdu->request->error_index, 2);
    EXPECT_EQ(*snmp_container_int(pdu->request->varbinds[0].value), 4321);
}

} // namespace

namespace {

TEST_F(RelayTest, RequestsAlreadySentAreServedBeforeARegistration)
{
    own(SMUXBRIDGE_OWN_SUBTREE, -1);
    agent.drain();
    // The agent asked, in two pieces of one stream, before the daemon
    // registers anything: the answers go out first.
    const Bytes get = request(SNMP_GET, 31, {SMUXBRIDGE_OWN_OBJECT});
    Bytes twice = get;
    const Bytes second = request(SNMP_GET, 32, {SMUXBRIDGE_OWN_OBJECT});
    twice.insert(twice.end(), second.begin(), second.end());
    agent.send(twice);
    ASSERT_EQ(register_object("1.3.6.1.4.1.59981.9.3", sub[0].theirs), 0);
    EXPECT_EQ(flush_registrations(true), 1);
    const auto msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0][0], SNMP_RESPONSE);
    EXPECT_EQ(msgs[1][0], SNMP_RESPONSE);
    EXPECT_EQ(msgs[2][0], SMUX_RREQ);
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(smux_decode_message(msgs[1].data(), static_cast<uint32_t>(msgs[1].size()), &pdu), 0);
    EXPECT_EQ(pdu->request->request_id, 32);
}

} // namespace

namespace {

// One pass of the main loop in which the agent's request makes a subagent go
// away and a new subagent is accepted on the descriptor just freed: the new
// one is not read from on the old one's readiness. It has sent nothing, so
// such a read would run into the read time-out, and a subagent whose read
// times out is dropped: the check that its connection is still open below
// catches it without timing the pass.
TEST_F(RelayTest, ADescriptorReusedInOnePassIsNotServedFromOldReadiness)
{
    own("1.3.6.1.4.1.59981.9.1", 0);
    agent.drain();
    dpi_fd = DPI_port();
    ASSERT_GE(dpi_fd, 0);
    FD_ZERO(&selectfds);
    nfds = 0;
    for (int fd : {smux_fd, dpi_fd, sub[0].theirs, sub[1].theirs, sub[2].theirs}) {
        FD_SET(fd, &selectfds);
        nfds = std::max(nfds, fd);
    }
    const int gone = sub[0].theirs;
    close(sub[0].ours);
    sub[0].ours = -1;
    const Bytes get = request(SNMP_GET, 41, {"1.3.6.1.4.1.59981.9.1.1.0"});
    agent.send(get);
    // A new subagent waits in the listen queue.
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(dpi_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);

    ASSERT_EQ(main_loop_pass(), 0);
    // The old subagent is gone and the new one sits on its descriptor.
    EXPECT_EQ(sa_fds[0], gone);
    pollfd p{client, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the new subagent's connection was closed";
    const auto msgs = smux_messages(agent.drain());
    ASSERT_GE(msgs.size(), 1u);
    EXPECT_EQ(msgs[0][0], SNMP_RESPONSE);

    close(client);
    close(dpi_fd);
    dpi_fd = -1;
    FD_ZERO(&selectfds);
}

} // namespace
