# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "$0")/../lib.sh"
dir=$BUILD_ROOT/asan
# Huge requested sizes must come back as null (the programs report them), not abort.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure "$dir" -DWERROR=ON -DSANITIZE=address,undefined -DBUILD_BENCHMARKS=OFF \
  && build "$dir" && run_ctest asan "$dir"
