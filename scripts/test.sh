#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: unit and integration
# (plain and under ASan+UBSan), end to end through real pcscd, the threaded
# tests under TSan, and each fuzz target for a short bounded run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
bash scripts/build.sh asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== unit and integration tests under ASan+UBSan"
ctest --test-dir build-asan --output-on-failure -LE e2e
echo "== all tests (end to end included)"
ctest --test-dir build --output-on-failure
bash scripts/build.sh tsan
echo "== threaded tests under TSan"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan --output-on-failure -L tsan
bash scripts/build.sh fuzz
bash scripts/fuzz.sh
