#!/bin/sh
# pkcs11-tool loads the module and prints its library information.
# The slot listing that follows is not judged here.
set -u
module=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: > "$work/brisane.txt"
BRISANE_CONF="$work/brisane.txt" pkcs11-tool --module "$module" --show-info > "$work/out" 2>&1
cat "$work/out"
status=0
for line in "Cryptoki version 2.20" \
            "Manufacturer     Marvolen s.r.o." \
            "Library          Brisane 3.0 PKCS#11 (ver 3.0)"; do
  if ! grep -qxF "$line" "$work/out"; then
    echo "missing line: $line" >&2
    status=1
  fi
done
exit $status
