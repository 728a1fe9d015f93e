#!/usr/bin/env bash
# Cross-builds the Windows version: OpenSSL and libcurl from Debian's own
# source packages (cached in build-win/deps/, built once), then the project,
# its zip and its tests under wine.
#   --deps-only  stop once the third-party libraries are built
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

deps_only=0
for arg in "$@"; do
  case "$arg" in
    --deps-only) deps_only=1 ;;
    *) echo "usage: $0 [--deps-only]" >&2; exit 2 ;;
  esac
done

source scripts/lib-windows-deps.sh

# Runs one stage and reports how long it took. The stage runs under errexit
# (calling it from an `||` list would switch that off), so a failure is
# reported from the exit trap.
stage_name= stage_start=
elapsed() {
  awk -v a="$stage_start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'
}
trap '[[ -z $stage_name || $BASHPID != $$ ]] || echo "stage $stage_name: $(elapsed) s (failed)" >&2' EXIT
stage() {
  stage_name=$1 stage_start=$EPOCHREALTIME
  shift
  "$@"
  echo "stage $stage_name: $(elapsed) s" >&2
  stage_name=
}

project_build() {
  cmake -S . -B build-win -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DPATHVANE_WIN_DEPS="$PWD/build-win/deps/prefix" \
    -DPATHVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build-win -j2
}

project_zip() {
  (cd build-win && cpack -G ZIP)
}

project_tests() {
  if [[ -x scripts/windows-test.sh ]]; then
    scripts/windows-test.sh build-win
  elif [[ -f scripts/windows-test.sh ]]; then
    bash scripts/windows-test.sh build-win
  else
    echo "no scripts/windows-test.sh yet: tests skipped" >&2
  fi
}

stage packages deps_packages
stage sources deps_sources
stage openssl deps_openssl
stage curl deps_curl
[[ $deps_only -eq 1 ]] && exit 0

stage project project_build
stage zip project_zip
stage tests project_tests
