#!/bin/bash
# pkcs11-tool against the card behind the real pcscd: a 2048-bit key pair
# generated on the card, a SHA-256 DigestInfo signed and checked by OpenSSL
# with the public key read back, OpenSSL-encrypted data decrypted, random bytes.
. "$(dirname "$0")/common.sh"

id=c1a0
new_key "$id" e2e-tool-key 2048
expect_line "keygen-$id" '^Private Key Object; RSA'
expect_line "keygen-$id" 'label: +e2e-tool-key'
expect_line "keygen-$id" 'ID: +c1a0'

printf 'signed by the card\n' > "$work/message"
openssl dgst -sha256 -binary "$work/message" > "$work/digest"
# DigestInfo of SHA-256: the algorithm's DER prefix, then the hash.
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'
  cat "$work/digest"; } > "$work/digestinfo"
run sign p11 --login --pin "$PIN" --sign -m RSA-PKCS --id "$id" \
  -i "$work/digestinfo" -o "$work/signature"
expect_rc0 sign
[ "$(stat -c %s "$work/signature")" = 256 ] || fail "the signature is not 256 bytes"
verify() {
  openssl pkeyutl -verify -pubin -inkey "$work/$id.pub.pem" -pkeyopt digest:sha256 \
    -in "$1" -sigfile "$work/signature"
}
run verify verify "$work/digest"
expect_rc0 verify
expect_line verify '^Signature Verified Successfully'
# The same check must refuse another message.
printf 'something else\n' | openssl dgst -sha256 -binary > "$work/other-digest"
run verify-other verify "$work/other-digest"
expect_failure verify-other

printf 'a secret for the card only' > "$work/secret"
openssl pkeyutl -encrypt -pubin -inkey "$work/$id.pub.pem" -in "$work/secret" \
  -out "$work/secret.enc" || fail "OpenSSL could not encrypt"
run decrypt p11 --login --pin "$PIN" --decrypt -m RSA-PKCS --id "$id" \
  -i "$work/secret.enc" -o "$work/secret.out"
expect_rc0 decrypt
expect_same "$work/secret" "$work/secret.out"

echo "== pkcs11-tool --generate-random 32"
p11 --generate-random 32 -o "$work/random" > /dev/null || fail "no random bytes"
[ "$(stat -c %s "$work/random")" = 32 ] || fail "not 32 random bytes"

finish
