# Cross build for the production target (32-bit big-endian PowerPC) and every
# test under qemu user emulation. CMAKE_CROSSCOMPILING_EMULATOR from the
# toolchain file makes CTest run each test program through qemu-ppc; the
# Python drivers get the same emulator from the build.
source "$(dirname "$0")/../lib.sh"
dir=$BUILD_ROOT/ppc
configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-powerpc-linux-gnu.cmake" \
  -DWERROR=ON -DBUILD_BENCHMARKS=OFF || exit 1
grep -E '^-- (ICU|64-bit atomics):' "$dir/configure.log" | sed 's/^-- /ppc: /'
build "$dir" || exit 1
# One line of the target's facts in the log (pointer size, byte order, ...).
(cd "$dir" && qemu-ppc -L /usr/powerpc-linux-gnu tests/platform/platform_tests \
  --gtest_filter='Platform.WordSize*' 2>&1 | grep '^platform:') || true
# A cross build that lists no test at all has lost its emulator or discovery.
run_ctest ppc "$dir" --timeout 600 --no-tests=error
