#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Packages already installed are not fetched again.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev libqt6opengl6-dev
  qt6-charts-dev prometheus
  libcpp-httplib-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev valgrind python3
  xvfb xauth openbox xdotool x11-utils chromium
  prometheus-alertmanager libyaml-cpp-dev libcrypt-dev libssl-dev apache2-utils
  lintian dpkg-dev heaptrack
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
