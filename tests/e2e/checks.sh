# Checks shared by the end-to-end shell tests; they keep outputs in $work
# and set status=1 on a failure.

fail() {
  echo "FAIL: $*" >&2
  status=1
}

# run NAME CMD...: output in $work/NAME (shown), exit code in $rc
run() {
  local name=$1
  shift
  echo "== $*"
  "$@" > "$work/$name" 2>&1
  rc=$?
  cat "$work/$name"
}
expect_rc0() { [ "$rc" -eq 0 ] || fail "$1: exit code $rc"; }
expect_line() { # NAME EXTENDED-REGEX
  grep -Eq -- "$2" "$work/$1" || fail "$1: no line matching: $2"
}
expect_no_line() {
  ! grep -Eq -- "$2" "$work/$1" || fail "$1: unexpected line matching: $2"
}
# block NAME START-REGEX: the lines from START up to the next line at the same
# or a lower indentation (tabs expanded), into $work/NAME.block (one module or
# token of a listing)
block() {
  expand "$work/$1" | awk -v start="$2" '
    !inside && $0 ~ start { inside = 1; match($0, /^[ \t]*/); indent = RLENGTH; print; next }
    inside { match($0, /^[ \t]*/); if ($0 != "" && RLENGTH <= indent) exit; print }
  ' > "$work/$1.block"
  [ -s "$work/$1.block" ] || fail "$1: no block starting with: $2"
}
