#!/usr/bin/env bash
# The banner's date and time are the build's: compiled with SOURCE_DATE_EPOCH
# set, the run sequence carries that moment ("Oct 12 2012 14:48:50" here), so
# a rebuild of the same sources gives the same program.
set -eu
src=$(dirname "$0")/../../src/app/run_sequence.cpp
cxx=${CXX_I686:-i686-w64-mingw32-g++}
command -v "$cxx" >/dev/null || { echo "$cxx missing: skipped"; exit 77; }
obj=$(mktemp)
trap 'rm -f "$obj"' EXIT
SOURCE_DATE_EPOCH=1350053330 "$cxx" -D_WIN32_WINNT=0x0501 -fno-exceptions -fno-rtti -c "$src" -o "$obj"
if grep -aq "v1.0.0.6 (Oct 12 2012 14:48:50)" "$obj"; then
  echo "banner carries the build moment"
else
  echo "FAIL: banner does not carry SOURCE_DATE_EPOCH's date and time"
  exit 1
fi
