// HTInit: the library's start-up sequence.

#include "HTInit.h"

#include "HTApplication.h"
#include "HTAtom.h"
#include "HTDNSCache.h"
#include "HTGlobals.h"
#include "HTList.h"
#include "HTMPool.h"
#include "HTSocket.h"
#include "HTStreamStack.h"
#include "HTTP.h"
#include "HTTCP.h"

#include <atomic>

namespace {

// No lock is held here: a step that runs out of memory may jump out of the
// sequence through out_of_memory.
std::atomic<bool> done{false};

int start_up()
{
    // The registry's lock is static.
    sock_init();
    Counters_init();
    HTDNSCache_init();
    if (HTThreadKeys_create() != HT_OK)
        return HT_INIT_FAILED;
    HTThdGlobals_register();
    HTMemPool_register();
    if (HTAtom_createLock() != HT_OK)
        return HT_INIT_FAILED;
    HTAtom_Init();
    HTList_init();
    HTList_register();
    HTClientRespHeaders_register();
    HTTP_register();
    HTLoadGlobalAtoms();
    HTClientName_register();
    HTApplication_Init();
    HTGlobalSignalSetup();
    return HT_INIT_OK;
}

} // namespace

extern "C" int HTInitAll(void) noexcept
{
    if (done.load(std::memory_order_acquire))
        return HT_INIT_OK;
    const int result = start_up();
    if (result == HT_INIT_OK)
        done.store(true, std::memory_order_release);
    return result;
}
