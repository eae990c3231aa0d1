# libFuzzer runs of every fuzz target, seeded from its corpus, for a bounded
# time in all (FUZZ_SECONDS, default 60, shared out between the targets).
source "$(dirname "$0")/../lib.sh"
dir=$BUILD_ROOT/fuzz
CC=clang CXX=clang++ configure "$dir" -DFUZZ_LIBFUZZER=ON -DBUILD_TESTING=OFF \
  -DBUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo || exit 1
build "$dir" || exit 1

targets=()
for corpus in "$ROOT"/fuzz/corpus/*/; do
  t=$(basename "$corpus")
  [ -x "$dir/fuzz/$t" ] && targets+=("$t")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets built"; exit 1; }
budget=${FUZZ_SECONDS:-60}
each=$(( budget / ${#targets[@]} )); [ "$each" -ge 10 ] || each=10

passed=0 failed=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r "$ROOT/fuzz/corpus/$t/." "$work/"
  if (cd "$dir" && "$dir/fuzz/$t" -max_total_time="$each" -rss_limit_mb=2048 \
        -print_final_stats=1 "$work" >"$dir/$t.log" 2>&1); then
    echo "fuzz $t: $(grep -E 'stat::number_of_executed_units' "$dir/$t.log" | awk '{print $2}') runs in ${each} s, no crash"
    passed=$((passed + 1))
  else
    echo "fuzz $t: FAILED"; tail -n 60 "$dir/$t.log"
    failed=$((failed + 1))
  fi
  rm -rf "$work"
done
echo "fuzz $passed $failed 0" >>"$TALLY"
[ "$failed" -eq 0 ]
