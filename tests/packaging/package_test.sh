#!/usr/bin/env bash
# The Debian packages as an installation gets them: built by CPack, checked
# by lintian (no error), unpacked into a scratch root with dpkg-deb -x, the
# unit verified by systemd-analyze, and the installed program run headless
# against the installed simulator, the version and plugins from the root.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/kvx-package-XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
monitor_deb=$(ls "$work"/debs/kvxdiagnostics_*.deb)
sim_deb=$(ls "$work"/debs/kvxdiagnostics-sim_*.deb)

lintian --fail-on error "$monitor_deb" "$sim_deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian reports an error"; }

root=$work/root
dpkg-deb -x "$monitor_deb" "$root"
dpkg-deb -x "$sim_deb" "$root"

# The unit as installed, its program and man page taken from the scratch root.
unit=$work/kvxdiagnostics@c17.service
sed "s|/usr/bin/KvxDiagnostics|$root/usr/bin/KvxDiagnostics|" "$root/usr/lib/systemd/system/kvxdiagnostics@.service" >"$unit"
verify=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"

# The installed simulator with two controllers; the installed monitor on c2.
mkdir -p "$work/state"
"$root/usr/bin/kvxsim" --scenario "$root/usr/share/kvxdiagnostics-sim/scenarios/kvx2000.scn" \
  --socket "$work/sim.sock" --controllers 2 --port-file "$work/port" --quiet >/dev/null 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "kvxsim did not start: $(cat "$work/sim.err")"
printf '[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:%s/c2\n' "$(cat "$work/port")" >"$work/c2.ini"
(cd "$work/state" && "$root/usr/bin/KvxDiagnostics" --settings ../c2.ini --console --json --ticks 2 \
  --interval-ms 100 --metrics-port 0 >"$work/ticks.json" 2>"$work/monitor.err") || fail "monitor: $(cat "$work/monitor.err")"

last=$(tail -n 1 "$work/ticks.json")
python3 - "$last" <<'PY' || fail "installed run: $last"
import json, sys
tick = json.loads(sys.argv[1])
assert tick["caption"] == "KvxDiagnostics - Online Mode", tick["caption"]
assert tick["controls"]["laExeVersionNr"]["text"] == "2.5.3.0", tick["controls"]["laExeVersionNr"]["text"]
assert tick["controls"]["laDllName"]["text"] == "kvxg3x.dll: 2.5.3.99", tick["controls"]["laDllName"]["text"]
PY
grep -q "metrics on http://127.0.0.1:" "$work/monitor.err" || fail "metrics plugin not loaded: $(cat "$work/monitor.err")"
grep -q "Diagnostic Program closed!" "$work/state/DiagProtocol.txt" || fail "no protocol in the state folder"

# With a web configuration the installed program loads the plugin with TLS.
printf 'tls_server_config:\n  cert_file: %s\n  key_file: %s\n' "$source/tests/metrics/tls/server.crt" \
  "$source/tests/metrics/tls/server.key" >"$work/web.yml"
(cd "$work/state" && "$root/usr/bin/KvxDiagnostics" --settings ../c2.ini --console --ticks 1 --interval-ms 100 \
  --metrics-port 0 --web-config-file "$work/web.yml" >/dev/null 2>"$work/tls.err") || fail "monitor with TLS: $(cat "$work/tls.err")"
grep -q "metrics on https://127.0.0.1:[0-9]*/metrics (TLS and users as $work/web.yml sets them)" "$work/tls.err" ||
  fail "TLS metrics plugin not loaded: $(cat "$work/tls.err")"
echo "packages, lintian, unit and installed run: ok"
