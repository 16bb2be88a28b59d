#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the demo panel as CI does (standard output not a terminal) and checks
# that it did what it shows: read the script, polled both links, played an
# edit that was read back from the device, carried on while the dosing unit
# was silent, lost the press and got it back, and let mbpoll read the
# panel's own map. Usage: check-demo.sh DEMO SCRIPT
set -uo pipefail
out=$("$1" --script "$2" --duration "${DEMO_SECONDS:-6}" </dev/null)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 0 ] || { echo "demo exited with $rc"; exit 1; }
fail() { echo "demo check: $1"; exit 1; }
want() { grep -qE -- "$1" <<<"$out" || fail "missing from the demo's output: $1"; }
# Fails unless the number after the text $2 on the line matching $1 is $3
# (-lt, -ge) $4; $5 says what the number is.
bound() {
  local n
  n=$(grep -E -- "$1" <<<"$out" | head -1 | grep -oE -- "$2[0-9]+" | grep -oE "[0-9]+$")
  [ -n "$n" ] && [ "$n" "$3" "$4" ] || fail "$5: ${n:-none}"
}

want "^script .*: valid$"
want "^\[ *[0-9]+\.[0-9]{3}\] press: connected to tcp 127\.0\.0\.1:"
want "press: write set point = 1234"
want "press: read back set point 1234 from the device"
want "press: errorOccurred\([0-9]\): "
want "press: reconnect attempt 1 failed: Connection refused"
want "press: recovered after [0-9]+ reconnect attempts"
# Whether a poll was under way when the press went is chance; the lost link
# is not.
want "^summary: press \(tcp 127\.0\.0\.1:[0-9]+\): polls ok [1-9][0-9]*, failed [0-9]+, timed out 0, errors [1-9][0-9]*, reconnect attempts [1-9][0-9]*, recoveries 1, writes 1, read back 1$"
want "^summary: press unplugged and recovered$"
# A loaded CI machine may be slow, never frozen: the blocking requests kept
# the loop 600 ms per poll of the silent device.
bound "^summary: worst loop stall" "stall " -lt 200 "worst loop stall in ms"
silent=
if command -v socat >/dev/null; then
  silent=", while the dosing unit was silent"
  want "dosing: read back flow 2.50 from the device"
  want "the dosing unit goes silent: SIGSTOP to its simulator for [0-9.]+ s"
  want "dosing: answers again after [1-9][0-9]* failed polls"
  want "^summary: dosing \(rtu .*\): polls ok [1-9][0-9]*, failed [1-9][0-9]*, timed out [1-9][0-9]*, .*recoveries [1-9][0-9]*, writes 1, read back 1$"
  want "^summary: dosing unit silent for [0-9.]+ s \(SIGSTOP, then SIGCONT\): polls timed out [1-9][0-9]* of [0-9]+, recovered$"
  # At the script's 200 ms about 15 polls fit into the 3 s; the blocking
  # requests let through about 4.
  bound "^summary: press while the dosing unit was silent" "polls ok " -ge 8 "press polls while the dosing unit was silent"
fi
if command -v mbpoll >/dev/null; then
  want "^summary: mbpoll read the panel's own map: yes$silent$"
  want "mbpoll: \[2\]:[[:space:]]+1234"
  if grep -q "routed to the dosing unit" <<<"$out"; then
    want "^summary: mbpoll read the dosing unit through the panel's route: yes$"
    want "mbpoll via the panel: \[2\]:[[:space:]]+250"
  fi
fi
dir=$(grep -oE "files in [^ ]+" <<<"$out" | head -1 | cut -d' ' -f3)
[ -n "$dir" ] || fail "the demo never said where its files are"
[ ! -e "$dir" ] || fail "the temporary folder $dir was left behind"
echo "demo check: ok"
