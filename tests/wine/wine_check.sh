#!/usr/bin/env bash
# First check of the real Windows program: the win64 build under wine64, with
# the Windows version the prefix reports set per run. Standard input is not a
# console, so _getch returns at once and every run ends without a human.
#
# usage: wine_check.sh EXE PREFIX_DIR
set -u
exe=$(realpath -m "$1")
export WINEPREFIX=$(realpath -m "$2")
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
if [ -z "$wine" ] || [ ! -f "$exe" ]; then
  echo "wine64 or $exe missing: skipped"
  exit 77
fi

fail=0
pass=0
check() {  # check DESCRIPTION CONDITION...
  local what=$1
  shift
  if "$@"; then
    pass=$((pass + 1))
  else
    echo "FAIL: $what"
    fail=$((fail + 1))
  fi
}

if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
  "$wine" wineserver -w 2>/dev/null
fi
# An XP-era machine keeps the all-users desktop under %AllUsersProfile%,
# which Wine points at C:\ProgramData.
mkdir -p "$WINEPREFIX/drive_c/ProgramData/Desktop" "$WINEPREFIX/drive_c/users/Public/Desktop"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

hint='If you need only services restoration run "vanktarvoskevcleaner -r"'
unsupported='Not supported OS. Cleaner supports Windows XP, Vista, 7, Windows server 2003 R2 and Windows server 2008 R2.'

# version  expected-exit  desktop-folder                 detection line
cases=(
  "winxp64   0 ProgramData/Desktop  Detected pre-Vista 32 bit windows system"
  "win2003   0 ProgramData/Desktop  Detected pre-Vista 32 bit windows system"
  "vista     0 ProgramData/Desktop  Detected post-Vista 32 bit windows system"
  "win7      0 users/Public/Desktop Detected post-Vista 32 bit windows system"
  "win2008r2 0 users/Public/Desktop Detected post-Vista 32 bit windows system"
  "win2008   1 - -"
  "win8      1 - -"
)
for c in "${cases[@]}"; do
  read -r version code folder detection <<<"$c"
  rm -rf "$WINEPREFIX/drive_c/ProgramData/Desktop/DU Vizodav" "$WINEPREFIX/drive_c/users/Public/Desktop/DU Vizodav"
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
  (cd "$work" && "$wine" "$exe" </dev/null >"$work/out" 2>/dev/null)
  rc=$?
  out=$(tr -d '\r' <"$work/out")
  check "$version: exit code $code (got $rc)" [ "$rc" = "$code" ]
  check "$version: banner" grep -Eq '^Vank Win32/Tarvosk\.EV Cleaner v1\.0\.0\.6 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9:]{8}\)$' <<<"$(sed -n 1p <<<"$out")"
  check "$version: hint" [ "$(sed -n 3p <<<"$out")" = "$hint" ]
  if [ "$code" = 1 ]; then
    check "$version: refusal message" [ "$(sed -n 4p <<<"$out")" = "$unsupported" ]
    check "$version: nothing after the refusal" [ "$(wc -l <<<"$out")" = 4 ]
    check "$version: no log" [ -z "$(find "$WINEPREFIX/drive_c" "$work" -name TarvoskFix.log 2>/dev/null)" ]
    continue
  fi
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  check "$version: log in $folder" [ -f "$log" ]
  [ -f "$log" ] || continue
  check "$version: CR LF line ends" grep -q $'\r$' "$log"
  body=$(tr -d '\r' <"$log")
  check "$version: hyphen line" [ "$(sed -n 1p <<<"$body")" = "$(printf -- '-%.0s' {1..62})" ]
  check "$version: header" grep -Eq '^Log started [0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$' <<<"$(sed -n 2p <<<"$body")"
  check "$version: detection line" [ "$(sed -n 3p <<<"$body")" = "$detection" ]
  check "$version: last line" [ "$(tail -n 1 <<<"$body")" = "Cleaning finished" ]
  check "$version: closing message names the desktop" grep -q "^Cleaner finished, check C:\\\\.*\\\\DU Vizodav directory for logs$" <<<"$out"
done

echo "wine check: $pass passed, $fail failed"
[ "$fail" = 0 ]
