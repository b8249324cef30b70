# Sourced by the crypto end-to-end scripts: `module` is the module under test
# ($1), `work` a temporary directory removed on exit, the module's settings
# keep its cache there, and the helpers judge each step.
set -u
module=$(realpath "$1")
work=$(mktemp -d)
cleanups=()
on_exit() {
  local c
  for c in "${cleanups[@]}"; do eval "$c" || true; done
  rm -rf "$work"
}
trap on_exit EXIT
printf 'cache = %s/cache/\n' "$work" > "$work/brisane.txt"
export BRISANE_CONF="$work/brisane.txt"
# The card of `kalvik-vcard init`.
PIN=123456
TOKEN_URI='pkcs11:token=Brisane%203.1%20Kalvik'
status=0

fail() {
  echo "FAIL: $*" >&2
  status=1
}
# step NAME COMMAND...: output in $work/NAME (shown), exit code in $rc
step() {
  local name=$1
  shift
  echo "== $*"
  "$@" > "$work/$name" 2>&1
  rc=$?
  cat "$work/$name"
}
expect_rc() {  # WANTED, or "fail" for any non-zero code
  if { [ "$1" = fail ] && [ "$rc" -eq 0 ]; } || { [ "$1" != fail ] && [ "$rc" -ne "$1" ]; }; then
    fail "exit code $rc, expected $1"
  fi
}
expect_line() {  # NAME EXTENDED-REGEX
  grep -Eq "$2" "$work/$1" || fail "$1: no line matching: $2"
}
expect_text() {  # NAME TEXT: a line that starts with TEXT
  cut -c1-${#2} "$work/$1" | grep -qxF -- "$2" || fail "$1: no line starting with: $2"
}
expect_same() {  # FILE FILE
  cmp -s "$1" "$2" || fail "$(basename "$1") and $(basename "$2") differ"
}
p11() { pkcs11-tool --module "$module" "$@"; }

# new_key ID LABEL BITS: an RSA key pair generated on the card, removed again
# on exit; its public key as DER (SubjectPublicKeyInfo) in $work/ID.pub.der
# and PEM in $work/ID.pub.pem.
new_key() {
  local id=$1 label=$2 bits=$3
  step "keygen-$id" p11 --login --pin "$PIN" --keypairgen --key-type "rsa:$bits" \
    --id "$id" --label "$label"
  expect_rc 0
  cleanups+=("remove_key $id")
  step "readpub-$id" p11 --read-object --type pubkey --id "$id" -o "$work/$id.pub.der"
  expect_rc 0
  openssl pkey -pubin -inform DER -in "$work/$id.pub.der" -out "$work/$id.pub.pem" \
    || fail "the public key of $id is no DER public key"
  local size
  size=$(openssl pkey -pubin -in "$work/$id.pub.pem" -noout -text | sed -n 's/.*Public-Key: (\([0-9]*\) bit).*/\1/p')
  [ "$size" = "$bits" ] || fail "key $id has $size bits, not $bits"
}
remove_key() {
  local id=$1 type
  for type in cert pubkey privkey; do
    p11 --login --pin "$PIN" --delete-object --type "$type" --id "$id" > /dev/null 2>&1 || true
  done
}
finish() {
  [ "$status" -eq 0 ] && echo "$(basename "$0") checks passed"
  exit "$status"
}
