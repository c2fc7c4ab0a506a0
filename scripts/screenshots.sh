#!/usr/bin/env bash
# Redraws the documentation's screenshots from the real program:
#   bash scripts/screenshots.sh            # into docs/, after a 75-second run
#   SECONDS_RUN=120 bash scripts/screenshots.sh
# The simulator runs the lively scenario and the window runs on an X server of
# its own (Xvfb with openbox); nothing shows on the desktop you work on. Needs
# what scripts/install-deps.sh installs and a build in build/default.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build/default}"
cmake --build "$build" -j"${JOBS:-2}" --target screen_docs
"$build/bin/screen_docs" "$root/docs" "${SECONDS_RUN:-75}"
# Other boards at small sizes and scale 2, on a 1920x1080 screen of their own.
"$build/bin/screen_docs" "$root/docs" layout
