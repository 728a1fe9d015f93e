#!/usr/bin/env bash
# Builds everything and runs every test (unit and integration).
# Usage: scripts/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DPATHVANE_WERROR=ON "$@"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
