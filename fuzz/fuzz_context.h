// A worker context for fuzz targets whose functions allocate from the
// thread's memory pool: created once, its pool reset after every input so
// that a long libFuzzer run does not grow it.
#ifndef FUZZ_CONTEXT_H
#define FUZZ_CONTEXT_H

#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#if __has_include("HTStreamStack.h")
#include "HTStreamStack.h"
#endif

inline HTThdGlobals *fuzz_context()
{
    static HTThdGlobals *ctx = [] {
        // The part of start-up these targets need (they link only the
        // layers they test).
        HTThreadKeys_create();
        HTThdGlobals_register();
        HTMemPool_register();
        HTList_init();
        HTList_register();
#if __has_include("HTStreamStack.h")
        HTClientRespHeaders_register();
#endif
        return static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    }();
    return ctx;
}

// The context with a request begun, for targets that end it with fuzz_context_reset.
inline HTThdGlobals *fuzz_request()
{
    HTThdGlobals *ctx = fuzz_context();
    HTWorkThread_threadStartWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
    return ctx;
}

inline void fuzz_context_reset(HTThdGlobals *ctx)
{
    HTWorkThread_threadEndWork(HT_THREAD_WORKER, HT_CONTEXT_REQUEST, ctx);
}

#endif
