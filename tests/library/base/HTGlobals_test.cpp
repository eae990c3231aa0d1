// Per-thread globals and the module registry.

#include "HTGlobals.h"
#include "htc_oom.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;
int tokenA, tokenB;

int base_slot = -1;

void *create_a(int slot, int, void *)
{
    calls.push_back(slot == base_slot ? "createA" : "createA:?");
    return &tokenA;
}
void *create_b(int, int, void *prev)
{
    calls.push_back(prev == &tokenA ? "createB:A" : "createB:?");
    return &tokenB;
}
void *create_c(int, int, void *prev)
{
    calls.push_back(prev == &tokenB ? "createC:B" : "createC:?");
    return prev;
}
int destroy_a(int, int, void *) { calls.push_back("destroyA"); return 0; }
int destroy_b(int, int, void *) { calls.push_back("destroyB"); return 0; }
int destroy_c(int, int, void *) { calls.push_back("destroyC"); return 0; }
int init_a(int, int, int ctx, void *) { calls.push_back("initA" + std::to_string(ctx)); return 0; }
int uninit_c(int, int, int ctx, void *) { calls.push_back("uninitC" + std::to_string(ctx)); return 0; }

} // namespace

TEST(HTGlobals, RegistryOrderAndDuplicateNames)
{
    // Whatever ran before in this process may have registered modules: the
    // three of this test take the next slots, and only theirs are recorded.
    calls.clear();
    base_slot = HTWorkThread_moduleCount();
    EXPECT_EQ(HTWorkThread_addModule("test A", create_a, destroy_a, init_a, nullptr), base_slot);
    EXPECT_EQ(HTWorkThread_addModule("test B", create_b, destroy_b, nullptr, nullptr), base_slot + 1);
    EXPECT_EQ(HTWorkThread_addModule("test C", create_c, destroy_c, nullptr, uninit_c), base_slot + 2);
    // Same name: same slot, first callbacks kept.
    EXPECT_EQ(HTWorkThread_addModule("test B", create_c, destroy_c, nullptr, nullptr), base_slot + 1);
    EXPECT_EQ(HTWorkThread_moduleCount(), base_slot + 3);

    void *v = HTWorkThread_threadCreate(5);
    EXPECT_EQ(v, &tokenB);
    EXPECT_EQ(pthread_getspecific(GetHTThreadKey()), &tokenB);
    HTWorkThread_svcThreadStartWork(5, v);
    HTWorkThread_svcThreadEndWork(5, v);
    HTWorkThread_threadExit(5, v);
    EXPECT_EQ(calls, std::vector<std::string>({"createA", "createB:A", "createC:B", "initA1",
                                               "initA2", "uninitC2", "uninitC1", "destroyC",
                                               "destroyB", "destroyA"}));
}

TEST(HTGlobals, Names)
{
    EXPECT_STREQ(HTWorkThread_typeName(1), "Worker thread");
    EXPECT_STREQ(HTWorkThread_typeName(11), "Divine thread");
    EXPECT_STREQ(HTWorkThread_typeName(13), "Unknown thread type 13");
    EXPECT_STREQ(HTWorkThread_typeName(-1), "Unknown thread type");
    EXPECT_STREQ(HTWorkThread_contextName(2), "REQUEST");
    EXPECT_STREQ(HTWorkThread_contextName(3), "INVALID CONTEXT 3");
}

TEST(HTGlobals, WorkerThreadRecord)
{
    ASSERT_EQ(htc_test_start(), 1);
    ASSERT_EQ(htc_test_start(), 1); // a second start-up changes nothing
    auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(lib_gettp(), g);
    EXPECT_EQ(std::memcmp(g->eyecatcher, "ZPKLTHD", 8), 0);
    EXPECT_EQ(std::memcmp(g->session->eyecatcher, "ZPKSESS", 8), 0);
    EXPECT_EQ(g->session, &g->session_part);
    EXPECT_TRUE(pthread_equal(g->thread_id, pthread_self()));
    EXPECT_EQ(g->thread_type, HT_THREAD_WORKER);
    EXPECT_NE(g->session->event, 0u);
    EXPECT_EQ(g->session->client_socket, -1);
    EXPECT_EQ(g->detailed_error, -1);
    HTErrorInfo_set(g, 77);
    EXPECT_EQ(HTErrorInfo_extract(nullptr), 77u);
    std::strcpy(g->session->client_host, "client.example");
    EXPECT_STREQ(HTClientHost_extract(g), "client.example");
    HTEndThd(HT_THREAD_WORKER, g);
    HTWorkThread_threadExit(HT_THREAD_WORKER, g);
    EXPECT_EQ(lib_gettp(), nullptr);
}

TEST(HTGlobals, OtherThreadTypesGetNoEvent)
{
    ASSERT_EQ(htc_test_start(), 1);
    auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_LOG));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->session->event, 0u);
    HTEndThd(HT_THREAD_LOG, g);
    HTWorkThread_threadExit(HT_THREAD_LOG, g);
}

namespace {

// A module whose thread state is two heap blocks. It releases its own half
// before it reports running out of memory; what the modules created before
// it made is the registry's to undo.
int probe_slot = -1;

void *probe_create(int slot, int, void *value)
{
    auto *g = static_cast<HTThdGlobals *>(value);
    void **pair = static_cast<void **>(HTAlloc_calloc(2, sizeof(void *)));
    if (pair == nullptr)
        out_of_memory("test", "probe_create", __LINE__, 2 * sizeof(void *));
    g->module_slots[slot] = reinterpret_cast<uintptr_t>(pair);
    pair[0] = HTAlloc_malloc(16);
    if (pair[0] == nullptr) {
        g->module_slots[slot] = 0;
        HTAlloc_free(pair);
        out_of_memory("test", "probe_create", __LINE__, 16);
    }
    return value;
}

int probe_destroy(int slot, int, void *value)
{
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr)
        return 0;
    auto *pair = reinterpret_cast<void **>(g->module_slots[slot]);
    if (pair != nullptr)
        HTAlloc_free(pair[0]);
    HTAlloc_free(pair);
    g->module_slots[slot] = 0;
    return 0;
}

} // namespace

TEST(HTGlobals, RunningOutOfMemoryAtThreadStartLeavesNoHalfMadeThread)
{
    ASSERT_EQ(htc_test_start(), 1);
    const int before = HTWorkThread_moduleCount();
    // Registering copies the name: a failure registers nothing.
    volatile int slot = -2;
    htc_each_failure([&] { slot = HTWorkThread_addModule("oom probe", probe_create, probe_destroy,
                                                         nullptr, nullptr); },
                     [&](const HtcOomRound &r) {
                         if (r.raised) {
                             EXPECT_EQ(HTWorkThread_moduleCount(), before) << "round " << r.n;
                         } else {
                             EXPECT_EQ(slot, before);
                         }
                     });
    probe_slot = slot;
    ASSERT_EQ(HTWorkThread_moduleCount(), before + 1);

    void *volatile value = nullptr;
    const unsigned long rounds = htc_each_failure(
        [&] { value = HTInitThd(HT_THREAD_WORKER); },
        [&](const HtcOomRound &r) {
            if (r.raised) {
                // The modules made before the failure were destroyed again.
                EXPECT_EQ(lib_gettp(), nullptr) << "round " << r.n;
                return;
            }
            auto *g = static_cast<HTThdGlobals *>(value);
            ASSERT_NE(g, nullptr);
            EXPECT_EQ(lib_gettp(), g);
            EXPECT_NE(g->session->event, 0u);
            EXPECT_NE(g->module_slots[probe_slot], 0u);
            HTEndThd(HT_THREAD_WORKER, g);
            HTWorkThread_threadExit(HT_THREAD_WORKER, g);
        });
    // The record, its event and the probe's two blocks.
    EXPECT_GE(rounds, 5u);
}
