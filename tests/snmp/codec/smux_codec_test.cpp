#include "smux_codec.h"

#include "hexvec.h"

#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

namespace {

struct Vector {
    const char *name;
    const char *hex;
};

// One SMUX message of each type, as the agent and the daemon exchange them.
const Vector kSmux[] = {
    {"open", "60 28 02 01 00 06 0A 2B 06 01 04 01 83 D4 4D 02 01 04 0F 73 6D 75 78 62 72 69 64 67 65 20 74 65 73 74 04 06 73 65 63 72 65 74"},
    {"open_empty", "60 11 02 01 00 06 08 2B 06 01 04 01 83 D4 4D 04 00 04 00"},
    {"close", "41 01 00"},
    {"close_reason5", "41 01 05"},
    {"rreq", "62 12 06 0A 2B 06 01 04 01 83 D4 4D 02 01 02 01 FF 02 01 02"},
    {"rreq_delete", "62 14 06 0C 2B 06 01 04 01 83 D4 4D 02 01 01 01 02 01 05 02 01 00"},
    {"rrsp_fail", "43 01 FF"},
    {"rrsp", "43 01 00"},
    {"sout_commit", "44 01 00"},
    {"sout_rollback", "44 01 01"},
    {"get", "A0 19 02 01 01 02 01 00 02 01 00 30 0E 30 0C 06 08 2B 06 01 02 01 01 01 00 05 00"},
    {"get_empty", "A0 0C 02 02 12 34 02 01 00 02 01 00 30 00"},
    {"getnext", "A1 25 02 01 FE 02 01 00 02 01 00 30 1A 30 0A 06 06 2B 06 01 02 01 01 05 00 30 0C 06 08 2B 06 01 04 01 83 D4 4D 05 00"},
    {"response", "A2 82 01 71 02 04 12 34 56 78 02 01 00 02 01 00 30 82 01 61 30 15 06 08 2B 06 01 02 01 01 01 00 04 09 4C 69 6E 75 78 20 62 6F 78 30 15 06 08 2B 06 01 02 01 01 02 00 06 09 2B 06 01 04 01 83 D4 4D 02 30 11 06 08 2B 06 01 02 01 01 03 00 43 05 00 FF FF FF FF 30 13 06 0A 2B 06 01 02 01 02 02 01 0A 01 41 05 00 FF FF FF FF 30 12 06 0A 2B 06 01 02 01 02 02 01 05 01 42 04 05 F5 E1 00 30 15 06 0D 2B 06 01 02 01 04 14 01 01 7F 00 00 01 40 04 7F 00 00 01 30 0E 06 08 2B 06 01 02 01 01 07 00 02 02 00 80 30 0E 06 08 2B 06 01 02 01 01 08 00 02 02 FF 7F 30 0F 06 09 2B 06 01 04 01 83 D4 4D 09 44 02 00 FF 30 0D 06 09 2B 06 01 04 01 83 D4 4D 0A 05 00 30 81 8E 06 09 2B 06 01 04 01 83 D4 4D 0B 04 81 80 78*128 30 0D 06 09 2B 06 01 04 01 83 D4 4D 0C 06 00"},
    {"response_error", "A2 19 02 01 07 02 01 02 02 01 01 30 0E 30 0C 06 08 2B 06 01 02 01 01 63 00 05 00"},
    {"set", "A3 35 02 01 2A 02 01 00 02 01 00 30 2A 30 15 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 04 80 00 00 00 30 11 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 02 00 04 00"},
    {"trap", "A4 32 06 0A 2B 06 01 04 01 83 D4 4D 02 01 40 04 0A 01 02 03 02 01 06 02 01 11 43 02 30 39 30 14 30 12 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 01 05"},
    {"trap_nobind", "A4 1B 06 08 2B 06 01 04 01 83 D4 4D 40 04 00 00 00 00 02 01 00 02 01 00 43 01 00 30 00"},
};

// Whole SNMPv1 messages, one per PDU type.
const Vector kMessages[] = {
    {"get", "30 26 02 01 00 04 06 70 75 62 6C 69 63 A0 19 02 01 01 02 01 00 02 01 00 30 0E 30 0C 06 08 2B 06 01 02 01 01 01 00 05 00"},
    {"getnext", "30 32 02 01 00 04 06 70 75 62 6C 69 63 A1 25 02 01 FE 02 01 00 02 01 00 30 1A 30 0A 06 06 2B 06 01 02 01 01 05 00 30 0C 06 08 2B 06 01 04 01 83 D4 4D 05 00"},
    {"response", "30 82 01 80 02 01 00 04 06 70 75 62 6C 69 63 A2 82 01 71 02 04 12 34 56 78 02 01 00 02 01 00 30 82 01 61 30 15 06 08 2B 06 01 02 01 01 01 00 04 09 4C 69 6E 75 78 20 62 6F 78 30 15 06 08 2B 06 01 02 01 01 02 00 06 09 2B 06 01 04 01 83 D4 4D 02 30 11 06 08 2B 06 01 02 01 01 03 00 43 05 00 FF FF FF FF 30 13 06 0A 2B 06 01 02 01 02 02 01 0A 01 41 05 00 FF FF FF FF 30 12 06 0A 2B 06 01 02 01 02 02 01 05 01 42 04 05 F5 E1 00 30 15 06 0D 2B 06 01 02 01 04 14 01 01 7F 00 00 01 40 04 7F 00 00 01 30 0E 06 08 2B 06 01 02 01 01 07 00 02 02 00 80 30 0E 06 08 2B 06 01 02 01 01 08 00 02 02 FF 7F 30 0F 06 09 2B 06 01 04 01 83 D4 4D 09 44 02 00 FF 30 0D 06 09 2B 06 01 04 01 83 D4 4D 0A 05 00 30 81 8E 06 09 2B 06 01 04 01 83 D4 4D 0B 04 81 80 78*128 30 0D 06 09 2B 06 01 04 01 83 D4 4D 0C 06 00"},
    {"set", "30 43 02 01 00 04 07 70 72 69 76 61 74 65 A3 35 02 01 2A 02 01 00 02 01 00 30 2A 30 15 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 04 80 00 00 00 30 11 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 02 00 04 00"},
    {"trap", "30 3F 02 01 00 04 06 70 75 62 6C 69 63 A4 32 06 0A 2B 06 01 04 01 83 D4 4D 02 01 40 04 0A 01 02 03 02 01 06 02 01 11 43 02 30 39 30 14 30 12 06 0D 2B 06 01 04 01 83 D4 4D 02 01 01 01 00 02 01 05"},
    {"empty_community", "30 13 02 01 00 04 00 A0 0C 02 02 12 34 02 01 00 02 01 00 30 00"},
};

std::string encode_smux(const smux_pdu *pdu, int *rc)
{
    unsigned char *start = nullptr;
    uint32_t len = 0;
    *rc = smux_encode_message(&start, &len, pdu);
    return *rc == 0 ? to_hex(start, len) : std::string();
}

int decode_smux(const Bytes &b, size_t n, smux_pdu **out)
{
    ExactCopy c(b, n);
    return smux_decode_message(c.data(), static_cast<uint32_t>(n), out);
}

struct Message {
    unsigned char community[64] = {};
    snmp_message msg{};
    Message()
    {
        msg.community = community;
        msg.community_size = sizeof community;
    }
    ~Message() { snmp_free_message(&msg); }
    int decode(const Bytes &b, size_t n)
    {
        ExactCopy c(b, n);
        return snmp_decode_message(&msg, c.data(), static_cast<uint32_t>(n));
    }
    std::string encode(int *rc) const
    {
        static unsigned char buf[4096];
        unsigned char *start = nullptr;
        uint32_t len = 0;
        *rc = snmp_encode_message(buf, sizeof buf, &start, &len, &msg);
        return *rc == 0 ? to_hex(start, len) : std::string();
    }
};

TEST(SmuxCodec, VectorsDecodeAndEncodeToTheSameBytes)
{
    for (const Vector &v : kSmux) {
        SCOPED_TRACE(v.name);
        const Bytes b = hex(v.hex);
        smux_pdu *pdu = nullptr;
        ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
        ASSERT_NE(pdu, nullptr);
        EXPECT_EQ(pdu->type, b[0]);
        int rc;
        EXPECT_EQ(encode_smux(pdu, &rc), to_hex(b));
        EXPECT_EQ(rc, 0);
    }
}

TEST(SmuxCodec, CutOffOrExtendedVectorsFailCleanly)
{
    for (const Vector &v : kSmux) {
        SCOPED_TRACE(v.name);
        Bytes b = hex(v.hex);
        smux_pdu *pdu = nullptr;
        for (size_t n = 0; n < b.size(); ++n) {
            pdu = nullptr;
            EXPECT_NE(decode_smux(b, n, &pdu), 0) << "cut at " << n;
            EXPECT_EQ(pdu, nullptr);
        }
        for (const char *tail : {"00", "30 00", "FF FF FF FF"}) {
            Bytes longer = b;
            const Bytes t = hex(tail);
            longer.insert(longer.end(), t.begin(), t.end());
            EXPECT_EQ(decode_smux(longer, longer.size(), &pdu), SNMP_ERR_MALFORMED) << tail;
        }
    }
}

TEST(SnmpMessage, VectorsDecodeAndEncodeToTheSameBytes)
{
    for (const Vector &v : kMessages) {
        SCOPED_TRACE(v.name);
        const Bytes b = hex(v.hex);
        Message m;
        ASSERT_EQ(m.decode(b, b.size()), 0);
        EXPECT_EQ(m.msg.version, 0);
        EXPECT_GE(m.msg.type, SNMP_GET);
        EXPECT_LE(m.msg.type, SNMP_TRAP);
        int rc;
        EXPECT_EQ(m.encode(&rc), to_hex(b));
        EXPECT_EQ(rc, 0);
    }
}

TEST(SnmpMessage, CutOffOrExtendedVectorsFailCleanly)
{
    Message m;
    for (const Vector &v : kMessages) {
        SCOPED_TRACE(v.name);
        Bytes b = hex(v.hex);
        for (size_t n = 0; n < b.size(); ++n)
            EXPECT_NE(m.decode(b, n), 0) << "cut at " << n;
        b.push_back(0);
        EXPECT_EQ(m.decode(b, b.size()), SNMP_ERR_MALFORMED);
    }
}


const char *vector(const char *name, const Vector *table, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (std::strcmp(table[i].name, name) == 0)
            return table[i].hex;
    return "";
}
#define SMUX_VECTOR(name) hex(vector(name, kSmux, std::size(kSmux)))

std::vector<uint32_t> subids(const snmp_container *c)
{
    return {snmp_container_subids(c), snmp_container_subids(c) + c->length};
}

TEST(SmuxCodec, DecodedValuesOfAResponse)
{
    const Bytes b = SMUX_VECTOR("response");
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    const snmp_pdu *r = pdu->request;
    EXPECT_EQ(r->type, SNMP_RESPONSE);
    EXPECT_EQ(r->request_id, 305419896);
    ASSERT_EQ(r->count, 12u);
    const snmp_varbind *vb = r->varbinds;
    EXPECT_EQ(subids(vb[0].name), (std::vector<uint32_t>{1, 3, 6, 1, 2, 1, 1, 1, 0}));
    EXPECT_EQ(vb[0].value->kind, SNMP_KIND_STRING);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(snmp_container_bytes(vb[0].value)),
                          vb[0].value->length), "Linux box");
    EXPECT_EQ(subids(vb[1].value), (std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 59981, 2}));
    EXPECT_EQ(vb[2].value->tag, SNMP_TAG_TIMETICKS);
    EXPECT_EQ(*snmp_container_uint(vb[2].value), 4294967295u);
    EXPECT_EQ(vb[3].value->tag, SNMP_TAG_COUNTER);
    EXPECT_EQ(*snmp_container_uint(vb[3].value), 4294967295u);
    EXPECT_EQ(*snmp_container_uint(vb[4].value), 100000000u);
    EXPECT_EQ(vb[5].value->kind, SNMP_KIND_UNSIGNED);
    EXPECT_EQ(to_hex(snmp_container_bytes(vb[5].value), 4), "7F 00 00 01");
    EXPECT_EQ(vb[6].value->kind, SNMP_KIND_INTEGER);
    EXPECT_EQ(*snmp_container_int(vb[6].value), 128);
    EXPECT_EQ(*snmp_container_int(vb[7].value), -129);
    EXPECT_EQ(vb[8].value->tag, SNMP_TAG_OPAQUE);
    EXPECT_EQ(vb[9].value->kind, SNMP_KIND_NULL);
    EXPECT_EQ(vb[10].value->length, 128u);
    EXPECT_EQ(vb[11].value->kind, SNMP_KIND_OID);
    EXPECT_EQ(vb[11].value->length, 0u); // an empty identifier

    // The next message reuses the record and the containers in it.
    snmp_container *name0 = vb[0].name;
    const Bytes g = SMUX_VECTOR("get");
    ASSERT_EQ(decode_smux(g, g.size(), &pdu), 0);
    EXPECT_EQ(pdu->request->varbinds[0].name, name0);
    EXPECT_EQ(pdu->request->count, 1u);
    EXPECT_EQ(pdu->request->type, SNMP_GET);
}

TEST(SmuxCodec, DecodedOpenRegisterAndTrap)
{
    smux_pdu *pdu = nullptr;
    Bytes b = SMUX_VECTOR("open");
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(pdu->description), "smuxbridge test");
    EXPECT_EQ(pdu->description_len, 15);
    EXPECT_STREQ(reinterpret_cast<char *>(pdu->password), "secret");
    EXPECT_EQ(subids(pdu->object), (std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 59981, 2, 1}));

    b = SMUX_VECTOR("rreq");
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_EQ(pdu->priority, -1);
    EXPECT_EQ(pdu->operation, 2);

    b = SMUX_VECTOR("rrsp_fail");
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_EQ(pdu->value, -1);

    b = SMUX_VECTOR("trap");
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    const snmp_trap_pdu *t = pdu->trap;
    EXPECT_EQ(to_hex(t->agent_addr, 4), "0A 01 02 03");
    EXPECT_EQ(t->generic, 6);
    EXPECT_EQ(t->specific, 17);
    EXPECT_EQ(t->time_stamp, 12345u);
    ASSERT_EQ(t->count, 1u);
    EXPECT_EQ(*snmp_container_int(t->varbinds[0].value), 5);
}

TEST(SmuxCodec, SmallMessagesCarryTheirOwnTag)
{
    smux_pdu pdu{};
    int rc;
    pdu.type = SMUX_CLOSE;
    EXPECT_EQ(encode_smux(&pdu, &rc), "41 01 00");
    pdu.type = SMUX_RRSP;
    pdu.value = -1;
    EXPECT_EQ(encode_smux(&pdu, &rc), "43 01 FF");
    pdu.type = SMUX_SOUT;
    pdu.value = 1;
    EXPECT_EQ(encode_smux(&pdu, &rc), "44 01 01");
    pdu.type = 0x42;
    EXPECT_EQ(encode_smux(&pdu, &rc), "");
    EXPECT_EQ(rc, SNMP_ERR_SMUXTYPE);
}

TEST(SmuxCodec, IdentifiersThatCannotBeEncoded)
{
    smux_pdu pdu{};
    pdu.type = SMUX_RREQ;
    pdu.priority = -1;
    pdu.object = snmp_create_container(SNMP_KIND_OID, 3);
    int rc;
    for (auto [a, b, want] : {std::tuple<uint32_t, uint32_t, int>{3u, 1u, SNMP_ERR_BADOID}, {1u, 40u, SNMP_ERR_BADOID},
                              {0u, 40u, SNMP_ERR_BADOID}, {2u, 40u, 0}, {1u, 39u, 0}}) {
        snmp_container_subids(pdu.object)[0] = a;
        snmp_container_subids(pdu.object)[1] = b;
        encode_smux(&pdu, &rc);
        EXPECT_EQ(rc, want) << a << "." << b;
    }
    // 2.4294967295 combines to more than 32 bits and still encodes.
    snmp_container_subids(pdu.object)[0] = 2;
    snmp_container_subids(pdu.object)[1] = 4294967295u;
    snmp_container_subids(pdu.object)[2] = 0;
    EXPECT_EQ(encode_smux(&pdu, &rc), "62 0E 06 06 90 80 80 80 4F 00 02 01 FF 02 01 00");
    smux_pdu *out = nullptr;
    const Bytes b = hex("62 0E 06 06 90 80 80 80 4F 00 02 01 FF 02 01 00");
    EXPECT_EQ(decode_smux(b, b.size(), &out), SNMP_ERR_MALFORMED); // 4294967375 > 32 bits

    // Fewer than two sub-identifiers: empty content.
    pdu.object->length = 1;
    EXPECT_EQ(encode_smux(&pdu, &rc), "62 08 06 00 02 01 FF 02 01 00");
    pdu.object->length = 0;
    EXPECT_EQ(encode_smux(&pdu, &rc), "62 08 06 00 02 01 FF 02 01 00");
    snmp_free_container(pdu.object);
    pdu.object = nullptr;
    encode_smux(&pdu, &rc);
    EXPECT_EQ(rc, SNMP_ERR_ENCODE);
}

TEST(SmuxCodec, MalformedInput)
{
    const struct {
        const char *hex;
        int rc;
    } cases[] = {
        {"A0 80 02 01 01 02 01 00 02 01 00 30 00 00 00", SNMP_ERR_MALFORMED}, // indefinite
        {"A0 85 00 00 00 00 0C 02 01 01", SNMP_ERR_MALFORMED},       // five length bytes
        {"A0 84 FF FF FF F8 02 01 01", SNMP_ERR_MALFORMED},          // wraps a pointer
        {"A0 0C 02 01 01 02 01 00 02 01 00 30 7F", SNMP_ERR_MALFORMED}, // list overruns
        {"BF 01 00", SNMP_ERR_MALFORMED},                            // multi-byte tag
        {"02 01 00", SNMP_ERR_SMUXTYPE},
        {"30 00", SNMP_ERR_SMUXTYPE},
        {"42 01 00", SNMP_ERR_SMUXTYPE},
        {"61 00", SNMP_ERR_SMUXTYPE},
        {"41 01", SNMP_ERR_MALFORMED},
        {"43 01 00 00", SNMP_ERR_MALFORMED},
        {"60 05 02 01 01 06 00", SNMP_ERR_MALFORMED},                // version 1
        {"60 08 04 01 00 06 00 04 00", SNMP_ERR_MALFORMED},          // version not INTEGER
        {"62 08 06 00 02 01 FF 04 01 00", SNMP_ERR_MALFORMED},
        {"A0 0C 02 01 01 02 01 00 04 01 00 30 00", SNMP_ERR_MALFORMED},
        // A binding with a third element, a Counter64 value, a bad NULL.
        {"A0 12 02 01 01 02 01 00 02 01 00 30 07 30 05 06 00 05 00 05", SNMP_ERR_MALFORMED},
        {"A0 11 02 01 01 02 01 00 02 01 00 30 06 30 04 06 00 46 00", SNMP_ERR_MALFORMED},
        {"A0 12 02 01 01 02 01 00 02 01 00 30 07 30 05 06 00 05 01 00", SNMP_ERR_MALFORMED},
        {"A0 11 02 01 01 02 01 00 02 01 00 30 06 30 04 06 00 80 00", SNMP_ERR_MALFORMED},
        // Sub-identifier of 33 bits; last byte with the continuation bit.
        {"A0 17 02 01 01 02 01 00 02 01 00 30 0C 30 0A 06 06 2B 90 80 80 80 00 05 00", SNMP_ERR_MALFORMED},
        {"A0 13 02 01 01 02 01 00 02 01 00 30 08 30 06 06 02 2B 83 05 00", SNMP_ERR_MALFORMED},
        // An IpAddress longer than 4 bytes.
        {"A0 14 02 01 01 02 01 00 02 01 00 30 09 30 07 06 00 40 03 01 02 03", 0},
        {"A0 16 02 01 01 02 01 00 02 01 00 30 0B 30 09 06 00 40 05 01 02 03 04 05", SNMP_ERR_NOROOM},
    };
    for (const auto &c : cases) {
        const Bytes b = hex(c.hex);
        smux_pdu *out = nullptr;
        EXPECT_EQ(decode_smux(b, b.size(), &out), c.rc) << c.hex;
    }
}

TEST(SmuxCodec, ZeroLengthIntegerIsZero)
{
    // Sign extension from the byte after the length would read the next
    // element (or past the input).
    const Bytes b = hex("A0 0A 02 00 02 01 00 02 01 00 30 00");
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_EQ(pdu->request->request_id, 0);
    const Bytes c = hex("41 00");
    ASSERT_EQ(decode_smux(c, c.size(), &pdu), 0);
    EXPECT_EQ(pdu->value, 0);
    // Longer contents keep their low 32 bits.
    const Bytes d = hex("43 06 01 00 00 00 00 FF");
    ASSERT_EQ(decode_smux(d, d.size(), &pdu), 0);
    EXPECT_EQ(pdu->value, 255);
}

TEST(SmuxCodec, OpenStringsAreLimitedTo255Bytes)
{
    std::string h255 = "60 82 01 09 02 01 00 06 00 04 81 FF 41*255 04 00";
    smux_pdu *pdu = nullptr;
    Bytes b = hex(h255);
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_EQ(pdu->description_len, 255);
    b = hex("60 82 01 0B 02 01 00 06 00 04 82 01 00 41*256 04 00");
    EXPECT_EQ(decode_smux(b, b.size(), &pdu), SNMP_ERR_NOROOM);

    smux_pdu open{};
    open.type = SMUX_OPEN;
    open.object = snmp_create_oid_container("1.3.6.1.4.1.59981.2.1");
    int rc;
    open.version = 1;
    encode_smux(&open, &rc);
    EXPECT_EQ(rc, SNMP_ERR_VERSION);
    open.version = 0;
    open.description_len = 256;
    encode_smux(&open, &rc);
    EXPECT_EQ(rc, SNMP_ERR_NOROOM);
    open.description_len = 0;
    EXPECT_EQ(encode_smux(&open, &rc), "60 13 02 01 00 06 0A 2B 06 01 04 01 83 D4 4D 02 01 04 00 04 00");
    snmp_free_container(open.object);
}

// A request record with `n` bindings of `name` = `value`.
struct Request {
    smux_pdu pdu{};
    explicit Request(uint32_t n, int type = SNMP_RESPONSE)
    {
        pdu.type = static_cast<uint8_t>(type);
        pdu.request = snmp_alloc_pdu(n);
        pdu.request->type = pdu.type;
        pdu.request->count = n;
        for (uint32_t i = 0; i < n; ++i)
            pdu.request->varbinds[i].name = snmp_create_oid_container("1.3.6.1.2.1.1.1.0");
    }
    void set_all(const void *v, uint32_t len, int tag)
    {
        for (uint32_t i = 0; i < pdu.request->count; ++i)
            pdu.request->varbinds[i].value = snmp_create_value_container(v, len, tag, 0);
    }
    ~Request() { snmp_free_pdu(pdu.request); }
};

TEST(SmuxCodec, RequestEncodingLimits)
{
    int rc;
    {
        Request r(1);
        EXPECT_EQ(encode_smux(&r.pdu, &rc), "");
        EXPECT_EQ(rc, SNMP_ERR_VERSION); // binding without a value
        const uint32_t c64[2] = {0, 1};
        r.set_all(c64, 8, SNMP_TAG_COUNTER64);
        encode_smux(&r.pdu, &rc);
        EXPECT_EQ(rc, SNMP_ERR_ENCODE); // Counter64 is not SNMPv1
        snmp_free_container(r.pdu.request->varbinds[0].name);
        r.pdu.request->varbinds[0].name = snmp_create_value_container("x", 1, 4, 0);
        const int32_t one = 1;
        snmp_free_container(r.pdu.request->varbinds[0].value);
        r.pdu.request->varbinds[0].value = snmp_create_value_container(&one, 4, 2, 0);
        encode_smux(&r.pdu, &rc);
        EXPECT_EQ(rc, SNMP_ERR_ENCODE); // name not an identifier
    }
    {
        // 200 strings of 20 bytes do not fit 4096 bytes.
        Request r(200);
        r.set_all("twenty bytes of text", 20, SNMP_TAG_OCTET_STRING);
        encode_smux(&r.pdu, &rc);
        EXPECT_EQ(rc, SNMP_ERR_NOROOM);
        r.pdu.request->count = 100;
        encode_smux(&r.pdu, &rc);
        EXPECT_EQ(rc, 0);
    }
    {
        // Unsigned numbers under the INTEGER tag keep a positive encoding.
        Request r(1);
        const uint32_t big = 0x80000000u;
        r.set_all(&big, 4, SNMP_TAG_COUNTER);
        r.pdu.request->varbinds[0].value->tag = SNMP_TAG_INTEGER;
        EXPECT_EQ(encode_smux(&r.pdu, &rc),
                  "A2 1E 02 01 00 02 01 00 02 01 00 30 13 30 11 06 08 2B 06 01 02 01 01 01 00 02 05 00 80 00 00 00");
    }
}

TEST(SmuxCodec, BindingLimitOfTheDecoder)
{
    // 4097 bindings are taken, a 4098th is refused.
    auto request = [](uint32_t n) {
        Bytes one = hex("30 04 06 00 05 00");
        Bytes list;
        for (uint32_t i = 0; i < n; ++i)
            list.insert(list.end(), one.begin(), one.end());
        Bytes pdu = hex("02 01 01 02 01 00 02 01 00 30 83");
        pdu.push_back(static_cast<unsigned char>(list.size() >> 16));
        pdu.push_back(static_cast<unsigned char>(list.size() >> 8));
        pdu.push_back(static_cast<unsigned char>(list.size()));
        pdu.insert(pdu.end(), list.begin(), list.end());
        Bytes msg = hex("A0 83");
        msg.push_back(static_cast<unsigned char>(pdu.size() >> 16));
        msg.push_back(static_cast<unsigned char>(pdu.size() >> 8));
        msg.push_back(static_cast<unsigned char>(pdu.size()));
        msg.insert(msg.end(), pdu.begin(), pdu.end());
        return msg;
    };
    smux_pdu *pdu = nullptr;
    Bytes b = request(4097);
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_EQ(pdu->request->count, 4097u);
    b = request(4098);
    EXPECT_EQ(decode_smux(b, b.size(), &pdu), SNMP_ERR_TOOMANY);
}

TEST(SmuxCodec, EmptyGetIsAnsweredWithAnEmptyList)
{
    const Bytes b = SMUX_VECTOR("get_empty");
    smux_pdu *pdu = nullptr;
    ASSERT_EQ(decode_smux(b, b.size(), &pdu), 0);
    EXPECT_EQ(pdu->request->count, 0u);
    pdu->type = SNMP_RESPONSE;
    int rc;
    EXPECT_EQ(encode_smux(pdu, &rc), "A2 0C 02 02 12 34 02 01 00 02 01 00 30 00");
}

TEST(SmuxCodec, TrapsLeaveOutCounter64)
{
    smux_pdu pdu{};
    pdu.type = SNMP_TRAP;
    pdu.trap = snmp_alloc_trap_pdu(2);
    int rc;
    encode_smux(&pdu, &rc);
    EXPECT_EQ(rc, SNMP_ERR_ENCODE); // no enterprise
    pdu.trap->enterprise = snmp_create_oid_container("1.3.6.1.4.1.59981");
    pdu.trap->count = 2;
    const uint32_t c64[2] = {1, 2};
    const int32_t five = 5;
    pdu.trap->varbinds[0].name = snmp_create_oid_container("1.3.6.1.4.1.59981.2.1.1.1.0");
    pdu.trap->varbinds[0].value = snmp_create_value_container(c64, 8, SNMP_TAG_COUNTER64, 0);
    pdu.trap->varbinds[1].name = snmp_create_oid_container("1.3.6.1.4.1.59981.2.1.1.1.0");
    pdu.trap->varbinds[1].value = snmp_create_value_container(&five, 4, SNMP_TAG_INTEGER, 0);
    pdu.trap->agent_addr[0] = 10;
    pdu.trap->agent_addr[1] = 1;
    pdu.trap->agent_addr[2] = 2;
    pdu.trap->agent_addr[3] = 3;
    pdu.trap->generic = 6;
    pdu.trap->specific = 17;
    pdu.trap->time_stamp = 12345;
    pdu.trap->enterprise = snmp_fill_container_with_oid(pdu.trap->enterprise, "1.3.6.1.4.1.59981.2.1");
    EXPECT_EQ(encode_smux(&pdu, &rc), to_hex(SMUX_VECTOR("trap")));

    // The enterprise must leave room for its worst case before anything is written.
    std::string big = "1.3";
    for (int i = 0; i < 815; ++i)
        big += ".1";
    pdu.trap->enterprise = snmp_fill_container_with_oid(pdu.trap->enterprise, big.c_str());
    encode_smux(&pdu, &rc);
    EXPECT_EQ(rc, SNMP_ERR_NOROOM); // 5 * 817 + 27 > 4096
    snmp_free_trap_pdu(pdu.trap);
}

TEST(SnmpMessage, CommunityAndRecordLimits)
{
    Bytes b = hex(vector("get", kMessages, std::size(kMessages)));
    {
        unsigned char small[6];
        snmp_message m{};
        m.community = small;
        m.community_size = sizeof small; // "public" needs 7 with its terminator
        ExactCopy c(b, b.size());
        EXPECT_EQ(snmp_decode_message(&m, c.data(), static_cast<uint32_t>(b.size())), SNMP_ERR_NOROOM);
        snmp_free_message(&m);
    }
    Message m;
    ASSERT_EQ(m.decode(b, b.size()), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(m.community), "public");
    EXPECT_EQ(m.msg.community_len, 6u);
    EXPECT_EQ(m.msg.request->count, 1u);

    // A caller's record of 112 bytes by the size formula takes (112 - 100) / 12
    // + 1 = 2 bindings.
    Message s;
    s.msg.request = snmp_alloc_pdu(4);
    s.msg.request_size = 112;
    Bytes two = hex(vector("getnext", kMessages, std::size(kMessages)));
    EXPECT_EQ(s.decode(two, two.size()), 0);
    s.msg.request_size = 100;
    EXPECT_EQ(s.decode(two, two.size()), SNMP_ERR_TOOMANY);

    int rc;
    m.msg.version = 1;
    m.encode(&rc);
    EXPECT_EQ(rc, SNMP_ERR_ENCODE);
    m.msg.version = 0;
    m.msg.type = SMUX_RREQ;
    m.encode(&rc);
    EXPECT_EQ(rc, SNMP_ERR_ENCODE);
    m.msg.type = SNMP_GET;
    // 40 bytes of message need 8 unused, 40 and the 5 that every length
    // step insists on.
    unsigned char tiny[52];
    unsigned char *start;
    uint32_t len;
    EXPECT_EQ(snmp_encode_message(tiny, 50, &start, &len, &m.msg), SNMP_ERR_NOROOM);
    unsigned char fits[51];
    ASSERT_EQ(snmp_encode_message(fits, sizeof fits, &start, &len, &m.msg), 0);
    EXPECT_EQ(start, fits + 11);
    EXPECT_EQ(to_hex(start, len), to_hex(b));
    const Bytes bad = hex("31 03 02 01 00");
    EXPECT_EQ(m.decode(bad, bad.size()), SNMP_ERR_MALFORMED);
    const Bytes no_pdu = hex("30 0B 02 01 00 04 06 70 75 62 6C 69 63");
    EXPECT_EQ(m.decode(no_pdu, no_pdu.size()), SNMP_ERR_MALFORMED);
    const Bytes rreq = hex("30 0D 02 01 00 04 06 70 75 62 6C 69 63 62 00");
    EXPECT_EQ(m.decode(rreq, rreq.size()), SNMP_ERR_MALFORMED);
}

TEST(SnmpDebug, SwitchesAndVersionLine)
{
    setenv("SNMP_PRINTF", "0", 1);
    setenv("SNMP_ERROR", "1", 1);
    unsetenv("SNMP_DUMP");
    testing::internal::CaptureStdout();
    snmp_debug_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(snmp_error_switch, 1);
    setenv("SNMP_ERROR", "2", 1);
    setenv("SNMP_DUMP", "7", 1);
    testing::internal::CaptureStdout();
    snmp_debug_init();
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(snmp_dump_switch, 7);
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        line, "MIBCORE, 2\\.0\\.00, Mar 16 1998, Compiled [A-Z][a-z][a-z] [ 1-3][0-9] [0-9]+ "
              "[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\n"))
        << line;
    unsetenv("SNMP_PRINTF");
    unsetenv("SNMP_ERROR");
    unsetenv("SNMP_DUMP");
}

} // namespace
