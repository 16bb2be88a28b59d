#!/usr/bin/env bash
# Builds a script fuzz target with clang, ASan and UBSan, and runs it for N
# seconds (default 60) on a copy of the seed corpus in a temp directory.
# Usage: fuzz/run-fuzz.sh [seconds] [fuzz_plcconfig | fuzz_plccheck]
# (BUILD_DIR overrides the build directory)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
target="${2:-fuzz_plcconfig}"
build="${BUILD_DIR:-$repo/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DTVK_BUILD_FUZZ=ON -DTVK_SANITIZE=ON -DTVK_BUILD_TESTS=OFF -DTVK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "$target"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$repo/fuzz/corpus/plcconfig" "$work/corpus"
"$build/fuzz/$target" -max_total_time="$seconds" -max_len=65536 "$work/corpus"
