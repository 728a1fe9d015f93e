#!/bin/sh
# Builds the Windows system layer and its tests with mingw-w64 and runs them
# under Wine. Run from anywhere; OUT holds the objects (default /tmp/pathvane-win).
#   tests/windows/build-and-run.sh [gtest arguments...]
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${OUT:-/tmp/pathvane-win}
GTEST=${GTEST:-/usr/src/googletest/googletest}
CXX=${CXX:-x86_64-w64-mingw32-g++-posix}
CXXFLAGS="-std=c++20 -O1 -Wall -Wextra"
export WINEPREFIX=${WINEPREFIX:-/tmp/wine-platform}
export WINEDEBUG=${WINEDEBUG:--all}

mkdir -p "$OUT/gtest" "$OUT/platform"

# GoogleTest, once.
if [ ! -f "$OUT/gtest/gtest_main.o" ]; then
  $CXX $CXXFLAGS -I"$GTEST" -I"$GTEST/include" -c "$GTEST/src/gtest-all.cc" -o "$OUT/gtest/gtest-all.o"
  $CXX $CXXFLAGS -I"$GTEST" -I"$GTEST/include" -c "$GTEST/src/gtest_main.cc" -o "$OUT/gtest/gtest_main.o"
fi

# The portable platform code and the Windows system code, less the files
# that need OpenSSL's headers for Windows, which this machine lacks.
objects=""
for source in "$ROOT"/platform/*.cpp "$ROOT"/platform/windows/*.cpp; do
  name=$(basename "$source" .cpp)
  case "$source" in
    */cert_der.cpp | */openssl_init.cpp) continue ;;
    */windows/*) object="$OUT/platform/windows-$name.o" ;;
    *) object="$OUT/platform/$name.o" ;;
  esac
  $CXX $CXXFLAGS -I"$ROOT" -c "$source" -o "$object"
  objects="$objects $object"
done

$CXX $CXXFLAGS -I"$ROOT" -I"$GTEST/include" -c "$ROOT/tests/windows/platform_windows_test.cpp" \
  -o "$OUT/platform_windows_test.o"
# shellcheck disable=SC2086
$CXX -static -static-libgcc -static-libstdc++ -o "$OUT/platform_windows_test.exe" \
  "$OUT/platform_windows_test.o" $objects "$OUT/gtest/gtest-all.o" "$OUT/gtest/gtest_main.o" \
  -lcrypt32 -liphlpapi -lws2_32 -ladvapi32

# The first start of a new prefix takes a while.
wine "$OUT/platform_windows_test.exe" "$@"
