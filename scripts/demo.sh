#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libraries and runs the demo panel: it reads the example PLC
# communication script and talks Modbus TCP to a slave simulator on loopback.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVK_BUILD_TESTS=OFF -DTVK_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo -j"$jobs" --target tvk-demo-panel
# The demo finds examples/plc-script.json itself; --script picks another.
exec build/demo/examples/tvk-demo-panel "$@"
