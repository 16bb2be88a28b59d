#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Modbus TCP master for the interop tests, built on pymodbus only.

Connects to the host and port given as arguments, prints "ready" once
connected, then runs one command per line read from standard input and
prints one result line per command, so that a test can look at the slave
between two requests:

  rc|rd|rh|ri ADDRESS COUNT    read coils / discrete inputs /
                               holding registers / input registers
  wc ADDRESS VALUE             write one coil (0 or 1)
  wr ADDRESS VALUE             write one holding register
  wcs ADDRESS V1 V2 ...        write several coils
  wrs ADDRESS V1 V2 ...        write several holding registers
  quit

Results: "ok" followed by the values read (none for a write),
"exception N" for a Modbus exception response with code N, or
"error TEXT" for anything else (no answer, broken connection).
"""
import logging
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse


def run(client, words):
    op, address = words[0], int(words[1])
    args = [int(w) for w in words[2:]]
    if op == "rc":
        result = client.read_coils(address, args[0])
    elif op == "rd":
        result = client.read_discrete_inputs(address, args[0])
    elif op == "rh":
        result = client.read_holding_registers(address, args[0])
    elif op == "ri":
        result = client.read_input_registers(address, args[0])
    elif op == "wc":
        result = client.write_coil(address, bool(args[0]))
    elif op == "wr":
        result = client.write_register(address, args[0])
    elif op == "wcs":
        result = client.write_coils(address, [bool(v) for v in args])
    elif op == "wrs":
        result = client.write_registers(address, args)
    else:
        return "error unknown command " + op
    if isinstance(result, ExceptionResponse):
        return "exception %d" % result.exception_code
    if result.isError():
        return "error " + str(result)
    if op in ("rc", "rd"):
        return " ".join(["ok"] + [str(int(b)) for b in result.bits[:args[0]]])
    if op in ("rh", "ri"):
        return " ".join(["ok"] + [str(r) for r in result.registers])
    return "ok"


def main():
    logging.disable(logging.CRITICAL)  # the tests read only the result lines
    client = ModbusTcpClient(sys.argv[1], port=int(sys.argv[2]), timeout=5, retries=0)
    if not client.connect():
        print("error cannot connect", flush=True)
        return
    print("ready", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "quit":
            break
        try:
            print(run(client, words), flush=True)
        except Exception as e:  # the test wants a line, whatever went wrong
            print("error " + str(e).replace("\n", " "), flush=True)
    client.close()


if __name__ == "__main__":
    main()
