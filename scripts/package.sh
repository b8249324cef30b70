#!/usr/bin/env bash
# scripts/package.sh: builds the Debian packages into build/packages/:
#   brisane-pkcs11_VERSION_ARCH.deb  the module, registered with p11-kit
#   kalvik-vcard_VERSION_ARCH.deb    the virtual card tool
# BRISANE_BUILD_DIR=DIR packages an existing release build there instead of
# building build/. Install with: apt-get install ./build/packages/brisane-pkcs11_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ -z "${BRISANE_BUILD_DIR:-}" ]; then
  bash scripts/build.sh release
  BRISANE_BUILD_DIR=build
fi
out=$BRISANE_BUILD_DIR/packages
rm -f "$out"/*.deb
cpack --config "$BRISANE_BUILD_DIR/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
for deb in "$out"/*.deb; do
  echo "$deb"
  dpkg-deb --field "$deb" Package Version Depends | sed 's/^/  /'
done
