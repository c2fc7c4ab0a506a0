#!/usr/bin/env bash
# Soak: the headless monitor polls a simulated controller whose faults change
# every few ticks (tests/reliability/soak.scn) for TICKS ticks at a 1 ms tick
# interval (--interval-ms, the test option that shortens the tick), built
# with AddressSanitizer and UndefinedBehaviorSanitizer. It passes when
#   - no sanitizer reports anything and the monitor ends cleanly,
#   - its resident memory at the end is at most 1 MB (1024 kB) above its level
#     after the first 1,000 ticks,
#   - the protocol holds exactly the blocks that the summaries it showed call
#     for: the first tick's, then one for every summary that brings a fault
#     line the previous summary lacked, each with that summary's lines.
#   bash scripts/soak.sh [TICKS, default 100000]
# Not part of the test run: it takes long (some 20 minutes on two cores).
# The build goes to build/soak (KVX_SOAK_BUILD_DIR to change it); the run's
# files stay in a temporary folder that the script names at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
ticks="${1:-100000}"
build="${KVX_SOAK_BUILD_DIR:-build/soak}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVX_SANITIZE=ON \
  -DKVX_BUILD_GUI=OFF -DKVX_BUILD_TESTS=OFF -DKVX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target KvxDiagnostics kvxsim kvxg3_local

work="$(mktemp -d /tmp/kvx-soak-XXXXXX)"
cp "$build/bin/KvxDiagnostics" "$build/bin/kvxg3.dll" "$work/"
socket="$work/kvxsim.sock"
# A small quarantine, so that memory freed and kept back for use-after-free
# checks levels off within the first 1,000 ticks instead of growing the
# resident size for the whole run.
export ASAN_OPTIONS="quarantine_size_mb=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1"

"$root/$build/bin/kvxsim" --scenario "$root/tests/reliability/soak.scn" --socket "$socket" --no-http \
  --quiet 2>"$work/kvxsim.err" &
sim=$!
monitor=""
cleanup() {
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null || true
  kill "$sim" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done

cd "$work"
KVXSIM_SOCKET="$socket" ./KvxDiagnostics --console --interval-ms 1 >monitor.out 2>monitor.err &
monitor=$!

lastTick() { grep -o '^-- tick [0-9]*' monitor.out | tail -n 1 | sed 's/-- tick //'; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$monitor/status"; }

start=$(date +%s)
rssEarly=""
tick=0
while :; do
  sleep 0.5
  kill -0 "$monitor" 2>/dev/null || { echo "soak: the monitor ended early"; cat monitor.err; exit 1; }
  tick=$(lastTick); tick=${tick:-0}
  if [ -z "$rssEarly" ] && [ "$tick" -ge 1000 ]; then rssEarly=$(rss); earlyTick=$tick; fi
  [ "$tick" -ge "$ticks" ] && break
done
rssLate=$(rss)
kill -TERM "$monitor"
set +e
wait "$monitor"
rc=$?
set -e
monitor=""
seconds=$(( $(date +%s) - start ))

# The blocks the shown summaries call for, one per line, lines joined by "|".
awk '
  function emit(   i, fresh) {
    fresh = 0
    for (i = 1; i <= n; i++) if (lines[i] != "No errors detected!" && !(lines[i] in shown)) fresh = 1
    if (!started || fresh) print joined
    started = 1
    delete shown
    for (i = 1; i <= n; i++) shown[lines[i]] = 1
  }
  /^-- tick [0-9]+:$/ { if (have) emit(); have = 1; n = 0; joined = ""; delete lines; next }
  /^   / { lines[++n] = substr($0, 4); joined = joined (n > 1 ? "|" : "") lines[n]; next }
  END { if (have) emit() }
' monitor.out >expected.blocks
# The blocks in the protocol, the same way.
ts='^[0-9][0-9][0-9][0-9]/[0-9][0-9]/[0-9][0-9] - [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'
awk -v ts="$ts" '
  function close_block() { if (inb) print joined; inb = 0 }
  $0 ~ (ts ":$") { close_block(); inb = 1; n = 0; joined = ""; next }
  $0 == "" || $0 ~ (ts ": ") { close_block(); next }
  inb { joined = joined (n++ ? "|" : "") $0 }
  END { close_block() }
' DiagProtocol.txt >protocol.blocks

failed=0
sanitizer=$(grep -cE 'ERROR: (Address|Leak)Sanitizer|runtime error:' monitor.err kvxsim.err || true)
sanitizer=$(echo "$sanitizer" | awk -F: '{ s += $NF } END { print s + 0 }')
growth=$(( rssLate - rssEarly ))
echo "soak: $tick ticks in $seconds s; monitor exit code $rc"
echo "soak: resident memory ${rssEarly} kB after tick $earlyTick, ${rssLate} kB after tick $tick: ${growth} kB more"
echo "soak: $(wc -l <protocol.blocks) protocol blocks, $(wc -l <expected.blocks) called for by the summaries shown"
echo "soak: sanitizer reports: $sanitizer"
[ "$rc" -eq 0 ] || { echo "soak: FAILED: the monitor did not end cleanly"; failed=1; }
[ "$growth" -le 1024 ] || { echo "soak: FAILED: memory grew by more than 1 MB"; failed=1; }
[ "$sanitizer" -eq 0 ] || { echo "soak: FAILED: sanitizer reports in $work"; failed=1; }
if ! cmp -s expected.blocks protocol.blocks; then
  echo "soak: FAILED: the protocol's blocks differ from those called for (first differences):"
  diff expected.blocks protocol.blocks | head -n 10
  failed=1
fi
[ "$(wc -l <protocol.blocks)" -gt 100 ] || { echo "soak: FAILED: too few fault changes to judge"; failed=1; }
echo "soak: files in $work"
[ $failed -eq 0 ] && echo "soak: passed"
exit $failed
