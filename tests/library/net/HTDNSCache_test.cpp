#include "HTDNSCache.h"

#include "htc_oom.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

time_t fake_now = 1000000;
time_t fake_clock()
{
    return fake_now;
}

class DNSCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        HTDNSCache_init();
        HTDNSCache__setClock(fake_clock);
        HTDNSCache_setTimeToLive(HT_DNS_DEFAULT_TTL);
        HTDNSCache_enable(1);
        HTDNSCache_purge();
        fake_now = 1000000;
    }
    void TearDown() override
    {
        HTDNSCache_purge();
        HTDNSCache__setClock(nullptr);
    }

    static uint32_t lookup(const std::string &name)
    {
        uint32_t a = 0;
        return HTDNSCache_lookup(name.c_str(), &a) ? a : 0;
    }
    static void add(const std::string &name, uint32_t a) { HTDNSCache_add(name.c_str(), &a, nullptr); }

    // Names of one cell, found by searching.
    static std::vector<std::string> same_cell(unsigned want, std::size_t n)
    {
        std::vector<std::string> out;
        for (int i = 0; out.size() < n; ++i) {
            const std::string name = "h" + std::to_string(i) + ".example";
            if (HTDNSCache__cellOf(name.c_str()) == want)
                out.push_back(name);
        }
        return out;
    }
};

TEST_F(DNSCache, AddLookupAndNameLengthLimit)
{
    EXPECT_EQ(lookup("www.example.org"), 0u);
    add("www.example.org", 0x01020304);
    EXPECT_EQ(lookup("www.example.org"), 0x01020304u);
    EXPECT_EQ(lookup("WWW.example.org"), 0u); // names compare exactly
    const std::string n47(47, 'a'), n48(48, 'b');
    add(n47, 7);
    EXPECT_EQ(lookup(n47), 7u);
    add(n48, 8);
    EXPECT_EQ(lookup(n48), 0u);
    add("", 9);
    EXPECT_EQ(lookup(""), 0u);
}

TEST_F(DNSCache, AddingAgainKeepsAddressAndExpiry)
{
    add("a.example", 1);
    fake_now += 100;
    add("a.example", 2);
    EXPECT_EQ(lookup("a.example"), 1u);
    const unsigned base = HTDNSCache__cellOf("a.example") * HT_DNS_CELL_ENTRIES;
    const HTDNSEntry *e = HTDNSCache__entry(base);
    ASSERT_STREQ(e->name, "a.example");
    EXPECT_EQ(e->expiry, 1000000 + HT_DNS_DEFAULT_TTL);
}

TEST_F(DNSCache, ExpiryIsInclusive)
{
    HTDNSCache_setTimeToLive(10);
    add("t.example", 5);
    fake_now += 10;
    EXPECT_EQ(lookup("t.example"), 5u); // expiry equals now: still a hit
    fake_now += 1;
    EXPECT_EQ(lookup("t.example"), 0u);
    const unsigned base = HTDNSCache__cellOf("t.example") * HT_DNS_CELL_ENTRIES;
    EXPECT_STREQ(HTDNSCache__entry(base)->name, ""); // emptied by the lookup
}

TEST_F(DNSCache, SecondChanceReplacement)
{
    const unsigned cell = 5;
    const auto names = same_cell(cell, 9);
    const unsigned base = cell * HT_DNS_CELL_ENTRIES;
    for (int i = 0; i < 7; ++i)
        add(names[i], static_cast<uint32_t>(i + 1));
    for (int i = 0; i < 7; ++i)
        EXPECT_STREQ(HTDNSCache__entry(base + i)->name, names[i].c_str());
    // All used: one sweep clears every flag, comes back to 0 and replaces it.
    add(names[7], 8);
    EXPECT_STREQ(HTDNSCache__entry(base)->name, names[7].c_str());
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(HTDNSCache__entry(base + i)->used, 0) << i;
    EXPECT_EQ(lookup(names[0]), 0u);
    // The next addition takes the following position (unused now).
    add(names[8], 9);
    EXPECT_STREQ(HTDNSCache__entry(base + 1)->name, names[8].c_str());
    // A hit protects an entry from the next sweep.
    EXPECT_EQ(lookup(names[2]), 3u);
    add(names[0], 1);
    EXPECT_STREQ(HTDNSCache__entry(base + 3)->name, names[0].c_str());
    EXPECT_EQ(lookup(names[2]), 3u);
}

TEST_F(DNSCache, PurgeAndDisable)
{
    add("p.example", 1);
    HTDNSCache_purge();
    EXPECT_EQ(lookup("p.example"), 0u);
    add("p.example", 2);
    EXPECT_EQ(lookup("p.example"), 2u);
    HTDNSCache_enable(0);
    EXPECT_EQ(lookup("p.example"), 0u);
    add("q.example", 3);
    HTDNSCache_enable(1);
    EXPECT_EQ(lookup("q.example"), 0u);
    EXPECT_EQ(lookup("p.example"), 2u);
}

// The start that runs out of memory reports it with nothing made and its
// lock free; the cache stays off (lookups miss, additions are dropped) until
// a later start succeeds.
TEST(HTDNSCache, RunningOutOfMemoryAtStartMakesNothingHalf)
{
    const uint32_t addr = 0x0100007f;
    htc_each_failure([] { HTDNSCache_init(); },
                     [&](const HtcOomRound &r) {
                         uint32_t got = 0;
                         if (r.raised) {
                             EXPECT_EQ(HTDNSCache__entry(0), nullptr) << "round " << r.n;
                             HTDNSCache_add("oom.example", &addr, nullptr);
                             EXPECT_EQ(HTDNSCache_lookup("oom.example", &got), 0);
                             return;
                         }
                         ASSERT_NE(HTDNSCache__entry(HT_DNS_ENTRIES - 1), nullptr);
                         HTDNSCache_add("oom.example", &addr, nullptr);
                         EXPECT_EQ(HTDNSCache_lookup("oom.example", &got), 1);
                         EXPECT_EQ(got, addr);
                         HTDNSCache_purge();
                     });
}

} // namespace
