#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libraries, the demo panel and the three tools, and runs the
# demo: it reads the example PLC communication script and talks Modbus TCP
# to a slave simulator on loopback.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVK_BUILD_TESTS=OFF -DTVK_BUILD_BENCH=OFF >/dev/null
# The tools too, so that the README's tool commands work after this one.
cmake --build build/demo -j"$jobs" --target tvk-demo-panel tvk-modbus-slave tvk-modbus-poll tvk-plccheck
echo "== the tools are in $top/build/demo/bin"
# The demo finds examples/plc-script.json itself; --script picks another.
exec build/demo/examples/tvk-demo-panel "$@"
