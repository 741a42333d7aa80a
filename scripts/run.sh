#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the updater, starts the bundled demo update server and
# opens the window; without a display, runs the same update headless and summarises the result.
set -euo pipefail
cd "$(dirname "$0")/.."

# The build folder; another one may be given for trying this script beside a working build.
build="${UPDATER_RUN_BUILD_DIR:-build}"

scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUPDATER_MANIFEST_URL=http://127.0.0.1:18080/wowplugin/AddonsUpdater.json
cmake --build "$build" -j"$(nproc)" --target addon_updater update_headless

exec scripts/demo/demo_update.sh "$build"
