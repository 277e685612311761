#!/usr/bin/env bash
# The undo file under Wine: a prefix whose COM classes are hijacked and whose
# security services are partly deleted and partly altered is cleaned (the
# normal run answered 'y' on a pseudo-terminal, a reboot, the -r run, a
# reboot); `reg import` of the undo file then gives back every key and value
# of the COM classes and of the Services tree as `reg export` showed them
# before the first run, the keys the runs created taken away again. Once the
# whole file is imported, once its sections, the last first. The old values
# in the file read as `reg export` writes them.
#
# usage: undo_e2e.sh EXE WINE RESTORE_DUMP WORK_DIR [VERSION...]
#   EXE    the cleaner (the win64 build, or the i686 product)
#   WINE   the loader that runs it: wine64 for the win64 build; wine (with
#          wine32 installed) runs the i686 build under WOW64 in the same
#          64-bit prefix
#   VERSION  the Windows versions to present (default: win7 winxp64; also
#          vista, win2003, win2008r2)
#   KEEP_CASES=1 keeps each case's prefix under WORK_DIR/cases.
set -u
exe=$(realpath -m "$1")
loader=$2
dump=$(realpath -m "$3")
work=$(realpath -m "$4")
shift 4
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(win7 winxp64)
here=$(cd "$(dirname "$0")" && pwd)
e2e_model="python3 $here/e2e_model.py"
model="python3 $here/undo_model.py"

# The prefix itself is made and examined with the 64-bit tools.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
case "$loader" in */*) ;; *) loader=$(command -v "$loader" || true) ;; esac
for need in "$wine" "$wineserver" "$loader" "$exe" "$dump"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "undo_e2e: ${need:-wine} missing: skipped"
    exit 77
  fi
done
command -v script >/dev/null || { echo "undo_e2e: script (util-linux) missing: skipped"; exit 77; }
# The i386 loader does not start on a kernel without 32-bit support.
"$loader" --version >/dev/null 2>&1 ||
  { echo "undo_e2e: this machine cannot start the loader $loader (for wine32: no 32-bit support in its kernel): skipped"; exit 77; }
export WINEDEBUG=-all
trap '' PIPE

. "$here/checks.sh"
case_name=setup

mkdir -p "$work"
$dump >"$work/dataset.json" || { echo "undo_e2e: restore_dump failed"; exit 1; }

# ---------------------------------------------------------------- template
# A booted prefix with the desktop folders Wine lacks and the hijacked COM
# registrations (one class not registered at all), made once.
template=$work/template
$e2e_model hijack-reg "$work/hijack.reg"
stamp="$("$wine" --version) $(sha1sum <"$work/hijack.reg")"
if [ "$(cat "$template/.undo-stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "undo_e2e: making the prefix template"
  rm -rf "$template"
  (
    export WINEPREFIX=$template
    "$wine" wineboot -i >/dev/null 2>&1
    mkdir -p "$template/drive_c/ProgramData/Desktop" "$template/drive_c/users/Public/Desktop"
    "$wine" regedit /S "$(winpath "$work/hijack.reg")" >/dev/null 2>&1
    "$wineserver" -w
  )
  printf '%s' "$stamp" >"$template/.undo-stamp"
fi

# The keys compared before and after, each exported on its own.
export_keys=(
  'HKLM\System\CurrentControlSet\Services'
  'HKLM\Software\Classes\CLSID\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}'
  'HKLM\Software\Classes\CLSID\{fbeb8a05-beee-4442-804e-409d6c4515e9}'
  'HKLM\Software\Classes\CLSID\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}'
  'HKLM\Software\Classes\CLSID\{42aedc87-2188-41fd-b9a3-0c966feabec1}'
  'HKCU\Software\Classes\CLSID\{42aedc87-2188-41fd-b9a3-0c966feabec1}'
)
# A missing key fails every try; an export that fails now and then while the
# server starts up after a reboot is tried again.
export_all() {  # export_all DIR: one file per key, empty when reg cannot export it
  local out=$1 i=0 k try
  mkdir -p "$out"
  for k in "${export_keys[@]}"; do
    i=$((i + 1))
    for try in 1 2 3; do
      "$wine" reg export "$k" "$(winpath "$out/$i.reg")" /y >/dev/null 2>&1 && break
      : >"$out/$i.reg"
      "$wine" reg query "$k" >/dev/null 2>&1 || break
    done
  done
}

# What the machine's reboot does to the registry here: Wine keeps no key
# descriptor across a restart of its server.
reboot() { "$wineserver" -k 2>/dev/null; "$wineserver" -w 2>/dev/null; }

# The normal run on a pseudo-terminal: 'y' at the question, a key at the end.
normal_run() {
  local name=normal command i
  mkfifo "$dir/$name.keys"
  printf -v command 'stty -echo; cd %q && %q %q 2>/dev/null' "$dir" "$loader" "$exe"
  timeout 120 script -qec "$command" /dev/null <"$dir/$name.keys" >"$dir/$name.raw" &
  local pid=$!
  exec 3>"$dir/$name.keys"
  for ((i = 0; i < 600; i++)); do
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$dir/$name.raw" 2>/dev/null | tr -d ' \r\n\t' | grep -q 'Doyouwanttodothat(y/n)?' && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  printf 'y' >&3
  for ((i = 0; i < 600; i++)); do
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$dir/$name.raw" 2>/dev/null | tr -d ' \r\n\t' | grep -q 'anykeytoreboot' && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  printf 'k' >&3
  wait "$pid"
  rc=$?
  exec 3>&-
}

# MODE file: the whole undo file imported at once (the runs changed
# different keys and values). MODE sections: the last section imported
# first, giving back the machine as the normal run left it, then the first.
case_undo() {  # case_undo VERSION MODE
  local version=$1 mode=$2 sets log undo
  case_name="undo-$version-$mode"
  dir=$work/cases/$case_name
  rm -rf "$dir"
  # The system folders are hard links: nothing writes them.
  mkdir -p "$dir/prefix/drive_c/windows"
  (cd "$template" && tar --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs -cf - .) |
    (cd "$dir/prefix" && tar -xpf -)
  cp -al "$template/drive_c/windows/system32" "$template/drive_c/windows/winsxs" "$dir/prefix/drive_c/windows/"
  export WINEPREFIX=$dir/prefix
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
  # Wine presents some workstations as servers and back: the sets of both
  # editions of the version are prepared.
  case $version in
    win7 | win2008r2) sets=2,4 ;;
    winxp64 | win2003) sets=0,3 ;;
    vista) sets=1 ;;
    *) echo "undo_e2e: no sets for $version"; fail=$((fail + 1)); return ;;
  esac

  $model prepare "$work/dataset.json" "$sets" "$dir/prepare.reg"
  "$wine" regedit /S "$(winpath "$dir/prepare.reg")" >/dev/null 2>&1
  reboot
  export_all "$dir/before"

  normal_run
  check "normal run: exit code 0 (got $rc)" [ "$rc" = 0 ]
  # Wine's end-session reboot may start the run-once entry: take it away.
  "$wine" reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v TarvoskEVCleaner /f >/dev/null 2>&1
  reboot
  export_all "$dir/mid"
  (cd "$dir" && timeout 120 "$loader" "$exe" -r </dev/null >"$dir/restore.out" 2>/dev/null)
  rc=$?
  check "-r run: exit code 0 (got $rc)" [ "$rc" = 0 ]
  reboot
  export_all "$dir/cleaned"

  log=$(find "$WINEPREFIX/drive_c" -path '*/DU Vizodav/TarvoskFix.log' | head -n 1)
  undo="${log%/*}/TarvoskFix-undo.reg"
  check "two log sections" [ "$(grep -c '^Log started' "$log" 2>/dev/null)" = 2 ]
  check "the normal run was answered yes" grep -q '^Successfully registered for start after reboot' "$log"
  check "no undo failure in the log" [ "$(grep -c 'Failed to write undo information' "$log" 2>/dev/null)" = 0 ]
  check "the runs changed the COM classes and the services" fails_quietly $model compare "$dir/before" "$dir/cleaned"
  check_quiet "undo file format" $model check-undo "$undo" "$log"
  check_quiet "old values written as reg export writes them" $model same-as-export "$undo" "$dir/before"

  cp "$undo" "$dir/undo.reg"
  if [ "$mode" = sections ]; then
    $model section "$dir/undo.reg" -1 "$dir/last.reg"
    "$wine" reg import "$(winpath "$dir/last.reg")" >"$dir/import-last.out" 2>&1
    rc=$?
    check "reg import of the last section: exit code 0 (got $rc)" [ "$rc" = 0 ]
    reboot
    export_all "$dir/undone-last"
    check_quiet "the registry as the normal run left it" $model compare "$dir/mid" "$dir/undone-last"
    $model section "$dir/undo.reg" 0 "$dir/first.reg"
    "$wine" reg import "$(winpath "$dir/first.reg")" >"$dir/import.out" 2>&1
  else
    "$wine" reg import "$(winpath "$dir/undo.reg")" >"$dir/import.out" 2>&1
  fi
  rc=$?
  check "reg import: exit code 0 (got $rc)" [ "$rc" = 0 ]
  reboot
  export_all "$dir/after"
  check_quiet "the registry given back" $model compare "$dir/before" "$dir/after"

  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  [ -n "${KEEP_CASES:-}" ] || [ "$fail" != 0 ] || rm -rf "$dir"
}
fails_quietly() { ! "$@" >/dev/null 2>&1; }

for v in "${versions[@]}"; do
  case_undo "$v" file
  case_undo "$v" sections
done
echo "undo_e2e: $pass checks passed, $fail failed"
[ "$fail" = 0 ]
