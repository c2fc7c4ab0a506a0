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
chmod 755 "$work"  # the instance runs as nobody below
sim_pid=""
unit_pid=""
cleanup() {
  [ -n "$unit_pid" ] && kill "$unit_pid" 2>/dev/null && wait "$unit_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
monitor_deb=$(ls "$work"/debs/kvxdiagnostics_*.deb)
window_deb=$(ls "$work"/debs/kvxdiagnostics-window_*.deb)
sim_deb=$(ls "$work"/debs/kvxdiagnostics-sim_*.deb)

lintian --fail-on error "$monitor_deb" "$window_deb" "$sim_deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian reports an error"; }

# A headless fleet host installs the monitor without Qt; the window is a package of its own.
if dpkg-deb -f "$monitor_deb" Depends | grep -qi qt6; then fail "kvxdiagnostics depends on Qt: $(dpkg-deb -f "$monitor_deb" Depends)"; fi
grep -q 'usr/lib/kvxdiagnostics/libkvxdiag_window.so' <<<"$(dpkg-deb -c "$window_deb")" || fail "no window plugin in $window_deb"
grep -q 'usr/lib/kvxdiagnostics/kvxg3X.DLL' <<<"$(dpkg-deb -c "$monitor_deb")" || fail "no driver library in $monitor_deb"
dpkg-deb -e "$monitor_deb" "$work/control"
grep -q 'daemon-reload' "$work/control/postinst" && grep -q "try-restart 'kvxdiagnostics@\*.service'" "$work/control/postinst" ||
  fail "postinst neither reloads systemd nor restarts the instances"

root=$work/root
dpkg-deb -x "$monitor_deb" "$root"
dpkg-deb -x "$sim_deb" "$root"
[ -d "$root/etc/kvxdiagnostics" ] || fail "no /etc/kvxdiagnostics"
for f in kvx-alerts.yml kvx-alertmanager.yml kvx-prometheus.yml; do
  [ -f "$root/usr/share/kvxdiagnostics/$f" ] || fail "no /usr/share/kvxdiagnostics/$f"
done
[ -f "$root/usr/share/doc/kvxdiagnostics/runbook.md" ] || fail "no runbook where the alerts link"

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
grep -q "metrics on https://127.0.0.1:[0-9]*/metrics (TLS as $work/web.yml sets them)" "$work/tls.err" ||
  fail "TLS metrics plugin not loaded: $(cat "$work/tls.err")"
kill "$sim_pid" && wait "$sim_pid" 2>/dev/null; sim_pid=""

# ---- docs/fleet.md as written: its commands for an instance run in the
# scratch root (paths under /etc and /usr taken from there), the instance
# started as its unit would start it, against a controller that is off.
doc_script=$work/fleet-doc.sh
python3 - "$source/docs/fleet.md" "$root" >"$doc_script" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
section = text[text.index("Each instance serves its metrics over TLS with basic"):text.index("The unit runs `KvxDiagnostics --console")]
root = sys.argv[2]
print("set -e")
for block in re.findall(r"```sh\n(.*?)```", section, re.S):
    for line in block.splitlines():
        line = re.sub(r"(^|[\s'=>])/(etc|usr)/", lambda m: m.group(1) + root + "/" + m.group(2) + "/", line)
        if line.startswith("systemctl daemon-reload"):
            continue  # the unit below reads its files when it starts
        m = re.match(r"systemctl enable --now kvxdiagnostics@(\S+)", line)
        print(f"echo {m.group(1)} >>started" if m else line)
PY
(cd "$work" && KVX_PASSWORD=s3cret bash "$doc_script") || fail "docs/fleet.md's commands: $(cat "$doc_script")"
[ "$(cat "$work/started")" = c17 ] || fail "docs/fleet.md starts no instance c17"
[ "$(stat -c %a "$root/etc/kvxdiagnostics/kvx.key")" = 600 ] || fail "the key is not private"

# What the operator fills in: the controller's address (off for now), a free
# metrics port.
controller_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
metrics_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s|^URL=.*|URL=http://127.0.0.1:$controller_port|" "$root/etc/kvxdiagnostics/c17.ini"
sed -i "s|:9517|127.0.0.1:$metrics_port|" "$root/etc/kvxdiagnostics/c17.env"
cp -p "$root/etc/kvxdiagnostics/c17.ini" "$work/c17.ini.before"

# The unit's ExecStart, environment file, state and working folder and
# credentials, run as an unprivileged user with its settings read-only.
unit_file=$root/usr/lib/systemd/system/kvxdiagnostics@.service
export EXEC_START=$(sed -n 's/^ExecStart=//p' "$unit_file" | sed "s|%i|c17|g; s|/usr/bin/|$root/usr/bin/|; s|/etc/|$root/etc/|g")
export ENV_FILE=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit_file" | sed "s|%i|c17|g; s|^/etc/|$root/etc/|")
export STATE=$work/var/lib/kvxdiagnostics/c17 SETTINGS=$root/etc/kvxdiagnostics
export CREDENTIALS=/run/credentials/kvxdiagnostics@c17.service
export LOADS=$(cat "$root"/etc/systemd/system/kvxdiagnostics@.service.d/*.conf | sed -n 's/^LoadCredential=//p' |
  sed "s|:/etc/|:$root/etc/|")
mkdir -p "$STATE" /run/credentials && chown nobody:nogroup "$STATE"
cat >"$work/unit.sh" <<'UNIT'
set -e
mount -t tmpfs tmpfs /run/credentials
mkdir -p "$CREDENTIALS"
for load in $LOADS; do cp "${load#*:}" "$CREDENTIALS/${load%%:*}"; done
chown -R nobody:nogroup "$CREDENTIALS"; chmod 400 "$CREDENTIALS"/*; chmod 500 "$CREDENTIALS"
mount --bind "$SETTINGS" "$SETTINGS" && mount -o remount,bind,ro "$SETTINGS"
# An environment file as systemd reads it: KEY=VALUE, the rest of the line.
while IFS= read -r line; do
  case $line in '#'*|'') ;; *=*) export "${line%%=*}=${line#*=}" ;; esac
done <"$ENV_FILE"
export XDG_CONFIG_HOME=$STATE CREDENTIALS_DIRECTORY=$CREDENTIALS
cd "$STATE"
eval "set -- $EXEC_START"
exec setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all "$@"
UNIT
unshare -m bash "$work/unit.sh" >"$work/unit.out" 2>"$work/unit.err" &
unit_pid=$!
scrape() {
  # As Prometheus reaches the host: by the name the documented certificate carries.
  curl -sS --max-time 5 --cacert "$root/etc/kvxdiagnostics/kvx.crt" --resolve "line3-host:$metrics_port:127.0.0.1" \
    -u prometheus:s3cret "https://line3-host:$metrics_port/metrics" 2>/dev/null || true
}
for _ in $(seq 100); do scrape | grep -q '^kvx_up{controller="c17"} 0$' && break; sleep 0.1; done
sleep 4  # longer than the first two waits between attempts: a restart loop would show
kill -0 "$unit_pid" 2>/dev/null || fail "the instance ended with the controller off: $(cat "$work/unit.err")"
scrape | grep -q '^kvx_online{controller="c17"} 0$' || fail "no controller offline: $(scrape) $(cat "$work/unit.err")"
grep -q "trying again" "$work/unit.err" || fail "no retry said: $(cat "$work/unit.err")"

# The controller comes up: the same process goes online.
"$root/usr/bin/kvxsim" --scenario "$root/usr/share/kvxdiagnostics-sim/scenarios/kvx2000.scn" \
  --socket "$work/sim2.sock" --http-port "$controller_port" --quiet >/dev/null 2>"$work/sim2.err" &
sim_pid=$!
for _ in $(seq 200); do scrape | grep -q '^kvx_online{controller="c17"} 1$' && break; sleep 0.1; done
scrape | grep -q '^kvx_online{controller="c17"} 1$' || fail "not online once the controller came: $(cat "$work/unit.err")"
scrape | grep -q '^kvx_up{controller="c17"} 1$' || fail "kvx_up is not 1"
kill -0 "$unit_pid" 2>/dev/null || fail "the instance ended"
kill -TERM "$unit_pid"
wait "$unit_pid" || fail "the instance did not end in order: $(cat "$work/unit.err")"
unit_pid=""
grep -q "Diagnostic Program closed!" "$STATE/DiagProtocol.txt" || fail "no protocol in the state folder"
cmp -s "$root/etc/kvxdiagnostics/c17.ini" "$work/c17.ini.before" || fail "the read-only settings file changed"
echo "packages, lintian, unit, installed run and docs/fleet.md's instance: ok"
