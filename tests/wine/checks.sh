# The check helpers of the Wine suites, sourced by each: counts of passed and
# failed checks, and the Windows name of a Unix path.

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
