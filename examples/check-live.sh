#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the demo panel in a terminal of 80 columns and 24 lines (tmux) and
# checks the live view: two captures of the pane, taken while the dosing
# unit is silent (when socat is there), show the same lines at the same
# places with the clock and the press's values changed in place, nothing
# scrolled, and no line of the view wider than the terminal (a line that
# wrapped would push each redraw one line further down). Then the terminal
# narrows to 60 columns, and the view follows.
# Usage: check-live.sh DEMO SCRIPT
set -uo pipefail
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 1; }
sock="tvk-demo-live-$$"
t() { tmux -L "$sock" "$@"; }
trap 't kill-server 2>/dev/null' EXIT
t new-session -d -x 80 -y 24 "$1 --script $2 --duration 8; sleep 30"
# -J joins what the terminal wrapped: a wrapped line shows at its full length.
capture() { t capture-pane -p -J; }
# The view, from its first line down.
view() { capture | sed -n '/^panel  t=/,$p'; }
# The silence lasts from 1.2 s to 4.2 s of the 8.
silent=
command -v socat >/dev/null && silent=".*the dosing unit is silent"
deadline=$((SECONDS + 20))
until capture | grep -q "panel  t=  [2-9]\.[0-9] s$silent"; do
  [ $SECONDS -lt $deadline ] || { capture; echo "live view never showed up"; exit 1; }
  sleep 0.2
done
first=$(capture)
line() { grep -n "$1" <<<"$2" | head -1 | cut -d: -f1; }
until [ "$(capture | grep 'panel  t=')" != "$(grep 'panel  t=' <<<"$first")" ] \
      && [ "$(capture | grep -A1 '^press ')" != "$(grep -A1 '^press ' <<<"$first")" ]; do
  [ $SECONDS -lt $deadline ] || { capture; echo "the view did not change"; exit 1; }
  sleep 0.2
done
second=$(capture)
printf '%s\n--- a moment later ---\n%s\n' "$first" "$second"
grep -q "panel  t=$silent" <<<"$second" || { echo "the dosing unit spoke again before the second capture"; exit 1; }
for what in "^script " "panel  t=" "^press " "^boxes " "^last error: " "^events:"; do
  a=$(line "$what" "$first"); b=$(line "$what" "$second")
  [ -n "$a" ] && [ "$a" = "$b" ] || { echo "'$what' moved from line $a to line $b"; exit 1; }
done
fits() {   # $1 columns, $2 the view
  local wide
  wide=$(awk -v w="$1" 'length($0) > w' <<<"$2")
  [ -z "$wide" ] || { printf '%s\n' "$2"; echo "wider than $1 columns:"; printf '%s\n' "$wide"; exit 1; }
}
fits 80 "$(sed -n '/^panel  t=/,$p' <<<"$second")"

# Narrower: the view is drawn again from the top, cut to the new width,
# and keeps its place from one redraw to the next.
t resize-window -x 60
clock=$(view | head -1)
until [ "$(view | head -1)" != "$clock" ] && [ "$(capture | head -1 | grep -c '^panel  t=')" = 1 ]; do
  [ $SECONDS -lt $deadline ] || { capture; echo "the view was not drawn again at 60 columns"; exit 1; }
  sleep 0.2
done
narrow=$(capture)
sleep 0.5
later=$(capture)
printf -- '--- at 60 columns ---\n%s\n' "$later"
fits 60 "$(view)"
for what in "panel  t=" "^press " "^last error: " "^events:"; do
  a=$(line "$what" "$narrow"); b=$(line "$what" "$later")
  [ -n "$a" ] && [ "$a" = "$b" ] || { echo "at 60 columns '$what' moved from line $a to line $b"; exit 1; }
done
echo "live view check: ok"
