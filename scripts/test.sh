#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs every test: a warnings-as-errors build, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, the s390x
# build's tests under qemu within CROSS_SECONDS (default 240; 0 runs them
# all whatever they take; scripts/cross-test.sh), the fuzz
# targets (script reader, script checker, TCP, serial and answer framing,
# the role rules and the request path behind TLS)
# sharing a budget of FUZZ_SECONDS (default 60, about 90 s in all) under
# ASan, then the benchmarks with their short default budgets.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh
# A peer that cannot start would fail its tests one by one, far from the
# cause: stop here, naming the missing package.
echo "== peers"
bash scripts/check-peers.sh

echo "== build (warnings are errors)"
# Debian's multiarch library directory, which the package tests install into.
multiarch=$(gcc -print-multiarch 2>/dev/null || dpkg-architecture -qDEB_HOST_MULTIARCH)
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVK_WERROR=ON -DTVK_BUILD_TESTS=ON \
  -DCMAKE_INSTALL_LIBDIR="lib/$multiarch"
cmake --build build/release -j"$jobs"
log=$(mktemp)
trap 'rm -f "$log" "$log.cross"' EXIT
echo "== tests"
ctest --test-dir build/release --output-on-failure -j"$jobs" | tee -a "$log"

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTVK_WERROR=ON -DTVK_SANITIZE=ON -DTVK_BUILD_BENCH=OFF
cmake --build build/asan -j"$jobs"
echo "== tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" | tee -a "$log"

# Big-endian, with an unsigned char as on the panels' ARM processors: the
# s390x build's tests under qemu, bounded by CROSS_SECONDS (0: no bound).
echo "== s390x under qemu"
cross_started=$SECONDS
CROSS_SECONDS=${CROSS_SECONDS:-240} bash scripts/cross-test.sh s390x | tee "$log.cross"
echo "== s390x stage took $((SECONDS - cross_started)) s"

echo "== fuzzing"
BUILD_DIR="$top/build/fuzz" bash fuzz/run-fuzz.sh "${FUZZ_SECONDS:-60}"

# The benchmarks print their ratios against a reference measured in the same
# run; they fail only when something does not work, never on a ratio.
echo "== benchmarks"
build/release/bench/fieldlink/bench_fieldlink_roundtrip
build/release/bench/plcconfig/bench_plcconfig
build/release/bench/fieldlink/bench_tcpserver
build/release/bench/fieldlink/bench_fieldlink_rtu
build/release/bench/fieldlink/bench_async
build/release/bench/fieldlink/bench_tls
build/release/bench/fieldlink/bench_gateway

# The native test runs and the s390x one together, in one closing line
# (pipefail has already stopped the script if any had a failure).
total=$({ sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$log"
          sed -n 's/^s390x: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p' "$log.cross" \
            | awk '{ print $1 + $2 + $3, $2 }'; } \
  | awk '{ all += $1; failed += $2 } END { print all - failed " passed, " failed " failed" }')
echo "tests: $total"
