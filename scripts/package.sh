#!/usr/bin/env bash
# Builds the Debian package: a plain optimised build (never the sanitizer
# one) in build-pkg/ with the package's layout, then cpack -G DEB.
# Prints the package's path on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh dpkg-dev file
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DPATHVANE_TESTS=OFF -DPATHVANE_PACKAGE=ON > /dev/null
cmake --build build-pkg
(cd build-pkg && cpack -G DEB > cpack.log) || { cat build-pkg/cpack.log >&2; exit 1; }
ls -1 "$PWD"/build-pkg/pathvane_*.deb | tail -1
