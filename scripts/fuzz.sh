#!/usr/bin/env bash
# scripts/fuzz.sh [seconds] [target...]: runs each fuzz target of build-fuzz/ over
# its seed corpus for a bounded time (default 10 s); a crash fails the run.
# New inputs found go to a scratch copy, so the committed seeds stay small.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(ls tests/fuzz/corpus))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  echo "== fuzz $t (${seconds}s)"
  mkdir -p "$work/$t"
  cp tests/fuzz/corpus/"$t"/* "$work/$t"/
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/tests/fuzz/"$t"_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/$t-" "$work/$t" 2>"$work/$t.log" || {
      tail -n 60 "$work/$t.log"
      mkdir -p build-fuzz/crashes && cp "$work/$t"-* build-fuzz/crashes/ 2>/dev/null || true
      echo "fuzz target $t failed; inputs kept in build-fuzz/crashes/" >&2
      exit 1
    }
  grep -E "^stat::number_of_executed_runs|^Done" "$work/$t.log" | tr '\n' ' '; echo
done
