// Start-up for the tests of one layer of htcommon.
//
// A layer's tests link only that layer and the layers beneath it, so they
// cannot call the library's start-up, which sits at the top. This runs the
// part of it that concerns the layers present: whatever headers the test's
// include path offers.
#ifndef HTC_START_H
#define HTC_START_H

#include "HTGlobals.h"
#if __has_include("HTInit.h")
#include "HTInit.h"
#else
#if __has_include("HTMPool.h")
#include "HTList.h"
#include "HTMPool.h"
#endif
#if __has_include("HTAtom.h")
#include "HTAtom.h"
#endif
#if __has_include("HTStreamStack.h")
#include "HTStreamStack.h"
#endif
#if __has_include("HTTP.h")
#include "HTTP.h"
#endif
#endif

// 1 when the layers are started (as HTInitAll).
inline int htc_test_start()
{
#if __has_include("HTInit.h")
    return HTInitAll();
#else
    if (HTThreadKeys_create() != 0)
        return 0;
    HTThdGlobals_register();
#if __has_include("HTMPool.h")
    HTMemPool_register();
    HTList_init();
    HTList_register();
#endif
#if __has_include("HTStreamStack.h")
    HTClientRespHeaders_register();
#endif
#if __has_include("HTTP.h")
    HTTP_register();
#endif
#if __has_include("HTAtom.h")
    if (HTAtom_createLock() != 0)
        return 0;
    HTLoadGlobalAtoms();
#endif
    return 1;
#endif
}

// One worker thread's life: its globals, the work, its end.
template <class F> void htc_as_worker(F work)
{
    auto *ctx = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    work(ctx);
    HTEndThd(HT_THREAD_WORKER, ctx);
    HTWorkThread_threadExit(HT_THREAD_WORKER, ctx);
}

#endif
