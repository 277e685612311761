#!/usr/bin/env bash
# Unattended runs under Wine, as a deployment tool starts them: standard
# input closed and no terminal. On a prefix presenting Windows 7 with the
# COM hijack and a patched services.exe (a clean copy in the component
# store):
#   quiet           -quiet ends without waiting, repairs the COM classes,
#                   registers the restore run as a 'y' does and asks for the
#                   reboot; Wine cannot open the system volume natively, so
#                   the removal logs "Failed to generate BOT ID" and the code
#                   is 3 (left undone);
#   quiet-noreboot  -quiet -noreboot: 3 likewise, no reboot requested, the
#                   services.exe replacement still pending;
#   restore         -r -quiet -noreboot with the restore run still
#                   registered: the value removed, the set restored, 3010;
#   scan            -scan and -r -scan: 2, the registry (regedit /E) and the
#                   file tree (the log folder aside) exactly as before;
#   refused         -quiet -x: 87, no log anywhere, the registry as before.
#
# usage: unattended_e2e.sh EXE WINE PE_FIXTURE WORK_DIR
#   EXE   the cleaner (the win64 build, or the i686 product)
#   WINE  the loader that runs it: wine64 for the win64 build; wine (with
#         wine32 installed) runs the i686 build under WOW64 in the same
#         64-bit prefix
#   KEEP_CASES=1 keeps each case's prefix under WORK_DIR/cases.
set -u
exe=$(realpath -m "$1")
loader=$2
pe_fixture=$(realpath -m "$3")
work=$(realpath -m "$4")
here=$(cd "$(dirname "$0")" && pwd)
model="python3 $here/e2e_model.py"

# The prefix itself is made and examined with the 64-bit tools.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
case "$loader" in */*) ;; *) loader=$(command -v "$loader" || true) ;; esac
for need in "$wine" "$wineserver" "$loader" "$exe" "$pe_fixture"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "unattended e2e: ${need:-wine} missing: skipped"
    exit 77
  fi
done
# A kernel without 32-bit emulation cannot start wine32's loader.
if ! "$loader" --version >/dev/null 2>&1; then
  echo "unattended e2e: $loader cannot run here: skipped"
  exit 77
fi
export WINEDEBUG=-all
trap '' PIPE

. "$here/checks.sh"
case_name=setup
start=$SECONDS

mkdir -p "$work"
$pe_fixture "$work/fixtures" >/dev/null || { echo "unattended e2e: pe_fixture failed"; exit 1; }
images=$work/fixtures/images
store=$work/fixtures/windows/winsxs
clean=amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_2b2e3bff5a3d7d5f

# ---------------------------------------------------------------- template
template=$work/template
$model hijack-reg "$work/hijack.reg"
stamp="$("$wine" --version) $(sha1sum <"$work/hijack.reg")"
if [ "$(cat "$template/.unattended-stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "unattended e2e: making the prefix template"
  rm -rf "$template"
  (
    export WINEPREFIX=$template
    "$wine" wineboot -i >/dev/null 2>&1
    mkdir -p "$template/drive_c/ProgramData/Desktop" "$template/drive_c/users/Public/Desktop"
    "$wine" regedit /S "$(winpath "$work/hijack.reg")" >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine' /v Version /d win7 /f >/dev/null 2>&1
    "$wineserver" -w
  )
  printf '%s' "$stamp" >"$template/.unattended-stamp"
fi

# ---------------------------------------------------------------- helpers

run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce'
new_case() {  # new_case NAME: a copy of the template, infected, its server running
  case_name=$1
  dir=$work/cases/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -a "$template" "$dir/prefix"
  export WINEPREFIX=$dir/prefix
  log="$WINEPREFIX/drive_c/users/Public/Desktop/DU Vizodav/TarvoskFix.log"
  cp "$images/x64-fixed-base.exe" "$WINEPREFIX/drive_c/windows/system32/services.exe"
  mkdir -p "$WINEPREFIX/drive_c/windows/winsxs"
  cp -r "$store/$clean" "$WINEPREFIX/drive_c/windows/winsxs/"
  "$wineserver" -p
  # The first process of a server runs wineboot --init, which carries out
  # pending renames: let it come and go before the case.
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d win7 /f >/dev/null 2>&1
}
end_case() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  [ -n "${KEEP_CASES:-}" ] || rm -rf "$dir"
}

# Standard input closed, output to files: no console, no terminal. The
# exit code is told by cmd, since Unix keeps only its low byte (3010 would
# read 194). Wine hands out its builtin for a module named services.exe,
# also to the version reader; "native" makes it read the files themselves.
run() {  # run NAME ARGS...: console in $dir/NAME.out, exit code in rc
  local name=$1
  shift
  (cd "$dir" && WINEDLLOVERRIDES="services.exe=n" WINEDEBUG=-all,+process timeout 120 \
    "$loader" cmd /v:on /c "$(winpath "$exe") $* & echo exit code !errorlevel!" \
    <&- >"$dir/$name.raw" 2>"$dir/$name.trace")
  tr -d '\r' <"$dir/$name.raw" | grep -v '^exit code -\?[0-9]*$' >"$dir/$name.out"
  rc=$(tr -d '\r' <"$dir/$name.raw" | sed -n 's/^exit code \(-\?[0-9]*\)$/\1/p' | tail -n 1)
}
reboot_requested() { grep -q 'wineboot.exe --end-session' "$dir/$1.trace"; }
no_reboot_request() { ! reboot_requested "$1"; }
log_has() { tr -d '\r' <"$log" | grep -qxF -- "$1"; }
last_line_is() { [ "$(tr -d '\r' <"$log" | tail -n 1)" = "$1" ]; }
runonce_value() {
  "$wine" reg query "$run_key" /v TarvoskEVCleaner 2>/dev/null | tr -d '\r' | sed -n 's/^ *TarvoskEVCleaner *REG_SZ *//p'
}
rename_pending() {
  "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations >/dev/null 2>&1
}
# The machine as a scan must leave it: the whole registry and the file tree
# with sizes and times, the log folder aside.
machine_state() {  # machine_state OUT
  "$wine" regedit /E "$(winpath "$1.reg")" >/dev/null 2>&1
  # A folder's time changes when the log folder is made in it.
  (cd "$WINEPREFIX/drive_c" && find . -path './users/Public/Desktop/DU Vizodav' -prune -o -type d -printf '%p %m\n' \
    -o -printf '%p %s %T@ %m\n' | sort) >"$1.files"
}
same_state() { cmp -s "$1.reg" "$2.reg" && cmp -s "$1.files" "$2.files"; }
no_log_anywhere() { [ -z "$(find "$WINEPREFIX/drive_c" "$dir" -name TarvoskFix.log 2>/dev/null)" ]; }

stayed=("Failed to generate BOT ID")

# ---------------------------------------------------------------- cases

new_case quiet
run quiet -quiet
check "exit code 3, the hideouts left (got $rc)" [ "$rc" = 3 ]
check "the question answered by -quiet" grep -qxF "y (-quiet)" "$dir/quiet.out"
check "COM repaired" log_has 'New registry value  HKCR\CLSID\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\InprocServer32 "%systemroot%\system32\wbem\fastprox.dll"'
check "the BOT ID cannot be had under Wine" log_has "${stayed[0]}"
check "restore registered" log_has "Successfully registered for start after reboot for services restoration"
check "run-once value as a yes writes it" [ "$(runonce_value)" = "\"$(winpath "$exe")\" -r" ]
check "reboot requested" reboot_requested quiet
check "the last line states the code" last_line_is "Exit code 3: the cleaning left something undone (see the failure lines above)"
end_case

new_case quiet-noreboot
run noreboot -quiet -noreboot
check "exit code 3 (got $rc)" [ "$rc" = 3 ]
check "no reboot requested" no_reboot_request noreboot
check "the services.exe replacement still pending" rename_pending
check "the console says a reboot is still needed" grep -qF "but it is still needed" "$dir/noreboot.out"
check "restore registered" [ -n "$(runonce_value)" ]
end_case

new_case restore
"$wine" reg add "$run_key" /v TarvoskEVCleaner /d "\"$(winpath "$exe")\" -r" /f >/dev/null 2>&1
run restore -r -quiet -noreboot
check "exit code 3010 (got $rc)" [ "$rc" = 3010 ]
check "the pending restore removed" [ -z "$(runonce_value)" ]
check "and logged" log_has 'Removed the restore run still registered for the next logon ("TarvoskEVCleaner")'
# Wine 8.0 presents win7 as a server edition: the set is 2008 R2's.
check "the set restored" grep -q '^Processing Windows .* services restoration$' <(tr -d '\r' <"$log")
check "no reboot requested" no_reboot_request restore
check "the last line states the code" last_line_is "Exit code 3010: cleaned, a reboot is still needed"
end_case

new_case scan
machine_state "$dir/before"
run scan -scan
check "exit code 2 (got $rc)" [ "$rc" = 2 ]
check "a finding worded as one" log_has "services.exe appears to be infected"
check "no undo file" [ ! -e "$(dirname "$log")/TarvoskFix-undo.reg" ]
machine_state "$dir/after"
check "registry and files as before" same_state "$dir/before" "$dir/after"
run rscan -r -scan
check "-r -scan: exit code 2 (got $rc)" [ "$rc" = 2 ]
check "-r -scan: a key that would be created" grep -q ' is missing and would be created$' <(tr -d '\r' <"$log")
machine_state "$dir/after-r"
check "-r -scan: registry and files as before" same_state "$dir/before" "$dir/after-r"
check "no reboot requested" no_reboot_request scan
end_case

new_case refused
machine_state "$dir/before"
run refused -quiet -x
check "exit code 87 (got $rc)" [ "$rc" = 87 ]
check "usage on the console" grep -qF "Usage: vanktarvoskevcleaner [-r] [-quiet] [-noreboot] [-scan]" "$dir/refused.out"
check "no log anywhere" no_log_anywhere
machine_state "$dir/after"
check "registry and files as before" same_state "$dir/before" "$dir/after"
end_case

case_name=all
echo "unattended e2e: $pass passed, $fail failed ($((SECONDS - start)) s)"
[ "$fail" = 0 ]
