#!/usr/bin/env bash
# Sets the machine up, builds everything and runs every test (unit, gui, e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
build=${PYRALIS_BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
