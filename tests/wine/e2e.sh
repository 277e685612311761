#!/usr/bin/env bash
# End to end under Wine: the win64 build of the cleaner in a wine64 prefix,
# for every Windows version Wine can present (and two that must be
# refused). Each case runs in its own copy of one prefix template, which is
# made once (wineboot) with the infection's COM hijack in it.
#
# Per supported edition:
#   normal   the first run through a pseudo-terminal answering 'y': the log
#            line by line, the console, the run-once value, the COM keys
#            afterwards, the reboot request;
#   restore  two -r runs on a prefix with the edition's services removed and
#            a few of their keys planted: the log line by line against a
#            model of the registry, the exported registry against the
#            dataset, and a second run that writes nothing;
#   locked   a second copy started while the first holds the log;
#   file     "DU Vizodav" present as a file.
# Per refused edition: both modes end at the refusal and change nothing.
#
# Expectations come from tests/wine/e2e_model.py and, for the restoration,
# from the table the cleaner was built with (restore_dump).
#
# On the edition that presents itself as Windows 7 also:
#   infected the prefix's services.exe patched (no dynamic base), a clean
#            copy of its version in the component store: the replacement
#            requested, the backup beside the log, the removal after it.
#
# usage: e2e.sh EXE VERSION_PROBE RESTORE_DUMP PE_FIXTURE WORK_DIR [VERSION...]
#   KEEP_CASES=1 keeps each case's prefix under WORK_DIR/cases.
set -u
exe=$(realpath -m "$1")
probe=$(realpath -m "$2")
dump=$(realpath -m "$3")
pe_fixture=$(realpath -m "$4")
work=$(realpath -m "$5")
shift 5
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(winxp64 win2003 vista win7 win2008r2 win2008 win8)
here=$(cd "$(dirname "$0")" && pwd)
model="python3 $here/e2e_model.py"

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
for need in "$wine" "$wineserver" "$exe" "$probe" "$dump" "$pe_fixture"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "e2e: ${need:-wine64} missing: skipped"
    exit 77
  fi
done
command -v script >/dev/null || { echo "e2e: script (util-linux) missing: skipped"; exit 77; }
export WINEDEBUG=-all
# A key written to a program that is gone must not end the script.
trap '' PIPE

fail=0
pass=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    pass=$((pass + 1))
  else
    echo "FAIL: $case_name: $what"
    fail=$((fail + 1))
  fi
}
# A check whose command prints what is wrong.
check_quiet() {  # check_quiet DESCRIPTION COMMAND...
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then
    pass=$((pass + 1))
  else
    echo "FAIL: $case_name: $what"
    sed 's/^/    /' <<<"$out"
    fail=$((fail + 1))
  fi
}

winpath() {  # the Windows name of a Unix path: drive Z: is the Unix root
  local p=${1//\//\\}
  printf 'Z:%s' "$p"
}

wait_until() {  # wait_until COMMAND...: until it succeeds (at most 60 s)
  local i
  for ((i = 0; i < 600; i++)); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

mkdir -p "$work"
$dump >"$work/dataset.json" || { echo "e2e: restore_dump failed"; exit 1; }
$pe_fixture "$work/fixtures" >/dev/null || { echo "e2e: pe_fixture failed"; exit 1; }

# ---------------------------------------------------------------- template
# Made once per Wine version and hijack: a booted prefix, the XP-era
# all-users desktop that Wine lacks, and the infected COM registrations
# (one of the four classes is not registered at all).
template=$work/template
$model hijack-reg "$work/hijack.reg"
stamp="$("$wine" --version) $(sha1sum <"$work/hijack.reg")"
if [ "$(cat "$template/.e2e-stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "e2e: making the prefix template"
  rm -rf "$template"
  (
    export WINEPREFIX=$template
    "$wine" wineboot -i >/dev/null 2>&1
    mkdir -p "$template/drive_c/ProgramData/Desktop" "$template/drive_c/users/Public/Desktop"
    "$wine" regedit /S "$(winpath "$work/hijack.reg")" >/dev/null 2>&1
    "$wineserver" -w
  )
  printf '%s' "$stamp" >"$template/.e2e-stamp"
fi

# ---------------------------------------------------------------- cases

# A fresh copy of the template, its server kept running until the case ends
# (Wine keeps a key's descriptor only while its server runs), showing
# Windows VERSION. The system folders are hard links: nothing writes them.
new_case() {  # new_case NAME VERSION
  case_name=$1
  case_failures=$fail
  dir=$work/cases/$1
  rm -rf "$dir"
  mkdir -p "$dir/prefix/drive_c/windows"
  (cd "$template" && tar --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs -cf - .) |
    (cd "$dir/prefix" && tar -xpf -)
  cp -al "$template/drive_c/windows/system32" "$template/drive_c/windows/winsxs" "$dir/prefix/drive_c/windows/"
  export WINEPREFIX=$dir/prefix
  "$wineserver" -p
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$2" /f >/dev/null 2>&1
}

end_case() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  # A failed case keeps its prefix, console, trace and log for a look.
  [ -n "${KEEP_CASES:-}" ] || [ "$fail" != "$case_failures" ] || rm -rf "$dir"
}

# Runs the cleaner with ARGS, standard input not a console (_getch returns
# at once); console in $dir/NAME.out, exit code in rc, Wine's process trace
# (the reboot request starts wineboot) in $dir/NAME.trace.
run_plain() {  # run_plain NAME ARGS...
  local name=$1
  shift
  (cd "$dir" && WINEDEBUG=-all,+process timeout 120 "$wine" "$exe" "$@" </dev/null >"$dir/$name.raw" 2>"$dir/$name.trace")
  rc=$?
  tr -d '\r' <"$dir/$name.raw" >"$dir/$name.out"
}

# Starts the cleaner (normal mode) on a pseudo-terminal; keys are written
# to fd 3 with `press`. finish_pty waits for it and sets rc.
start_pty() {  # start_pty NAME
  local name=$1 command
  mkfifo "$dir/$name.keys"
  # No echo of the keys by the terminal itself.
  printf -v command 'stty -echo; cd %q && WINEDEBUG=-all,+process %q %q 2>%q' "$dir" "$wine" "$exe" "$dir/$name.trace"
  timeout 120 script -qec "$command" /dev/null <"$dir/$name.keys" >"$dir/$name.raw" &
  pty_pid=$!
  exec 3>"$dir/$name.keys"
  pty_name=$name
  # Now and then, on a loaded machine, Wine's console host does not come up
  # on the terminal and the program runs without a console; the case is
  # then done again on a fresh prefix.
  local i
  for ((i = 0; i < 300; i++)); do
    flatten "$name"
    flat_has "$name" "Vank Win32/Tarvosk.EV Cleaner" && return 0
    kill -0 "$pty_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pty_pid" 2>/dev/null
  wait "$pty_pid" 2>/dev/null
  exec 3>&-
  echo "e2e: $case_name: no console on the terminal, the case is repeated"
  return 1
}
press() { printf '%s' "$1" >&3; }
# The terminal rendering has cursor moves for blanks and wrapped lines:
# texts are compared with all white space removed.
flatten() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$dir/$1.raw" | tr -d ' \r\n\t' >"$dir/$1.flat"; }
flat_has() { grep -qF -- "$(tr -d ' ' <<<"$2")" "$dir/$1.flat"; }
wait_console() {  # wait_console NAME TEXT: until the terminal shows TEXT (at most 60 s)
  local i
  for ((i = 0; i < 600; i++)); do
    flatten "$1"
    flat_has "$1" "$2" && return 0
    sleep 0.1
  done
  return 1
}
finish_pty() {
  wait "$pty_pid"
  rc=$?
  exec 3>&-
  flatten "$pty_name"
}
flat_lacks() { ! flat_has "$@"; }

reboot_requested() {  # EWX_REBOOT without EWX_FORCE: Wine runs "wineboot --end-session"
  grep -q 'cmdline L"C:\\\\windows\\\\system32\\\\wineboot.exe --end-session"' "$dir/$1.trace"
}
no_reboot_request() { ! grep -q 'wineboot.exe --end-session' "$dir/$1.trace"; }

banner='^Vank Win32/Tarvosk\.EV Cleaner v1\.0\.0\.6 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9:]{8}\)$'
hint='If you need only services restoration run "vanktarvoskevcleaner -r"'
question='It is recommended to restore some system services that might have been disabled by malware. Do you want to do that (y/n)?'
unsupported='Not supported OS. Cleaner supports Windows XP, Vista, 7, Windows server 2003 R2 and Windows server 2008 R2.'
no_log_file='Failed to create log file. Terminating.'
restore_reboot='System has to be rebooted for changes to come in effect. You should save all your work and press any key to reboot...'
continue_reboot='System has to be rebooted to continue cleaning. You should save all your work and press any key to reboot...'
finish_reboot='System has to be rebooted to finish cleaning. You should save all your work and press any key to reboot...'
no_reboot='Failed to initiate system reboot. Restart your system manually.'

line_is() { [ "$(sed -n "$2p" "$dir/$1.out")" = "$3" ]; }
line_count() { [ "$(wc -l <"$dir/$1.out")" = "$2" ]; }
banner_ok() { sed -n 1p "$dir/$1.out" | grep -Eq "$banner" && line_is "$1" 3 "$hint"; }
lacks() { ! grep -qF -- "$2" "$1"; }
fails() { ! "$@" >/dev/null 2>&1; }
no_log_anywhere() { [ -z "$(find "$WINEPREFIX/drive_c" "$dir" -name TarvoskFix.log 2>/dev/null)" ]; }
section_count() { [ "$(grep -c '^Log started' "$1")" = "$2" ]; }

# ---- normal run, answered 'y'
case_normal() {  # case_normal VERSION CODE FOLDER
  local version=$1 code=$2 folder=$3 log query runonce
  new_case "normal-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  start_pty normal || { end_case; return 2; }
  wait_console normal "$question"
  press y
  wait_console normal "$continue_reboot"
  press k
  finish_pty
  check "exit code 0 (got $rc)" [ "$rc" = 0 ]
  check_quiet "log" $model check-normal-log "$log" "$code"
  check "question on the console" flat_has normal "$question"
  check "closing message names the log folder" flat_has normal "Cleaner finished, check C:\\${folder//\//\\}\\DU Vizodav directory for logs"
  check "reboot message after a yes" flat_has normal "$continue_reboot"
  check "no reboot failure" flat_lacks normal "$no_reboot"
  check "reboot requested" reboot_requested normal

  query=$dir/registry.txt
  local keys=(
    'HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\InprocServer32'
    'HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{fbeb8a05-beee-4442-804e-409d6c4515e9}\InprocServer32'
    'HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}\InprocServer32'
    'HKEY_CURRENT_USER\Software\Classes\CLSID\{42aedc87-2188-41fd-b9a3-0c966feabec1}\InprocServer32'
  ) commands="" k
  for k in "${keys[@]}"; do
    commands+="echo ==== $k & reg query $k /ve & "
  done
  commands+="echo ==== RunOnce & reg query HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce /v TarvoskEVCleaner"
  "$wine" cmd /c "$commands" 2>/dev/null | tr -d '\r' >"$query"
  check_quiet "COM keys after the repair" $model check-com-registry "$query" "$code"
  runonce=$(sed -n '/^==== RunOnce/,$p' "$query" | sed -n 's/^ *TarvoskEVCleaner *REG_SZ *//p')
  check "run-once value (got: $runonce)" [ "$runonce" = "\"$(winpath "$exe")\" -r" ]
  # Wine's wineboot runs the entries of RunOnce: take it away again.
  "$wine" reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v TarvoskEVCleaner /f >/dev/null 2>&1
  check "the reboot request did not start the restore run" section_count "$log" 1
  end_case
  return 0
}

# ---- two restore runs
case_restore() {  # case_restore VERSION CODE SET FOLDER
  local version=$1 code=$2 set=$3 folder=$4 log
  new_case "restore-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  $model prepare "$work/dataset.json" "$set" "$dir/prepare.reg" "$dir/state0.json"
  "$wine" regedit /S "$(winpath "$dir/prepare.reg")" >/dev/null 2>&1

  run_plain restore1 -r
  check "first -r: exit code 0 (got $rc)" [ "$rc" = 0 ]
  check "first -r: banner and hint" banner_ok restore1
  check "first -r: no question" lacks "$dir/restore1.out" "$question"
  check "first -r: closing message" line_is restore1 4 "Cleaner finished, check C:\\${folder//\//\\}\\DU Vizodav directory for logs"
  check "first -r: reboot message" line_is restore1 5 "$restore_reboot"
  check "first -r: nothing more on the console" line_count restore1 5
  check "first -r: reboot requested" reboot_requested restore1
  check_quiet "first -r: log" $model check-restore-log "$work/dataset.json" "$set" "$code" "$dir/state0.json" "$log" "$dir/state1.json"

  "$wine" reg export 'HKLM\System\CurrentControlSet\Services' "$(winpath "$dir/services.reg")" /y >/dev/null 2>&1
  check_quiet "registry after the first -r" $model check-registry "$work/dataset.json" "$set" "$dir/state1.json" "$dir/services.reg"

  run_plain restore2 -r
  check "second -r: exit code 0 (got $rc)" [ "$rc" = 0 ]
  check_quiet "second -r: log, nothing written" $model check-restore-log "$work/dataset.json" "$set" "$code" "$dir/state1.json" "$log" "$dir/state2.json" --second
  check "two log sections" section_count "$log" 2
  end_case
  return 0
}

# ---- a second copy while the first holds the log
case_locked() {  # case_locked VERSION FOLDER
  local version=$1 folder=$2 log
  new_case "locked-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  start_pty first || { end_case; return 2; }
  # The first copy holds the log from its opening until after the question.
  wait_console first "$question"
  run_plain second
  check "second copy: exit code 1 (got $rc)" [ "$rc" = 1 ]
  check "second copy: banner and hint" banner_ok second
  check "second copy: log failure message" line_is second 4 "$no_log_file"
  check "second copy: nothing more" line_count second 4
  check "second copy: no reboot request" no_reboot_request second
  press n
  wait_console first "$finish_reboot"
  press k
  finish_pty
  check "first copy: exit code 0 (got $rc)" [ "$rc" = 0 ]
  check "first copy: reboot message after a no" flat_has first "$finish_reboot"
  check "one log section" section_count "$log" 1
  check "first copy's log ends with its last line" [ "$(tail -n 1 "$log" | tr -d '\r')" = "Cleaning finished" ]
  end_case
  return 0
}

# ---- "DU Vizodav" is a file
case_file() {  # case_file VERSION FOLDER
  local version=$1 folder=$2 target
  new_case "file-$version" "$version"
  target="$WINEPREFIX/drive_c/$folder/DU Vizodav"
  printf 'not a folder' >"$target"
  for mode in normal restore; do
    if [ $mode = normal ]; then run_plain $mode; else run_plain $mode -r; fi
    check "$mode: exit code 1 (got $rc)" [ "$rc" = 1 ]
    check "$mode: banner and hint" banner_ok $mode
    check "$mode: log failure message" line_is $mode 4 "$no_log_file"
    check "$mode: nothing more" line_count $mode 4
    check "$mode: no reboot request" no_reboot_request $mode
    check "$mode: still a file" [ -f "$target" ]
    check "$mode: no log" no_log_anywhere
  done
  end_case
  return 0
}

# ---- services.exe patched, a clean copy in the component store
case_infected() {  # case_infected VERSION CODE FOLDER
  local version=$1 code=$2 folder=$3 log system=$WINEPREFIX sxs store=$work/fixtures/windows/winsxs pending
  new_case "infected-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  system=$WINEPREFIX/drive_c/windows/system32
  sxs=$WINEPREFIX/drive_c/windows/winsxs
  # The system folders are links to the template's: replace, never write.
  rm -f "$system/services.exe"
  cp "$work/fixtures/images/x64-fixed-base.exe" "$system/services.exe"
  # The clean copy of the same version, and one of another version.
  cp -r "$store/amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_2b2e3bff5a3d7d5f" \
        "$store/amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7600.16385_none_2b0d6b2f5a56b6bd" "$sxs/"
  local clean='C:\windows\winsxs\amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_2b2e3bff5a3d7d5f\services.exe'
  # Wine hands out its builtin for any module named services.exe, also to
  # the version reader; "native" makes it read the files themselves.
  WINEDLLOVERRIDES="services.exe=n" run_plain infected
  check "exit code 0 (got $rc)" [ "$rc" = 0 ]
  check_quiet "log" $model check-infected-log "$log" "$code" "$system/services.exe" "$clean"
  check "backup of the patched file beside the log" cmp -s "$work/fixtures/images/x64-fixed-base.exe" \
    "$WINEPREFIX/drive_c/$folder/DU Vizodav/services.exe.infected"
  check "reboot requested" reboot_requested infected
  # Wine's reboot, "wineboot --end-session", carries out the pending
  # renames: the clean copy moves over the installed file.
  local cleanfile=$store/${clean#C:\\windows\\winsxs\\}
  cleanfile=${cleanfile//\\//}
  wait_until cmp -s "$cleanfile" "$system/services.exe"
  check "after the reboot the installed services.exe is the clean copy" cmp -s "$cleanfile" "$system/services.exe"
  check "the clean copy was moved, not copied" [ ! -e "$sxs/${cleanfile#$store/}" ]
  check "the other version stays in the store" [ -f "$sxs/amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7600.16385_none_2b0d6b2f5a56b6bd/services.exe" ]
  check "no rename left pending" fails "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations
  end_case
  return 0
}

# ---- a refused edition
case_refused() {  # case_refused VERSION
  local version=$1 before after
  new_case "refused-$version" "$version"
  before=$("$wine" reg query 'HKLM\Software\Classes\CLSID\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\InprocServer32' /ve 2>/dev/null)
  start_pty normal || { end_case; return 2; }
  press y
  press k
  finish_pty
  check "normal: exit code 1 (got $rc)" [ "$rc" = 1 ]
  check "normal: refusal" flat_has normal "$unsupported"
  check "normal: no question" flat_lacks normal "$question"
  check "normal: no reboot request" no_reboot_request normal
  run_plain restore -r
  check "-r: exit code 1 (got $rc)" [ "$rc" = 1 ]
  check "-r: banner and hint" banner_ok restore
  check "-r: refusal" line_is restore 4 "$unsupported"
  check "-r: nothing more" line_count restore 4
  check "-r: no reboot request" no_reboot_request restore
  check "no log" no_log_anywhere
  check "no log folder" [ ! -e "$WINEPREFIX/drive_c/ProgramData/Desktop/DU Vizodav" ] \
    && [ ! -e "$WINEPREFIX/drive_c/users/Public/Desktop/DU Vizodav" ]
  after=$("$wine" reg query 'HKLM\Software\Classes\CLSID\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\InprocServer32' /ve 2>/dev/null)
  check "COM hijack untouched" [ "$before" = "$after" ]
  check "no run-once value" fails "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v TarvoskEVCleaner >/dev/null 2>&1
  end_case
  return 0
}

# ---------------------------------------------------------------- editions

start=$SECONDS
# What Wine really presents for each setting (Wine 8.0 swaps the product
# types of win7 and win2008r2), and so what the cleaner must do there.
declare -A reported
new_case probe "${versions[0]}"
for version in "${versions[@]}"; do
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
  reported[$version]=$("$wine" "$probe" 2>/dev/null | tr -d '\r')
done
end_case

again() {  # a case that could not start its terminal is run once more
  "$@"
  [ $? = 2 ] || return 0
  "$@"
  [ $? = 2 ] || return 0
  check "a console on the terminal" false
}

run_edition() {  # run_edition VERSION: its cases, counts in $work/results/VERSION.count
  local version=$1 major minor product code set post_vista folder
  pass=0
  fail=0
  case_name=$version
  read -r major minor product <<<"${reported[$version]}"
  if [ -z "${product:-}" ]; then
    check "version probe" false
  else
    read -r code set post_vista folder <<<"$($model edition "$major" "$minor" "$product")"
    echo "e2e: $version presents $major.$minor product type $product: $code${set:+, set $set, log in $folder}"
    if [ "$code" = refused ]; then
      again case_refused "$version"
    else
      again case_normal "$version" "$code" "$folder"
      case_restore "$version" "$code" "$set" "$folder"
      again case_locked "$version" "$folder"
      case_file "$version" "$folder"
      [ "$code" != 0x00000061 ] || case_infected "$version" "$code" "$folder"
    fi
  fi
  echo "$pass $fail" >"$work/results/$version.count"
}

# E2E_JOBS editions at a time (default 2), each case in its own prefix and
# server.
rm -rf "$work/results"
mkdir -p "$work/results"
for version in "${versions[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "${E2E_JOBS:-2}" ]; do
    wait -n
  done
  run_edition "$version" >"$work/results/$version.out" 2>&1 &
done
wait
pass=0
fail=0
for version in "${versions[@]}"; do
  cat "$work/results/$version.out"
  read -r p f <"$work/results/$version.count" 2>/dev/null || { p=0; f=1; echo "FAIL: $version: no result"; }
  pass=$((pass + p))
  fail=$((fail + f))
done

case_name=all
echo "wine e2e: $pass passed, $fail failed ($((SECONDS - start)) s)"
[ "$fail" = 0 ]
