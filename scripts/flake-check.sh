#!/usr/bin/env bash
# Runs the whole suite N times in a row while a second full build keeps the
# machine busy (a separate tree, compiled from scratch without the compiler
# cache, started again whenever it finishes). A test that passes alone but
# fails here depends on the machine's speed.
#   bash scripts/flake-check.sh [N, default 5] [preset, default ci]
# Run it after scripts/test.sh has built the preset's tree.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
preset="${2:-ci}"
load_dir="build/flake-load"

[ -f "build/$preset/build.ninja" ] || { echo "flake-check.sh: build the $preset tree first (bash scripts/build.sh $preset)" >&2; exit 2; }

set -m  # the load gets a process group of its own, so the end stops all of it
(
  while true; do
    rm -rf "$load_dir"
    cmake -S . -B "$load_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    CCACHE_DISABLE=1 cmake --build "$load_dir" -j2 >/dev/null 2>&1 || true
  done
) &
load=$!
set +m
trap 'kill -- -$load 2>/dev/null || true' EXIT
sleep 20  # let the build get going

passed=0
for i in $(seq "$runs"); do
  start=$SECONDS
  if ctest --preset "$preset" --output-on-failure >"build/flake-run-$i.log" 2>&1; then
    passed=$((passed + 1))
    result="passed"
  else
    result="FAILED: $(grep -E '^\s+[0-9]+ - ' "build/flake-run-$i.log" | tr -s ' ' | tr '\n' ';')"
  fi
  echo "run $i of $runs: $result ($((SECONDS - start)) s, load average $(cut -d' ' -f1 /proc/loadavg))"
done
echo "$passed of $runs runs passed under load"
[ "$passed" -eq "$runs" ]
