#!/usr/bin/env bash
# Writes the seed inputs of tests/fuzz/corpus once (they are committed; rerun
# only to change them). Needs a release build for the card images and the
# fuzz build (scripts/build.sh fuzz, then its target record_seeds) for the
# recorded sessions.
set -euo pipefail
cd "$(dirname "$0")"
tool=${1:-../../build/vcard/kalvik-vcard}
recorder=${2:-../../build-fuzz/tests/fuzz/record_seeds}
seed() {  # seed TARGET NAME HEX...
  local dir=corpus/$1 name=$2; shift 2
  mkdir -p "$dir"
  echo "$*" | xxd -r -p > "$dir/$name"
}
SELECT="00A4040009F051564B4101000041"
# DER: a sequence holding an integer, an OID, a string and a long-form length.
seed tlv sequence   3011 020101 0603550403 0c03616263 8100
seed tlv long-form  3081 05 0403010203 a000
# Kind byte, 40-byte header, then card answers (length, data, status word).
seed lv_header keypair  00 $(printf '00%.0s' {1..40}) 0004 0301020f 9000 0000 9000
seed lv_header data     02 0010$(printf '01%.0s' {1..38}) 0008 03616263ff020102 9000
seed lv_header file     03 $(printf '08%.0s' {1..40}) 0006 0478797a7aff 9000 0000 9000
# Answers to the driver: empty lists; a private key's head, metadata and empty other chains.
seed driver empty       0000 9000 0000 9000 0000 9000 0000 9000 0000 9000 0000 9000
NONE=000a80008000800080008000
seed driver one-head    000a80000001800080008000 9000  0008010002000100 9000 \
  001b 00800000060000000000000000000000000000000001040000 0400 9000  0006 0151036b6579 9000 \
  $NONE 9000 $NONE 9000 $NONE 9000 $NONE 9000
seed driver errors      0000 6a82 0000 6982 0002 6100 6100 0000 9000
# Cache files: a kind byte (entity id - 1), then version, freshness, count, records.
seed cache empty        00 00000000 01000000 00000000
seed cache one-record   03 00000000 01000000 01000000 0400000061626364 02000000 0180
# Settings files.
mkdir -p corpus/configuration
printf 'cache = /tmp/x/\nloglevel = 1\npkcs11.slots = 4\nlocale = cs\n' > corpus/configuration/basic
printf '# note\n  pkcs11.slots=-99999999999999999999\ndisablepinpad = 1\nlogpath=\n\n=\n' > corpus/configuration/odd
# Commands to the card, each as a length byte and the command.
seed vcard_apdu select-version 0e $SELECT 05 8002000002 05 800C00002F
seed vcard_apdu login-heads    0e $SELECT 0b 80200100063132333435 36 05 800A000000 05 8008000010
# Frames from vpcd: ATR request, power on, select, a command, power off.
seed vpcd session  0001 04 0001 01 000e $SELECT 0005 8002000002 0001 00
seed vpcd partial  0001 02 0010 00a4
# Card images: a small fresh one and one cut short.
mkdir -p corpus/vcard_image
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
"$tool" init "$tmp/card.img" --blocks 16 --block-size 32 --key-slots 1 \
  --card-id 00112233445566778899aabbccddeeff --serial 0001020304050607 >/dev/null
cp "$tmp/card.img" corpus/vcard_image/small
head -c 40 "$tmp/card.img" > corpus/vcard_image/truncated
# A session with the virtual card: the card's answers to the driver's walk of
# a card holding every object kind, the commands of the whole session, and
# the cache files of its lists.
"$recorder" corpus
