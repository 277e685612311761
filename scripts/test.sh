#!/usr/bin/env bash
# Installs what the build needs (Debian 12), builds the three targets and
# runs every test: host unit and scenario tests under ASan+UBSan, and the
# Wine checks of the Windows program.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# i386 for wine32: the i686 product runs under WOW64 in a 64-bit prefix.
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq g++ cmake ninja-build libgtest-dev libssl-dev nlohmann-json3-dev \
  mingw-w64 wine64 wine32:i386 python3 python3-hivex xz-utils clang libclang-rt-14-dev >/dev/null

cmake --workflow --preset win32
cmake --workflow --preset win64
cmake --preset host
cmake --build --preset host
ctest --preset host -j2

# Fuzzers: a smoke run of each (FUZZ_SECONDS, default 40), two at a time, one
# per core; longer runs are
# described in docs/robustness.md.
cmake --preset fuzz -DFUZZ_SECONDS="${FUZZ_SECONDS:-40}"
cmake --build --preset fuzz --target fuzzers
ctest --preset fuzz -j2
