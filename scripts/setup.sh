#!/usr/bin/env bash
# Installs what building, testing (the fuzz build with clang included) and the demo need on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libpcsclite-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  pcscd vsmartcard-vpcd pcsc-tools iproute2
  opensc gnutls-bin openssl libengine-pkcs11-openssl openssh-client openssh-server python3 python3-pykcs11 softhsm2
  p11-kit p11-kit-modules libnss3-tools file dpkg-dev
  clang libclang-rt-14-dev llvm
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Installing a server package must not start its daemon (sshd on every
# address): the tests start their own, on loopback only.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" > /dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
