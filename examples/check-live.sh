#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the demo panel in a terminal (tmux) and checks the live view: two
# captures of the pane, taken while the dosing unit is silent (when socat is
# there), show the same lines at the same places with the clock and the
# press's values changed in place, nothing scrolled.
# Usage: check-live.sh DEMO SCRIPT
set -uo pipefail
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 1; }
sock="tvk-demo-live-$$"
t() { tmux -L "$sock" "$@"; }
trap 't kill-server 2>/dev/null' EXIT
t new-session -d -x 160 -y 40 "$1 --script $2 --duration 8; sleep 30"
capture() { t capture-pane -p; }
# The silence lasts from 1.2 s to 4.2 s of the 8.
silent=
command -v socat >/dev/null && silent=".*the dosing unit is silent"
deadline=$((SECONDS + 20))
until capture | grep -q "panel  t=  [2-9]$silent"; do
  [ $SECONDS -lt $deadline ] || { capture; echo "live view never showed up"; exit 1; }
  sleep 0.2
done
first=$(capture)
line() { grep -n "$1" <<<"$2" | head -1 | cut -d: -f1; }
until [ "$(capture | grep 'panel  t=')" != "$(grep 'panel  t=' <<<"$first")" ] \
      && [ "$(capture | grep '^press ')" != "$(grep '^press ' <<<"$first")" ]; do
  [ $SECONDS -lt $deadline ] || { capture; echo "the view did not change"; exit 1; }
  sleep 0.2
done
second=$(capture)
printf '%s\n--- a moment later ---\n%s\n' "$first" "$second"
grep -q "panel  t=$silent" <<<"$second" || { echo "the dosing unit spoke again before the second capture"; exit 1; }
for what in "^script " "panel  t=" "^press " "^boxes " "^events:"; do
  a=$(line "$what" "$first"); b=$(line "$what" "$second")
  [ -n "$a" ] && [ "$a" = "$b" ] || { echo "'$what' moved from line $a to line $b"; exit 1; }
done
echo "live view check: ok"
