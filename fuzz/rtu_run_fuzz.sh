#!/usr/bin/env bash
# Builds the serial framing fuzz target with clang, ASan and UBSan, and runs
# it for N seconds (default 60) on a copy of its seed corpus.
# Usage: fuzz/rtu_run_fuzz.sh [seconds]   (BUILD_DIR overrides the build directory)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="${BUILD_DIR:-$repo/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DTVK_BUILD_FUZZ=ON -DTVK_SANITIZE=ON -DTVK_BUILD_TESTS=OFF -DTVK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_rtu
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$repo/fuzz/corpus/rtu" "$work/corpus"
"$build/fuzz/fuzz_rtu" -max_total_time="$seconds" -max_len=2048 "$work/corpus"
