# 64-bit atomics: built into the compiler on x86-64, library calls into
# libatomic on 32-bit PowerPC (no 64-bit load-reserve/store-conditional).
# Links -latomic into every target, but only where a test program needs it.
#
# Result: ORV_ATOMIC_LIBS, empty or "atomic".

include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

set(_orv_atomic_src [=[
#include <atomic>
#include <cstdint>
std::atomic<std::uint64_t> u{0};
std::atomic<std::int64_t> s{0};
int main() {
  u.fetch_add(1);
  s.store(-2);
  std::uint64_t expected = 1;
  u.compare_exchange_strong(expected, 5);
  return static_cast<int>(u.load() + static_cast<std::uint64_t>(s.exchange(3)));
}
]=])

cmake_push_check_state(RESET)
check_cxx_source_compiles("${_orv_atomic_src}" ORV_ATOMIC64_BUILTIN)
set(ORV_ATOMIC_LIBS "")
if(NOT ORV_ATOMIC64_BUILTIN)
  set(CMAKE_REQUIRED_LIBRARIES atomic)
  check_cxx_source_compiles("${_orv_atomic_src}" ORV_ATOMIC64_WITH_LIBATOMIC)
  if(NOT ORV_ATOMIC64_WITH_LIBATOMIC)
    message(FATAL_ERROR "64-bit atomics link neither as built-ins nor with -latomic")
  endif()
  set(ORV_ATOMIC_LIBS atomic)
  link_libraries(atomic)
endif()
cmake_pop_check_state()
unset(_orv_atomic_src)
if(ORV_ATOMIC_LIBS)
  message(STATUS "64-bit atomics: need -latomic")
else()
  message(STATUS "64-bit atomics: built in")
endif()
