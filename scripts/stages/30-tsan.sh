# The threaded tests again under ThreadSanitizer.
source "$(dirname "$0")/../lib.sh"
dir=$BUILD_ROOT/tsan
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:history_size=4
configure "$dir" -DWERROR=ON -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF \
  && build "$dir" && run_ctest tsan "$dir" -L threaded
