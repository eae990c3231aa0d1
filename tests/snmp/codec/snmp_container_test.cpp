#include "snmp_container.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Freer {
    void operator()(snmp_container *c) const { snmp_free_container(c); }
};

std::vector<uint32_t> subids(const snmp_container *c)
{
    return {snmp_container_subids(c), snmp_container_subids(c) + c->length};
}

std::string text_of(const snmp_container *c)
{
    char *t = snmp_oid_to_string(c);
    std::string s = t ? t : "(null)";
    std::free(t);
    return s;
}

TEST(SnmpContainer, SizesFollowTheThirtyTwoBitLayout)
{
    EXPECT_EQ(snmp_get_b_len(SNMP_KIND_OID, 1), 24u);
    EXPECT_EQ(snmp_get_b_len(SNMP_KIND_OID, 10), 56u);
    EXPECT_EQ(snmp_get_b_len(SNMP_KIND_STRING, 3), 24u);
    EXPECT_EQ(snmp_get_b_len(SNMP_KIND_STRING, 100), 116u);
    EXPECT_EQ(snmp_get_b_len(SNMP_KIND_INTEGER, 1000), 24u);
    EXPECT_EQ(snmp_get_b_len(0, 1), 0u);
    EXPECT_EQ(snmp_get_b_len(13, 1), 0u);
    EXPECT_EQ(snmp_get_b_len(SNMP_KIND_OID, 0x40000000u), 0u); // would wrap
    EXPECT_EQ(sizeof(snmp_container), SNMP_CONTAINER_HEAD);

    snmp_container *c = snmp_create_container(SNMP_KIND_OID, 10);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(snmp_container_size(c), 56u);
    EXPECT_EQ(c->capacity, 10u);
    EXPECT_EQ(c->length, 10u);
    EXPECT_EQ(c->kind, SNMP_KIND_OID);
    for (uint32_t v : subids(c))
        EXPECT_EQ(v, 0u);
    snmp_free_container(c);
    snmp_free_container(nullptr);
}

TEST(SnmpContainer, ValidatesDottedText)
{
    EXPECT_EQ(snmp_validate_and_count(".1.3.6", 1), 3u);
    EXPECT_EQ(snmp_validate_and_count("1.3.6.1.4.1.59981", 1), 7u);
    EXPECT_EQ(snmp_validate_and_count("0", 1), 1u);
    EXPECT_EQ(snmp_validate_and_count("2.999.4294967295", 1), 3u);
    EXPECT_EQ(snmp_validate_and_count("1..3", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count("3.1", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count("3.1", 0), 2u);
    EXPECT_EQ(snmp_validate_and_count("1.40", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count("1.39", 1), 2u);
    EXPECT_EQ(snmp_validate_and_count("1.3.a", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count("1.3.", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count("", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count(".", 1), 0u);
    EXPECT_EQ(snmp_validate_and_count("1.4294967296", 0), 0u);
    EXPECT_EQ(snmp_validate_and_count(nullptr, 1), 0u);
}

TEST(SnmpContainer, OidFromTextAndBack)
{
    snmp_container *c = snmp_create_oid_container(".1.3.6.1.4.1.59981.4294967295");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->tag, SNMP_TAG_OID);
    EXPECT_EQ(subids(c), (std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 59981, 4294967295u}));
    EXPECT_EQ(text_of(c), "1.3.6.1.4.1.59981.4294967295");
    EXPECT_EQ(snmp_create_oid_container("1.40"), nullptr);

    // Refilling a small container with a long identifier moves it.
    std::string longer = "1.3";
    for (int i = 0; i < 2000; ++i)
        longer += ".4294967295";
    snmp_container *d = snmp_fill_container_with_oid(c, longer.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->length, 2002u);
    // The text buffer grows several times on the way; the text is unchanged.
    EXPECT_EQ(text_of(d), longer);
    // Invalid text leaves the container alone.
    EXPECT_EQ(snmp_fill_container_with_oid(d, "1.3..6"), nullptr);
    EXPECT_EQ(d->length, 2002u);

    const uint32_t more[] = {7, 8};
    snmp_container *e = snmp_fill_container_with_oid(d, "1.3");
    ASSERT_EQ(e, d); // big enough already
    e = snmp_expand_oid_container_by_int(e, 2, more);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(text_of(e), "1.3.7.8");
    snmp_free_container(e);

    snmp_container *empty = snmp_create_container(SNMP_KIND_OID, 0);
    EXPECT_EQ(text_of(empty), "");
    uint32_t v = 99;
    EXPECT_EQ(snmp_oid_next_subid(empty, &v, 0), -1);
    snmp_free_container(empty);
}

TEST(SnmpContainer, ComparesIdentifiers)
{
    std::unique_ptr<snmp_container, Freer> a(snmp_create_oid_container("1.3.6.1.4"));
    std::unique_ptr<snmp_container, Freer> b(snmp_create_oid_container("1.3.6.1"));
    std::unique_ptr<snmp_container, Freer> c(snmp_create_oid_container("1.3.6.2"));
    std::unique_ptr<snmp_container, Freer> s(snmp_create_value_container("x", 1, 4, 0));
    EXPECT_EQ(snmp_compare_oid_subids(a.get(), b.get(), 4), 0);
    EXPECT_EQ(snmp_compare_oid_subids(a.get(), b.get(), 0), 1);
    EXPECT_EQ(snmp_compare_oid_subids(b.get(), a.get(), 0), -1);
    EXPECT_EQ(snmp_compare_oid_subids(a.get(), c.get(), 0), -1);
    EXPECT_EQ(snmp_compare_oid_subids(c.get(), a.get(), 4), 1);
    EXPECT_EQ(snmp_compare_oid_subids(b.get(), b.get(), 0), 0);
    // n beyond the shorter one: the shorter sorts first.
    EXPECT_EQ(snmp_compare_oid_subids(b.get(), a.get(), 5), -1);
    EXPECT_EQ(snmp_compare_oid_subids(a.get(), s.get(), 0), -9);
    EXPECT_EQ(snmp_compare_oid_subids(nullptr, a.get(), 0), -9);

    uint32_t v = 0;
    EXPECT_EQ(snmp_oid_next_subid(a.get(), &v, 4), 0);
    EXPECT_EQ(v, 4u);
    EXPECT_EQ(snmp_oid_next_subid(a.get(), &v, 5), -1);
    EXPECT_EQ(snmp_oid_next_subid(s.get(), &v, 0), -1);
}

TEST(SnmpContainer, ValuesByTag)
{
    const uint8_t b = 0xFF;
    const uint16_t h = 0xFFFF;
    const int32_t w = -5;
    struct Case {
        const void *value;
        uint32_t length;
        int tag;
        int kind;
        int64_t number;
    } cases[] = {
        {&b, 1, SNMP_TAG_INTEGER, SNMP_KIND_INTEGER, 255}, // one byte: unsigned
        {&h, 2, SNMP_TAG_INTEGER, SNMP_KIND_INTEGER, -1},  // two bytes: signed
        {&w, 4, SNMP_TAG_INTEGER, SNMP_KIND_INTEGER, -5},
        {&h, 2, SNMP_TAG_GAUGE, SNMP_KIND_UNSIGNED, 65535},
        {&w, 4, SNMP_TAG_COUNTER, SNMP_KIND_UNSIGNED, 0xFFFFFFFB},
        {&b, 1, SNMP_TAG_TIMETICKS, SNMP_KIND_UNSIGNED, 255},
        {nullptr, 0, SNMP_TAG_NULL, SNMP_KIND_NULL, 0},
        {nullptr, 0, SNMP_TAG_ENDOFMIBVIEW, SNMP_KIND_NULL, 0},
    };
    for (const Case &t : cases) {
        SCOPED_TRACE(t.tag);
        snmp_container *c = snmp_create_value_container(t.value, t.length, t.tag, 0);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->tag, t.tag);
        EXPECT_EQ(c->kind, t.kind);
        if (t.kind == SNMP_KIND_INTEGER)
            EXPECT_EQ(*snmp_container_int(c), t.number);
        else
            EXPECT_EQ(*snmp_container_uint(c), t.number);
        snmp_free_container(c);
    }

    // Lengths that do not fit the tag, and unknown tags, are refused.
    EXPECT_EQ(snmp_create_value_container(&w, 3, SNMP_TAG_INTEGER, 0), nullptr);
    EXPECT_EQ(snmp_create_value_container(&w, 4, SNMP_TAG_COUNTER64, 0), nullptr);
    EXPECT_EQ(snmp_create_value_container(&w, 4, 0x45, 0), nullptr);
    EXPECT_EQ(snmp_create_value_container("1.40", 4, SNMP_TAG_OID, 0), nullptr);

    const unsigned char ip[4] = {10, 1, 2, 3};
    snmp_container *a = snmp_create_value_container(ip, 4, SNMP_TAG_IPADDRESS, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::memcmp(snmp_container_bytes(a), ip, 4), 0);

    const uint32_t c64[2] = {1, 2};
    snmp_container *d = snmp_replace_container_value(a, c64, 8, SNMP_TAG_COUNTER64, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->kind, SNMP_KIND_COUNTER64);
    EXPECT_EQ(snmp_container_uint(d)[0], 1u);
    EXPECT_EQ(snmp_container_uint(d)[1], 2u);

    // A string grows the container; its display flag is kept.
    std::string text(300, 'x');
    snmp_container *s = snmp_replace_container_value(d, text.data(), 300, SNMP_TAG_OCTET_STRING, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->length, 300u);
    EXPECT_EQ(s->flag, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(snmp_container_bytes(s)), 300), text);

    snmp_container *o = snmp_replace_container_value(s, "1.3.6.1", 0, SNMP_TAG_OID, 0);
    ASSERT_EQ(o, s); // the string's block is big enough
    EXPECT_EQ(text_of(o), "1.3.6.1");

    snmp_container *e = snmp_replace_container_value(o, nullptr, 0, SNMP_TAG_OCTET_STRING, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->length, 0u);
    EXPECT_EQ(snmp_container_bytes(e)[0], 0);

    snmp_container *copy = snmp_copy_container_value(nullptr, e);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->kind, SNMP_KIND_STRING);
    EXPECT_EQ(copy->length, 0u);
    std::unique_ptr<snmp_container, Freer> oid(snmp_create_oid_container("1.3.6.1.2.1.1.1.0"));
    snmp_container *copy2 = snmp_copy_container_value(copy, oid.get());
    ASSERT_NE(copy2, nullptr);
    EXPECT_EQ(text_of(copy2), "1.3.6.1.2.1.1.1.0");
    snmp_free_container(copy2);
    snmp_free_container(e);
}

TEST(SnmpContainer, ReuseComparesRealBytes)
{
    // A 100-byte string block holds 21 sub-identifiers: (116 - 16) / 4.
    snmp_container *c = snmp_create_container(SNMP_KIND_STRING, 100);
    ASSERT_NE(c, nullptr);
    snmp_container *r = snmp_reuse_container(c, SNMP_KIND_OID, 25);
    ASSERT_NE(r, nullptr);
    // 25 sub-identifiers need 116 bytes: the same block serves.
    EXPECT_EQ(r, c);
    EXPECT_EQ(r->kind, SNMP_KIND_OID);
    EXPECT_EQ(r->length, 25u);
    EXPECT_EQ(r->capacity, 25u);
    // 26 need 120: a new block. Comparing 26 with the old capacity (100, in
    // bytes) would have kept the 116-byte block and overrun it.
    snmp_container *n = snmp_reuse_container(r, SNMP_KIND_OID, 26);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(snmp_container_size(n), 120u);
    snmp_container_subids(n)[25] = 7; // the sanitizer checks this write
    snmp_free_container(n);

    snmp_container *x = snmp_create_container(SNMP_KIND_STRING, 3);
    snmp_container *y = snmp_expand_container(x, 5);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->length, 8u);
    snmp_container *z = snmp_expand_container(y, 100);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z->length, 108u);
    EXPECT_GE(snmp_container_size(z), 124u);
    snmp_free_container(z);
}

TEST(SnmpContainer, TimeTicksText)
{
    EXPECT_STREQ(snmp_timeTicks_to_string(8640000),
                 "8640000 - 1 days, 0 hours, 0 minutes, 0.00 seconds");
    EXPECT_STREQ(snmp_timeTicks_to_string(4500), "4500 - 45.00 seconds");
    EXPECT_STREQ(snmp_timeTicks_to_string(360001), "360001 - 1 hours, 0 minutes, 0.01 seconds");
    EXPECT_STREQ(snmp_timeTicks_to_string(4294967295u),
                 "4294967295 - 497 days, 2 hours, 27 minutes, 52.95 seconds");
}

TEST(SnmpContainer, NetAddresses)
{
    snmp_net_addr u{SNMP_DOMAIN_UDP, {127, 0, 0, 1}, 161, 0};
    snmp_net_addr t{SNMP_DOMAIN_TCP, {10, 0, 0, 255}, 65535, 0};
    snmp_net_addr f{SNMP_DOMAIN_FD, {}, 0, 7};
    snmp_net_addr x{99, {}, 0, 0};
    EXPECT_STREQ(snmp_net_addr_to_string(nullptr), "Null ptr");
    EXPECT_STREQ(snmp_net_addr_to_string(&u), "UDP 127.0.0.1 port 161");
    EXPECT_STREQ(snmp_net_addr_to_string(&t), "TCP 10.0.0.255 port 65535");
    EXPECT_STREQ(snmp_net_addr_to_string(&f), "UNIX file descriptor 7.");
    EXPECT_STREQ(snmp_net_addr_to_string(&x), "Unknown domain");

    snmp_net_addr u2 = u;
    EXPECT_EQ(snmp_compare_net_addr(&u, &u2), 0);
    u2.port = 162;
    EXPECT_EQ(snmp_compare_net_addr(&u, &u2), -1);
    EXPECT_EQ(snmp_compare_net_addr(&u, &t), -1);
    EXPECT_EQ(snmp_compare_net_addr(&x, &x), -2);
}

TEST(SnmpContainer, TextHelpers)
{
    const unsigned char ok[] = "line\r\nmore\r";
    EXPECT_EQ(snmp_is_nvt_ascii(ok, 6), 1);
    EXPECT_EQ(snmp_is_nvt_ascii(ok, 11), 0); // CR at the very end
    const unsigned char cr0[] = {'a', '\r', 0};
    EXPECT_EQ(snmp_is_nvt_ascii(cr0, 3), 1);
    const unsigned char high[] = {'a', 127};
    EXPECT_EQ(snmp_is_nvt_ascii(high, 2), 0);
    EXPECT_EQ(snmp_is_nvt_ascii(nullptr, 0), 1);

    unsigned char *e = snmp_get_native_copy(nullptr, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e[0], 0);
    std::free(e);
    unsigned char *c = snmp_get_native_copy(ok, 4);
    EXPECT_STREQ(reinterpret_cast<char *>(c), "line");
    std::free(c);
}

} // namespace
