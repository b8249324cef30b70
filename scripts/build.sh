#!/usr/bin/env bash
# scripts/build.sh [release|asan|tsan|fuzz]: configures and builds into build/, build-asan/,
# build-tsan/ (the threaded tests only) or build-fuzz/ (the fuzz targets only, with clang).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
targets=()
case "$kind" in
  release) dir=build; extra=(-DBRISANE_E2E=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir=build-asan; extra=(-DBRISANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan)    dir=build-tsan; extra=(-DBRISANE_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
           targets=(--target tsan_tests) ;;
  fuzz)    dir=build-fuzz
           extra=(-DBRISANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
           targets=(--target fuzz_targets) ;;
  *) echo "usage: $0 [release|asan|tsan|fuzz]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
