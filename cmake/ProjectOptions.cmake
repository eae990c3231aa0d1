# Compiler flags shared by every target: warnings, sanitizers, hardening.

add_compile_options(-Wall -Wextra)
if(WERROR)
  add_compile_options(-Werror)
endif()

if(SANITIZE)
  add_compile_options(-fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SANITIZE})
  add_compile_definitions(ORV_SANITIZED=1)
endif()

if(FUZZ_LIBFUZZER)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "FUZZ_LIBFUZZER needs clang (configure with CC=clang CXX=clang++)")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets get libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# A target of the production word size (32-bit) must still have 64-bit times
# and file offsets, or dates after 2038 and files over 2 GiB go wrong.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()
