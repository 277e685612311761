# Shared by the Wine end-to-end suites (e2e.sh: the win64 build;
# wow64_e2e.sh: the i686 product under WOW64), sourced after the suite has
# set exe, work and here. Each case runs in its own copy of a prefix
# template with its own server.

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
model="python3 $here/e2e_model.py"
export WINEDEBUG=-all
# A key written to a program that is gone must not end the script.
trap '' PIPE

. "$here/checks.sh"

wait_until() {  # wait_until COMMAND...: until it succeeds (at most 60 s)
  local i
  for ((i = 0; i < 600; i++)); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# ---------------------------------------------------------------- template

# A booted prefix with the XP-era all-users desktop that Wine lacks, then
# FILL (a function of the suite, run with WINEPREFIX set) for the registry.
# Made again only when STAMP changes.
make_template() {  # make_template DIR STAMP FILL
  local template=$1 stamp=$2 fill=$3
  [ "$(cat "$template/.e2e-stamp" 2>/dev/null)" != "$stamp" ] || return 0
  echo "e2e: making the prefix template"
  rm -rf "$template"
  (
    export WINEPREFIX=$template
    "$wine" wineboot -i >/dev/null 2>&1
    mkdir -p "$template/drive_c/ProgramData/Desktop" "$template/drive_c/users/Public/Desktop"
    "$fill"
    "$wineserver" -w
  )
  printf '%s' "$stamp" >"$template/.e2e-stamp"
}

# ---------------------------------------------------------------- cases

# A fresh copy of the template, its server kept running until the case ends
# (Wine keeps a key's descriptor only while its server runs), showing
# Windows VERSION. The system folders are hard links: a case that changes a
# file there replaces it, never writes it.
system_folders=(system32 syswow64 winsxs)
new_case() {  # new_case NAME VERSION
  case_name=$1
  case_failures=$fail
  dir=$work/cases/$1
  rm -rf "$dir"
  mkdir -p "$dir/prefix/drive_c/windows"
  local excludes=() links=() f
  for f in "${system_folders[@]}"; do
    [ -d "$template/drive_c/windows/$f" ] || continue
    excludes+=("--exclude=./drive_c/windows/$f")
    links+=("$template/drive_c/windows/$f")
  done
  (cd "$template" && tar "${excludes[@]}" -cf - .) | (cd "$dir/prefix" && tar -xpf -)
  cp -al "${links[@]}" "$dir/prefix/drive_c/windows/"
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

# ---------------------------------------------------------------- editions

# What Wine really presents for each setting (Wine 8.0 swaps the product
# types of win7 and win2008r2), as PROBE prints it: "major minor product"
# in reported[VERSION].
declare -A reported
probe_editions() {  # probe_editions PROBE VERSION...
  local probe=$1 version
  shift
  new_case probe "$1"
  for version in "$@"; do
    "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
    reported[$version]=$("$wine" "$probe" 2>/dev/null | tr -d '\r')
  done
  end_case
}

again() {  # a case that could not start its terminal is run once more
  "$@"
  [ $? = 2 ] || return 0
  "$@"
  [ $? = 2 ] || return 0
  check "a console on the terminal" false
}

# RUN VERSION for every version, E2E_JOBS at a time (default 2), each case
# in its own prefix and server; RUN leaves its counts in pass and fail.
# Prints every edition's output and the total; fails when a check failed.
run_editions() {  # run_editions TITLE RUN VERSION...
  local title=$1 run=$2 version p f
  shift 2
  rm -rf "$work/results"
  mkdir -p "$work/results"
  for version in "$@"; do
    while [ "$(jobs -rp | wc -l)" -ge "${E2E_JOBS:-2}" ]; do
      wait -n
    done
    (
      pass=0
      fail=0
      case_name=$version
      "$run" "$version"
      echo "$pass $fail" >"$work/results/$version.count"
    ) >"$work/results/$version.out" 2>&1 &
  done
  wait
  pass=0
  fail=0
  for version in "$@"; do
    cat "$work/results/$version.out"
    read -r p f <"$work/results/$version.count" 2>/dev/null || { p=0; f=1; echo "FAIL: $version: no result"; }
    pass=$((pass + p))
    fail=$((fail + f))
  done
  case_name=all
  echo "$title: $pass passed, $fail failed ($((SECONDS - start)) s)"
  [ "$fail" = 0 ]
}
