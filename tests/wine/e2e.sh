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
. "$here/e2e_lib.sh"

for need in "$wine" "$wineserver" "$exe" "$probe" "$dump" "$pe_fixture"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "e2e: ${need:-wine64} missing: skipped"
    exit 77
  fi
done
command -v script >/dev/null || { echo "e2e: script (util-linux) missing: skipped"; exit 77; }

mkdir -p "$work"
$dump >"$work/dataset.json" || { echo "e2e: restore_dump failed"; exit 1; }
$pe_fixture "$work/fixtures" >/dev/null || { echo "e2e: pe_fixture failed"; exit 1; }

# ---------------------------------------------------------------- template
# Made once per Wine version and hijack: a booted prefix, the XP-era
# all-users desktop that Wine lacks, and the infected COM registrations
# (one of the four classes is not registered at all).
template=$work/template
$model hijack-reg "$work/hijack.reg"
fill_template() { "$wine" regedit /S "$(winpath "$work/hijack.reg")" >/dev/null 2>&1; }
make_template "$template" "$("$wine" --version) $(sha1sum <"$work/hijack.reg")" fill_template

# ---------------------------------------------------------------- cases

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
probe_editions "$probe" "${versions[@]}"

run_edition() {  # run_edition VERSION: its cases
  local version=$1 major minor product code set post_vista folder
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
}

run_editions "wine e2e" run_edition "${versions[@]}"
