#!/bin/bash
# OpenSSL with the PKCS#11 engine: a self-signed certificate made with the
# card's key, checked by OpenSSL, then written to the card next to its key.
. "$(dirname "$0")/common.sh"

id=c2a0
label=e2e-engine-key
new_key "$id" "$label" 2048

# The engine, told to load this module instead of p11-kit's proxy.
bash "$(dirname "$0")/../../../scripts/engine-conf.sh" "$module" > "$work/openssl.cnf"

key_uri="$TOKEN_URI;object=$label;type=private;pin-value=$PIN"
run req env OPENSSL_CONF="$work/openssl.cnf" openssl req -new -x509 -days 2 -sha256 \
  -subj /CN=brisane-e2e -engine pkcs11 -keyform engine -key "$key_uri" -out "$work/cert.pem"
expect_rc0 req
run verify openssl verify -CAfile "$work/cert.pem" "$work/cert.pem"
expect_rc0 verify
expect_line verify ': OK$'
# The certificate carries the card's public key.
openssl x509 -in "$work/cert.pem" -pubkey -noout > "$work/cert-pub.pem"
expect_same "$work/$id.pub.pem" "$work/cert-pub.pem"

openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
run write p11 --login --pin "$PIN" --write-object "$work/cert.der" --type cert \
  --id "$id" --label "$label"
expect_rc0 write
run list p11 --list-objects --type cert
expect_line list "label: +$label"
run read p11 --read-object --type cert --id "$id" -o "$work/cert-back.der"
expect_rc0 read
expect_same "$work/cert.der" "$work/cert-back.der"

finish
