#!/usr/bin/env bash
# Runs one fuzzer for SECONDS on a scratch copy of its seed corpus; a crash
# input is kept in the build directory and fails the run.
set -eu
fuzzer=$1 seeds=$2 seconds=${3:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
[ -d "$seeds" ] && cp -r "$seeds"/. "$work/corpus/"
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$(dirname "$fuzzer")/crash-" \
  "$work/corpus" 2>&1 | grep -E "^(stat::|#[0-9]+ *DONE|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written)" || true
exit "${PIPESTATUS[0]}"
