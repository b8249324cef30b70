#!/usr/bin/env bash
# Objects on the card of the real pcscd stack (fixture pcsc_stack) through
# real clients loading the built module: pkcs11-tool writes a certificate, an
# RSA key pair made by OpenSSL and two data objects, lists, reads and deletes
# them; p11tool lists and exports the certificate (it prints no subjects: the
# subject is checked in pkcs11-tool's listing, which reads CKA_SUBJECT, and in
# the exported DER); ssh-keygen -D prints the key. Everything written is deleted again at the end.
#
# usage: objects_test.sh MODULE TEST_DATA_DIR
set -uo pipefail
module=$1
data=$2
pin=123456
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'cache = %s/cache/\n' "$work" > "$work/brisane.txt"
export BRISANE_CONF=$work/brisane.txt
status=0

# fail, run, expect_rc0, expect_line, expect_no_line, block
# shellcheck source=../checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
p11() { pkcs11-tool --module "$module" "$@"; }

# The material: a key pair and a self-signed certificate made by OpenSSL,
# data bytes with zeros and a line break in them.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -subj /CN=brisane-objects \
  -days 2 -outform DER -out "$work/cert.der" 2> /dev/null || fail "openssl req"
openssl pkey -in "$work/key.pem" -outform DER -out "$work/key.der" || fail "openssl pkey"
openssl pkey -in "$work/key.pem" -pubout -outform DER -out "$work/pub.der" || fail "openssl pkey -pubout"
printf 'open\000data\nbytes' > "$work/open.bin"
printf 'private\000data' > "$work/private.bin"

write_objects() {
  run write-cert p11 --login --pin "$pin" --write-object "$work/cert.der" --type cert \
    --id e2 --label e2e-cert
  expect_rc0 write-cert
  run write-privkey p11 --login --pin "$pin" --write-object "$work/key.der" --type privkey \
    --id e2 --label e2e-key --usage-sign --usage-decrypt
  expect_rc0 write-privkey
  run write-pubkey p11 --login --pin "$pin" --write-object "$work/pub.der" --type pubkey \
    --id e2 --label e2e-key --usage-sign --usage-decrypt
  expect_rc0 write-pubkey
  run write-open p11 --login --pin "$pin" --write-object "$work/open.bin" --type data \
    --label e2e-open
  expect_rc0 write-open
  run write-private p11 --login --pin "$pin" --write-object "$work/private.bin" --type data \
    --label e2e-private --private
  expect_rc0 write-private
}

list_objects() {
  run list-public p11 -O
  expect_rc0 list-public
  expect_line list-public '^ +label: +e2e-cert$'
  expect_line list-public '^ +label: +e2e-key$'
  expect_line list-public "^ +label: +'e2e-open'$"
  # Without a login: no private key, no private data object.
  expect_no_line list-public '^Private Key Object'
  expect_no_line list-public 'e2e-private'
  run list-all p11 --login --pin "$pin" -O
  expect_rc0 list-all
  expect_line list-all '^Private Key Object; RSA'
  expect_line list-all "^ +label: +'e2e-private'$"
  expect_line list-all "^ +label: +'e2e-open'$"

  # Each object with its label, identifier and usage.
  run list-cert p11 -O --type cert --id e2
  block list-cert '^Certificate Object; type = X\.509 cert$'
  expect_line list-cert.block '^ +label: +e2e-cert$'
  expect_line list-cert.block '^ +subject: +DN: CN=brisane-objects$'
  expect_line list-cert.block '^ +ID: +e2$'
  run list-pubkey p11 -O --type pubkey --id e2
  block list-pubkey '^Public Key Object; RSA 2048 bits$'
  expect_line list-pubkey.block '^ +label: +e2e-key$'
  expect_line list-pubkey.block '^ +ID: +e2$'
  expect_line list-pubkey.block '^ +Usage: +encrypt, verify$'
  run list-privkey p11 --login --pin "$pin" -O --type privkey --id e2
  block list-privkey '^Private Key Object; RSA'
  expect_line list-privkey.block '^ +label: +e2e-key$'
  expect_line list-privkey.block '^ +ID: +e2$'
  expect_line list-privkey.block '^ +Usage: +decrypt, sign$'
}

read_objects() {
  run read-cert p11 --read-object --type cert --id e2 -o "$work/read-cert.der"
  expect_rc0 read-cert
  cmp "$work/cert.der" "$work/read-cert.der" || fail "the certificate read back differs"
  run read-open p11 --read-object --type data --label e2e-open -o "$work/read-open.bin"
  expect_rc0 read-open
  cmp "$work/open.bin" "$work/read-open.bin" || fail "the data read back differ"
  run read-private p11 --login --pin "$pin" --read-object --type data --label e2e-private \
    -o "$work/read-private.bin"
  expect_rc0 read-private
  cmp "$work/private.bin" "$work/read-private.bin" || fail "the private data read back differ"
}

p11tool_listing() {
  run p11tool-all p11tool --provider "$module" --list-all
  expect_rc0 p11tool-all
  expect_line p11tool-all '^[[:space:]]+Type: X\.509 Certificate \(RSA-2048\)$'
  expect_line p11tool-all '^[[:space:]]+Label: e2e-cert$'
  expect_line p11tool-all '^[[:space:]]+Type: Public key \(RSA-2048\)$'
  run p11tool-certs p11tool --provider "$module" --list-all-certs
  expect_rc0 p11tool-certs
  expect_line p11tool-certs '^[[:space:]]+URL: pkcs11:.*;id=%E2;object=e2e-cert;type=cert$'
  # Its expiry comes from the DER: the value came through whole.
  expect_line p11tool-certs "^[[:space:]]+Expires: $(LC_ALL=C date -d "$(openssl x509 -inform DER \
    -in "$work/cert.der" -noout -enddate | cut -d= -f2)" '+%a %b %e %H:%M:%S %Y')\$"
  # With the PIN, the certificates that have a private key: matched by CKA_ID.
  run p11tool-paired env GNUTLS_PIN="$pin" p11tool --provider "$module" --login --list-certs
  expect_rc0 p11tool-paired
  expect_line p11tool-paired '^[[:space:]]+Label: e2e-cert$'
  run p11tool-export p11tool --provider "$module" --export 'pkcs11:object=e2e-cert;type=cert'
  expect_rc0 p11tool-export
  openssl x509 -in "$work/p11tool-export" -outform DER -out "$work/exported.der" ||
    fail "p11tool --export gave no certificate"
  cmp "$work/cert.der" "$work/exported.der" || fail "the exported certificate differs"
  [ "$(openssl x509 -inform DER -in "$work/exported.der" -noout -subject)" = \
    "subject=CN = brisane-objects" ] || fail "the exported certificate has another subject"
}

ssh_public_key() {
  run ssh-d ssh-keygen -D "$module"
  expect_rc0 ssh-d
  # Every slot listed has a card: no complaint about empty slots.
  expect_no_line ssh-d 'C_GetTokenInfo'
  local wanted
  wanted=$(ssh-keygen -y -f "$work/key.pem" | cut -d' ' -f1,2)
  grep -qxF "$wanted e2e-key" "$work/ssh-d" || fail "ssh-keygen -D: not the key of key.pem"
}

# The public half first, then a private key whose first CRT exponent is a
# byte short of half the modulus: pkcs11-tool sends it without a leading zero.
pair_from_public_half() {
  local key=$data/rsa1024-short-exponent1.pem
  openssl pkey -in "$key" -pubout -outform DER -out "$work/short-pub.der" || fail "openssl pkey"
  openssl pkey -in "$key" -outform DER -out "$work/short-key.der" || fail "openssl pkey"
  run write-short-pubkey p11 --login --pin "$pin" --write-object "$work/short-pub.der" \
    --type pubkey --id e3 --label e2e-short
  expect_rc0 write-short-pubkey
  run write-short-privkey p11 --login --pin "$pin" --write-object "$work/short-key.der" \
    --type privkey --id e3 --label e2e-short
  expect_rc0 write-short-privkey
  run list-short p11 --login --pin "$pin" -O --type privkey --id e3
  expect_rc0 list-short
  expect_line list-short '^ +label: +e2e-short$'
  for type in privkey pubkey; do
    run delete-short p11 --login --pin "$pin" --delete-object --type $type --id e3
    expect_rc0 delete-short
  done
}

delete_objects() {
  local selector
  for selector in "cert --id e2" "privkey --id e2" "pubkey --id e2" "data --label e2e-open" \
    "data --label e2e-private"; do
    # shellcheck disable=SC2086  # type and selector as separate words
    run delete p11 --login --pin "$pin" --delete-object --type $selector
    expect_rc0 delete
  done
  run list-after p11 --login --pin "$pin" -O
  expect_rc0 list-after
  expect_no_line list-after 'e2e-'
}

steps=(
  write_objects
  list_objects
  read_objects
  p11tool_listing
  ssh_public_key
  delete_objects
  pair_from_public_half
)
for s in "${steps[@]}"; do
  "$s"
done
[ $status -eq 0 ] && echo "object checks passed"
exit $status
