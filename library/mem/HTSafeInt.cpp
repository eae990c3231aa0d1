// HTSafeInt: a shared counter with atomic addition.

#include "HTSafeInt.h"

#include "HTAlloc.h"

#include <atomic>
#include <cstdlib>
#include <new>

struct HTSafeInt {
    std::atomic<uint32_t> value; // unsigned so that wrapping is defined
};

extern "C" HTSafeInt *HTSafeInt_new(void) noexcept
{
    void *p = HTAlloc_malloc(sizeof(HTSafeInt));
    if (p == nullptr)
        return nullptr;
    return new (p) HTSafeInt{{0}};
}

extern "C" void HTSafeInt_delete(HTSafeInt *counter) noexcept { HTAlloc_free(counter); }

extern "C" int32_t HTSafeInt_extract(const HTSafeInt *counter) noexcept
{
    return counter ? static_cast<int32_t>(counter->value.load(std::memory_order_relaxed)) : 0;
}

extern "C" void HTSafeInt_set(HTSafeInt *counter, int32_t value) noexcept
{
    if (counter)
        counter->value.store(static_cast<uint32_t>(value), std::memory_order_relaxed);
}

extern "C" int32_t HTSafeInt_add(HTSafeInt *counter, int32_t amount) noexcept
{
    if (counter == nullptr)
        return 0;
    const uint32_t a = static_cast<uint32_t>(amount);
    return static_cast<int32_t>(counter->value.fetch_add(a, std::memory_order_relaxed) + a);
}

extern "C" int32_t HTSafeInt_subtract(HTSafeInt *counter, int32_t amount) noexcept
{
    if (counter == nullptr)
        return 0;
    const uint32_t a = static_cast<uint32_t>(amount);
    return static_cast<int32_t>(counter->value.fetch_sub(a, std::memory_order_relaxed) - a);
}

extern "C" int32_t HTSafeInt_inc(HTSafeInt *counter) noexcept { return HTSafeInt_add(counter, 1); }

extern "C" int32_t HTSafeInt_dec(HTSafeInt *counter) noexcept { return HTSafeInt_subtract(counter, 1); }
