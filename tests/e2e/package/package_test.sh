#!/usr/bin/env bash
# The Debian packages of this build, installed on this machine: p11-kit,
# p11tool, pkcs11-tool through the p11-kit proxy and NSS find the module
# without being given its path, and see the card of the running stack
# (fixture pcsc_stack). The packages are purged again at the end, also after
# a failure or an interrupted earlier run; packages someone else installed
# are left alone and the test is skipped.
#
# usage: package_test.sh CPACK_CONFIG CHECK_EXPORTS_SCRIPT
set -uo pipefail
cpack_config=$1
check_exports=$2
packages=(brisane-pkcs11 kalvik-vcard)
# Written before installing, so that a run killed half-way is cleaned up by the next one.
marker=/var/tmp/brisane-package-test.installed
token="Brisane 3.1 Kalvik"
reader="Virtual PCD 00 00"
user_pin=123456
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
module=/usr/lib/$multiarch/pkcs11/brisane-pkcs11.so
module_file=/usr/share/p11-kit/modules/brisane.module
example=/usr/share/doc/brisane-pkcs11/examples/brisane.txt
work=$(mktemp -d)
status=0
installed_here=0

# fail, run, expect_rc0, expect_line, expect_no_line, block
# shellcheck source=../checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

package_state() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null; }
present() {
  local s
  s=$(package_state "$1")
  [ -n "$s" ] && [ "$s" != not-installed ] && [ "$s" != config-files ]
}

purge() {
  dpkg --purge "${packages[@]}" > "$work/purge" 2>&1 || { cat "$work/purge"; fail "dpkg --purge"; }
  for p in "${packages[@]}"; do
    [ "$(package_state "$p")" = not-installed ] || [ -z "$(package_state "$p")" ] ||
      fail "$p is still $(package_state "$p") after purge"
  done
  for f in "$module" "$module_file" /usr/bin/kalvik-vcard; do
    [ ! -e "$f" ] || fail "$f is left after purge"
  done
  rm -f "$marker"
}

finish() {
  if [ "$installed_here" = 1 ]; then
    echo "== removing the packages"
    purge
  fi
  rm -rf "$work"
  [ "$status" -eq 0 ] && echo "package checks passed"
  exit "$status"
}
trap finish EXIT

# The module reads this in every client below; the cache stays in the scratch directory.
printf 'cache = %s/cache/\n' "$work" > "$work/brisane.txt"
export BRISANE_CONF=$work/brisane.txt

make_packages() {
  echo "== cpack"
  cpack --config "$cpack_config" -B "$work/debs" > "$work/cpack" 2>&1 || {
    cat "$work/cpack"
    fail "cpack"
    exit
  }
  deb_module=$(ls "$work"/debs/brisane-pkcs11_*.deb)
  deb_vcard=$(ls "$work"/debs/kalvik-vcard_*.deb)
}

# Exactly these files, the module not executable, the module free of OpenSSL.
check_contents() {
  local deb name want
  for deb in "$deb_module" "$deb_vcard"; do
    name=$(dpkg-deb --field "$deb" Package)
    dpkg-deb --contents "$deb" | awk '$1 ~ /^-/ {print $1, $2, $6}' | sort -k3 > "$work/contents-$name"
    echo "== $name"
    cat "$work/contents-$name"
  done
  want="-rw-r--r-- root/root ./usr/lib/$multiarch/pkcs11/brisane-pkcs11.so
-rw-r--r-- root/root ./usr/share/doc/brisane-pkcs11/README.md
-rw-r--r-- root/root ./usr/share/doc/brisane-pkcs11/examples/brisane.txt
-rw-r--r-- root/root ./usr/share/p11-kit/modules/brisane.module"
  [ "$(cat "$work/contents-brisane-pkcs11")" = "$want" ] || fail "brisane-pkcs11 holds other files than: $want"
  want="-rwxr-xr-x root/root ./usr/bin/kalvik-vcard
-rwxr-xr-x root/root ./usr/libexec/kalvik-vcard/pcsc-cli
-rw-r--r-- root/root ./usr/share/doc/kalvik-vcard/README.md"
  [ "$(cat "$work/contents-kalvik-vcard")" = "$want" ] || fail "kalvik-vcard holds other files than: $want"

  dpkg-deb --field "$deb_module" Depends > "$work/depends"
  echo "== Depends: $(cat "$work/depends")"
  expect_line depends '(^|, )pcscd(,|$)'
  expect_line depends '(^|, )libpcsclite1( |,|$)'
  expect_no_line depends 'libssl|libcrypto'

  dpkg-deb --extract "$deb_module" "$work/root"
  sh "$check_exports" "$work/root/usr/lib/$multiarch/pkcs11/brisane-pkcs11.so" || fail "exports of the packaged module"
}

install_packages() {
  local p
  for p in "${packages[@]}"; do
    if present "$p" && [ ! -e "$marker" ]; then
      [ "$status" -eq 0 ] || exit
      echo "SKIP: $p is installed on this machine, not by this test; remove it to run this test"
      trap - EXIT
      rm -rf "$work"
      exit 77
    fi
  done
  touch "$marker"
  installed_here=1
  run install dpkg -i "$deb_module" "$deb_vcard"
  expect_rc0 install
  [ "$rc" -eq 0 ] || exit
}

p11kit_list_modules() {
  run modules p11-kit list-modules
  expect_rc0 modules
  block modules '^brisane: brisane-pkcs11\.so$'
  expect_line modules.block '^ +library-description: Brisane 3\.0 PKCS#11$'
  expect_line modules.block '^ +library-manufacturer: Marvolen s\.r\.o\.$'
  block modules.block "^ +token: $token\$"
  expect_line modules.block.block '^ +model: Kalvik$'
  expect_line modules.block.block '^ +serial-number: [0-9A-F]{16}$'
}

p11tool_list_tokens() {
  run tokens p11tool --list-tokens
  expect_rc0 tokens
  # The first token block is the first module's; find ours by its label.
  awk -v label="Label: $token" '
    /^Token [0-9]+:$/ { if (found) exit; buffer = "" }
    { buffer = buffer $0 "\n" }
    index($0, label) { found = 1 }
    END { if (found) printf "%s", buffer }
  ' "$work/tokens" > "$work/tokens.ours"
  [ -s "$work/tokens.ours" ] || fail "tokens: no token labelled $token"
  expect_line tokens.ours "^[[:space:]]+URL: pkcs11:model=Kalvik;manufacturer=Marvolen%20s\.r\.o\.;serial=[0-9A-F]{16};token=Brisane%203\.1%20Kalvik\$"
  # The name p11-kit knows the module by: it came through the registration.
  expect_line tokens.ours "^[[:space:]]+Module: brisane-pkcs11\\.so\$"
}

pkcs11_tool_through_proxy() {
  run proxy pkcs11-tool --module "/usr/lib/$multiarch/p11-kit-proxy.so" -L
  expect_rc0 proxy
  expect_line proxy "^ +token label +: $token\$"
  expect_line proxy '^ +token manufacturer +: Marvolen s\.r\.o\.$'
}

# The shipped example changes nothing as it is; with its settings switched on
# the log and the slot count follow them.
example_settings() {
  mkdir -p "$work/home" "$work/cwd" "$work/logs"
  run example-off env -C "$work/cwd" HOME="$work/home" BRISANE_CONF="$example" \
    pkcs11-tool --module "$module" -L
  expect_rc0 example-off
  expect_line example-off "^Slot 5 \\(0x5\\): "
  expect_no_line example-off "^Slot 6 "
  [ -z "$(ls -A "$work/cwd")" ] || fail "the example as shipped wrote $(ls -A "$work/cwd")"

  sed -e 's/^# \([a-z0-9.]* = \)/\1/' \
      -e "s|^logpath = .*|logpath = $work/logs|" \
      -e "s|^cache = .*|cache = $work/cache-example|" "$example" > "$work/example-on.txt"
  run example-on env HOME="$work/home" BRISANE_CONF="$work/example-on.txt" \
    pkcs11-tool --module "$module" -L
  expect_rc0 example-on
  expect_line example-on "^Slot 7 \\(0x7\\): "
  expect_no_line example-on "^Slot 8 "
  ls "$work"/logs/qvpkcs11-pkcs11-tool-*.log > /dev/null 2>&1 || fail "no trace log in the example's logpath"
  grep -qs 'C_GetSlotList' "$work"/logs/qvpkcs11-pkcs11-tool-*.log || fail "the trace log has no C_GetSlotList"
  [ ! -e "$work/home/.amwcache" ] || fail "the example's cache setting was not used"
}

vcard_tools() {
  run vcard-show kalvik-vcard show "$STACK_DIR/card.img"
  expect_rc0 vcard-show
  run readers "/usr/libexec/kalvik-vcard/pcsc-cli" readers
  expect_rc0 readers
  expect_line readers "$reader"
}

nss_module() {
  nssdb=sql:$work/nssdb
  mkdir -p "$work/nssdb"
  printf '%s\n' "$user_pin" > "$work/pin"
  run nss-create modutil -create -force -dbdir "$nssdb"
  expect_rc0 nss-create
  run nss-add modutil -add brisane -libfile "$module" -force -dbdir "$nssdb"
  expect_rc0 nss-add
  # `-list NAME` fails on the empty slots; the summary of all modules does not.
  run nss-list modutil -list -dbdir "$nssdb"
  expect_rc0 nss-list
  block nss-list '^ +[0-9]+\. brisane$'
  expect_line nss-list.block "^[[:space:]]+library name: $module\$"
  expect_line nss-list.block '^[[:space:]]+uri: pkcs11:library-manufacturer=Marvolen%20s\.r\.o\.;library-description=Brisane%203\.0%20PKCS%2311;library-version=3\.0$'
  grep -A1 -E "^[[:space:]]+slot: $reader\$" "$work/nss-list.block" |
    grep -Eq "^[[:space:]]+token: $token\$" || fail "nss-list: no token $token in slot $reader"
}

# A certificate and its key, made by OpenSSL and written with pkcs11-tool.
nss_certificate() {
  # The card's object cache stays in the work directory.
  printf 'cache = %s/cache/\n' "$work" > "$work/objects.txt"
  export BRISANE_CONF=$work/objects.txt
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/soft.key" -subj /CN=brisane-test \
    -days 2 -outform DER -out "$work/cert.der" 2> /dev/null || fail "openssl req"
  run write-cert pkcs11-tool --module "$module" --login --pin "$user_pin" \
    --write-object "$work/cert.der" --type cert --id 02 --label brisane-cert
  expect_rc0 write-cert
  # A token that requires login shows its certificates to NSS after the PIN.
  run nss-certs certutil -L -d "$nssdb" -h all -f "$work/pin"
  expect_rc0 nss-certs
  expect_line nss-certs "^$token:brisane-cert "
}

nss_key() {
  openssl pkey -in "$work/soft.key" -outform DER -out "$work/soft.der" || fail "openssl pkey"
  run write-key pkcs11-tool --module "$module" --login --pin "$user_pin" \
    --write-object "$work/soft.der" --type privkey --id 02 --label brisane-key
  expect_rc0 write-key
  run nss-keys certutil -K -d "$nssdb" -h "$token" -f "$work/pin"
  expect_rc0 nss-keys
  expect_line nss-keys '^<[ 0-9]+> rsa +02 '
  # The card is left as it was found.
  for type in cert privkey; do
    run delete-$type pkcs11-tool --module "$module" --login --pin "$user_pin" \
      --delete-object --type $type --id 02
    expect_rc0 delete-$type
  done
}

steps=(
  make_packages
  check_contents
  install_packages
  p11kit_list_modules
  p11tool_list_tokens
  pkcs11_tool_through_proxy
  example_settings
  vcard_tools
  nss_module
  nss_certificate
  nss_key
)
for s in "${steps[@]}"; do
  "$s"
done
