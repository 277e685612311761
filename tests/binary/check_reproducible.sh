#!/usr/bin/env bash
# The i686 product of one commit is the same file wherever and whenever it is
# built: two clean checkouts in folders of different names and depths, built
# one after the other under different time zones and locales, give the same
# bytes, and the banner carries the commit's time.
#
#   check_reproducible.sh [WORKDIR]     (default: a temporary folder)
set -eu
repo=$(cd "$(dirname "$0")/../.." && pwd)
command -v i686-w64-mingw32-g++ >/dev/null || { echo "i686-w64-mingw32-g++ missing: skipped"; exit 77; }
commit=$(git -C "$repo" rev-parse HEAD 2>/dev/null) || { echo "not a git checkout: skipped"; exit 77; }
epoch=$(git -C "$repo" log -1 --format=%ct "$commit")
work=${1:-}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
rm -rf "$work/a" "$work/second checkout"
mkdir -p "$work"

build() {  # folder, then environment settings for the build
  local dir=$1
  shift
  git clone -q --shared --no-checkout "$repo" "$dir"
  git -C "$dir" checkout -q --detach "$commit"
  (cd "$dir" && env -u SOURCE_DATE_EPOCH "$@" cmake --preset win32 >/dev/null &&
     env -u SOURCE_DATE_EPOCH "$@" cmake --build --preset win32 --target vanktarvoskevcleaner) |
    grep -E '^[0-9a-f]{64} ' || { echo "FAIL: the build in $dir printed no sha256"; exit 1; }
}

build "$work/a" TZ=UTC LC_ALL=C
sleep 2
build "$work/second checkout/deeper/src" TZ=Pacific/Kiritimati LC_ALL=C.UTF-8
one="$work/a/build/win32/vanktarvoskevcleaner.exe"
two="$work/second checkout/deeper/src/build/win32/vanktarvoskevcleaner.exe"
if ! cmp "$one" "$two"; then
  echo "FAIL: two builds of $commit differ"
  exit 1
fi
# __DATE__ pads a one-digit day with a space, as date's %e does.
moment=$(LC_ALL=C date -u -d "@$epoch" '+%b %e %Y %H:%M:%S')
if ! grep -aq "v1.0.0.6 ($moment)" "$one"; then
  echo "FAIL: the banner does not carry the commit's time ($moment)"
  exit 1
fi
echo "two builds of $commit are identical; banner ($moment)"
