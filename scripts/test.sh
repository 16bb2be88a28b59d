#!/usr/bin/env bash
# Builds everything and runs every test: a warnings-as-errors build, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the script
# reader's fuzz target for FUZZ_SECONDS (default 60) under ASan.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh

echo "== build (warnings are errors)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVK_WERROR=ON -DTVK_BUILD_TESTS=ON
cmake --build build/release -j"$jobs"
echo "== tests"
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTVK_WERROR=ON -DTVK_SANITIZE=ON -DTVK_BUILD_BENCH=OFF
cmake --build build/asan -j"$jobs"
echo "== tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== fuzzing the script reader"
bash fuzz/run-fuzz.sh "${FUZZ_SECONDS:-60}"
