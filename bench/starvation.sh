#!/usr/bin/env bash
# The starvation table: each attack from 127.0.0.2 with N connections against
# a monitor scraped from 127.0.0.1, over HTTP and TLS, with and without
# users (bcrypt cost 14), one line of figures a row.
#   bash bench/starvation.sh BIN_DIR [CONNECTIONS] [SCRAPES]
set -euo pipefail
bin="$(cd "$1" && pwd)"
connections="${2:-64}"
scrapes="${3:-40}"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d /tmp/kvx-starvation-XXXXXX)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

"$bin/kvxsim" --scenario "$root/scenarios/kvx2000.scn" --socket "$work/sim.sock" --no-http --quiet >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -S "$work/sim.sock" ] && break; sleep 0.05; done

# "prometheus" with the password "s3cret" (htpasswd -nbBC 14).
hash='$2y$14$GoESq81C/8CVQB8SLW3MMOWBzMwWTMMLf15xyApvMNZNZ6QqbIj5S'
tls_dir="$root/tests/metrics/tls"
for endpoint in plain plain-users tls tls-users; do
  dir="$work/$endpoint"
  mkdir -p "$dir"
  printf '[PROTOCOL]\nFileName=%s/DiagProtocol.txt\n' "$dir" >"$dir/monitor.ini"
  : >"$dir/web.yml"
  case "$endpoint" in tls*) printf 'tls_server_config:\n  cert_file: %s/server.crt\n  key_file: %s/server.key\n' "$tls_dir" "$tls_dir" >>"$dir/web.yml" ;; esac
  case "$endpoint" in *users) printf 'basic_auth_users:\n  prometheus: %s\n' "$hash" >>"$dir/web.yml" ;; esac
  web=()
  [ -s "$dir/web.yml" ] && web=(--web.config.file "$dir/web.yml")
  KVXSIM_SOCKET="$work/sim.sock" KVXDLLNAME="$bin/kvxg3.dll" \
    "$bin/KvxDiagnostics" --console --settings "$dir/monitor.ini" --metrics-port 0 "${web[@]}" >/dev/null 2>"$dir/err" &
  monitor=$!
  pids+=($monitor)
  port=""
  for _ in $(seq 200); do
    port="$(grep -oE '127\.0\.0\.1:[0-9]+/metrics' "$dir/err" | head -n1 | sed -E 's/.*:([0-9]+).*/\1/')" || true
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "the $endpoint monitor did not start:"; cat "$dir/err"; exit 1; }
  options=(--port "$port" --pid "$monitor" --connections "$connections" --scrapes "$scrapes" --interval-ms 250)
  case "$endpoint" in tls*) options+=(--tls) ;; esac
  attacks=(none reconnect slow-readers)
  case "$endpoint" in *users) options+=(--user prometheus:s3cret); attacks+=(wrong-passwords) ;; esac
  for attack in "${attacks[@]}"; do "${STARVE:-$bin/kvx_starve}" "${options[@]}" --attack "$attack"; done
  kill "$monitor"
done
