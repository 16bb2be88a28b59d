#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/check-peers.sh passes with every peer in place, and when one cannot
# start it fails naming the Debian package to install. Missing modules are
# made by shadowing them on PYTHONPATH, missing programs by a PATH without
# them; nothing is removed from the machine.
set -uo pipefail
top=$1
check="$top/scripts/check-peers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
faults=0

# expect <name> <text a line must end with> <command...>: the check fails.
expect() {
  local name=$1 text=$2 output
  shift 2
  if output=$("$@" 2>&1); then
    echo "FAULT: $name: the check passed: $output"
    faults=$((faults + 1))
  elif ! grep -qE -e "${text}\$" <<<"$output"; then
    echo "FAULT: $name: no '$text' in: $output"
    faults=$((faults + 1))
  fi
}

if ! output=$(bash "$check" 2>&1); then
  echo "FAULT: the peers of this machine do not pass: $output"
  faults=$((faults + 1))
fi

for module in serial serial_asyncio pymodbus; do
  mkdir -p "$work/$module/$module"
  printf 'raise ModuleNotFoundError("No module named %s", name="%s")\n' "$module" "$module" \
    >"$work/$module/$module/__init__.py"
done
expect "without serial" "install python3-serial" env PYTHONPATH="$work/serial" bash "$check"
expect "without serial_asyncio" "install python3-serial-asyncio" \
  env PYTHONPATH="$work/serial_asyncio" bash "$check"
expect "without pymodbus" "install python3-pymodbus" env PYTHONPATH="$work/pymodbus" bash "$check"
expect "without Debian's python3" "install python3" \
  env TVK_PEER_PYTHON="$work/no-python3" bash "$check"

# Every program the check runs, but mbpoll and socat.
mkdir "$work/bin"
for program in bash env timeout grep head tr seq sleep mktemp rm dirname cat; do
  ln -s "$(command -v "$program")" "$work/bin/$program"
done
expect "without mbpoll" "install mbpoll" env PATH="$work/bin" bash "$check"
expect "without socat" "install socat" env PATH="$work/bin" bash "$check"

[ "$faults" -eq 0 ] || exit 1
echo "peer check: ok"
