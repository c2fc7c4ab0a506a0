#!/usr/bin/env bash
# Tries a README command the way a new user does: on a fresh, minimal Debian 12
# (debootstrap) that holds nothing but a copy of the committed project, as
# root, and times it. Needs root and the Debian mirror.
#   bash scripts/fresh-machine.sh start   # time to the monitor's first output, headless
#   bash scripts/fresh-machine.sh test    # the whole test command
# ROOTFS=/var/tmp/kvx-fresh (default) holds the fresh system; a clean copy of
# it is kept beside it, so a second try starts from the same fresh state.
set -euo pipefail
cd "$(dirname "$0")/.."
what="${1:-start}"
rootfs="${ROOTFS:-/var/tmp/kvx-fresh}"
pristine="$rootfs.pristine.tar"

[ "$(id -u)" -eq 0 ] || { echo "fresh-machine.sh: run it as root" >&2; exit 2; }
cleanup() {
  for m in proc sys dev/pts dev; do umount -l "$rootfs/$m" 2>/dev/null || true; done
}
trap cleanup EXIT
cleanup
# Never remove a tree that still has the host's /dev or /sys mounted in it.
if grep -q " $rootfs/" /proc/mounts; then
  echo "fresh-machine.sh: something is still mounted under $rootfs; unmount it first" >&2
  exit 1
fi
if [ ! -f "$pristine" ]; then
  echo "== making a fresh Debian 12 in $rootfs (once)"
  rm -rf "$rootfs"
  debootstrap --variant=minbase bookworm "$rootfs" http://deb.debian.org/debian >/dev/null
  tar -C "$rootfs" -cf "$pristine" .
fi
rm -rf "$rootfs" && mkdir -p "$rootfs" && tar -C "$rootfs" -xf "$pristine"
cp /etc/resolv.conf "$rootfs/etc/resolv.conf" 2>/dev/null || true
cp /etc/apt/sources.list.d/debian.sources "$rootfs/etc/apt/sources.list.d/" 2>/dev/null &&
  rm -f "$rootfs/etc/apt/sources.list"
mkdir -p "$rootfs/root/KvxDiagnostics"
git archive HEAD | tar -C "$rootfs/root/KvxDiagnostics" -x
for m in proc sys dev dev/pts; do mount --bind "/$m" "$rootfs/$m"; done

case "$what" in
  start) command='bash scripts/start.sh --console --ticks 3' ;;
  test) command='bash scripts/test.sh' ;;
  *) echo "fresh-machine.sh: start or test, not \"$what\"" >&2; exit 2 ;;
esac
echo "== $command, on the fresh system"
begin=${EPOCHREALTIME/./}
elapsed() { local t=$(( (${EPOCHREALTIME/./} - begin) / 100000 )); echo "$((t / 10)).$((t % 10))"; }
chroot "$rootfs" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
  bash -c "cd /root/KvxDiagnostics && $command" 2>&1 |
  while IFS= read -r line; do
    printf '%7s s  %s\n' "$(elapsed)" "$line"
  done
status=${PIPESTATUS[0]}
echo "== exit $status after $(elapsed) s"
exit "$status"
