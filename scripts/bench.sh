#!/usr/bin/env bash
# Speed of the restoration, and what the dataset costs in the program.
#
# 1. Under Wine, on a prefix that presents Windows 7: the restore run
#    (-r, set 2, log written) against `reg import` of a .reg file holding the
#    same keys and values, each from a fresh copy of one prefix, RUNS times
#    each (default 7), alternating; medians and their ratio, with and without
#    the cost of starting a Wine process (measured as a run of a program that
#    does nothing but ask for the version).
# 2. On the host, a Release build without sanitizers: the whole cleaning of
#    scenarios/win7-x64-infected.json (normal run, reboot, restore run) and
#    the restore run alone (scenarios/restore-win7.json), RUNS times each.
# 3. The i686 program's size next to the UTF-16 value lists compiled into it.
#
# Results go to standard output; docs/performance.md records a run of it.
#   scripts/bench.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
runs=${1:-7}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
model="python3 $top/tests/wine/e2e_model.py"
work=$top/build/bench
export WINEDEBUG=-all

echo "== building (win32, win64, host-release)"
cmake --workflow --preset win32 >/dev/null
cmake --workflow --preset win64 >/dev/null
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target simrun restore_dump >/dev/null
exe32=$top/build/win32/vanktarvoskevcleaner.exe
exe=$top/build/win64/vanktarvoskevcleaner.exe
probe=$top/build/win64/version_probe.exe
mkdir -p "$work"
"$top/build/host-release/restore_dump" >"$work/dataset.json"

winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
now() { echo "$EPOCHREALTIME"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo "== machine"
echo "cores: $(nproc); CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "Wine: $("$wine" --version); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---------------------------------------------------------------- Wine
template=$work/template
if [ ! -f "$template/.bench-stamp" ] || [ "$(cat "$template/.bench-stamp")" != "$("$wine" --version)" ]; then
  echo "== making the prefix template"
  rm -rf "$template"
  WINEPREFIX=$template "$wine" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$template "$wineserver" -w
  mkdir -p "$template/drive_c/users/Public/Desktop"
  "$wine" --version >"$template/.bench-stamp"
fi

fresh() {  # fresh VERSION [TRACE]: a copy of the template with its server running,
           # presenting VERSION; with TRACE the server logs every request there
  prefix=$work/prefix
  rm -rf "$prefix"
  mkdir -p "$prefix/drive_c/windows"
  (cd "$template" && tar --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs -cf - .) |
    (cd "$prefix" && tar -xpf -)
  cp -al "$template/drive_c/windows/system32" "$template/drive_c/windows/winsxs" "$prefix/drive_c/windows/"
  export WINEPREFIX=$prefix
  if [ -n "${2:-}" ]; then
    "$wineserver" -f -p -d1 2>"$2" &
    sleep 1
  else
    "$wineserver" -p
  fi
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1
}
done_prefix() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$work/prefix"
}

# The setting that presents Windows 7 (6.1, workstation): Wine 8.0 swaps
# the product types of win7 and win2008r2.
version=
fresh win7
for v in win7 win2008r2; do
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$v" /f >/dev/null 2>&1
  if [ "$("$wine" "$probe" | tr -d '\r')" = "6 1 1" ]; then
    version=$v
    break
  fi
done
done_prefix
[ -n "$version" ] || { echo "no Wine setting presents Windows 7"; exit 1; }

$model reg-file "$work/dataset.json" 2 "$work/set2.reg"
records=$(python3 -c "import json,sys; print(sum(1 for r in json.load(open(sys.argv[1])) if r['set'] == 2))" "$work/dataset.json")
values=$(python3 -c "import json,sys; print(sum(len(r['lines']) for r in json.load(open(sys.argv[1])) if r['set'] == 2))" "$work/dataset.json")
echo "== Wine: set 2 ($records keys, $values values) on Wine's \"$version\", $runs runs each"

: >"$work/restore.times"
: >"$work/import.times"
: >"$work/start.times"
timed() {  # timed FILE COMMAND...: appends the seconds COMMAND took
  local file=$1 t0 t1
  shift
  t0=$(now)
  "$@" </dev/null >/dev/null 2>&1
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}' >>"$file"
}
for ((i = 0; i < runs; i++)); do
  order=(restore import)
  ((i % 2 == 0)) || order=(import restore)
  for what in "${order[@]}"; do
    fresh "$version"
    # Starting a Wine process that does next to nothing, once the server runs.
    timed "$work/start.times" "$wine" "$probe"
    if [ $what = restore ]; then
      timed "$work/restore.times" "$wine" "$exe" -r
      log=$(tr -d '\r' <"$prefix/drive_c/users/Public/Desktop/DU Vizodav/TarvoskFix.log")
      [ "$i" != 0 ] || echo "restore run: $(grep -c . <<<"$log") log lines, $(grep -c '\.\.\. success$' <<<"$log") values written"
    else
      timed "$work/import.times" "$wine" reg import "$(winpath "$work/set2.reg")"
      if [ "$i" = 0 ]; then
        # The import file holds what the restoration writes: a restore run
        # after it finds every value in place.
        "$wine" "$exe" -r </dev/null >/dev/null 2>&1
        log=$(tr -d '\r' <"$prefix/drive_c/users/Public/Desktop/DU Vizodav/TarvoskFix.log")
        echo "after reg import: $(grep -c 'matches known good one' <<<"$log") of $values values match the dataset"
      fi
    fi
    done_prefix
  done
done
start=$(median <"$work/start.times")
restore=$(median <"$work/restore.times")
import=$(median <"$work/import.times")
printf 'restore run (-r):  median %.3f s  (runs: %s)\n' "$restore" "$(tr '\n' ' ' <"$work/restore.times" | xargs printf '%.3f ')"
printf 'reg import:        median %.3f s  (runs: %s)\n' "$import" "$(tr '\n' ' ' <"$work/import.times" | xargs printf '%.3f ')"
printf 'process start:     median %.3f s\n' "$start"
awk -v r="$restore" -v i="$import" -v s="$start" \
  'BEGIN {printf "ratio restore / reg import: %.2f; without the process start: %.2f\n", r / i, (r - s) / (i - s)}'

# What each side asks of the Wine server (registry requests and the rest),
# counted on the thread that writes the Services keys.
echo "== Wine server requests of one run each (wineserver -d1)"
for what in restore import; do
  fresh "$version" "$work/$what.requests"
  if [ $what = restore ]; then
    "$wine" "$exe" -r </dev/null >/dev/null 2>&1
  else
    "$wine" reg import "$(winpath "$work/set2.reg")" </dev/null >/dev/null 2>&1
  fi
  done_prefix
  python3 - "$work/$what.requests" "$what" "$values" <<'EOF'
import collections, re, sys
request = re.compile(r"^([0-9a-f]{4}): ([a-z_]+)\( ")
counts = collections.defaultdict(collections.Counter)
worker = None
for line in open(sys.argv[1], errors="replace"):
    m = request.match(line)
    if not m:
        continue
    counts[m.group(1)][m.group(2)] += 1
    if worker is None and m.group(2) == "create_key" and "Services\\\\BFE" in line:
        worker = m.group(1)
c = counts.get(worker, collections.Counter())
values = int(sys.argv[3])
total = sum(c.values())
print("%-8s %5d requests, %.1f per value:" % (sys.argv[2], total, total / values),
      ", ".join("%s %d" % kv for kv in c.most_common(8)))
EOF
done

# ---------------------------------------------------------------- host
echo "== host (Release, no sanitizers), $runs runs each"
for scenario in win7-x64-infected restore-win7; do
  : >"$work/$scenario.times"
  for ((i = 0; i < runs; i++)); do
    timed "$work/$scenario.times" "$top/build/host-release/simrun" "$top/scenarios/$scenario.json"
  done
  printf '%-20s median %.3f s\n' "$scenario" "$(median <"$work/$scenario.times")"
done

# ---------------------------------------------------------------- size
echo "== size"
python3 - "$work/dataset.json" "$exe32" <<'EOF'
import json, os, sys
records = json.load(open(sys.argv[1]))
lists = sum(r["listBytes"] for r in records)
text = sum(len(r["subKey"]) + 1 + len(r["sddl"]) + 1 for r in records)
size = os.path.getsize(sys.argv[2])
print("i686 program: %d bytes" % size)
print("value lists (UTF-16): %d bytes, %.1f%% of the program" % (lists, 100.0 * lists / size))
print("key paths and descriptors (ANSI): %d bytes" % text)
print("the program without the dataset: about %d bytes" % (size - lists - text))
EOF
