#!/usr/bin/env bash
# Runs the demo panel as CI does (standard output not a terminal) and checks
# that it did what it shows: read the script, polled both links, played an
# edit that was read back from the device, lost the press and got it back,
# and let mbpoll read the panel's own map. Usage: check-demo.sh DEMO SCRIPT
set -uo pipefail
out=$("$1" --script "$2" --duration "${DEMO_SECONDS:-6}" </dev/null)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 0 ] || { echo "demo exited with $rc"; exit 1; }
fail() { echo "demo check: $1"; exit 1; }
want() { grep -qE -- "$1" <<<"$out" || fail "missing from the demo's output: $1"; }

want "^script .*: valid$"
want "^\[ *[0-9]+\.[0-9]{3}\] press: connected to tcp 127\.0\.0\.1:"
want "press: write set point = 1234"
want "press: read back set point 1234 from the device"
want "press: errorOccurred\([0-9]\): "
want "^error = Connection refused$"
want "press: reconnect attempt 1 failed: Connection refused"
want "press: recovered after [0-9]+ reconnect attempts"
want "^summary: press \(tcp 127\.0\.0\.1:[0-9]+\): polls ok [1-9][0-9]*, failed [1-9][0-9]*, .*recoveries 1, writes 1, read back 1$"
want "^summary: press unplugged and recovered$"
if command -v socat >/dev/null; then
  want "dosing: read back flow 2.50 from the device"
  want "^summary: dosing \(rtu .*\): polls ok [1-9][0-9]*, failed 0, errors 0, .*read back 1$"
fi
if command -v mbpoll >/dev/null; then
  want "^summary: mbpoll read the panel's own map: yes$"
  want "mbpoll: \[2\]:[[:space:]]+1234"
fi
dir=$(grep -oE "files in [^ ]+" <<<"$out" | head -1 | cut -d' ' -f3)
[ -n "$dir" ] || fail "the demo never said where its files are"
[ ! -e "$dir" ] || fail "the temporary folder $dir was left behind"
echo "demo check: ok"
