// HTLog: the error log hook.

#include "HTLog.h"

#include <atomic>

namespace {

std::atomic<HTLogErrorHandler> handler{nullptr};

} // namespace

extern "C" int HTLogError_setHandler(HTLogErrorHandler h) noexcept
{
    handler.store(h, std::memory_order_release);
    return 0;
}

extern "C" HTLogErrorHandler HTLogError_getHandler(void) noexcept
{
    return handler.load(std::memory_order_acquire);
}

extern "C" void HTLog_errorReflector(const char *format, HTRequest *request, ...) noexcept
{
    const HTLogErrorHandler h = handler.load(std::memory_order_acquire);
    if (h == nullptr || format == nullptr)
        return;
    va_list args;
    va_start(args, request);
    h(format, request, args);
    va_end(args);
}
