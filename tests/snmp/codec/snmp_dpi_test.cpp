#include "snmp_dpi.h"

#include "hexvec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

namespace {

struct Vector {
    const char *name;
    const char *hex;
};

// One packet of each type, version 2.0 and the 1.x layouts, with the length
// prefix of the stream framing.
const Vector kPackets[] = {
    {"get", "00 37 02 02 00 00 01 01 00 06 70 75 62 6C 69 63 31 2E 33 2E 36 2E 31 2E 32 2E 31 2E 31 2E 00 31 2E 30 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 00"},
    {"getnext", "00 1F 02 02 00 00 02 02 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 00"},
    {"set", "00 50 02 02 00 00 03 03 00 07 70 72 69 76 61 74 65 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 2E 30 00 81 00 04 00 00 04 D2 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 32 2E 30 00 02 00 05 68 65 6C 6C 6F"},
    {"trap", "02 18 02 02 00 00 04 04 00 00 00 06 00 00 00 01 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 2E 30 00 0D 00 08 00 00 00 01 80 00 00 02 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 32 2E 30 00 85 00 04 0A 01 02 03 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 33 2E 30 00 86 00 04 FF FF FF FF 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 34 2E 30 00 87 00 04 00 00 01 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 35 2E 30 00 88 00 04 00 00 11 94 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 36 2E 30 00 8C 00 04 80 00 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 37 2E 30 00 03 00 07 31 2E 33 2E 36 2E 31 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 38 2E 30 00 04 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 39 2E 30 00 09 00 04 74 65 78 74 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 30 2E 30 00 0A 00 01 A5 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 31 2E 30 00 0B 00 01 47 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 32 2E 30 00 0E 00 02 00 01 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 33 2E 30 00 0F 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 34 2E 30 00 10 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 35 2E 30 00 11 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 36 2E 30 00 05 00 04 7F 00 00 01"},
    {"trap_no_enterprise", "00 0F 02 02 00 00 05 04 00 00 00 00 00 00 00 00 00"},
    {"response", "00 2B 02 02 00 12 34 05 00 00 00 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 2E 30 00 81 00 04 FF FF FF FF"},
    {"response_error", "00 0B 02 02 00 FF FF 05 02 00 00 00 01"},
    {"register", "00 43 02 02 00 00 07 06 FF FF FF FF 00 00 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 00 00 00 00 05 00 03 01 01 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 32 2E 00"},
    {"unregister", "00 1D 02 02 00 00 08 07 01 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 00"},
    {"open", "00 32 02 02 00 00 09 08 00 0A 00 01 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 33 00 74 65 73 74 20 73 75 62 61 67 65 6E 74 00 00 03 70 77 21"},
    {"open_no_password", "00 23 02 02 00 00 0A 08 00 00 00 00 01 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 33 00 78 00 00 00"},
    {"close", "00 07 02 02 00 00 0B 09 01"},
    {"commit", "00 2F 02 02 00 00 0C 0A 00 07 70 72 69 76 61 74 65 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 2E 30 00 81 00 04 00 00 04 D2"},
    {"undo", "00 2F 02 02 00 00 0D 0B 00 07 70 72 69 76 61 74 65 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 2E 30 00 81 00 04 00 00 04 D2"},
    {"are_you_there", "00 06 02 02 00 00 0E 0F"},
    {"v1_get", "00 2E 02 01 00 01 31 2E 33 2E 36 2E 31 2E 32 2E 31 2E 31 2E 31 2E 30 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00"},
    {"v1_getnext", "00 12 02 01 00 02 31 2E 33 2E 36 2E 31 2E 32 2E 31 2E 31 00"},
    {"v1_set", "00 23 02 01 00 03 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00 81 00 04 00 00 00 2A"},
    {"v1_trap", "00 23 02 01 00 04 06 02 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00 02 00 02 75 70"},
    {"v1_trap_release1", "00 3F 02 01 01 04 00 00 00 06 00 00 00 03 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00 88 00 04 00 00 00 64"},
    {"v1_response", "00 24 02 01 00 05 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00 81 00 04 00 00 00 07"},
    {"v1_response_error", "00 05 02 01 01 05 02"},
    {"v1_register", "00 2E 02 01 00 06 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 34 2E 00"},
    {"v1_unregister", "00 1A 02 01 00 07 02 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 00"},
    {"v1_open", "00 2C 02 01 00 08 00 05 00 02 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 33 00 6F 6C 64 20 73 75 62 61 67 65 6E 74 00 00 00"},
    {"v1_close", "00 05 02 01 01 09 00"},
    {"v1_commit", "00 1F 02 01 00 0A 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00 02 00 00"},
    {"v1_undo", "00 20 02 01 00 0B 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 31 2E 32 2E 31 2E 30 00 02 00 01 78"},
    {"v1_are_you_there", "00 04 02 01 00 0F"},
};

Bytes packet(const char *name)
{
    for (const Vector &v : kPackets)
        if (std::strcmp(v.name, name) == 0)
            return hex(v.hex);
    ADD_FAILURE() << name;
    return {};
}

dpi_packet *parse_exact(const Bytes &b, size_t n)
{
    ExactCopy c(b, n);
    return pDPIpacket_n(c.data(), static_cast<uint32_t>(n));
}

// Parses through the trusting entry point, from a copy that holds exactly
// what the prefix announces.
dpi_packet *parse_prefixed(const Bytes &b)
{
    ExactCopy c(b, b.size());
    return pDPIpacket(c.data());
}

std::string serialised(const dpi_packet *h)
{
    const unsigned char *p = cDPIpacket(h);
    return p ? to_hex(p, DPI_PACKET_LEN(p)) : "(none)";
}

std::string packet_hex(const unsigned char *p)
{
    return p ? to_hex(p, DPI_PACKET_LEN(p)) : "(none)";
}

Bytes with_prefix(Bytes body_and_header)
{
    const size_t n = body_and_header.size() - 2;
    body_and_header[0] = static_cast<unsigned char>(n >> 8);
    body_and_header[1] = static_cast<unsigned char>(n);
    return body_and_header;
}

uint32_t number(const dpi_binding *b, int i = 0)
{
    uint32_t v;
    std::memcpy(&v, b->value + 4 * i, 4);
    return v;
}

TEST(DpiCodec, VectorsParseAndSerialiseToTheSameBytes)
{
    for (const Vector &v : kPackets) {
        SCOPED_TRACE(v.name);
        const Bytes b = hex(v.hex);
        dpi_packet *h = parse_exact(b, b.size());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->type, b[b[3] == 2 ? 7 : 5]);
        EXPECT_EQ(serialised(h), to_hex(b));
        fDPIparse(h);
        h = parse_prefixed(b);
        EXPECT_NE(h, nullptr);
        fDPIparse(h);
    }
}

TEST(DpiCodec, CutOffOrExtendedPacketsFailCleanly)
{
    for (const Vector &v : kPackets) {
        SCOPED_TRACE(v.name);
        const Bytes b = hex(v.hex);
        for (size_t n = 0; n < b.size(); ++n) {
            // Shorter than the prefix says.
            EXPECT_EQ(parse_exact(b, n), nullptr) << "cut at " << n;
            if (n < 2)
                continue;
            // The prefix cut too: either refused, or a valid shorter list
            // that serialises to exactly those bytes.
            Bytes cut(b.begin(), b.begin() + static_cast<long>(n));
            cut = with_prefix(cut);
            dpi_packet *h = parse_prefixed(cut);
            if (h) {
                const std::string again = serialised(h);
                // An OPEN may end before its password length, which the
                // serialiser always writes.
                Bytes want = cut;
                if (h->type == DPI_PACKET_OPEN && again != to_hex(cut)) {
                    want.push_back(0);
                    want.push_back(0);
                    want = with_prefix(want);
                }
                EXPECT_EQ(again, to_hex(want)) << "cut at " << n;
                fDPIparse(h);
            }
        }
        Bytes longer = b;
        for (unsigned char c : {0xFF, 0xFF, 0xFF})
            longer.push_back(c);
        EXPECT_EQ(parse_exact(longer, longer.size()), nullptr); // more than the prefix
        EXPECT_EQ(parse_prefixed(with_prefix(longer)), nullptr); // garbage in the body
    }
}

TEST(DpiCodec, HeaderVersions)
{
    const struct {
        const char *hex;
        bool ok;
    } cases[] = {
        {"00 06 02 02 00 00 01 0F", true},
        {"00 06 02 02 01 00 01 0F", false}, // version 2 release 1
        {"00 04 02 01 01 0F", true},        // version 1 release 1: no packet id
        {"00 04 02 01 02 0F", false},
        {"00 04 03 01 00 0F", false},       // major version 3
        {"00 04 02 03 00 0F", false},
        {"00 06 02 02 00 00 01 00", false}, // type 0
        {"00 07 02 02 00 00 01 0C 00", false}, // GETBULK
        {"00 07 02 02 00 00 01 0D 00", false},
        {"00 07 02 02 00 00 01 0E 00", false},
        {"00 06 02 02 00 00 01 10", false},
        {"00 05 02 02 00 00 01", false},    // no type
        {"00 01 02", false},
    };
    for (const auto &c : cases) {
        const Bytes b = hex(c.hex);
        dpi_packet *h = parse_exact(b, b.size());
        EXPECT_EQ(h != nullptr, c.ok) << c.hex;
        fDPIparse(h);
    }
    // The trusting entry point reads only what the prefix says, even when it
    // says less than a header.
    const Bytes short_prefix = hex("00 02 02 02");
    EXPECT_EQ(parse_prefixed(short_prefix), nullptr);
}

TEST(DpiCodec, ParsedValuesAreHostOrder)
{
    const Bytes b = packet("trap");
    dpi_packet *h = parse_exact(b, b.size());
    ASSERT_NE(h, nullptr);
    const dpi_trap_body *t = h->data.trap;
    EXPECT_EQ(t->generic, 6);
    EXPECT_EQ(t->specific, 1);
    EXPECT_STREQ(t->enterprise, "1.3.6.1.4.1.59981.2");
    const dpi_binding *vb = t->bindings;
    ASSERT_NE(vb, nullptr);
    EXPECT_STREQ(vb->object_id, "1.3.6.1.4.1.59981.2.1.0");
    EXPECT_EQ(vb->value_type, DPI_TYPE_COUNTER64);
    EXPECT_EQ(number(vb, 0), 1u);          // high half
    EXPECT_EQ(number(vb, 1), 0x80000002u); // low half
    vb = vb->next;
    EXPECT_EQ(vb->value_type, DPI_TYPE_IPADDRESS);
    EXPECT_EQ(to_hex(vb->value, 4), "0A 01 02 03"); // address bytes as they are
    vb = vb->next;
    EXPECT_EQ(number(vb), 0xFFFFFFFFu);
    vb = vb->next;
    EXPECT_EQ(number(vb), 256u);
    vb = vb->next;
    EXPECT_EQ(number(vb), 4500u);
    vb = vb->next;
    EXPECT_EQ(number(vb), 0x80000000u);
    vb = vb->next;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(vb->value), vb->value_len), "1.3.6.1");
    vb = vb->next;
    EXPECT_EQ(vb->value_len, 0);
    EXPECT_EQ(vb->value, nullptr);
    fDPIparse(h);

    const Bytes s = packet("set");
    h = parse_exact(s, s.size());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->packet_id, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(h->community), h->community_len), "private");
    EXPECT_EQ(static_cast<int32_t>(number(h->data.set)), 1234);
    EXPECT_STREQ(h->data.set->object_id, "1.3.6.1.4.1.59981.2.1.0");
    EXPECT_STREQ(h->data.set->next->group, "1.3.6.1.4.1.59981.2.");
    EXPECT_STREQ(h->data.set->next->instance, "2.0");
    fDPIparse(h);

    // A group with its trailing dot and an empty instance.
    const Bytes g = packet("get");
    h = parse_exact(g, g.size());
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->data.get->object_id, "1.3.6.1.2.1.1.1.0");
    EXPECT_STREQ(h->data.get->next->object_id, "1.3.6.1.4.1.59981.2");
    EXPECT_STREQ(h->data.get->next->instance, "");
    fDPIparse(h);

    const Bytes r = packet("v1_response_error");
    h = parse_exact(r, r.size());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->data.resp->error_code, 2);
    EXPECT_EQ(h->data.resp->error_index, 1); // implied by the code
    fDPIparse(h);

    const Bytes o = packet("open");
    h = parse_exact(o, o.size());
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->data.open->identity, "1.3.6.1.4.1.59981.3");
    EXPECT_EQ(h->data.open->timeout, 10);
    EXPECT_EQ(h->data.open->password_len, 3);
    EXPECT_EQ(std::memcmp(h->data.open->password, "pw!", 3), 0);
    fDPIparse(h);

    const Bytes reg = packet("register");
    h = parse_exact(reg, reg.size());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->data.reg->priority, -1);
    EXPECT_EQ(h->data.reg->next->priority, 5);
    EXPECT_EQ(h->data.reg->next->timeout, 3);
    EXPECT_STREQ(h->data.reg->next->subtree, "1.3.6.1.4.1.59981.2.2.");
    fDPIparse(h);
}

TEST(DpiCodec, BodiesThatBreakTheRules)
{
    const char *bad[] = {
        // Integer32 of 2 bytes; a value longer than the body; Counter64 of 4.
        "00 00 02 02 00 00 01 03 00 00 31 2E 33 2E 00 31 00 81 00 02 00 01 00 00 00 00 00 00",
        "00 00 02 02 00 00 01 03 00 00 31 2E 00 31 00 02 00 09 41",
        "00 00 02 02 00 00 01 03 00 00 31 2E 00 31 00 0D 00 04 00 00 00 01",
        // NULL of 5 bytes; NsapAddress of 2; an unknown number type of 3.
        "00 00 02 02 00 00 01 03 00 00 31 2E 00 31 00 04 00 05 00 00 00 00 00",
        "00 00 02 02 00 00 01 03 00 00 31 2E 00 31 00 0B 00 02 00 00",
        "00 00 02 02 00 00 01 03 00 00 31 2E 00 31 00 82 00 03 00 00 00",
        // An empty group; a GET without entries; a SET without bindings.
        "00 00 02 02 00 00 01 01 00 00 00 31 00",
        "00 00 02 02 00 00 01 01 00 00",
        "00 00 02 02 00 00 01 03 00 00",
        // A community longer than the packet.
        "00 00 02 02 00 00 01 01 00 09 31 2E 00 00",
        // OPEN: a body of 4 bytes; an empty identity; an empty description;
        // a password longer than the body.
        "00 00 02 02 00 00 01 08 00 00 00 00",
        "00 00 02 02 00 00 01 08 00 00 00 00 00 00 41 00",
        "00 00 02 02 00 00 01 08 00 00 00 00 00 31 00 00",
        "00 00 02 02 00 00 01 08 00 00 00 00 00 31 00 41 00 00 05 41",
        // CLOSE without its reason; a register entry cut short.
        "00 00 02 02 00 00 01 09",
        "00 00 02 02 00 00 01 06 FF FF FF",
    };
    for (const char *text : bad) {
        const Bytes b = with_prefix(hex(text));
        dpi_packet *h = parse_exact(b, b.size());
        EXPECT_EQ(h, nullptr) << text;
        fDPIparse(h);
    }
}

TEST(DpiCodec, AreYouThereIsEightBytes)
{
    const unsigned char *p = mkDPIayt();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(DPI_PACKET_LEN(p), 8u);
    const Bytes b(p, p + 8);
    dpi_packet *h = parse_exact(b, b.size());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->type, DPI_PACKET_ARE_YOU_THERE);
    EXPECT_EQ(h->data.any, nullptr);
    fDPIparse(h);
}

TEST(DpiCodec, PacketIdsCountUpAndAnswersCopyThem)
{
    dpi_packet *a = mkDPIhdr_version(DPI_PACKET_GET, 2, 0);
    dpi_packet *b = mkDPIhdr_version(DPI_PACKET_GET, 2, 0);
    dpi_packet *c = mkDPIhdr_version(DPI_PACKET_GET, 1, 1);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(static_cast<uint16_t>(a->packet_id + 1), b->packet_id);
    EXPECT_EQ(c->packet_id, 0);
    EXPECT_EQ(mkDPIhdr_version(DPI_PACKET_GET, 2, 1), nullptr);
    EXPECT_EQ(mkDPIhdr_version(DPI_PACKET_GET, 1, 2), nullptr);
    fDPIparse(a);
    fDPIparse(c);

    // An answer carries the id of the packet it answers, and its bindings
    // must cover the error index.
    b->packet_id = 0xBEEF;
    const int32_t v = 7;
    dpi_binding *vb = mkDPIset_packet(nullptr, "1.3.6.1.4.1.59981.2.", "1.0", DPI_TYPE_INTEGER32, 4, &v);
    EXPECT_EQ(packet_hex(mkDPIresp(b, 0, 0, vb)),
              "00 2B 02 02 00 BE EF 05 00 00 00 00 00 31 2E 33 2E 36 2E 31 2E 34 2E 31 2E 35 39 39 38 "
              "31 2E 32 2E 00 31 2E 30 00 81 00 04 00 00 00 07");
    vb = mkDPIset_packet(nullptr, "1.3.6.1.4.1.59981.2.", "1.0", DPI_TYPE_INTEGER32, 4, &v);
    EXPECT_EQ(mkDPIresp(b, 5, 2, vb), nullptr); // index 2 of 1 binding
    EXPECT_EQ(packet_hex(mkDPIresp(b, 2, 2, nullptr)), "00 0B 02 02 00 BE EF 05 02 00 00 00 02");
    EXPECT_EQ(mkDPIresp(b, 256, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIresp(b, 0, -1, nullptr), nullptr);
    EXPECT_EQ(mkDPIresp(nullptr, 0, 0, nullptr), nullptr);
    fDPIparse(b);

    // An answer to a version 1 packet has the version 1 layout.
    const Bytes g = packet("v1_get");
    dpi_packet *req = parse_exact(g, g.size());
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(packet_hex(mkDPIresp(req, 2, 1, nullptr)), "00 05 02 01 00 05 02");
    fDPIparse(req);
}

TEST(DpiCodec, ConstructorsCheckObjectIds)
{
    const struct {
        const char *group;
        const char *instance;
        bool ok;
    } cases[] = {
        {"1.3.6.1.2.1.1.", "1.0", true},
        {"1.3.6.1.2.1.1.", "", true},
        {"1.3.6.1.2.1.1.", nullptr, true},
        {"2.999.", "1", true},
        {"0.39.", "1", true},
        {"3.1.", "1", false},
        {"1.40.", "1", false},
        {"1.3..6.", "1", false},
        {"1.", "1", false},
        {"1", "1", false},
        {"x.1.", "1", false},
        {"1.3.6.", "1.", false},
        {"1.3.6.", ".1", false},
        {"1.3.6.", "1..2", false},
        {"1.3.6.", "1a", false},
        {nullptr, "1", false},
    };
    for (const auto &c : cases) {
        dpi_get_item *l = mkDPIget_packet(nullptr, c.group, c.instance);
        EXPECT_EQ(l != nullptr, c.ok) << (c.group ? c.group : "(null)") << " " << (c.instance ? c.instance : "(null)");
        fDPIget_packet(l);
    }

    dpi_get_item *l = mkDPInext_packet(nullptr, "1.3.6.1.2.1.1.", "");
    l = mkDPInext_packet(l, "1.3.6.1.2.1.2.", "1");
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->next->object_id, "1.3.6.1.2.1.2.1");
    EXPECT_EQ(mkDPInext_packet(l, "1.40.", ""), nullptr); // the list is kept
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_GETNEXT, 2, 0);
    h->packet_id = 2;
    h->data.get = l;
    EXPECT_EQ(packet_hex(mkDPIpacket(h)),
              "00 29 02 02 00 00 02 02 00 00 31 2E 33 2E 36 2E 31 2E 32 2E 31 2E 31 2E 00 00 31 2E "
              "33 2E 36 2E 31 2E 32 2E 31 2E 32 2E 00 31 00");

    // A group without its trailing dot is built but cannot be serialised.
    h = mkDPIhdr_version(DPI_PACKET_GET, 2, 0);
    h->data.get = mkDPIget_packet(nullptr, "1.3.6.1.2.1.1", "1.0");
    ASSERT_NE(h->data.get, nullptr);
    EXPECT_EQ(mkDPIpacket(h), nullptr);

    EXPECT_EQ(mkDPIreg(0, -1, "3.1", 0, 0), nullptr);
    EXPECT_EQ(mkDPIreg(0, -2, "1.3.6.1", 0, 0), nullptr);
    EXPECT_EQ(mkDPIreg(0, 0, "1.3.6.1", 2, 0), nullptr);
    EXPECT_EQ(mkDPIreg(65536, 0, "1.3.6.1", 0, 0), nullptr);
    EXPECT_NE(mkDPIreg(65535, 0, "1.3.6.1", 1, 1), nullptr);
    EXPECT_EQ(mkDPIureg(1, "1..3"), nullptr);
    EXPECT_NE(mkDPIureg(1, "1.3.6.1"), nullptr);
    EXPECT_EQ(mkDPIclose(256), nullptr);
}

TEST(DpiCodec, SetBindingsFollowTheLengthRules)
{
    const unsigned char bytes[24] = {};
    const struct {
        int type;
        uint32_t len;
        bool ok;
    } cases[] = {
        {DPI_TYPE_INTEGER32, 4, true},   {DPI_TYPE_INTEGER32, 2, false},
        {DPI_TYPE_COUNTER64, 8, true},   {DPI_TYPE_COUNTER64, 4, false},
        {DPI_TYPE_NULL, 0, true},        {DPI_TYPE_NULL, 4, true},
        {DPI_TYPE_NULL, 5, false},       {DPI_TYPE_NSAP_ADDRESS, 1, true},
        {DPI_TYPE_NSAP_ADDRESS, 3, false}, {DPI_TYPE_NSAP_ADDRESS, 21, true},
        {DPI_TYPE_NSAP_ADDRESS, 22, false}, {DPI_TYPE_OBJECT_ID, 0, false},
        {DPI_TYPE_OCTET_STRING, 0, true}, {DPI_TYPE_IPADDRESS_OLD, 4, true},
        {DPI_TYPE_IPADDRESS_OLD, 0, false}, {DPI_TYPE_END_OF_MIB_VIEW, 0, true},
        {DPI_TYPE_TIMETICKS, 0, false},
    };
    for (const auto &c : cases) {
        dpi_packet *h = mkDPIhdr_version(DPI_PACKET_SET, 2, 0);
        h->data.set = mkDPIset_packet(nullptr, "1.3.6.1.4.1.59981.2.", "1.0", c.type, c.len, bytes);
        ASSERT_NE(h->data.set, nullptr);
        EXPECT_EQ(mkDPIpacket(h) != nullptr, c.ok) << c.type << "/" << c.len;
    }
    // Types outside the table and lengths without a value are refused at once.
    EXPECT_EQ(mkDPIset_packet(nullptr, "1.3.6.", "1", 6, 4, bytes), nullptr);
    EXPECT_EQ(mkDPIset_packet(nullptr, "1.3.6.", "1", 130, 4, bytes), nullptr);
    EXPECT_EQ(mkDPIset_packet(nullptr, "1.3.6.", "1", DPI_TYPE_OCTET_STRING, 4, nullptr), nullptr);

    // A Counter64 goes out high half first, whatever the host order.
    const uint32_t c64[2] = {0x01020304u, 0x05060708u};
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_SET, 2, 0);
    h->packet_id = 1;
    h->data.set = mkDPIset_packet(nullptr, "1.3.", "1", DPI_TYPE_COUNTER64, 8, c64);
    EXPECT_EQ(packet_hex(mkDPIpacket(h)),
              "00 1A 02 02 00 00 01 03 00 00 31 2E 33 2E 00 31 00 0D 00 08 01 02 03 04 05 06 07 08");
    EXPECT_EQ(varBind_count, 1u);
}

TEST(DpiCodec, PacketsStayWithin4095Bytes)
{
    // 4095 bytes in all is the largest packet.
    auto set_of = [](uint32_t value_len) {
        static unsigned char big[4096];
        dpi_packet *h = mkDPIhdr_version(DPI_PACKET_SET, 2, 0);
        h->data.set = mkDPIset_packet(nullptr, "1.3.", "1", DPI_TYPE_OCTET_STRING, value_len, big);
        return mkDPIpacket(h);
    };
    // Prefix 2 + header 6 + community length 2 + "1.3.\0" 5 + "1\0" 2 + type 1
    // + length 2.
    const unsigned char *p = set_of(4095 - 20);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(DPI_PACKET_LEN(p), 4095u);
    EXPECT_EQ(set_of(4095 - 19), nullptr);
}

TEST(DpiCodec, OpenTrapAndCloseConstructors)
{
    const unsigned char pw[] = {'p', 'w', '!'};
    EXPECT_EQ(mkDPIopen("3.1", "d", 0, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIopen("1.3.6.1", nullptr, 0, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIopen("1.3.6.1", std::string(256, 'd').c_str(), 0, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIopen("1.3.6.1", "d", 65536, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIopen("1.3.6.1", "d", 0, 65536, 0, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIopen("1.3.6.1", "d", 0, 0, 2, 0, nullptr), nullptr);
    EXPECT_EQ(mkDPIopen("1.3.6.1", "d", 0, 0, 0, 65536, pw), nullptr);
    const unsigned char *p = mkDPIopen("1.3.6.1.4.1.59981.3", "test subagent", 10, 1, 0, 3, pw);
    ASSERT_NE(p, nullptr);
    Bytes got(p, p + DPI_PACKET_LEN(p));
    Bytes want = packet("open");
    got[5] = want[5];
    got[6] = want[6]; // the packet id
    EXPECT_EQ(to_hex(got), to_hex(want));

    EXPECT_EQ(mkDPItrape(7, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(mkDPItrape(0, 1, nullptr, nullptr), nullptr);
    EXPECT_EQ(mkDPItrape(6, 1, nullptr, "1.3.6.1."), nullptr);
    EXPECT_EQ(mkDPItrape(6, 1, nullptr, "1.40"), nullptr);
    p = mkDPItrape(0, 0, nullptr, nullptr);
    ASSERT_NE(p, nullptr);
    got.assign(p, p + DPI_PACKET_LEN(p));
    want = packet("trap_no_enterprise");
    got[5] = want[5];
    got[6] = want[6];
    EXPECT_EQ(to_hex(got), to_hex(want));
    const uint32_t ticks = 100;
    dpi_binding *vb = mkDPIset_packet(nullptr, "1.3.6.1.4.1.59981.2.", "1.0", DPI_TYPE_TIMETICKS, 4, &ticks);
    p = mkDPItrape(6, 3, vb, "1.3.6.1.4.1.59981.2");
    ASSERT_NE(p, nullptr);
    dpi_packet *h = parse_exact(Bytes(p, p + DPI_PACKET_LEN(p)), DPI_PACKET_LEN(p));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->data.trap->specific, 3);
    EXPECT_EQ(number(h->data.trap->bindings), 100u);
    fDPIparse(h);

    p = mkDPIclose(1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[7], DPI_PACKET_CLOSE);
    EXPECT_EQ(p[8], 1);
}

TEST(DpiDebug, AnnouncesLevelChanges)
{
    testing::internal::CaptureStdout();
    DPIdebug(2);
    DPIdebug(2);
    DPIdebug(0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        out, "DPI Debug turned ON \\(level 2\\)\nDPI Debug code not available\n"
             "snmp_dpi\\.cpp - DPI Version 2\\.0\\.22, 96Sep30, Compiled [A-Z][a-z][a-z] [ 1-3][0-9] "
             "[0-9]+ [0-9:]+\n"
             "DPI Debug turned OFF \\(level 0\\)\nsnmp_dpi\\.cpp - DPI Version [^\n]*\n"))
        << out;

    // Reports are cut at the line buffer, never written past it.
    testing::internal::CaptureStdout();
    dpilog("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout().size(), 1023u);
}

} // namespace
