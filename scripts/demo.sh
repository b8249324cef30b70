#!/usr/bin/env bash
# scripts/demo.sh: installs what is missing, starts real pcscd with the virtual
# Kalvik card in the vpcd reader, shows clients talking to it, and stops the
# stack again on every way out.
#
# With the package brisane-pkcs11 installed (scripts/package.sh), the clients
# use the installed module and find it through p11-kit; otherwise the module
# of the build. With both packages brisane-pkcs11 and kalvik-vcard installed
# nothing is built: the card tools come from kalvik-vcard.
#
# Each demonstration is a function named demo_*; `steps` lists them in order.
# BRISANE_BUILD_DIR=DIR uses an existing build there instead of building build/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/setup.sh
installed_module=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkcs11/brisane-pkcs11.so
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

if installed brisane-pkcs11 && installed kalvik-vcard && [ -z "${BRISANE_BUILD_DIR:-}" ]; then
  vcard=/usr/bin/kalvik-vcard
  pcsc_cli=/usr/libexec/kalvik-vcard/pcsc-cli
else
  if [ -z "${BRISANE_BUILD_DIR:-}" ]; then
    bash scripts/build.sh release
    BRISANE_BUILD_DIR=$repo/build
  fi
  BRISANE_BUILD_DIR=$(cd "$BRISANE_BUILD_DIR" && pwd)
  vcard=$BRISANE_BUILD_DIR/vcard/kalvik-vcard
  pcsc_cli=$BRISANE_BUILD_DIR/vcard/pcsc-cli
fi
if installed brisane-pkcs11; then
  module=$installed_module
  module_from="the installed package"
else
  module=$BRISANE_BUILD_DIR/libpkcs11/brisane-pkcs11.so
  module_from="the build"
fi
export KALVIK_VCARD=$vcard PCSC_CLI=$pcsc_cli
reader="Virtual PCD 00 00"
select_applet=00A4040009F051564B4101000041
get_version=8002000002
get_serial=8004000008

STACK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/brisane-demo.XXXXXX")
export STACK_DIR
image=$STACK_DIR/card.img
# The clients' settings: the card's object cache stays in the demo's directory.
export BRISANE_CONF=$STACK_DIR/brisane.txt
printf 'cache = %s/cache/\n' "$STACK_DIR" > "$BRISANE_CONF"

agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; fi
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
  step "pkcs11-tool with $module ($module_from): slots and the token"
  pkcs11-tool --module "$module" -L
  step "pkcs11-tool: library information"
  pkcs11-tool --module "$module" -I
  step "pkcs11-tool: mechanisms"
  pkcs11-tool --module "$module" -M
}

demo_objects() {
  step "pkcs11-tool: a certificate and its RSA key, made by OpenSSL, written to the card"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$STACK_DIR/demo.key" -subj /CN=Brisane\ demo \
    -days 30 -outform DER -out "$STACK_DIR/demo.der" 2> /dev/null
  openssl pkey -in "$STACK_DIR/demo.key" -outform DER -out "$STACK_DIR/demo-key.der"
  openssl pkey -in "$STACK_DIR/demo.key" -pubout -outform DER -out "$STACK_DIR/demo-pub.der"
  local user_pin=123456 type
  for type in cert privkey pubkey; do
    local file=$STACK_DIR/demo.der
    [ "$type" = privkey ] && file=$STACK_DIR/demo-key.der
    [ "$type" = pubkey ] && file=$STACK_DIR/demo-pub.der
    pkcs11-tool --module "$module" --login --pin "$user_pin" --write-object "$file" \
      --type "$type" --id 01 --label demo --usage-sign > "$STACK_DIR/write.log" 2>&1 ||
      { cat "$STACK_DIR/write.log" >&2; exit 1; }
  done
  step "pkcs11-tool: the objects on the card (with the PIN, the private key too)"
  pkcs11-tool --module "$module" --login --pin "$user_pin" -O
}

# Only the installed module is registered with p11-kit.
demo_p11kit() {
  [ "$module" = "$installed_module" ] || return 0
  step "p11-kit finds the installed module without a path (/usr/share/p11-kit/modules/brisane.module)"
  p11-kit list-modules | awk '/^[^ \t]/ { show = /^brisane:/ } show'
  step "p11tool (GnuTLS) lists the token through p11-kit"
  p11tool --list-tokens | awk '
    /^Token [0-9]+:$/ { if (ours) printf "%s", block; block = ""; ours = 0 }
    { block = block $0 "\n" }
    /Module: .*brisane-pkcs11\.so$/ { ours = 1 }
    END { if (ours) printf "%s", block }'
}

# The card's user PIN as `kalvik-vcard init` sets it.
pin=123456
key_uri="pkcs11:token=Brisane%203.1%20Kalvik;object=demo-key;type=private;pin-value=$pin"

demo_keygen() {
  step "pkcs11-tool: a 2048-bit RSA key pair generated on the card"
  pkcs11-tool --module "$module" --login --pin "$pin" --keypairgen --key-type rsa:2048 \
    --id d0 --label demo-key
  pkcs11-tool --module "$module" --read-object --type pubkey --id d0 -o "$STACK_DIR/demo-key.der"
  openssl pkey -pubin -inform DER -in "$STACK_DIR/demo-key.der" -out "$STACK_DIR/demo-key.pem"
}

demo_openssl() {
  step "OpenSSL (PKCS#11 engine) signs with the card's key; OpenSSL checks it with the public key"
  bash "$repo/scripts/engine-conf.sh" "$module" > "$STACK_DIR/openssl.cnf"
  echo "signed on the card" > "$STACK_DIR/message.txt"
  OPENSSL_CONF=$STACK_DIR/openssl.cnf openssl dgst -sha256 -engine pkcs11 -keyform engine \
    -sign "$key_uri" -out "$STACK_DIR/message.sig" "$STACK_DIR/message.txt"
  openssl dgst -sha256 -verify "$STACK_DIR/demo-key.pem" -signature "$STACK_DIR/message.sig" \
    "$STACK_DIR/message.txt"
  step "OpenSSL: a self-signed certificate made with the card's key"
  OPENSSL_CONF=$STACK_DIR/openssl.cnf openssl req -new -x509 -days 30 -subj "/CN=Brisane demo" \
    -engine pkcs11 -keyform engine -key "$key_uri" -out "$STACK_DIR/demo-cert.pem"
  openssl x509 -in "$STACK_DIR/demo-cert.pem" -noout -subject -dates
  openssl verify -CAfile "$STACK_DIR/demo-cert.pem" "$STACK_DIR/demo-cert.pem"
}

demo_ssh() {
  step "OpenSSH: ssh-agent holds the card's key; ssh-keygen -Y signs a file through it"
  local real
  # The agent loads only the providers it is told to allow, by real path.
  real=$(realpath "$module")
  eval "$(ssh-agent -s -a "$STACK_DIR/agent.sock" -P "$real")" > /dev/null
  agent_pid=$SSH_AGENT_PID
  printf '#!/bin/sh\necho %s\n' "$pin" > "$STACK_DIR/askpass"
  chmod +x "$STACK_DIR/askpass"
  SSH_ASKPASS=$STACK_DIR/askpass SSH_ASKPASS_REQUIRE=force DISPLAY=:0 ssh-add -s "$real"
  ssh-add -L | tee "$STACK_DIR/ssh-keys.pub"
  # The key grown on the card above; the agent holds every key of the card.
  grep ' demo-key$' "$STACK_DIR/ssh-keys.pub" > "$STACK_DIR/ssh-key.pub"
  ssh-keygen -Y sign -f "$STACK_DIR/ssh-key.pub" -n file "$STACK_DIR/message.txt"
  echo "demo@brisane $(cut -d' ' -f1,2 "$STACK_DIR/ssh-key.pub")" > "$STACK_DIR/allowed_signers"
  ssh-keygen -Y verify -f "$STACK_DIR/allowed_signers" -I demo@brisane -n file \
    -s "$STACK_DIR/message.txt.sig" < "$STACK_DIR/message.txt"
  kill "$agent_pid"
  agent_pid=""
}

steps=(
  demo_readers
  demo_apdus
  demo_image
  demo_pkcs11_tool
  demo_objects
  demo_p11kit
  demo_keygen
  demo_openssl
  demo_ssh
)

step "Starting pcscd and the virtual card"
bash scripts/stack.sh start
for s in "${steps[@]}"; do
  "$s"
done
step "Stopping"
