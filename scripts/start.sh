#!/usr/bin/env bash
# Installs what is missing, builds, starts the controller simulator on the
# lively scenario and the monitor on it: the window where a display exists,
# the headless front end where none does. Ending the monitor ends the simulator.
#   bash scripts/start.sh [monitor options, e.g. /SU or --console --ticks 10]
# SCENARIO=scenarios/kvx4000.scn picks another scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh default

bin="$PWD/build/default/bin"
scenario="${SCENARIO:-scenarios/lively.scn}"
socket="$(mktemp -u /tmp/kvxsim-demo-XXXXXX.sock)"

"$bin/kvxsim" --scenario "$scenario" --socket "$socket" --no-http --quiet &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done

echo "Simulator: $scenario (change it with: $bin/kvxsimctl --socket $socket help)"
echo "Protocol file: $PWD/DiagProtocol.txt"
KVXSIM_SOCKET="$socket" "$bin/KvxDiagnostics" "$@"
