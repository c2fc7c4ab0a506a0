#!/usr/bin/env bash
# Installs the Debian packages the project needs; packages already installed
# are not fetched again.
#   bash scripts/install-deps.sh        # everything: build, program, tests, benchmarks, fuzzing, packaging
#   bash scripts/install-deps.sh run    # only what building and running the program needs
set -euo pipefail

# Everything the build, the tests, the benchmarks and CI use.
packages=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev libqt6opengl6-dev libfontconfig-dev
  qt6-charts-dev prometheus
  libcpp-httplib-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev valgrind python3
  xvfb xauth openbox xdotool x11-utils chromium
  prometheus-alertmanager libyaml-cpp-dev libcrypt-dev libssl-dev apache2-utils openssl
  lintian dpkg-dev file systemd man-db heaptrack debootstrap libxdamage-dev
  zlib1g-dev
  clang libclang-rt-14-dev
)

# What building and starting the program needs (scripts/start.sh). The test
# and benchmark libraries are here too: the build configures them.
run_packages=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev libqt6opengl6-dev libfontconfig-dev qt6-charts-dev
  libcpp-httplib-dev nlohmann-json3-dev libyaml-cpp-dev libcrypt-dev libssl-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev python3
)

case "${1:-all}" in
  all) wanted=("${packages[@]}") ;;
  run) wanted=("${run_packages[@]}") ;;
  *) echo "install-deps.sh: unknown profile \"$1\" (all or run)" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "All ${#wanted[@]} packages are installed."
  exit 0
fi

echo "Installing ${#missing[@]} packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
# One line per package unpacked and set up, so a long installation shows
# that it moves; errors go to standard error unfiltered.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" |
  { grep --line-buffered -E '^(Unpacking|Setting up) ' || true; }
