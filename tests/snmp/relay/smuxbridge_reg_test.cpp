// The registration list and the relay, against socket pairs standing in for
// the agent and the subagents.
#include "relay_fixture.h"

#include <cstring>

namespace {

constexpr const char *kA = "1.3.6.1.4.1.59981.9.1";
constexpr const char *kGroupA = "1.3.6.1.4.1.59981.9.1.";
constexpr const char *kB = "1.3.6.1.4.1.59981.9.2";
constexpr const char *kGroupB = "1.3.6.1.4.1.59981.9.2.";

std::vector<std::string> list_texts()
{
    std::vector<std::string> out;
    for (mop_entry *e = mop_list; e; e = e->next)
        out.push_back(oid_str(e->subtree) + "@" + std::to_string(e->owner));
    return out;
}

TEST_F(RelayTest, RegistrationListIsOrderedAndEachEntryIsRegistered)
{
    own("1.3.6.1.4.1.59981.9.2.", 0);
    own("1.3.6.1.4.1.59981.9", 1);
    own("1.3.6.1.4.1.59981.9.1", 0);
    own("1.3.6.1.4.1.59981.9.1", 1); // a duplicate goes before its twin
    own("1.3.6.1.4.1.59981.10", 2);
    EXPECT_EQ(flush_registrations(true), 0);
    const int a = sub[0].theirs, b = sub[1].theirs, c = sub[2].theirs;
    EXPECT_EQ(list_texts(), (std::vector<std::string>{
                                "1.3.6.1.4.1.59981.9@" + std::to_string(b),
                                "1.3.6.1.4.1.59981.9.1@" + std::to_string(b),
                                "1.3.6.1.4.1.59981.9.1@" + std::to_string(a),
                                "1.3.6.1.4.1.59981.9.2@" + std::to_string(a),
                                "1.3.6.1.4.1.59981.10@" + std::to_string(c)}));

    // Each registration went out as an RReqPDU: readWrite, priority -1.
    const auto msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 5u);
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(smux_decode_message(msgs[0].data(), static_cast<uint32_t>(msgs[0].size()), &pdu), 0);
    EXPECT_EQ(pdu->type, SMUX_RREQ);
    EXPECT_EQ(pdu->operation, SMUX_OP_READWRITE);
    EXPECT_EQ(pdu->priority, -1);
    EXPECT_EQ(oid_str(pdu->object), "1.3.6.1.4.1.59981.9.2");

    // Not an identifier: reported, nothing added.
    testing::internal::CaptureStdout();
    EXPECT_EQ(register_object("1.3..6", 0), -4);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Out of memory"), std::string::npos);
    EXPECT_EQ(list_texts().size(), 5u);

    // Without the agent the entry is kept, to be registered on the next open.
    smux_fd = -1;
    EXPECT_NE(register_object("1.3.6.1.4.1.59981.11", 2), 0);
    smux_fd = agent.theirs;
    EXPECT_EQ(list_texts().size(), 6u);
    EXPECT_EQ(register_subtrees(), 0);
    EXPECT_EQ(smux_messages(agent.drain()).size(), 6u);
}

TEST_F(RelayTest, OwnObjectPublishesThePort)
{
    own(SMUXBRIDGE_OWN_SUBTREE, -1);
    agent.drain();
    Binding get(SMUXBRIDGE_OWN_OBJECT);
    ASSERT_EQ(process_req(SNMP_GET, &get.vb), 0);
    EXPECT_EQ(get.vb.value->tag, SNMP_TAG_INTEGER);
    EXPECT_EQ(*snmp_container_int(get.vb.value), 4321);

    Binding subtree(SMUXBRIDGE_OWN_SUBTREE);
    EXPECT_EQ(process_req(SNMP_GET, &subtree.vb), SNMP_ERROR_NOSUCHNAME);
    Binding deeper("1.3.6.1.4.1.59981.2.1.1.1.0.1");
    EXPECT_EQ(process_req(SNMP_GET, &deeper.vb), SNMP_ERROR_NOSUCHNAME);

    Binding next("1.3.6.1.4.1.59981.2.1.1");
    ASSERT_EQ(process_req(SNMP_GETNEXT, &next.vb), 0);
    EXPECT_EQ(next.name(), SMUXBRIDGE_OWN_OBJECT);
    EXPECT_EQ(*snmp_container_int(next.vb.value), 4321);
    Binding past(SMUXBRIDGE_OWN_OBJECT);
    EXPECT_EQ(process_req(SNMP_GETNEXT, &past.vb), SNMP_ERROR_NOSUCHNAME);

    int32_t v = 1;
    Binding set(SMUXBRIDGE_OWN_OBJECT, snmp_create_value_container(&v, 4, SNMP_TAG_INTEGER, 0));
    EXPECT_EQ(process_req(SNMP_SET, &set.vb), SNMP_ERROR_NOSUCHNAME);
    // Nothing outside a registered subtree.
    Binding other("1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(process_req(SNMP_GET, &other.vb), SNMP_ERROR_NOSUCHNAME);
}

TEST_F(RelayTest, GetAsksTheOwnerWithGroupAndInstance)
{
    own(kA, 0);
    own(kB, 1);
    sub[1].send(dpi_int_answer(kGroupB, "3.0", 99));
    Binding get("1.3.6.1.4.1.59981.9.2.3.0");
    ASSERT_EQ(process_req(SNMP_GET, &get.vb), 0);
    EXPECT_EQ(*snmp_container_int(get.vb.value), 99);
    EXPECT_EQ(get.name(), "1.3.6.1.4.1.59981.9.2.3.0");
    DpiPackets asked(sub[1].drain());
    ASSERT_EQ(asked.size(), 1u);
    ASSERT_NE(asked[0], nullptr);
    EXPECT_EQ(asked[0]->type, DPI_PACKET_GET);
    EXPECT_STREQ(asked[0]->data.get->group, kGroupB);
    EXPECT_STREQ(asked[0]->data.get->instance, "3.0");
    EXPECT_TRUE(sub[0].drain().empty());

    // Counter64 cannot be relayed to an SNMPv1 agent: noSuchName.
    const uint32_t c64[] = {1, 2};
    sub[1].send(dpi_answer(0, kGroupB, "4.0", DPI_TYPE_COUNTER64, 8, c64));
    Binding big("1.3.6.1.4.1.59981.9.2.4.0");
    EXPECT_EQ(process_req(SNMP_GET, &big.vb), SNMP_ERROR_NOSUCHNAME);
    // DPI error codes become SNMPv1 statuses.
    sub[1].send(dpi_answer(17));
    EXPECT_EQ(process_req(SNMP_GET, &big.vb), SNMP_ERROR_NOSUCHNAME);
}

TEST_F(RelayTest, GetNextWalksOnToTheNextSubtree)
{
    own(kA, 0);
    own(kB, 1);
    own(SMUXBRIDGE_OWN_SUBTREE, -1); // sorts first: 59981.2 < 59981.9
    // A's subtree ends: B is asked from its beginning.
    sub[0].send(dpi_answer(2));
    sub[1].send(dpi_int_answer(kGroupB, "1.0", 5));
    Binding next("1.3.6.1.4.1.59981.9.1.13.0");
    ASSERT_EQ(process_req(SNMP_GETNEXT, &next.vb), 0);
    EXPECT_EQ(next.name(), "1.3.6.1.4.1.59981.9.2.1.0");
    EXPECT_EQ(*snmp_container_int(next.vb.value), 5);
    DpiPackets a(sub[0].drain()), b(sub[1].drain());
    ASSERT_EQ(a.size(), 1u);
    EXPECT_STREQ(a[0]->data.get->instance, "13.0");
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0]->type, DPI_PACKET_GETNEXT);
    EXPECT_STREQ(b[0]->data.get->group, kGroupB);
    EXPECT_STREQ(b[0]->data.get->instance, "");

    // A name before a subtree asks that subtree from its beginning.
    sub[0].send(dpi_int_answer(kGroupA, "1.0", 1));
    Binding before("1.3.6.1.4.1.59981.3");
    ASSERT_EQ(process_req(SNMP_GETNEXT, &before.vb), 0);
    EXPECT_EQ(before.name(), "1.3.6.1.4.1.59981.9.1.1.0");
    DpiPackets first(sub[0].drain());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_STREQ(first[0]->data.get->instance, "");

    // Past the last subtree: noSuchName. endOfMibView is the same.
    sub[1].send(dpi_answer(0, kGroupB, "9", DPI_TYPE_END_OF_MIB_VIEW, 0, nullptr));
    Binding last("1.3.6.1.4.1.59981.9.2.9");
    EXPECT_EQ(process_req(SNMP_GETNEXT, &last.vb), SNMP_ERROR_NOSUCHNAME);
}

TEST_F(RelayTest, GetNextSkipsCounter64OnlyWhenItMovesForward)
{
    own(kA, 0);
    const uint32_t c64[] = {0, 7};
    sub[0].send(dpi_answer(0, kGroupA, "9.0", DPI_TYPE_COUNTER64, 8, c64));
    sub[0].send(dpi_int_answer(kGroupA, "10.0", 3));
    Binding next("1.3.6.1.4.1.59981.9.1.8.0");
    ASSERT_EQ(process_req(SNMP_GETNEXT, &next.vb), 0);
    EXPECT_EQ(next.name(), "1.3.6.1.4.1.59981.9.1.10.0");
    DpiPackets asked(sub[0].drain());
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_STREQ(asked[1]->data.get->instance, "9.0");

    // The same name again, an earlier one, or one outside the group: genErr,
    // and no further question.
    for (const char *bad : {"8.0", "7.0"}) {
        sub[0].send(dpi_answer(0, kGroupA, bad, DPI_TYPE_COUNTER64, 8, c64));
        Binding again("1.3.6.1.4.1.59981.9.1.8.0");
        EXPECT_EQ(process_req(SNMP_GETNEXT, &again.vb), SNMP_ERROR_GENERR) << bad;
        EXPECT_EQ(DpiPackets(sub[0].drain()).size(), 1u);
    }
    sub[0].send(dpi_answer(0, kGroupB, "1.0", DPI_TYPE_COUNTER64, 8, c64));
    Binding outside("1.3.6.1.4.1.59981.9.1.8.0");
    EXPECT_EQ(process_req(SNMP_GETNEXT, &outside.vb), SNMP_ERROR_GENERR);
}

TEST_F(RelayTest, SetIsFollowedByCommitAndAFailedSetKeepsItsError)
{
    own(kA, 0);
    int32_t v = 77;
    Binding set("1.3.6.1.4.1.59981.9.1.1.0", snmp_create_value_container(&v, 4, SNMP_TAG_INTEGER, 0));

    struct Case {
        int set_error, commit_error, status;
    } cases[] = {
        {0, 0, SNMP_ERROR_NOERROR},
        {10, 0, SNMP_ERROR_BADVALUE}, // SET refused, COMMIT answered: still badValue
        {4, 0, SNMP_ERROR_READONLY},
        {11, 0, SNMP_ERROR_NOSUCHNAME},
        {0, 14, SNMP_ERROR_GENERR},   // the COMMIT decides when the SET was accepted
        {5, 5, SNMP_ERROR_GENERR},
    };
    for (const Case &c : cases) {
        sub[0].send(c.set_error ? dpi_answer(c.set_error) : dpi_int_answer(kGroupA, "1.0", v));
        sub[0].send(dpi_answer(c.commit_error));
        EXPECT_EQ(process_req(SNMP_SET, &set.vb), c.status) << c.set_error << "/" << c.commit_error;
        DpiPackets asked(sub[0].drain());
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0]->type, DPI_PACKET_SET);
        EXPECT_EQ(asked[1]->type, DPI_PACKET_COMMIT);
        ASSERT_NE(asked[1]->data.set, nullptr);
        EXPECT_STREQ(asked[1]->data.set->instance, "1.0");
        EXPECT_EQ(asked[1]->data.set->value_type, DPI_TYPE_INTEGER32);
        uint32_t got = 0;
        std::memcpy(&got, asked[1]->data.set->value, 4);
        EXPECT_EQ(got, 77u);
    }
    // The binding keeps the value the agent sent.
    EXPECT_EQ(*snmp_container_int(set.vb.value), 77);

    // A value with no DPI form is refused without asking.
    const uint32_t c64[] = {0, 1};
    Binding odd("1.3.6.1.4.1.59981.9.1.1.0", snmp_create_value_container(c64, 8, SNMP_TAG_COUNTER64, 0));
    EXPECT_EQ(process_req(SNMP_SET, &odd.vb), SNMP_ERROR_GENERR);
    EXPECT_TRUE(sub[0].drain().empty());
}

TEST(RelayConversions, DpiErrorCodes)
{
    const int expected[] = {0, 1, 2, 3, 4, 5, 2, 3, 3, 3, 3, 2, 3, 5, 5, 5, 2, 2, 2, 5, 5};
    for (int code = 0; code <= 20; ++code)
        EXPECT_EQ(map_dpi_error(code), expected[code]) << code;
    EXPECT_EQ(map_dpi_error(101), 5);
    EXPECT_EQ(map_dpi_error(255), 5);
}

TEST(RelayConversions, DpiValuesToSnmp)
{
    const uint32_t n = 0xFFFFFFFEu;
    const unsigned char addr[] = {10, 1, 2, 3};
    struct Case {
        int type;
        const void *value;
        uint32_t len;
        int status, tag, flag;
    } cases[] = {
        {DPI_TYPE_OCTET_STRING, "ab\0c", 4, 0, SNMP_TAG_OCTET_STRING, 0},
        {DPI_TYPE_OBJECT_ID, "1.3.6", 5, 0, SNMP_TAG_OCTET_STRING, 0}, // stays dotted text
        {DPI_TYPE_DISPLAY_STRING, "text", 4, 0, SNMP_TAG_OCTET_STRING, 1},
        {DPI_TYPE_OCTET_STRING, nullptr, 0, 0, SNMP_TAG_OCTET_STRING, 0},
        {DPI_TYPE_NULL, nullptr, 0, 0, SNMP_TAG_NULL, 0},
        {DPI_TYPE_IPADDRESS_OLD, addr, 4, 0, SNMP_TAG_IPADDRESS, 0},
        {DPI_TYPE_INTEGER32, &n, 4, 0, SNMP_TAG_INTEGER, 0},
        {DPI_TYPE_COUNTER32, &n, 4, 0, SNMP_TAG_COUNTER, 0},
        {DPI_TYPE_GAUGE32, &n, 4, 0, SNMP_TAG_GAUGE, 0},
        {DPI_TYPE_TIMETICKS, &n, 4, 0, SNMP_TAG_TIMETICKS, 0},
        {DPI_TYPE_NO_SUCH_OBJECT, nullptr, 0, 2, 0, 0},
        {DPI_TYPE_NO_SUCH_INSTANCE, nullptr, 0, 2, 0, 0},
        {DPI_TYPE_END_OF_MIB_VIEW, nullptr, 0, 2, 0, 0},
        {DPI_TYPE_BIT_STRING, "x", 1, 5, 0, 0},
        {DPI_TYPE_NSAP_ADDRESS, "x", 1, 5, 0, 0},
        {DPI_TYPE_OPAQUE, "x", 1, 5, 0, 0},
        {DPI_TYPE_IPADDRESS, addr, 4, 5, 0, 0},
        {DPI_TYPE_UINTEGER32, &n, 4, 5, 0, 0},
        {DPI_TYPE_COUNTER64, "12345678", 8, 5, 0, 0},
        {DPI_TYPE_IPADDRESS_OLD, addr, 3, 5, 0, 0}, // an address is 4 bytes
    };
    for (const Case &c : cases) {
        Binding b("1.3.6.1");
        EXPECT_EQ(fill_varBind(c.type, c.len, c.value, nullptr, &b.vb), c.status) << c.type;
        if (c.status != 0)
            continue;
        EXPECT_EQ(b.vb.value->tag, c.tag) << c.type;
        EXPECT_EQ(b.vb.value->flag, c.flag) << c.type;
        if (c.tag == SNMP_TAG_OCTET_STRING) {
            ASSERT_EQ(b.vb.value->length, c.len);
            EXPECT_EQ(std::memcmp(snmp_container_bytes(b.vb.value), c.value ? c.value : "", c.len), 0);
        }
        if (c.tag == SNMP_TAG_INTEGER) {
            EXPECT_EQ(*snmp_container_int(b.vb.value), -2);
        }
        if (c.tag == SNMP_TAG_COUNTER || c.tag == SNMP_TAG_GAUGE || c.tag == SNMP_TAG_TIMETICKS) {
            EXPECT_EQ(*snmp_container_uint(b.vb.value), n);
        }
        if (c.tag == SNMP_TAG_IPADDRESS) {
            EXPECT_EQ(std::memcmp(snmp_container_bytes(b.vb.value), addr, 4), 0);
        }
    }
    // A new name comes with a GetNext answer; a bad one is genErr.
    Binding b("1.3.6.1");
    EXPECT_EQ(fill_varBind(DPI_TYPE_NULL, 0, nullptr, "1.3.6.1.4.1.5.0", &b.vb), 0);
    EXPECT_EQ(b.name(), "1.3.6.1.4.1.5.0");
    EXPECT_EQ(fill_varBind(DPI_TYPE_NULL, 0, nullptr, "", &b.vb), 5);
}

TEST(RelayConversions, SnmpValuesToDpi)
{
    const int32_t i = -5;
    const uint32_t u = 4000000000u;
    const unsigned char addr[] = {192, 0, 2, 1};
    struct Case {
        snmp_container *value;
        int type;
        Bytes bytes;
    } cases[] = {
        {snmp_create_value_container(&i, 4, SNMP_TAG_INTEGER, 0), DPI_TYPE_INTEGER32, Bytes()},
        {snmp_create_value_container("ab", 2, SNMP_TAG_OCTET_STRING, 0), DPI_TYPE_OCTET_STRING, hex("61 62")},
        {snmp_create_value_container("ab", 2, SNMP_TAG_OCTET_STRING, 1), DPI_TYPE_DISPLAY_STRING, hex("61 62")},
        {snmp_create_value_container(nullptr, 0, SNMP_TAG_NULL, 0), DPI_TYPE_NULL, hex("00 00 00 00")},
        {snmp_create_value_container("1.3.6.1", 0, SNMP_TAG_OID, 0), DPI_TYPE_OBJECT_ID, hex("31 2E 33 2E 36 2E 31")},
        {snmp_create_value_container(addr, 4, SNMP_TAG_IPADDRESS, 0), DPI_TYPE_IPADDRESS_OLD, hex("C0 00 02 01")},
        {snmp_create_value_container(&u, 4, SNMP_TAG_COUNTER, 0), DPI_TYPE_COUNTER32, Bytes()},
        {snmp_create_value_container(&u, 4, SNMP_TAG_GAUGE, 0), DPI_TYPE_GAUGE32, Bytes()},
        {snmp_create_value_container(&u, 4, SNMP_TAG_TIMETICKS, 0), DPI_TYPE_TIMETICKS, Bytes()},
        {snmp_create_value_container("ab", 2, SNMP_TAG_OPAQUE, 0), -1, Bytes()},
    };
    for (Case &c : cases) {
        ASSERT_NE(c.value, nullptr);
        int type = 0;
        uint32_t len = 0;
        unsigned char buf[RELAY_VALUE_BUFFER];
        const int rc = snmp_to_dpi_value(c.value, &type, &len, buf);
        if (c.type < 0) {
            EXPECT_EQ(rc, -1);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(type, c.type);
            if (!c.bytes.empty()) {
                EXPECT_EQ(to_hex(buf, len), to_hex(c.bytes)) << c.type;
            } else {
                EXPECT_EQ(len, 4u);
            }
        }
        snmp_free_container(c.value);
    }
}

TEST_F(RelayTest, TrapsGoToTheAgentAsSnmpV1Traps)
{
    const int32_t v = 42;
    const uint32_t c64[] = {0, 1};
    dpi_binding *b = mkDPIset_packet(nullptr, kGroupA, "1.0", DPI_TYPE_INTEGER32, 4, &v);
    b = mkDPIset_packet(b, kGroupA, "2.0", DPI_TYPE_COUNTER64, 8, c64);
    b = mkDPIset_packet(b, kGroupA, "3.0", DPI_TYPE_DISPLAY_STRING, 2, "up");
    process_dpi_trapv1(6, 17, kA, b);
    // No enterprise: the daemon's identity.
    process_dpi_trapv1(0, 0, "", nullptr);
    const auto msgs = smux_messages(agent.drain());
    ASSERT_EQ(msgs.size(), 2u);
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(smux_decode_message(msgs[0].data(), static_cast<uint32_t>(msgs[0].size()), &pdu), 0);
    ASSERT_EQ(pdu->type, SNMP_TRAP);
    EXPECT_EQ(oid_str(pdu->trap->enterprise), kA);
    EXPECT_EQ(pdu->trap->generic, 6);
    EXPECT_EQ(pdu->trap->specific, 17);
    ASSERT_EQ(pdu->trap->count, 2u); // the Counter64 binding is left out
    EXPECT_EQ(oid_str(pdu->trap->varbinds[0].name), "1.3.6.1.4.1.59981.9.1.1.0");
    EXPECT_EQ(*snmp_container_int(pdu->trap->varbinds[0].value), 42);
    EXPECT_EQ(oid_str(pdu->trap->varbinds[1].name), "1.3.6.1.4.1.59981.9.1.3.0");
    ASSERT_EQ(smux_decode_message(msgs[1].data(), static_cast<uint32_t>(msgs[1].size()), &pdu), 0);
    EXPECT_EQ(oid_str(pdu->trap->enterprise), "1.3.6.1.4.1.59981.2.1.1.1");
    EXPECT_EQ(pdu->trap->count, 0u);

    // No enterprise and no identity: nothing is sent.
    myoid_set = false;
    tracing = TRACE_INTERNAL1;
    testing::internal::CaptureStdout();
    process_dpi_trapv1(0, 0, nullptr, nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Could not send trap"), std::string::npos);
    // A binding that cannot be converted stops the trap.
    dpi_binding *bad = mkDPIset_packet(nullptr, kGroupA, "1.0", DPI_TYPE_OPAQUE, 1, "x");
    process_dpi_trapv1(6, 1, kA, bad);
    fDPIset_packet(b);
    fDPIset_packet(bad);
    EXPECT_TRUE(agent.drain().empty());
}

} // namespace
