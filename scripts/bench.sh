#!/usr/bin/env bash
# Prints every performance figure of the monitor and its targets:
#   bash scripts/bench.sh                 # everything (about ten minutes)
#   CPU_SECONDS=10 bash scripts/bench.sh  # a shorter CPU-share window
#   FLEET_INSTANCES=1000 bash scripts/bench.sh  # the full fleet (default 100 instances)
#   FLEET_REMOTE_WRITE_INSTANCES=100 bash scripts/bench.sh  # the fleet behind a Prometheus agent (default 20)
#   RECORDING_SECONDS=120 bash scripts/bench.sh  # a shorter run of the flight recorder (default 600)
#   STARVATION_CONNECTIONS=16 bash scripts/bench.sh  # fewer attacking connections (default 64)
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
targets=(engine_tick_bench library_tick_bench window_tick_bench empty_window skip_waits
  KvxDiagnostics kvxdiag_window kvxdiag_metrics kvxdiag_metrics_tls kvxsim kvxsimctl kvxg3_local kvxg3_remote kvx_starve)
# The first-paint probe needs the X Damage library; without it that figure is left out.
grep -q "first_paint:" "$build/build.ninja" 2>/dev/null && targets+=(first_paint)
cmake --build "$build" -j"$jobs" --target "${targets[@]}"
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

# The engine's own share of those ticks: without the scripted controller's
# entry points (L_...), which stand where a driver library would.
for axes in 1 4 8 12 18; do
  cg="$out/callgrind.4.$axes"
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$cg")
  driver=$(callgrind_annotate --inclusive=yes "$cg" 2>/dev/null | grep -E '::L_[A-Za-z0-9_]+\(' |
    awk '{gsub(",", "", $1); s += $1} END {print s + 0}')
  echo "instructions_engine_only_axes$axes $(( (total - driver) / ticks ))" | tee -a "$out/instructions.txt"
done

# Flatness against the protocol file's size and the run's length, by
# instructions (the engine on board 4 with 4 axes).
callgrind_ticks() {  # prints the instructions per tick of: engine_tick_bench ARGS... (TICKS last)
  local cg="$out/callgrind.flat"
  valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no --callgrind-out-file="$cg" \
    "$bin/engine_tick_bench" "$@" >/dev/null 2>&1
  echo $(( $(awk '/^(summary|totals):/ {print $2; exit}' "$cg") / ${!#} ))
}
for mb in 0 100; do
  echo "instructions_protocol_mb$mb $(callgrind_ticks --instructions-protocol $mb $ticks)" | tee -a "$out/instructions.txt"
done
for before in 1000 100000; do
  echo "instructions_run_ticks$before $(callgrind_ticks --instructions-run $before $ticks)" | tee -a "$out/instructions.txt"
done

echo "== instructions per steady tick of the whole headless program through kvxg3.dll (callgrind)"
# The difference of a run of 121 ticks and one of 21 leaves 100 steady ticks
# of everything the program does (engine, library, front end), without its
# start and end. The daemon is not counted: it stands for the controller.
whole="$out/whole"
mkdir -p "$whole/bin"
cp "$bin/KvxDiagnostics" "$bin/kvxg3.dll" "$whole/bin/"
for axes in 1 4 8 12 18; do
  python3 - "$root/scenarios/kvx2000.scn" "$axes" >"$whole/axes$axes.scn" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
axes = int(sys.argv[2])
text = re.sub(r"(?m)^axes = \d+$", f"axes = {axes}", text)
text = re.sub(r"(?m)^\[axis \d+\]\n(?:(?!\[).*\n)*", "", text)
print(text + "".join(f"[axis {a}]\nlimit = 12.5\n" for a in range(1, axes + 1)))
PY
  "$bin/kvxsim" --scenario "$whole/axes$axes.scn" --socket "$whole/sim.sock" --no-http --quiet >/dev/null &
  sim=$!
  for _ in $(seq 100); do [ -S "$whole/sim.sock" ] && break; sleep 0.05; done
  declare -A total=()
  for n in 21 121; do
    (cd "$whole" && KVXSIM_SOCKET="$whole/sim.sock" XDG_CONFIG_HOME="$whole/config" \
      valgrind --tool=callgrind --callgrind-out-file="$whole/callgrind.$axes.$n" \
      bin/KvxDiagnostics --console --ticks $n --interval-ms 5 >/dev/null 2>&1)
    total[$n]=$(awk '/^(summary|totals):/ {print $2; exit}' "$whole/callgrind.$axes.$n")
  done
  kill "$sim"; wait "$sim" 2>/dev/null || true
  rm -f "$whole/sim.sock"
  echo "whole_local_tick_axes$axes $(( (total[121] - total[21]) / 100 ))" | tee -a "$out/instructions.txt"
done

echo "== the flight recorder: instructions per steady tick of the headless program with and without --record (callgrind)"
# Both watch one lively controller at once, so that they see the same
# answers; the difference of 121 and 21 ticks leaves 100 ticks without the
# start. Then a recorded run of minutes at 1 Hz for the bytes a tick, scaled
# to an hour, and the replay's proof (bench/recording_figures.py).
rec="$out/recording"
mkdir -p "$rec/plain" "$rec/recording"
cp "$bin/KvxDiagnostics" "$bin/kvxg3.dll" "$rec/plain/"
cp "$bin/KvxDiagnostics" "$bin/kvxg3.dll" "$rec/recording/"
"$bin/kvxsim" --scenario "$root/scenarios/lively.scn" --socket "$rec/sim.sock" --no-http --quiet >/dev/null &
sim=$!
for _ in $(seq 100); do [ -S "$rec/sim.sock" ] && break; sleep 0.05; done
declare -A counted=()
for n in 21 121; do
  pids=()
  for kind in plain recording; do
    extra=()
    [ "$kind" = recording ] && extra=(--record "$rec/run.kvxrec")
    (cd "$rec/$kind" && KVXSIM_SOCKET="$rec/sim.sock" XDG_CONFIG_HOME="$rec/config" \
      valgrind --tool=callgrind --callgrind-out-file="$rec/callgrind.$kind.$n" \
      ./KvxDiagnostics --console --ticks $n --interval-ms 50 "${extra[@]}" >/dev/null 2>&1) &
    pids+=($!)
  done
  wait "${pids[@]}"
  for kind in plain recording; do
    counted[$kind.$n]=$(awk '/^(summary|totals):/ {print $2; exit}' "$rec/callgrind.$kind.$n")
  done
done
kill "$sim"; wait "$sim" 2>/dev/null || true
{
  echo "recording_instructions_plain $(( (counted[plain.121] - counted[plain.21]) / 100 ))"
  echo "recording_instructions_recording $(( (counted[recording.121] - counted[recording.21]) / 100 ))"
} | tee "$out/recording.txt"
python3 "$root/bench/recording_figures.py" "$bin" "$root/scenarios/lively.scn" --seconds "${RECORDING_SECONDS:-600}" \
  | tee -a "$out/recording.txt"
awk '{v[$1] = $2} END {
  added = v["recording_instructions_recording"] - v["recording_instructions_plain"]
  printf "recorder: %d instructions added per steady tick   target <= 60000: %s\n", added, added <= 60000 ? "met" : "MISSED"
  printf "recorder: %.1f bytes per tick over an hour   target <= 100: %s\n", v["recording_bytes_per_tick_hour"],
    v["recording_bytes_per_tick_hour"] <= 100 ? "met" : "MISSED"
}' "$out/recording.txt"
echo "== start-up, CPU share and memory of whole processes (${cpu_seconds} s at 1 Hz)"
python3 "$root/bench/process_figures.py" "$bin" "$root/scenarios" --cpu-seconds "$cpu_seconds" --details "$out" \
  | tee "$out/process.txt"

fleet="${FLEET_INSTANCES:-100}"
echo "== a fleet: $fleet instances started as the unit starts them, one simulator, Prometheus and Alertmanager"
python3 "$root/bench/fleet_figures.py" "$bin" "$root/prometheus/kvx-alerts.yml" --instances "$fleet" \
  --cpu-seconds "$cpu_seconds" | tee "$out/fleet.txt"
echo "== past one host: a Prometheus agent writing to a central one, which holds the rules"
python3 "$root/bench/fleet_figures.py" "$bin" "$root/prometheus/kvx-alerts.yml" --remote-write \
  --instances "${FLEET_REMOTE_WRITE_INSTANCES:-20}" --cpu-seconds "$cpu_seconds" | tee "$out/fleet-remote-write.txt"

echo "== the metrics endpoint under starvation attacks: ${STARVATION_CONNECTIONS:-64} connections from 127.0.0.2"
bash "$root/bench/starvation.sh" "$bin" "${STARVATION_CONNECTIONS:-64}" 40 | tee "$out/starvation.txt"

echo
python3 "$root/bench/summary.py" "$out"
