#!/usr/bin/env bash
# scripts/bench.sh [--no-stack]: builds in release mode, runs the benchmarks and
# prints one table per question; the raw results go to build/bench/*.json.
#
#   1. card commands and PC/SC calls per operation (in-process service)
#   2. host time per operation with the in-process card, and C_Sign/C_Decrypt
#      against the bare OpenSSL operation with the same key
#   3. through real pcscd + vpcd + kalvik-vcard: C_Sign per second against
#      SoftHSM2 loaded by the same harness, and single PC/SC round trips
#   4. the trace log's cost on C_Sign and a repeated search
#
# Question 3 starts the real stack (needs root) and takes /tmp/brisane-e2e.lock
# for it, as the end-to-end tests do. BENCH_MIN_TIME (seconds, default 0.2)
# is Google Benchmark's minimum time per benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
stack=1
[ "${1:-}" = --no-stack ] && stack=0

bash scripts/setup.sh
bash scripts/build.sh release
out=build/bench
[ -x "$out/bench_host" ] || { echo "bench: no benchmarks built (libbenchmark-dev missing?)" >&2; exit 1; }
min_time=${BENCH_MIN_TIME:-0.2}

machine() {
  echo "machine: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p'), $(nproc) cores, kernel $(uname -r)"
}

# table.py KIND FILES...: the tables of the JSON results.
table() {
  python3 - "$@" <<'EOF'
import json, re, sys
kind, files = sys.argv[1], sys.argv[2:]
def bench(path):
    # Names without the suffixes of fixed iterations and real time.
    return {re.sub(r"/(iterations:\d+|real_time)", "", b["name"]): b
            for b in json.load(open(path))["benchmarks"]
            if b.get("run_type", "iteration") == "iteration"}
def us(b):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
    return b["real_time"] * scale
if kind == "commands":
    rows = json.load(open(files[0]))
    print("| operation | cache | APDUs | bytes sent | bytes received | transmit | begin/end transaction | status | other PC/SC |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|")
    for r in rows:
        c = r["count"]
        other = sum(v for k, v in c.items() if k in ("reconnect", "connect", "disconnect", "statuschange", "listreaders", "control"))
        print(f"| {r['operation']} | {r['cache']} | {c['apdus']} | {c['bytes_sent']} | {c['bytes_received']} | {c['transmit']} | {c['begin']}/{c['end']} | {c['status']} | {other} |")
elif kind == "host":
    b = bench(files[0])
    ops = []
    for name in b:
        op = name.rsplit("/", 1)[0]
        if "/" in name and op not in ops:
            ops.append(op)
    print("| operation (µs per call) | cold | warm | again |")
    print("|---|--:|--:|--:|")
    for op in ops:
        cells = [f"{us(b[f'{op}/{m}']):.0f}" if f"{op}/{m}" in b else "-" for m in ("cold", "warm", "again")]
        print(f"| {op} | " + " | ".join(cells) + " |")
    print()
    print("| operation | whole call (µs) | bare OpenSSL (µs) | overhead factor |")
    print("|---|--:|--:|--:|")
    for op, ref in (("C_SignInit+C_Sign/again", "OpenSSL RSA sign"), ("C_DecryptInit+C_Decrypt/again", "OpenSSL RSA decrypt")):
        print(f"| {op.split('/')[0]} | {us(b[op]):.0f} | {us(b[ref]):.0f} | {us(b[op]) / us(b[ref]):.2f} |")
elif kind == "log":
    plain, logged = bench(files[0]), bench(files[1])
    print("| operation | log off (µs) | log on (µs) | slowdown |")
    print("|---|--:|--:|--:|")
    for name in logged:
        print(f"| {name} | {us(plain[name]):.0f} | {us(logged[name]):.0f} | {us(logged[name]) / us(plain[name]):.2f} |")
elif kind == "stack":
    b = bench(files[0])
    rtt = us(b["pcsc/SCardTransmit(SELECT)"]) if "pcsc/SCardTransmit(SELECT)" in b else None
    def spent(r, *names):
        return sum(r.get("us:" + n, 0.0) for n in names)
    print("| through pcscd | µs per call | calls per second | APDUs | APDUs × round trip (µs) | ratio |")
    print("|---|--:|--:|--:|--:|--:|")
    for name, r in b.items():
        apdus = r.get("n:SCardTransmit", 0)
        if name.startswith("pcsc/") or not apdus or rtt is None:
            print(f"| {name} | {us(r):.0f} | {1e6 / us(r):.0f} | | | |")
        else:
            print(f"| {name} | {us(r):.0f} | {1e6 / us(r):.0f} | {apdus:.0f} | {apdus * rtt:.0f} | {us(r) / (apdus * rtt):.2f} |")
    print()
    print("Where each call's time goes (µs per call; PC/SC calls per call in brackets):")
    print()
    print("| operation | SCardTransmit | contexts (establish+release) | transaction+status | connect+disconnect | control+status change | outside PC/SC |")
    print("|---|--:|--:|--:|--:|--:|--:|")
    groups = (("SCardTransmit",), ("SCardEstablishContext", "SCardReleaseContext"),
              ("SCardBeginTransaction", "SCardEndTransaction", "SCardStatus"),
              ("SCardConnect", "SCardDisconnect"), ("SCardControl", "SCardGetStatusChange", "SCardListReaders"))
    for name, r in b.items():
        if name.startswith("pcsc/") or not any(k.startswith("n:") for k in r):
            continue
        cells, inside = [], 0.0
        for g in groups:
            t = spent(r, *g)
            n = sum(r.get("n:" + x, 0.0) for x in g)
            inside += t
            cells.append(f"{t:.0f} ({n:.0f})" if n else "-")
        print(f"| {name} | " + " | ".join(cells) + f" | {us(r) - inside:.0f} |")
    sign = {n.split("/")[0]: us(r) for n, r in b.items() if n.endswith("/C_Sign")}
    if "brisane" in sign and "softhsm2" in sign:
        print()
        print(f"C_Sign per second, brisane (card through pcscd) / SoftHSM2: {sign['softhsm2'] / sign['brisane']:.3f}"
              f" ({1e6 / sign['brisane']:.0f} / {1e6 / sign['softhsm2']:.0f})")
EOF
}

machine
echo
echo "## 1. Card commands and PC/SC calls per operation"
"$out/bench_commands" "$out/commands.json" >/dev/null
table commands "$out/commands.json"

echo
echo "## 2. Host time per operation (in-process card)"
"$out/bench_host" --benchmark_min_time="$min_time" --benchmark_out="$out/host.json" \
  --benchmark_out_format=json >/dev/null
table host "$out/host.json"

echo
echo "## 4. Trace log on (loglevel = 1)"
filter='C_SignInit\+C_Sign/again|search\+attributes/10/again'
BENCH_TRACE_LOG=1 "$out/bench_host" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
  --benchmark_out="$out/host-log.json" --benchmark_out_format=json >/dev/null
table log "$out/host.json" "$out/host-log.json"

[ "$stack" = 1 ] || exit 0
echo
echo "## 3. Through real pcscd + vpcd + kalvik-vcard, against SoftHSM2"
tmp=$(mktemp -d)
cleanup() {
  STACK_DIR=$tmp/stack bash "$repo/scripts/stack.sh" stop >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/stack" "$tmp/softhsm" "$tmp/cache"
printf 'cache = %s/cache/\n' "$tmp" > "$tmp/brisane.txt"
printf 'directories.tokendir = %s/softhsm\nobjectstore.backend = file\nlog.level = ERROR\n' "$tmp" \
  > "$tmp/softhsm2.conf"
export SOFTHSM2_CONF=$tmp/softhsm2.conf BRISANE_CONF=$tmp/brisane.txt
softhsm2-util --init-token --free --label bench --pin 123456 --so-pin 12345678 >/dev/null
softhsm=$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so 2>/dev/null | head -n 1)
flock /tmp/brisane-e2e.lock bash -c '
  set -e
  STACK_DIR=$1/stack bash scripts/stack.sh start >/dev/null
  "$2" --benchmark_min_time="$3" --benchmark_out="$4" --benchmark_out_format=json \
    --module=brisane=build/libpkcs11/brisane-pkcs11.so --module=softhsm2="$5" >/dev/null
  STACK_DIR=$1/stack bash scripts/stack.sh stop >/dev/null
' bench "$tmp" "$out/bench_stack" "$min_time" "$out/stack.json" "$softhsm"
table stack "$out/stack.json"
