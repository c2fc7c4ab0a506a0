#!/usr/bin/env bash
# Prints every performance figure of the monitor and its targets:
#   bash scripts/bench.sh                 # everything (about four minutes)
#   CPU_SECONDS=10 bash scripts/bench.sh  # a shorter CPU-share window
# Builds a Release tree in $BUILD_DIR (default build/bench). Absolute times
# depend on the machine and its load; the targets are ratios measured in the
# same run, or counts. Raw results land in $BUILD_DIR/bench-results.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build/bench}"
cpu_seconds="${CPU_SECONDS:-60}"
out="$build/bench-results"
jobs="${JOBS:-2}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" --target engine_tick_bench library_tick_bench window_tick_bench empty_window \
  KvxDiagnostics kvxdiag_window kvxdiag_metrics kvxsim kvxsimctl kvxg3_local kvxg3_remote
bin="$build/bin"
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen

echo "== engine tick, window tick, ticks through the libraries (Google Benchmark)"
"$bin/engine_tick_bench" --benchmark_min_time=0.5 --benchmark_out="$out/engine.json" --benchmark_out_format=json
"$bin/window_tick_bench" --benchmark_min_time=0.5 --benchmark_out="$out/window.json" --benchmark_out_format=json 2>/dev/null
"$bin/library_tick_bench" --benchmark_min_time=0.5 --benchmark_out="$out/library.json" --benchmark_out_format=json

echo "== instructions per steady tick (callgrind)"
: >"$out/instructions.txt"
ticks=200
# Board 8 at 1, 4 and 18 axes; board 4 at every second axis count as well,
# for the growth against the axes (instruction counts are repeatable, times
# on a shared machine are not).
for board in 4 8; do
  axis_counts="1 4 18"
  [ "$board" = 4 ] && axis_counts="1 2 4 6 8 10 12 14 16 18"
  for axes in $axis_counts; do
    cg="$out/callgrind.$board.$axes"
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$cg" \
      "$bin/engine_tick_bench" --instructions "$board" "$axes" "$ticks" >/dev/null 2>&1
    total=$(awk '/^(summary|totals):/ {print $2; exit}' "$cg")
    echo "instructions_board${board}_axes${axes} $((total / ticks))" | tee -a "$out/instructions.txt"
  done
done

echo "== start-up, CPU share and memory of whole processes (${cpu_seconds} s at 1 Hz)"
python3 "$root/bench/process_figures.py" "$bin" "$root/scenarios" --cpu-seconds "$cpu_seconds" | tee "$out/process.txt"

echo
python3 "$root/bench/summary.py" "$out"
