#!/bin/sh
# Writes a module definition file for dll from its import library: every
# function the import library offers. dlltool makes a delay-load library of it.
# usage: def-from-import-lib.sh <nm> <import library> <dll name> <out.def>
set -eu
nm=$1 lib=$2 dll=$3 out=$4
{
  echo "LIBRARY \"$dll\""
  echo "EXPORTS"
  "$nm" -g --defined-only "$lib" 2>/dev/null | awk '$2 == "T" && $3 !~ /^(__|_head|\.)/ { print "  " $3 }' | sort -u
} >"$out.part"
mv "$out.part" "$out"
