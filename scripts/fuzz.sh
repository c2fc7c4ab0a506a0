#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehavior-
# Sanitizer, libFuzzer) and runs each one for a bounded time, starting from
# its seed corpus in fuzz/corpus and the regression inputs in fuzz/regressions.
#   bash scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Targets: every one that fuzz/CMakeLists.txt lists in KVX_FUZZ_TARGETS.
# Inputs found on the way stay in the build folder (build/fuzz/work/<target>);
# a crash leaves build/fuzz/artifacts/<target>-crash-* and fails the run:
# copy it to fuzz/regressions/<target>/ once fixed, so the test run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[ $# -gt 0 ] && shift
# The list the build has, so that a new target is fuzzed without a second list to keep.
read -r -a all <<<"$(sed -n 's/^set(KVX_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)"
[ ${#all[@]} -gt 0 ] || { echo "fuzz.sh: no KVX_FUZZ_TARGETS in fuzz/CMakeLists.txt" >&2; exit 2; }
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

dir="${KVX_FUZZ_BUILD_DIR:-build/fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVX_BUILD_FUZZ=ON -DKVX_BUILD_GUI=OFF -DKVX_BUILD_TESTS=OFF -DKVX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target "${targets[@]/%/_fuzz}"

mkdir -p "$dir/artifacts"
failed=0
summary=""
for t in "${targets[@]}"; do
  work="$dir/work/$t"
  mkdir -p "$work"
  inputs=("$work" "fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && inputs+=("fuzz/regressions/$t")
  log="$dir/$t.log"
  # A unit that hangs fails the run. The hostile driver's units may take long
  # by design: each of up to 64 ticks may wait out the driver library's
  # request deadline (0.8 s) when the fake simulator falls behind.
  unit_timeout=10
  [ "$t" = hostile_driver ] && unit_timeout=90
  set +e
  UBSAN_OPTIONS=print_stacktrace=1 "$dir/bin/${t}_fuzz" -max_total_time="$seconds" -timeout="$unit_timeout" \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" "${inputs[@]}" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  corpus=$(find "$work" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    line="$t: ${runs:-?} executions, 0 crashes, $corpus new inputs kept"
  else
    failed=1
    line="$t: ${runs:-?} executions, CRASH (exit $rc), see $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -n 5 || true
  fi
  echo "$line"
  summary+="$line"$'\n'
done
echo
echo "Fuzzing, $seconds s per target:"
printf '%s' "$summary"
exit $failed
