#!/usr/bin/env bash
# Runs one fuzzer for SECONDS (default 60) on its seed corpus, the inputs of
# past findings (fuzz/regressions/NAME) and its dictionary (fuzz/NAME.dict)
# when there is one. The corpus grown by the run goes to a scratch directory,
# or to KEEP_DIR when given, so that a longer run can go on where one ended.
# A crash input is written next to the fuzzer (NAME-crash-...) and fails the run.
#   run_fuzzer.sh FUZZER SEEDS [SECONDS] [KEEP_DIR]
set -eu
fuzzer=$1 seeds=$2 seconds=${3:-60} keep=${4:-}
name=$(basename "$fuzzer")
fuzzdir="$(cd "$(dirname "$seeds")/.." && pwd)"
if [ -n "$keep" ]; then
  work=$keep
  mkdir -p "$work"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
[ -d "$seeds" ] && cp -r "$seeds"/. "$work/"
[ -d "$fuzzdir/regressions/$name" ] && cp -r "$fuzzdir/regressions/$name"/. "$work/"
options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$(dirname "$fuzzer")/$name-")
[ -f "$fuzzdir/$name.dict" ] && options+=(-dict="$fuzzdir/$name.dict")
"$fuzzer" "${options[@]}" "$work" 2>&1 |
  grep -E "^(stat::|#[0-9]+[[:space:]]+(INITED|DONE)|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written|[a-z_]*_fuzz:)" || true
exit "${PIPESTATUS[0]}"
