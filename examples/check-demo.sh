#!/usr/bin/env bash
# Runs the demo panel and checks that it did what it shows: polled, wrote the
# set point, saw the device go and reported it. Usage: check-demo.sh DEMO SCRIPT
set -uo pipefail
out=$("$1" --script "$2" --cycles 4)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 0 ] || { echo "demo exited with $rc"; exit 1; }
for want in "script: valid" "counter " "set point 1234" "the device goes away" \
            "errorOccurred(1)" "error = Connection refused"; do
  grep -qF -- "$want" <<<"$out" || { echo "missing from the demo's output: $want"; exit 1; }
done
