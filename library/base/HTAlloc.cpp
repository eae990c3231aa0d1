// HTAlloc: the library's allocation point and its failure hook.

#include "HTAlloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Per thread, so that a test's failures never reach another thread's work.
struct FailHook {
    unsigned long countdown; // 0: disarmed
    bool persistent;
    bool failed;
};

thread_local FailHook hook{0, false, false};

inline bool fail_now() noexcept
{
    if (__builtin_expect(hook.countdown == 0, 1))
        return false;
    if (hook.failed && hook.persistent)
        return true;
    if (--hook.countdown == 0) {
        hook.failed = true;
        if (hook.persistent)
            hook.countdown = 1; // stays armed
        return true;
    }
    return false;
}

} // namespace

extern "C" void *HTAlloc_malloc(size_t size) noexcept
{
    if (fail_now())
        return nullptr;
    return std::malloc(size ? size : 1);
}

extern "C" void *HTAlloc_calloc(size_t count, size_t size) noexcept
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    if (fail_now())
        return nullptr;
    return std::calloc(count ? count : 1, size ? size : 1);
}

extern "C" void *HTAlloc_realloc(void *block, size_t size) noexcept
{
    if (fail_now())
        return nullptr;
    return std::realloc(block, size ? size : 1);
}

extern "C" char *HTAlloc_strndup(const char *text, size_t length) noexcept
{
    if (text == nullptr || length == SIZE_MAX)
        return nullptr;
    auto *copy = static_cast<char *>(HTAlloc_malloc(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

extern "C" char *HTAlloc_strdup(const char *text) noexcept
{
    return text ? HTAlloc_strndup(text, std::strlen(text)) : nullptr;
}

extern "C" void HTAlloc_free(void *block) noexcept { std::free(block); }

extern "C" void HTAlloc_failAt(unsigned long n, int persistent) noexcept
{
    hook = FailHook{n, persistent != 0, false};
}

extern "C" int HTAlloc_failed(void) noexcept { return hook.failed ? 1 : 0; }
