#!/usr/bin/env bash
# Installs what is missing, builds what a run needs (the program, its plugins,
# the simulator and the two driver libraries; tests and benchmarks are left to
# scripts/test.sh), starts the controller simulator on the lively scenario and
# the monitor on it: the window where a display exists, the headless front end
# where none does. Ending the monitor ends the simulator.
#   bash scripts/start.sh [monitor options, e.g. /SU or --console --ticks 10]
# SCENARIO=scenarios/kvx4000.scn picks another scenario.
# MODE=remote watches the simulated controller over web services (kvxg3X.DLL
# over HTTP) instead of the local card driver (kvxg3.dll over a unix socket).
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${MODE:-local}"
case "$mode" in
  local|remote) ;;
  *) echo "start.sh: MODE must be local or remote, not \"$mode\"" >&2; exit 2 ;;
esac

echo "== step 1 of 3: installing the packages that are missing"
bash scripts/install-deps.sh run

echo "== step 2 of 3: building the program, its plugins, the simulator and the driver libraries"
bash scripts/build.sh default run

bin="$PWD/build/default/bin"
scenario="${SCENARIO:-scenarios/lively.scn}"
socket="$(mktemp -u /tmp/kvxsim-demo-XXXXXX.sock)"
portfile="$(mktemp /tmp/kvxsim-demo-port-XXXXXX)"

echo "== step 3 of 3: starting the simulator and the monitor"
if [ "$mode" = remote ]; then
  "$bin/kvxsim" --scenario "$scenario" --socket "$socket" --port-file "$portfile" --quiet >/dev/null &
else
  "$bin/kvxsim" --scenario "$scenario" --socket "$socket" --no-http --quiet >/dev/null &
fi
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true; rm -f "$portfile"' EXIT
for _ in $(seq 50); do
  [ -S "$socket" ] && { [ "$mode" = local ] || [ -s "$portfile" ]; } && break
  sleep 0.1
done
[ -S "$socket" ] || { echo "start.sh: the simulator did not start" >&2; exit 1; }

# The monitor takes its mode from its settings file; set the two keys this
# start needs and keep everything else the file holds.
settings="$bin/KvxDiagnostics.INI"
if [ "$mode" = remote ]; then
  url="http://127.0.0.1:$(cat "$portfile")"
  python3 scripts/set-profile-keys.py "$settings" "Project data" "Use Webservices=1" "URL=$url"
  echo "Simulator: $scenario, web services at $url"
else
  python3 scripts/set-profile-keys.py "$settings" "Project data" "Use Webservices=0"
  echo "Simulator: $scenario"
fi
echo "Change it while it runs: $bin/kvxsimctl --socket $socket help"
echo "Protocol file: $PWD/DiagProtocol.txt"
KVXSIM_SOCKET="$socket" "$bin/KvxDiagnostics" "$@"
