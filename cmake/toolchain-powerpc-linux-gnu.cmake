# Cross build for the production target: 32-bit big-endian PowerPC Linux.
#
#   cmake -S . -B build/ppc -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc-linux-gnu.cmake
#
# Debian's cross compilers (g++-powerpc-linux-gnu) put the target's C library
# and runtime under /usr/powerpc-linux-gnu; every library, header and package
# search is kept inside that root so nothing of the build machine leaks in.
# Target programs, test discovery included, run under qemu user emulation
# (qemu-user); binfmt is not relied on.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(ORV_CROSS_TRIPLE powerpc-linux-gnu)
set(ORV_CROSS_ROOT /usr/${ORV_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${ORV_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_CROSS_TRIPLE}-g++)

# Without AltiVec, GCC passes and returns its generic vector types (used by
# internal, inlined helpers) in memory and notes each such function as a
# non-standard ABI (-Wpsabi), which -Werror turns fatal. No exported interface
# carries a vector type (they are plain C), so the note says nothing here.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

set(CMAKE_FIND_ROOT_PATH ${ORV_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would otherwise report the build machine's (amd64) libraries.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ORV_CROSS_ROOT}")

# -L makes qemu resolve the program interpreter and shared libraries
# (ld.so.1, libc, libstdc++, libatomic) inside the target root.
find_program(ORV_QEMU_PPC qemu-ppc)
if(NOT ORV_QEMU_PPC)
  set(ORV_QEMU_PPC qemu-ppc)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_QEMU_PPC};-L;${ORV_CROSS_ROOT})
