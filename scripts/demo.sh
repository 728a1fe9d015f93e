#!/usr/bin/env bash
# Builds the tool and runs it. Arguments are passed to pathvane.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
cmake --build build
set +e
build/bin/pathvane "$@"
code=$?
echo "(pathvane exited with $code)"
