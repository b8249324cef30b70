#!/usr/bin/env bash
# scripts/stack.sh start | stop | status | remove | insert [IMAGE] | exec CMD...
#
# Runs the real PC/SC stack with the virtual card in it: pcscd (its vpcd
# driver makes the readers "Virtual PCD 00 00" on TCP port 35963 and
# "Virtual PCD 00 01" on 35964) and `kalvik-vcard serve` holding a fresh card
# image in "Virtual PCD 00 00". Needs root (pcscd owns /run/pcscd).
#
#   start         make a fresh card image, start pcscd and the card, wait until
#                 PC/SC reports the card present
#   stop          stop what start started (by PID), wait for it to exit
#   status        what runs, and the readers as PC/SC sees them (exit 3 if down)
#   remove        pull the card out (stop serving it) and wait until PC/SC sees it gone
#   insert [IMG]  serve IMG (default: the stack's own image) and wait until present
#   exec CMD...   run CMD where it can reach the vpcd ports, e.g. to serve a card
#                 of one's own in "Virtual PCD 00 01":
#                 stack.sh exec kalvik-vcard serve IMG --port 35964
#
# Environment:
#   STACK_DIR          state directory: card.img, logs, PID files. Default for
#                      start: a new temporary directory, remembered for the
#                      later commands and removed by stop.
#   KALVIK_VCARD       kalvik-vcard binary (default: $BRISANE_BUILD_DIR/vcard/kalvik-vcard)
#   PCSC_CLI           pcsc-cli binary (default: next to kalvik-vcard)
#   BRISANE_BUILD_DIR  build directory for the defaults above (default: build)
#   STACK_INIT_ARGS    extra options for `kalvik-vcard init` (PINs, sizes, ...)
#   STACK_SERVE_ARGS   extra options for `kalvik-vcard serve` (e.g. --no-quickack)
#   STACK_PCSCD_ARGS   extra options for pcscd (e.g. "--debug --apdu")
#   STACK_TIMEOUT      seconds to wait for the card to appear or go (default 15)
#   STACK_WAIT_FOREIGN seconds start waits for a pcscd it did not start to exit
#                      (default 120); STACK_TAKEOVER=1 stops that pcscd instead
#   STACK_NETNS        1 (default when possible): run pcscd and the card in a
#                      network namespace of their own, so the vpcd ports, which
#                      pcscd opens on every address, are reachable on its
#                      loopback only; 0: run them in the host's namespace
#
# Only one pcscd can run on a machine. When one is already running that this
# stack did not start (another user's stack, another test run), start waits
# for it to go away rather than killing it; a pcscd managed by systemd is
# stopped by start and started again by stop.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
reader0="Virtual PCD 00 00"
port0=35963
timeout=${STACK_TIMEOUT:-15}
pointer=${TMPDIR:-/tmp}/brisane-stack.current
vpcd_driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

say() { echo "stack: $*"; }
die() { echo "stack: $*" >&2; exit 1; }

# The environment wins, then the tools start used (kept in the state dir), then the build dir.
find_tools() {
  local build=${BRISANE_BUILD_DIR:-$repo/build} recorded_vcard="" recorded_cli=""
  if [ -n "${dir:-}" ] && [ -f "$dir/tools" ]; then
    { read -r recorded_vcard; read -r recorded_cli; } < "$dir/tools"
  fi
  vcard=${KALVIK_VCARD:-${recorded_vcard:-$build/vcard/kalvik-vcard}}
  pcsc_cli=${PCSC_CLI:-${recorded_cli:-$(dirname "$vcard")/pcsc-cli}}
  [ -x "$vcard" ] || die "no kalvik-vcard at $vcard (run scripts/build.sh release, or set KALVIK_VCARD)"
  [ -x "$pcsc_cli" ] || die "no pcsc-cli at $pcsc_cli (build the pcsc-cli target, or set PCSC_CLI)"
}

state_dir() {
  if [ -n "${STACK_DIR:-}" ]; then
    dir=$STACK_DIR
  elif [ -f "$pointer" ]; then
    dir=$(cat "$pointer")
  else
    dir=""
  fi
}

# alive PIDFILE NAME: the PID in the file runs and is the program NAME (PIDs get
# reused). A zombie counts as gone: its parent, often init, may reap it late.
alive() {
  local pid
  [ -f "$1" ] || return 1
  pid=$(cat "$1")
  [ -n "$pid" ] && pid_alive "$pid" "$2"
}

pid_alive() {
  local state
  [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] || return 1
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null)
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# stop_pid PIDFILE NAME SECONDS: SIGTERM, wait, SIGKILL after SECONDS.
stop_pid() {
  local file=$1 name=$2 limit=$3 pid i
  if ! alive "$file" "$name"; then
    rm -f "$file"
    return 0
  fi
  pid=$(cat "$file")
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < limit * 10; i++)); do
    alive "$file" "$name" || break
    sleep 0.1
  done
  if alive "$file" "$name"; then
    say "$name ($pid) still running after ${limit}s; killing it"
    kill -KILL "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
      alive "$file" "$name" || break
      sleep 0.1
    done
  fi
  rm -f "$file"
}

foreign_pcscd() {
  local pid
  for pid in $(pgrep -x pcscd || true); do
    if pid_alive "$pid" pcscd; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}

make_room_for_pcscd() {
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    local units=()
    for u in pcscd.socket pcscd.service; do
      if systemctl is-active --quiet "$u"; then units+=("$u"); fi
    done
    if [ ${#units[@]} -gt 0 ]; then
      say "stopping ${units[*]} (started again by stop)"
      systemctl stop pcscd.socket pcscd.service
      echo "${units[*]}" > "$dir/systemd-units"
    fi
  fi
  local pid waited=0 limit=${STACK_WAIT_FOREIGN:-120}
  while pid=$(foreign_pcscd); do
    if [ "${STACK_TAKEOVER:-0}" = 1 ]; then
      say "stopping the running pcscd ($pid)"
      echo "$pid" > "$dir/foreign.pid"
      stop_pid "$dir/foreign.pid" pcscd 10
      continue
    fi
    if [ "$waited" -eq 0 ]; then
      say "another pcscd ($pid) is running; waiting up to ${limit}s for it to exit"
    elif [ "$waited" -ge $((limit * 10)) ]; then
      die "pcscd ($pid) is still running; stop it or set STACK_TAKEOVER=1"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
}

netns_usable() {
  [ "${STACK_NETNS:-1}" = 1 ] || return 1
  command -v unshare >/dev/null && command -v nsenter >/dev/null && command -v ip >/dev/null || return 1
  unshare -n true 2>/dev/null
}

start_pcscd() {
  # shellcheck disable=SC2086  # STACK_PCSCD_ARGS is a list of options
  if netns_usable; then
    setsid unshare -n sh -c 'ip link set lo up && exec pcscd --foreground "$@"' sh ${STACK_PCSCD_ARGS:-} \
      </dev/null >"$dir/pcscd.log" 2>&1 &
    echo netns > "$dir/mode"
  else
    say "running pcscd in the host's network namespace: the vpcd ports are open on every address"
    setsid pcscd --foreground ${STACK_PCSCD_ARGS:-} </dev/null >"$dir/pcscd.log" 2>&1 &
    echo host > "$dir/mode"
  fi
  echo $! > "$dir/pcscd.pid"
  local i
  for ((i = 0; i < 50; i++)); do
    [ -S /run/pcscd/pcscd.comm ] && alive "$dir/pcscd.pid" pcscd && return 0
    sleep 0.1
  done
  tail -n 20 "$dir/pcscd.log" >&2 || true
  die "pcscd did not come up (log: $dir/pcscd.log)"
}

# start_card IMAGE: serve IMAGE in the first reader, in pcscd's network namespace.
start_card() {
  local image=$1 enter=()
  if [ "$(cat "$dir/mode" 2>/dev/null)" = netns ]; then
    enter=(nsenter "--net=/proc/$(cat "$dir/pcscd.pid")/ns/net" --)
  fi
  # shellcheck disable=SC2086
  setsid "${enter[@]}" "$vcard" serve "$image" --port "$port0" ${STACK_SERVE_ARGS:-} \
    </dev/null >>"$dir/serve.log" 2>&1 &
  echo $! > "$dir/serve.pid"
  echo "$image" > "$dir/serve.image"
  if ! "$pcsc_cli" wait "$reader0" present "$timeout"; then
    tail -n 20 "$dir/serve.log" >&2 || true
    return 1
  fi
}

cmd_start() {
  [ "$(id -u)" -eq 0 ] || die "start needs root: pcscd owns /run/pcscd"
  dir=""
  find_tools
  [ -x /usr/sbin/pcscd ] && [ -e "$vpcd_driver" ] || bash "$repo/scripts/setup.sh"
  [ -e "$vpcd_driver" ] || die "the vpcd reader driver is missing ($vpcd_driver)"
  state_dir
  if [ -z "${STACK_DIR:-}" ]; then
    dir=$(mktemp -d "${TMPDIR:-/tmp}/brisane-stack.XXXXXX")
    touch "$dir/.temporary"
  fi
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if alive "$dir/pcscd.pid" pcscd; then die "already running from $dir (stop it first)"; fi
  echo "$dir" > "$pointer"
  vcard=$(cd "$(dirname "$vcard")" && pwd)/$(basename "$vcard")
  pcsc_cli=$(cd "$(dirname "$pcsc_cli")" && pwd)/$(basename "$pcsc_cli")
  printf '%s\n%s\n' "$vcard" "$pcsc_cli" > "$dir/tools"
  rm -f "$dir/serve.log" "$dir/pcscd.log" "$dir/systemd-units"

  # shellcheck disable=SC2086
  "$vcard" init "$dir/card.img" --force ${STACK_INIT_ARGS:-} > "$dir/init.log" \
    || die "kalvik-vcard init failed (see $dir/init.log)"
  make_room_for_pcscd
  start_pcscd
  if ! start_card "$dir/card.img"; then
    tail -n 20 "$dir/pcscd.log" >&2 || true
    cmd_stop >&2
    die "the card did not appear in '$reader0' within ${timeout}s"
  fi
  cat > "$dir/env" <<EOF
STACK_DIR=$dir
KALVIK_IMAGE=$dir/card.img
PCSC_READER="$reader0"
EOF
  say "pcscd $(cat "$dir/pcscd.pid"), card $(cat "$dir/serve.pid") in '$reader0'; state in $dir"
}

cmd_stop() {
  state_dir
  [ -n "$dir" ] && [ -d "$dir" ] || { say "nothing to stop"; return 0; }
  stop_pid "$dir/serve.pid" kalvik-vcard 5
  # pcscd takes over a second to shut its readers down.
  stop_pid "$dir/pcscd.pid" pcscd 10
  if [ -f "$dir/systemd-units" ]; then
    # shellcheck disable=SC2046
    systemctl start $(cat "$dir/systemd-units") || say "could not restart $(cat "$dir/systemd-units")"
    rm -f "$dir/systemd-units"
  fi
  if [ "$(cat "$pointer" 2>/dev/null)" = "$dir" ]; then rm -f "$pointer"; fi
  if [ -f "$dir/.temporary" ]; then
    rm -rf "$dir"
    say "stopped"
  else
    say "stopped; card image and logs kept in $dir"
  fi
}

cmd_status() {
  state_dir
  local up=0
  if [ -n "$dir" ] && alive "$dir/pcscd.pid" pcscd; then
    say "pcscd running ($(cat "$dir/pcscd.pid"), network namespace: $(cat "$dir/mode"))"
    up=$((up + 1))
  else
    say "pcscd not running"
  fi
  if [ -n "$dir" ] && alive "$dir/serve.pid" kalvik-vcard; then
    say "card served ($(cat "$dir/serve.pid")) from $(cat "$dir/serve.image")"
    up=$((up + 1))
  else
    say "no card served"
  fi
  if [ "$up" -gt 0 ]; then
    find_tools
    "$pcsc_cli" readers || true
  fi
  [ "$up" -eq 2 ] || exit 3
}

require_running() {
  state_dir
  [ -n "$dir" ] && alive "$dir/pcscd.pid" pcscd || die "the stack is not running (scripts/stack.sh start)"
  find_tools
}

cmd_remove() {
  require_running
  stop_pid "$dir/serve.pid" kalvik-vcard 5
  "$pcsc_cli" wait "$reader0" absent "$timeout" || die "the card is still present in '$reader0'"
  say "card removed from '$reader0'"
}

cmd_insert() {
  require_running
  local image=${1:-$dir/card.img}
  [ -f "$image" ] || die "no card image $image"
  image=$(cd "$(dirname "$image")" && pwd)/$(basename "$image")
  if alive "$dir/serve.pid" kalvik-vcard; then
    cmd_remove
  fi
  start_card "$image" || die "the card did not appear in '$reader0' within ${timeout}s"
  say "card $image inserted into '$reader0'"
}

# PC/SC clients reach pcscd through its socket from anywhere; only programs that
# connect to the vpcd ports need pcscd's network namespace.
cmd_exec() {
  [ $# -gt 0 ] || die "exec needs a command"
  state_dir
  [ -n "$dir" ] && alive "$dir/pcscd.pid" pcscd || die "the stack is not running (scripts/stack.sh start)"
  if [ "$(cat "$dir/mode" 2>/dev/null)" = netns ]; then
    exec nsenter "--net=/proc/$(cat "$dir/pcscd.pid")/ns/net" -- "$@"
  fi
  exec "$@"
}

case "${1:-}" in
  start) cmd_start ;;
  stop) cmd_stop ;;
  status) cmd_status ;;
  remove) cmd_remove ;;
  insert) shift; cmd_insert "$@" ;;
  exec) shift; cmd_exec "$@" ;;
  *) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
