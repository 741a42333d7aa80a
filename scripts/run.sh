#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the updater and opens its window.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target addon_updater

if [ -z "${DISPLAY:-}" ]; then
  echo "No display: the window needs an X display (set DISPLAY, or run under xvfb-run)." >&2
  exit 1
fi
exec build/app/addon_updater
