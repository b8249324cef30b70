# Sourced by the crypto end-to-end scripts: `module` is the module under test
# ($1), `work` a temporary directory removed on exit, the module's settings
# keep its cache there, and the checks of ../checks.sh judge each step.
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

# fail, run, expect_rc0, expect_line, expect_no_line, block
# shellcheck source=../checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
expect_failure() {  # NAME: the command of run NAME failed
  [ "$rc" -ne 0 ] || fail "$1: succeeded, expected a failure"
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
  run "keygen-$id" p11 --login --pin "$PIN" --keypairgen --key-type "rsa:$bits" \
    --id "$id" --label "$label"
  expect_rc0 "keygen-$id"
  cleanups+=("remove_key $id")
  run "readpub-$id" p11 --read-object --type pubkey --id "$id" -o "$work/$id.pub.der"
  expect_rc0 "readpub-$id"
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
