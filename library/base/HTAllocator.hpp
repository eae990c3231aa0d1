// HTAllocator: standard containers on the library's allocation point.
//
// Inside the library a container allocates through HTAlloc, so the failure
// hook reaches it, and reports exhaustion as std::bad_alloc. That exception
// never leaves the library: an exported function runs such code through
// ht::fallible(), which returns false once every object the code made has
// been destroyed, and only then reports the failure (a null result, an
// error code, or out_of_memory, whose jump must not pass a live object).
#ifndef HTALLOCATOR_HPP
#define HTALLOCATOR_HPP

#include "HTAlloc.h"

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace ht {

template <class T> struct Allocator {
    using value_type = T;

    Allocator() noexcept = default;
    template <class U> Allocator(const Allocator<U> &) noexcept {}

    T *allocate(std::size_t n)
    {
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        void *p = HTAlloc_malloc(n * sizeof(T));
        if (p == nullptr)
            throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t) noexcept { HTAlloc_free(p); }

    template <class U> bool operator==(const Allocator<U> &) const noexcept { return true; }
    template <class U> bool operator!=(const Allocator<U> &) const noexcept { return false; }
};

template <class T> using vector = std::vector<T, Allocator<T>>;
using string = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// Runs `work`; false when it ran out of memory, by which time everything it
// had built on the stack has been destroyed.
template <class F> bool fallible(F &&work) noexcept
{
    try {
        work();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace ht

#endif
