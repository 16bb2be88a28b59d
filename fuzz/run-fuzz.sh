#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang, ASan and UBSan, and runs each on a copy
# of its seed corpus in a temp directory: the script reader, the TCP server's
# framing, the serial responder's framing, the asynchronous requests' answer
# framing, and the script checker's explanations. The budget in seconds (default
# 60) is one and a half times the budget in all, shared evenly by the targets.
# Usage: fuzz/run-fuzz.sh [seconds] [target...]
#        targets: those fuzz/CMakeLists.txt declares (default all); BUILD_DIR
#        overrides the build directory
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
build="${BUILD_DIR:-$repo/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DTVK_BUILD_FUZZ=ON -DTVK_SANITIZE=ON -DTVK_BUILD_TESTS=OFF -DTVK_BUILD_BENCH=OFF >/dev/null
# Each target leaves fuzz_<name>.corpus beside it, a link to its seeds.
if [ ${#targets[@]} -eq 0 ]; then
  for link in "$build"/fuzz/fuzz_*.corpus; do
    name=${link##*/fuzz_}
    targets+=("${name%.corpus}")
  done
fi
for t in "${targets[@]}"; do
  [ -e "$build/fuzz/fuzz_$t.corpus" ] || { echo "unknown fuzz target: $t" >&2; exit 2; }
done
each=$(( seconds * 3 / 2 / ${#targets[@]} ))
[ "$each" -gt 0 ] || each=1
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  case "$t" in
    plcconfig | plccheck) max_len=65536 ;;
    # Programs of a few hundred steps: longer inputs only repeat them.
    tcpserver) max_len=1024 ;;
    rtu | answer) max_len=2048 ;;
    *) max_len="" ;;   # libFuzzer's own choice, from the seeds
  esac
  echo "== fuzzing $t for $each s"
  cp -rL "$build/fuzz/fuzz_$t.corpus" "$work/$t"
  "$build/fuzz/fuzz_$t" -max_total_time="$each" ${max_len:+-max_len="$max_len"} "$work/$t"
done
