#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything in Release and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_WERROR="${UPDATER_WERROR:-OFF}"
cmake --build build
cd build
ctest --output-on-failure -j"$(nproc)"
