#!/usr/bin/env bash
# scripts/engine-conf.sh MODULE: prints an OpenSSL configuration that loads the
# PKCS#11 engine (Debian package libengine-pkcs11-openssl) with MODULE instead
# of p11-kit's proxy. Use it as OPENSSL_CONF for `openssl ... -engine pkcs11`.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 MODULE" >&2; exit 2; }
engines=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
cat <<CONF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $engines/pkcs11.so
MODULE_PATH = $1
init = 0
# openssl req reads its names from here; the subject comes from -subj.
[req]
distinguished_name = dn
[dn]
CONF
