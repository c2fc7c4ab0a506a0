#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh ci
ctest --preset ci
