#!/bin/bash
# OpenSSH: `ssh -I` logs in with the card's key to an sshd this test starts
# on loopback (its own host key, config and authorized keys, nothing of the
# machine's), and is refused once the card's key is no longer authorized.
. "$(dirname "$0")/common.sh"

sshd=/usr/sbin/sshd
[ -x "$sshd" ] || { echo "no $sshd (package openssh-server)"; exit 1; }
user=$(id -un)

id=c3b0
new_key "$id" e2e-ssh-login 2048
ssh-keygen -i -m PKCS8 -f "$work/$id.pub.pem" > "$work/card.pub" \
  || fail "ssh-keygen cannot convert the card's public key"
fingerprint=$(ssh-keygen -l -E sha256 -f "$work/card.pub" | cut -d' ' -f2)

ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/other_key"
cp "$work/card.pub" "$work/authorized_keys"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitRootLogin prohibit-password
LogLevel VERBOSE
EOF
# Run as root, sshd wants its privilege separation directory.
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
"$sshd" -D -e -f "$work/sshd_config" 2> "$work/sshd.log" &
cleanups+=("kill $!")
for _ in $(seq 100); do
  grep -q "Server listening on 127.0.0.1 port $port" "$work/sshd.log" && break
  sleep 0.1
done
grep -q "Server listening" "$work/sshd.log" || { cat "$work/sshd.log"; fail "sshd did not start"; finish; }

printf '#!/bin/sh\necho %s\n' "$PIN" > "$work/askpass"
chmod +x "$work/askpass"
login() {
  env SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=:0 \
    ssh -F none -I "$module" -p "$port" -o IdentityAgent=none -o BatchMode=no \
    -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no -o ConnectTimeout=20 \
    -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile="$work/known_hosts" \
    "$user@127.0.0.1" echo logged in through the card < /dev/null
}
run login login
expect_rc0 login
expect_line login '^logged in through the card$'
grep -q "Accepted publickey for $user from 127.0.0.1 .* RSA $fingerprint" "$work/sshd.log" \
  || fail "sshd did not accept the card's key ($fingerprint)"

cp "$work/other_key.pub" "$work/authorized_keys"
run refused login
expect_failure refused
expect_no_line refused 'logged in'

finish
