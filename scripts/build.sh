#!/usr/bin/env bash
# Configures and builds one preset (default: "default"):
#   bash scripts/build.sh [preset] [run]
# "run" builds only what a run needs: the program, its plugins, the simulator
# and the two driver libraries. Ninja prints each step as [N/M].
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
targets=()
if [ "${2:-}" = run ]; then
  targets=(--target KvxDiagnostics kvxdiag_window kvxdiag_history kvxdiag_metrics kvxdiag_metrics_tls kvxsim kvxsimctl kvxg3_local kvxg3_remote)
fi
# A configured tree reconfigures itself when a CMake file changes; the presets
# are read at configure time only.
binary_dir="build/$preset"
if [ ! -f "$binary_dir/build.ninja" ] || [ CMakePresets.json -nt "$binary_dir/build.ninja" ]; then
  echo "Configuring $binary_dir"
  cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset" "${targets[@]}"
