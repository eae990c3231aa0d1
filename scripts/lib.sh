# Shared by scripts/test-all and its stages (sourced, not run).
# ROOT is the checkout; BUILD_ROOT holds one build directory per stage.

ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
BUILD_ROOT=${BUILD_ROOT:-$ROOT/build}
JOBS=${JOBS:-$(nproc)}
TALLY=${TALLY:-$BUILD_ROOT/tally}

# configure DIR [cmake args...]: configures quietly; shows the log on failure.
configure() {
  local dir=$1; shift
  mkdir -p "$dir"
  if ! cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log" >&2
    return 1
  fi
}

# build DIR: builds quietly; shows the compiler's output on failure.
build() {
  local dir=$1
  if ! cmake --build "$dir" -j "$JOBS" >"$dir/build.log" 2>&1; then
    grep -v '^\[' "$dir/build.log" | head -n 200 >&2
    return 1
  fi
}

# run_ctest STAGE DIR [ctest args...]: runs the tests and adds their counts to
# the tally that test-all sums up at the end.
run_ctest() {
  local stage=$1 dir=$2; shift 2
  local out rc=0
  out=$(cd "$dir" && ctest -j "$JOBS" --output-on-failure --no-tests=ignore "$@" 2>&1) || rc=$?
  printf '%s\n' "$out" | grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' || true
  local total failed
  total=$(printf '%s\n' "$out" | sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' | tail -n 1)
  failed=$(printf '%s\n' "$out" | sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' | tail -n 1)
  total=${total:-0}; failed=${failed:-0}
  [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1
  # Skipped tests are listed once each under "The following tests did not run".
  local skipped
  skipped=$(printf '%s\n' "$out" | grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' || true)
  local passed=$((total - failed - skipped))
  [ "$passed" -ge 0 ] || passed=0
  echo "$stage $passed $failed $skipped" >>"$TALLY"
  return "$rc"
}

stamp() { date +%s; }
