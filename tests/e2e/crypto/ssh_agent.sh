#!/bin/bash
# OpenSSH: ssh-agent loads the module through `ssh-add -s`, lists the card's
# key, and signs a file for `ssh-keygen -Y sign`; `ssh-keygen -Y verify`
# accepts the signature and refuses it for another file.
. "$(dirname "$0")/common.sh"

id=c3a0
new_key "$id" e2e-ssh-key 2048
ssh-keygen -i -m PKCS8 -f "$work/$id.pub.pem" > "$work/card.pub" \
  || fail "ssh-keygen cannot convert the card's public key"
card_key=$(cut -d' ' -f1,2 "$work/card.pub")

run list-module ssh-keygen -D "$module"
expect_text list-module "$card_key"

# The agent accepts this module's path only; the PIN comes through askpass.
eval "$(ssh-agent -s -a "$work/agent.sock" -P "$module")" > /dev/null
cleanups+=("kill $SSH_AGENT_PID")
printf '#!/bin/sh\necho %s\n' "$PIN" > "$work/askpass"
chmod +x "$work/askpass"
run add env SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=:0 \
  ssh-add -s "$module"
expect_rc0 add
run agent-list ssh-add -L
expect_rc0 agent-list
expect_text agent-list "$card_key"

printf 'a file signed through the agent\n' > "$work/file"
echo "$card_key" > "$work/signer.pub"
run sign ssh-keygen -Y sign -f "$work/signer.pub" -n file "$work/file"
expect_rc0 sign
echo "e2e@brisane $card_key" > "$work/allowed_signers"
verify() {
  ssh-keygen -Y verify -f "$work/allowed_signers" -I e2e@brisane -n file \
    -s "$work/file.sig" < "$1"
}
run verify verify "$work/file"
expect_rc0 verify
expect_line verify '^Good "file" signature for e2e@brisane'
printf 'another file\n' > "$work/other"
run verify-other verify "$work/other"
expect_failure verify-other

run remove ssh-add -e "$module"
expect_rc0 remove

finish
