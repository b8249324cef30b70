#!/bin/sh
# pkcs11-tool against the card behind the real pcscd: slots and token, the
# library information, the mechanisms, a PIN change and back, a wrong PIN.
# The card starts with the user PIN of `kalvik-vcard init` (123456).
set -u
module=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'cache = %s/cache/\n' "$work" > "$work/brisane.txt"
export BRISANE_CONF="$work/brisane.txt"
status=0

# run NAME ARGS...: output in $work/NAME, exit code in $rc
run() {
  name=$1
  shift
  echo "== pkcs11-tool $*"
  pkcs11-tool --module "$module" "$@" > "$work/$name" 2>&1
  rc=$?
  cat "$work/$name"
}
expect_line() {  # NAME EXTENDED-REGEX
  if ! grep -Eq "$2" "$work/$1"; then
    echo "FAIL: $1: no line matching: $2" >&2
    status=1
  fi
}
expect_rc() {  # WANTED, or "fail" for any non-zero code
  if { [ "$1" = fail ] && [ "$rc" -eq 0 ]; } || { [ "$1" != fail ] && [ "$rc" -ne "$1" ]; }; then
    echo "FAIL: exit code $rc, expected $1" >&2
    status=1
  fi
}

run slots -L
expect_rc 0
expect_line slots '^Slot 0 \(0x0\): Virtual PCD 00 00'
expect_line slots '^ +token label +: Brisane 3\.1 Kalvik$'
expect_line slots '^ +token manufacturer +: Marvolen s\.r\.o\.$'
expect_line slots '^ +token model +: Kalvik$'
expect_line slots '^ +serial num +: [0-9A-F]{16}$'
expect_line slots '^Slot 1 \(0x1\): Virtual PCD 00 01'
expect_line slots '^Slot 5 \(0x5\): empty'

run info -I
expect_rc 0
expect_line info '^Library +Brisane 3\.0 PKCS#11 \(ver 3\.0\)$'

run mechanisms -M
expect_rc 0
expect_line mechanisms '^ +RSA-PKCS-KEY-PAIR-GEN, keySize=\{1024,2048\}, hw, generate_key_pair$'
expect_line mechanisms '^ +RSA-PKCS, keySize=\{1024,2048\}, hw, decrypt, sign$'
if [ "$(grep -c '^  ' "$work/mechanisms")" -ne 2 ]; then
  echo "FAIL: more than the two mechanisms" >&2
  status=1
fi

run wrong --login --pin 000000 --change-pin --new-pin 2468
expect_rc fail
expect_line wrong 'CKR_PIN_INCORRECT'

run change --login --pin 123456 --change-pin --new-pin 2468
expect_rc 0
run old --login --pin 123456 --change-pin --new-pin 1357
expect_rc fail
expect_line old 'CKR_PIN_INCORRECT'
run back --login --pin 2468 --change-pin --new-pin 123456
expect_rc 0
run short --login --pin 123456 --change-pin --new-pin 12
expect_rc fail
expect_line short 'CKR_PIN_LEN_RANGE'

[ $status -eq 0 ] && echo "pkcs11-tool checks passed"
exit $status
