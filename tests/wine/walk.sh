#!/usr/bin/env bash
# The removal's walk by held handles on a real Win32 implementation: the
# walk probe (tools/walk_probe.cpp) builds a hideout with nested folders,
# read-only and hidden files and an entry held open without delete sharing,
# empties it through the product's EmptyHideoutFolder and checks the outcome.
#
# usage: walk.sh PROBE WINE_LOADER WORK_DIR
#   PROBE is the x86_64 build with /usr/lib/wine/wine64, or the i686 build
#   with /usr/lib/wine/wine (a 32-bit process under WOW64 in the same kind of
#   64-bit prefix). Skipped (77) when the probe or the loader is missing, or
#   when the kernel cannot start the loader.
set -u
probe=$1
loader=$2
work=$(realpath -m "$3")
if [ ! -e "$probe" ] || [ ! -x "$loader" ]; then
  echo "walk: ${probe} or ${loader} missing: skipped"
  exit 77
fi
if ! "$loader" --version >/dev/null 2>&1; then
  echo "walk: $loader cannot start on this kernel: skipped"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work/tree"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The 64-bit prefix is made by wine64, whichever probe runs in it.
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
out=$("$loader" "$probe" "Z:${work//\//\\}\\tree" 2>&1)
status=$?
echo "$out"
[ $status -eq 0 ] && echo "$out" | grep -q '^0 failures' || { echo "walk: FAILED"; exit 1; }
echo "walk: passed"
