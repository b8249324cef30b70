#!/usr/bin/env bash
# scripts/build.sh [release|asan]: configures and builds into build/ or build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
case "$kind" in
  release) dir=build; extra=(-DBRISANE_E2E=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir=build-asan; extra=(-DBRISANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
