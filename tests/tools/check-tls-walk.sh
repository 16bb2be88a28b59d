#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's walk through Modbus/TCP Security, command by command: make
# the certificates, start the secure simulator, read from it as a viewer,
# see the viewer's write refused and the operator's taken, then write
# through socat's bridge, which must listen on 127.0.0.1 only.
# Usage: check-tls-walk.sh SOURCE_DIR SLAVE POLL
set -uo pipefail
# In a cross build the tools start through the emulator TVK_TEST_EMULATOR
# names (tests/support/childprocess.h).
read -ra emulator <<<"${TVK_TEST_EMULATOR:-}"
src=$1 slave=("${emulator[@]}" "$2") poll=("${emulator[@]}" "$3")
work=$(mktemp -d)
pid= bridge=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; [ -n "$bridge" ] && kill "$bridge" 2>/dev/null
      wait 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAULT: $*"; [ -f "$work/slave.log" ] && cat "$work/slave.log"; exit 1; }

bash "$src/scripts/make-test-certs.sh" "$work/certs" >/dev/null || fail "make-test-certs.sh"
cd "$work/certs"
"${slave[@]}" --tls -p 0 --cert server.pem --key server.key --ca ca.pem --roles roles.rules > "$work/slave.log" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/slave.log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on [^ ]*:\([0-9]*\) .*/\1/p' "$work/slave.log")
[ -n "$port" ] || fail "the secure simulator did not listen"
tls=(-m tls -p "$port" --cert viewer.pem --key viewer.key --ca ca.pem)

out=$("${poll[@]}" "${tls[@]}" -t 4 -r 1 -c 3 -1 localhost) || fail "the viewer could not read: $out"
grep -q '^\[1\]:' <<<"$out" || fail "no values read: $out"
out=$("${poll[@]}" "${tls[@]}" -t 4 -r 1 localhost 42 2>&1) && fail "the viewer's write was taken: $out"
grep -q "exception 1 (Illegal function)" <<<"$out" || fail "the viewer's write was not refused with exception 1: $out"
out=$("${poll[@]}" -m tls -p "$port" --cert operator.pem --key operator.key --ca ca.pem -t 4 -r 1 localhost 42) \
  || fail "the operator's write was refused: $out"
grep -q "refused .*(role viewer)" "$work/slave.log" || fail "the refusal was not logged"

command -v socat >/dev/null || { echo "socat is not installed: the bridge is left out"; echo "TLS walk: ok"; exit 0; }
plain=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
socat "TCP-LISTEN:$plain,bind=127.0.0.1,reuseaddr,fork" \
      "OPENSSL:localhost:$port,cert=operator.pem,key=operator.key,cafile=ca.pem" 2>"$work/socat.log" &
bridge=$!
for _ in $(seq 100); do ss -Hltn "sport = :$plain" | grep -q . && break; sleep 0.1; done
listening=$(ss -Hltn "sport = :$plain" | awk '{print $4}')
[ "$listening" = "127.0.0.1:$plain" ] || fail "the bridge listens on '$listening', not on 127.0.0.1:$plain only"
out=$("${poll[@]}" -m tcp -p "$plain" -t 4 -r 1 127.0.0.1 43) || fail "the write through the bridge failed: $out"
out=$("${poll[@]}" -m tcp -p "$plain" -t 4 -r 1 -c 1 -1 127.0.0.1) || fail "the read through the bridge failed: $out"
grep -q '^\[1\]:[[:space:]]*43$' <<<"$out" || fail "the bridge's write did not read back: $out"
echo "TLS walk: ok"
