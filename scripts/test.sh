#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: unit and integration
# (plain and under ASan+UBSan) and end to end through real pcscd.
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
