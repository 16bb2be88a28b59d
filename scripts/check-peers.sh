#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every independent peer the tests start can really start here,
# so that a missing package stops the test command at once with its name
# instead of failing tests one by one later:
#   - pymodbus's server and client, with Debian's own python3 (a version
#     manager's python3 earlier on PATH does not see Debian's packages, so the
#     tests never use it);
#   - mbpoll and socat.
# The pymodbus slave of the tests is started on a loopback port, pymodbus's
# client and mbpoll read from it, and socat relays a few bytes.
# Exit status 0 when all of them work, 1 (with one line per fault) otherwise.
# TVK_PEER_PYTHON names another interpreter, to see this check fail.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
python=${TVK_PEER_PYTHON:-/usr/bin/python3}
faults=0

fault() {
  echo "peer check: $*" >&2
  faults=$((faults + 1))
}

# Debian package of each module the peers import.
package_of() {
  case "$1" in
    pymodbus) echo python3-pymodbus ;;
    serial) echo python3-serial ;;
    serial_asyncio) echo python3-serial-asyncio ;;
    *) echo "the package that ships the Python module '$1' (dpkg -S $1)" ;;
  esac
}

peer=""
peer_out=""
cleanup() {
  if [ -n "$peer" ]; then
    kill "$peer" 2>/dev/null
    wait "$peer" 2>/dev/null
  fi
  [ -n "$peer_out" ] && rm -f "$peer_out"
}
trap cleanup EXIT

python_ok=1
if [ ! -x "$python" ]; then
  fault "$python is missing: install python3"
  python_ok=0
else
  # The modules the server and the client need, named one per line when one
  # cannot be imported.
  missing=$("$python" - <<'EOF' 2>&1
import importlib
reported = set()
for module in ("pymodbus.datastore", "pymodbus.server.async_io", "pymodbus.server",
               "pymodbus.client"):
    try:
        importlib.import_module(module)
    except ModuleNotFoundError as e:
        name = (e.name or module).split(".")[0]
        if name not in reported:
            reported.add(name)
            print("missing", name)
    except Exception as e:
        print("broken", module, type(e).__name__, e)
EOF
  ) || true
  while read -r what name rest; do
    case "$what" in
      missing) fault "pymodbus cannot start under $python: module '$name' is missing: install $(package_of "$name")"
               python_ok=0 ;;
      broken) fault "pymodbus cannot start under $python: importing $name fails: $rest"
              python_ok=0 ;;
      "") ;;
      *) fault "$python failed: $what $name $rest"; python_ok=0 ;;
    esac
  done <<<"$missing"
fi

port=""
if [ "$python_ok" = 1 ]; then
  peer_out=$(mktemp)
  "$python" "$top/tests/peers/pymodbus_server.py" 0 >"$peer_out" 2>&1 &
  peer=$!
  for _ in $(seq 1 200); do   # 20 s at most
    port=$(head -n1 "$peer_out" | grep -E '^[0-9]+$' || true)
    [ -n "$port" ] && break
    kill -0 "$peer" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    fault "the pymodbus slave of the tests did not start: $(tr '\n' ' ' <"$peer_out")"
  else
    answer=$("$python" - "$port" <<'EOF' 2>&1
import sys
from pymodbus.client import ModbusTcpClient
client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=5)
if not client.connect():
    sys.exit("cannot connect")
reply = client.read_holding_registers(0, 2)
client.close()
print(*getattr(reply, "registers", [reply]))
EOF
    )
    [ "$answer" = "1000 1001" ] || fault "pymodbus's client cannot read from its slave: $answer"
  fi
fi

if ! command -v mbpoll >/dev/null; then
  fault "mbpoll is missing: install mbpoll"
elif [ -n "$port" ]; then
  # Two holding registers from address 0 (mbpoll counts from 1), once.
  answer=$(timeout 20 mbpoll -m tcp -p "$port" -a 1 -t 4 -r 1 -c 2 -1 127.0.0.1 2>&1)
  grep -q '\[1\]:.*1000' <<<"$answer" || fault "mbpoll cannot read from the pymodbus slave: $answer"
elif ! mbpoll -V >/dev/null 2>&1; then
  fault "mbpoll does not run: reinstall mbpoll"
fi

if ! command -v socat >/dev/null; then
  fault "socat is missing: install socat"
else
  answer=$(printf ping | timeout 10 socat - EXEC:cat 2>&1)
  [ "$answer" = ping ] || fault "socat does not relay: $answer"
fi

if [ "$faults" -gt 0 ]; then
  echo "peer check: $faults fault(s); scripts/deps.sh (as root) installs what is missing" >&2
  exit 1
fi
echo "peer check: pymodbus server and client ($python), mbpoll and socat start"
