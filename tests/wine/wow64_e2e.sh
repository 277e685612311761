#!/usr/bin/env bash
# End to end under WOW64: the shipped i686 program in a 64-bit wine64 prefix,
# where it runs as Windows runs it on 64-bit machines, a 32-bit process
# under WOW64 (Debian's wine32). For the editions Wine presents as XP x64,
# Windows 7 and Server 2008 R2 (winxp64, win7, win2008r2; the cases and the
# helpers are those of e2e.sh, tests/wine/e2e_lib.sh).
#
# The prefix template holds the infection's COM hijack in the 64-bit view
# and registrations of its own for two of the classes in the 32-bit view
# (Wow6432Node), planted by the 32-bit registry editor.
#
# Per edition:
#   normal   a run through a pseudo-terminal answering 'y': the detection
#            line "64 bit", the log line by line (the values read are the
#            64-bit view's), the 64-bit view repaired, the 32-bit view as
#            planted, the run-once value naming the program, the reboot
#            request; after Vista also the native services.exe clean and
#            the 32-bit one patched: the verdict is clean;
#   restore  a -r run on a prefix with the edition's services removed and a
#            few of their keys planted: the log against the model, the
#            64-bit registry's Services tree against the dataset, no copy
#            under Wow6432Node;
#   infected (after Vista) the native services.exe patched, the 32-bit one
#            clean and of another version, the component store holding a
#            clean copy of each: the native file found, backed up and, after
#            Wine's reboot, replaced; the 32-bit file untouched.
#
# usage: wow64_e2e.sh EXE VERSION_PROBE RESTORE_DUMP PE_FIXTURE WORK_DIR [VERSION...]
#   EXE and VERSION_PROBE are the i686 builds. KEEP_CASES=1 keeps each
#   case's prefix under WORK_DIR/cases.
set -u
exe=$(realpath -m "$1")
probe=$(realpath -m "$2")
dump=$(realpath -m "$3")
pe_fixture=$(realpath -m "$4")
work=$(realpath -m "$5")
shift 5
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(winxp64 win7 win2008r2)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"

# wine32's loader runs the 32-bit processes of a 64-bit prefix.
wine32=/usr/lib/wine/wine
for need in "$wine" "$wineserver" "$wine32" "$exe" "$probe" "$dump" "$pe_fixture"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "wow64 e2e: ${need:-wine64} missing: skipped"
    exit 77
  fi
done
command -v script >/dev/null || { echo "wow64 e2e: script (util-linux) missing: skipped"; exit 77; }
# A kernel built or booted without 32-bit support refuses the i386 loader
# ("Exec format error"): no 32-bit process can run, so nothing here can.
"$wine32" --version >/dev/null 2>&1 ||
  { echo "wow64 e2e: this machine cannot start the 32-bit loader $wine32 (no 32-bit support in its kernel): skipped"; exit 77; }

mkdir -p "$work"
$dump >"$work/dataset.json" || { echo "wow64 e2e: restore_dump failed"; exit 1; }
$pe_fixture "$work/fixtures" >/dev/null || { echo "wow64 e2e: pe_fixture failed"; exit 1; }
images=$work/fixtures/images
store=$work/fixtures/windows/winsxs

# ---------------------------------------------------------------- template
template=$work/template
$model hijack-reg "$work/hijack.reg"
$model wow64-decoy-reg "$work/decoy.reg"
fill_template() {
  "$wine" regedit /S "$(winpath "$work/hijack.reg")" >/dev/null 2>&1
  "$wine" 'C:\windows\syswow64\regedit.exe' /S "$(winpath "$work/decoy.reg")" >/dev/null 2>&1
}
make_template "$template" "$("$wine" --version) $(cat "$work/hijack.reg" "$work/decoy.reg" | sha1sum)" fill_template

# ---------------------------------------------------------------- cases

# `reg query KEY /ve` of each KEY by the 64-bit reg, blocks headed "==== KEY".
query_keys() {  # query_keys OUT KEY...
  local out=$1 commands="" k
  shift
  for k in "$@"; do
    commands+="echo ==== $k & reg query $k /ve & "
  done
  "$wine" cmd /c "${commands% & }" 2>/dev/null | tr -d '\r' >"$out"
}
mapfile -t wow64_keys < <($model wow64-class-keys)

# A file of the system folders replaced by a fixture (they are links to the
# template's).
put_file() {  # put_file FIXTURE TARGET
  rm -f "$2"
  cp "$1" "$2"
}

# ---- normal run, answered 'y'
case_normal() {  # case_normal VERSION CODE FOLDER
  local version=$1 code=$2 folder=$3 log runonce system syswow64 era=pre
  new_case "normal-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  system=$WINEPREFIX/drive_c/windows/system32
  syswow64=$WINEPREFIX/drive_c/windows/syswow64
  [ $((code & 0xFF)) -lt $((0x60)) ] || era=post
  if [ $era = post ]; then
    put_file "$images/x64-dynamic-base.exe" "$system/services.exe"
    put_file "$images/x86-fixed-base.exe" "$syswow64/services.exe"
  fi
  start_pty normal || { end_case; return 2; }
  wait_console normal "$question"
  press y
  wait_console normal "$continue_reboot"
  press k
  finish_pty
  check "exit code 0 (got $rc)" [ "$rc" = 0 ]
  check "detection line" grep -qx "Detected $era-Vista 64 bit windows system" <(tr -d '\r' <"$log")
  check_quiet "log" $model check-normal-log "$log" "$code" --wow64
  if [ $era = post ]; then
    check "the native services.exe tested, not the 32-bit one" grep -qx "services.exe appears to be clean" <(tr -d '\r' <"$log")
    check "no backup" [ ! -e "$WINEPREFIX/drive_c/$folder/DU Vizodav/services.exe.infected" ]
  fi
  check "closing message names the log folder" flat_has normal "Cleaner finished, check C:\\${folder//\//\\}\\DU Vizodav directory for logs"
  check "no reboot failure" flat_lacks normal "$no_reboot"
  check "reboot requested" reboot_requested normal

  query_keys "$dir/registry.txt" \
    'HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\InprocServer32' \
    'HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{fbeb8a05-beee-4442-804e-409d6c4515e9}\InprocServer32' \
    'HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}\InprocServer32' \
    'HKEY_CURRENT_USER\Software\Classes\CLSID\{42aedc87-2188-41fd-b9a3-0c966feabec1}\InprocServer32'
  check_quiet "the 64-bit view's COM keys repaired" $model check-com-registry "$dir/registry.txt" "$code"
  query_keys "$dir/wow64.txt" "${wow64_keys[@]}"
  check_quiet "the 32-bit view's COM keys as planted" $model check-wow64-classes "$dir/wow64.txt"
  runonce=$("$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v TarvoskEVCleaner 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *TarvoskEVCleaner *REG_SZ *//p')
  check "run-once value names the program (got: $runonce)" [ "$runonce" = "\"$(winpath "$exe")\" -r" ]
  # Wine's wineboot runs the entries of RunOnce: take it away again.
  "$wine" reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v TarvoskEVCleaner /f >/dev/null 2>&1
  check "one log section" section_count "$log" 1
  end_case
  return 0
}

# ---- a restore run
case_restore() {  # case_restore VERSION CODE SET FOLDER
  local version=$1 code=$2 set=$3 folder=$4 log
  new_case "restore-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  $model prepare "$work/dataset.json" "$set" "$dir/prepare.reg" "$dir/state0.json"
  "$wine" regedit /S "$(winpath "$dir/prepare.reg")" >/dev/null 2>&1

  run_plain restore -r
  check "exit code 0 (got $rc)" [ "$rc" = 0 ]
  check "banner and hint" banner_ok restore
  check "closing message" line_is restore 4 "Cleaner finished, check C:\\${folder//\//\\}\\DU Vizodav directory for logs"
  check "reboot message" line_is restore 5 "$restore_reboot"
  check "reboot requested" reboot_requested restore
  check_quiet "log" $model check-restore-log "$work/dataset.json" "$set" "$code" "$dir/state0.json" "$log" \
    "$dir/state1.json" --wow64
  # The 64-bit reg reads what a 64-bit Windows reads.
  "$wine" reg export 'HKLM\System\CurrentControlSet\Services' "$(winpath "$dir/services.reg")" /y >/dev/null 2>&1
  check_quiet "the 64-bit registry's Services tree" $model check-registry "$work/dataset.json" "$set" \
    "$dir/state1.json" "$dir/services.reg"
  check "no copy under Wow6432Node" fails "$wine" reg query 'HKLM\Software\Wow6432Node\System'
  end_case
  return 0
}

# ---- the native services.exe patched, the 32-bit one clean
case_infected() {  # case_infected VERSION CODE FOLDER
  local version=$1 code=$2 folder=$3 log system syswow64 sxs clean cleanfile other
  new_case "infected-$version" "$version"
  log="$WINEPREFIX/drive_c/$folder/DU Vizodav/TarvoskFix.log"
  system=$WINEPREFIX/drive_c/windows/system32
  syswow64=$WINEPREFIX/drive_c/windows/syswow64
  sxs=$WINEPREFIX/drive_c/windows/winsxs
  put_file "$images/x64-fixed-base.exe" "$system/services.exe"
  # A redirected run would find this one, clean and of the version of the
  # x86 copy in the store.
  put_file "$images/x86-dynamic-base.exe" "$syswow64/services.exe"
  clean=amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_2b2e3bff5a3d7d5f
  other=x86_microsoft-windows-services_31bf3856ad364e35_6.0.6002.18005_none_clean
  cp -r "$store/$clean" "$store/$other" \
        "$store/amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7600.16385_none_2b0d6b2f5a56b6bd" "$sxs/"
  # Wine hands out its builtin for any module named services.exe, also to
  # the version reader; "native" makes it read the files themselves.
  WINEDLLOVERRIDES="services.exe=n" run_plain infected
  check "exit code 0 (got $rc)" [ "$rc" = 0 ]
  check_quiet "log" $model check-infected-log "$log" "$code" "$system/services.exe" \
    "C:\\windows\\winsxs\\$clean\\services.exe" --wow64
  check "backup of the native file beside the log" cmp -s "$images/x64-fixed-base.exe" \
    "$WINEPREFIX/drive_c/$folder/DU Vizodav/services.exe.infected"
  check "reboot requested" reboot_requested infected
  # Wine's reboot, "wineboot --end-session", carries out the pending renames.
  cleanfile=$store/$clean/services.exe
  wait_until cmp -s "$cleanfile" "$system/services.exe"
  check "after the reboot the native services.exe is the clean copy" cmp -s "$cleanfile" "$system/services.exe"
  check "the clean copy was moved" [ ! -e "$sxs/$clean/services.exe" ]
  check "the 32-bit services.exe untouched" cmp -s "$images/x86-dynamic-base.exe" "$syswow64/services.exe"
  check "the x86 copy stays in the store" cmp -s "$store/$other/services.exe" "$sxs/$other/services.exe"
  check "no rename left pending" fails "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations
  end_case
  return 0
}

# ---------------------------------------------------------------- editions

start=$SECONDS
probe_editions "$probe" "${versions[@]}"

# The template's 32-bit view as planted, or no case can tell the views apart.
new_case template-views "${versions[0]}"
query_keys "$dir/wow64.txt" "${wow64_keys[@]}"
check_quiet "the 32-bit registry editor planted the 32-bit view" $model check-wow64-classes "$dir/wow64.txt"
end_case
[ "$fail" = 0 ] || { echo "wow64 e2e: no template to run the cases on"; exit 1; }

run_edition() {  # run_edition VERSION: its cases
  local version=$1 major minor product code set post_vista folder
  read -r major minor product <<<"${reported[$version]}"
  if [ -z "${product:-}" ]; then
    check "version probe" false
    return
  fi
  read -r code set post_vista folder <<<"$($model edition "$major" "$minor" "$product")"
  echo "wow64 e2e: $version presents $major.$minor product type $product: $code${set:+, set $set, log in $folder}"
  if [ "$code" = refused ]; then
    check "an edition the cleaner supports" false
    return
  fi
  again case_normal "$version" "$code" "$folder"
  case_restore "$version" "$code" "$set" "$folder"
  [ "$post_vista" != 1 ] || case_infected "$version" "$code" "$folder"
}

run_editions "wow64 e2e" run_edition "${versions[@]}"
