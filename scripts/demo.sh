#!/usr/bin/env bash
# scripts/demo.sh: installs what is missing, builds, starts real pcscd with the
# virtual Kalvik card in the vpcd reader, shows clients talking to it, and
# stops the stack again on every way out.
#
# Each demonstration is a function named demo_*; `steps` lists them in order.
# BRISANE_BUILD_DIR=DIR uses an existing build there instead of building build/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/setup.sh
if [ -z "${BRISANE_BUILD_DIR:-}" ]; then
  bash scripts/build.sh release
  BRISANE_BUILD_DIR=$repo/build
fi
BRISANE_BUILD_DIR=$(cd "$BRISANE_BUILD_DIR" && pwd)
export BRISANE_BUILD_DIR
vcard=$BRISANE_BUILD_DIR/vcard/kalvik-vcard
pcsc_cli=$BRISANE_BUILD_DIR/vcard/pcsc-cli
reader="Virtual PCD 00 00"
select_applet=00A4040009F051564B4101000041
get_version=8002000002
get_serial=8004000008

STACK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/brisane-demo.XXXXXX")
export STACK_DIR
image=$STACK_DIR/card.img

cleanup() {
  bash "$repo/scripts/stack.sh" stop || true
  rm -rf "$STACK_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step() { printf '\n== %s\n' "$*"; }

demo_readers() {
  step "Readers and cards as PC/SC reports them (pcscd + vpcd)"
  "$pcsc_cli" readers
}

demo_apdus() {
  step "SELECT the applet, getVersion and getCardSerialNumber through pcscd"
  "$pcsc_cli" send "$reader" "$select_applet" "$get_version" "$get_serial"
}

demo_image() {
  step "The card image behind the reader (kalvik-vcard show)"
  "$vcard" show "$image"
}

demo_pkcs11_tool() {
  local module=$BRISANE_BUILD_DIR/libpkcs11/brisane-pkcs11.so conf=$STACK_DIR/brisane.txt
  printf 'cache = %s/cache/\n' "$STACK_DIR" > "$conf"
  step "pkcs11-tool with brisane-pkcs11.so: slots and the token"
  BRISANE_CONF=$conf pkcs11-tool --module "$module" -L
  step "pkcs11-tool: library information"
  BRISANE_CONF=$conf pkcs11-tool --module "$module" -I
  step "pkcs11-tool: mechanisms"
  BRISANE_CONF=$conf pkcs11-tool --module "$module" -M
}

steps=(
  demo_readers
  demo_apdus
  demo_image
  demo_pkcs11_tool
)

step "Starting pcscd and the virtual card"
bash scripts/stack.sh start
for s in "${steps[@]}"; do
  "$s"
done
step "Stopping"
