// The library's start-up: what HTInitAll has set up once it returns.

#include "HTInit.h"

#include "HTApplication.h"
#include "HTAtom.h"
#include "HTDNSCache.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <pthread.h>
#include <string>

namespace {

TEST(HTInit, StartUpSetsUpEveryStepOnce)
{
    ASSERT_EQ(HTInitAll(), HT_INIT_OK);
    const int modules = HTWorkThread_moduleCount();
    ASSERT_EQ(HTInitAll(), HT_INIT_OK); // a second call does nothing
    EXPECT_EQ(HTWorkThread_moduleCount(), modules);

    // The DNS cache is on and caches (a host following the start-up caches).
    const uint32_t address = inet_addr("192.0.2.7");
    HTDNSCache_add("start-up.example", &address, nullptr);
    uint32_t found = 0;
    ASSERT_EQ(HTDNSCache_lookup("start-up.example", &found), HT_YES);
    EXPECT_EQ(found, address);

    // Both thread keys exist and are distinct.
    int marker = 0;
    ASSERT_EQ(pthread_setspecific(tqos_key, &marker), 0);
    EXPECT_EQ(pthread_getspecific(tqos_key), &marker);
    EXPECT_NE(GetHTThreadKey(), tqos_key);
    EXPECT_EQ(pthread_getspecific(GetHTThreadKey()), nullptr);
    pthread_setspecific(tqos_key, nullptr);

    // The per-thread modules: a worker gets its globals, its pool and its
    // list free list, in that order of slots.
    EXPECT_GE(modules, 4);
    auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(lib_gettp(), g);
    ASSERT_NE(HTMemPool_get(g), nullptr);
    EXPECT_EQ(HTMemPool_get(g)->size, HT_POOL_WORKER_SIZE);
    EXPECT_EQ(g->mempool, HTMemPool_get(g));
    if (!HTMemPool_debugBuild()) {
        EXPECT_EQ(HTList__privateFree(g), HT_LIST_WORKER_INITIAL);
    }
    HTList *list = HTList_new(g);
    HTList_addObject(list, g, g);
    EXPECT_EQ(HTList_count(list), 1);
    HTList_delete(list, g);
    HTEndThd(HT_THREAD_WORKER, g);
    HTWorkThread_threadExit(HT_THREAD_WORKER, g);
    EXPECT_EQ(lib_gettp(), nullptr);

    // The global atoms and their accessors.
    EXPECT_EQ(WWW_HTML, HTAtom_for("text/html"));
    EXPECT_EQ(GetWWW_HTML(), WWW_HTML);
    EXPECT_EQ(GetWWW_PLAINTEXT(), HTAtom_for("text/plain"));
    EXPECT_EQ(GetWWW_PDF(), HTAtom_for("application/pdf"));
    EXPECT_EQ(GetWWW_SSI(), HTAtom_for("text/x-ssi-html"));
    EXPECT_EQ(GetHTMIMEWrapper_name(), HTAtom_for("HTMIMEWrapper"));
    EXPECT_EQ(GetHTHACKWrapper_name(), HTAtom_for("HTHACKWrapper"));
    EXPECT_EQ(GetHTWSRCConvert_name(), HTAtom_for("HTWSRCConvert"));
    EXPECT_EQ(WWW_PRESENT, HTAtom_for("www/present"));
    HTAtom *other = HTAtom_for("text/x-other");
    SetWWW_HTML(other);
    EXPECT_EQ(WWW_HTML, other);
    SetWWW_HTML(HTAtom_for("text/html"));

    // The application table starts empty: all of its slots are free.
    for (int i = 0; i < HT_APPLICATION_SLOTS; ++i)
        ASSERT_NE(HTApplication_Add(("app" + std::to_string(i)).c_str(), 5, 1, 1, 0, nullptr),
                  nullptr) << i;
    EXPECT_EQ(HTApplication_Add("one more", 5, 1, 1, 0, nullptr), nullptr);
    HTApplication_Init();
}

} // namespace
