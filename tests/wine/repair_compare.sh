#!/usr/bin/env bash
# The infection repair's verdicts on real PE fixtures: the Windows build of
# the repair (build/win64/repair_driver.exe) under wine64 against the host
# build on the simulated platform (build/host/repair_verdicts). Both must
# print the same lines. Needs the host and win64 builds.
#   tests/wine/repair_compare.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD
wine=/usr/lib/wine/wine64
driver=$top/build/win64/repair_driver.exe
work=$top/build/wine-repair
for need in "$wine" "$driver" "$top/build/host/pe_fixture" "$top/build/host/repair_verdicts"; do
  if [ ! -x "$need" ] && [ ! -f "$need" ]; then
    echo "repair_compare: missing $need" >&2
    exit 77
  fi
done

mkdir -p "$work"
mapfile -t images < <("$top/build/host/pe_fixture" "$work/fixtures")

args=()
for i in "${images[@]}"; do
  args+=(infected "$i")
done
for i in "${images[@]}"; do
  case "$i" in *.exe) args+=(version "$i") ;; esac
done
for i in images/x64-fixed-base.exe images/x86-fixed-base.exe images/no-version.exe images/max-version.exe \
         images/x64-dynamic-base.exe; do
  args+=(search windows "$i")
done
args+=(com-setup com com-read)

"$top/build/host/repair_verdicts" "$work/fixtures" "${args[@]}" >"$work/host.txt"
# The fixture folder as the Windows side names it: drive Z: is the Unix root.
winroot="Z:${work//\//\\}\\fixtures"
export WINEPREFIX=$top/build/wineprefix WINEDEBUG=-all
# Wine hands out its own builtin for any module loaded by the name
# services.exe, even as a data file from another folder; "native" makes it
# map the fixture file itself, as Windows does.
export WINEDLLOVERRIDES="services.exe=n"
"$wine" "$driver" "$winroot" "${args[@]}" 2>"$work/wine.err" | tr -d '\r' >"$work/wine.txt"

if ! diff -u "$work/host.txt" "$work/wine.txt"; then
  echo "repair_compare: the Windows build under Wine and the host build disagree" >&2
  exit 1
fi
echo "repair_compare: $(wc -l <"$work/host.txt") lines agree"
