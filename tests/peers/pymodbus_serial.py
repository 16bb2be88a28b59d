#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Modbus RTU peers for the serial interop tests, built on pymodbus only.

  pymodbus_serial.py server <port> <slave>
      Serves slave id <slave> on the serial port <port> (19200 baud, no
      parity, 8 data bits, 1 stop bit), prints "serving" once it reads the
      line, and serves until it is killed. Requests for other ids are left
      unanswered. Tables of 100 entries from address 0:
        coils            1 where the address is a multiple of 3, else 0
        discrete inputs  1 where the address is odd, else 0
        holding regs     1000 + address
        input regs       2000 + address

  pymodbus_serial.py master <port> <slave>
      Sends the eight requests to <slave> on <port>, expecting the tables
      above (the device under test is filled the same way), checks every
      answer, and exits 0 when all were right, 1 otherwise; each failure is
      printed as one line. Ends with a request of an illegal quantity,
      which must come back as exception 3 within the client's timeout (a
      device that sleeps before answering it, as libmodbus does for its
      response timeout, is given a far longer one by the test).
"""
import asyncio
import logging
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusSerialServer

SIZE = 100
# No parity: a pseudo terminal drops the parity flag, and pyserial then
# fails to set its timeouts on a line it believes is even.
LINE = dict(baudrate=19200, parity="N", bytesize=8, stopbits=1)


def make_slave():
    return ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [1 if a % 3 == 0 else 0 for a in range(SIZE)]),
        di=ModbusSequentialDataBlock(0, [a % 2 for a in range(SIZE)]),
        hr=ModbusSequentialDataBlock(0, [1000 + a for a in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [2000 + a for a in range(SIZE)]),
        zero_mode=True)


async def serve(port, slave):
    context = ModbusServerContext(slaves={slave: make_slave()}, single=False)
    server = ModbusSerialServer(context, ModbusRtuFramer, port=port,
                                ignore_missing_slaves=True, timeout=0.05, **LINE)
    await server.start()
    print("serving", flush=True)
    await asyncio.Event().wait()


def master(port, slave):
    failures = []

    def expect(what, got, wanted):
        if got != wanted:
            failures.append(f"{what}: got {got}, wanted {wanted}")

    client = ModbusSerialClient(port=port, framer=ModbusRtuFramer, timeout=2, **LINE)
    if not client.connect():
        print("cannot open", port)
        return 1

    def ok(rr, what):
        if rr is None or rr.isError():
            failures.append(f"{what}: {rr}")
            return False
        return True

    rr = client.read_coils(3, 10, slave=slave)
    if ok(rr, "read coils"):
        expect("coils", rr.bits[:10], [(3 + i) % 3 == 0 for i in range(10)])
    rr = client.read_discrete_inputs(10, 5, slave=slave)
    if ok(rr, "read discrete inputs"):
        expect("inputs", rr.bits[:5], [bool((10 + i) % 2) for i in range(5)])
    rr = client.read_holding_registers(20, 4, slave=slave)
    if ok(rr, "read holding registers"):
        expect("holding", rr.registers, [1020, 1021, 1022, 1023])
    rr = client.read_input_registers(96, 4, slave=slave)
    if ok(rr, "read input registers"):
        expect("input", rr.registers, [2096, 2097, 2098, 2099])

    ok(client.write_coil(1, True, slave=slave), "write coil")
    ok(client.write_coils(40, [True, False, True, True, False, False, True, False, True],
                          slave=slave), "write coils")
    ok(client.write_register(50, 0xBEEF, slave=slave), "write register")
    ok(client.write_registers(60, [7, 8, 9], slave=slave), "write registers")

    rr = client.read_coils(40, 9, slave=slave)
    if ok(rr, "read back coils"):
        expect("coils written", rr.bits[:9], [True, False, True, True, False, False, True, False, True])
    rr = client.read_holding_registers(50, 13, slave=slave)
    if ok(rr, "read back registers"):
        expect("register written", rr.registers[0], 0xBEEF)
        expect("registers written", rr.registers[10:13], [7, 8, 9])

    rr = client.read_holding_registers(0, 126, slave=slave)
    if rr is None or not rr.isError() or getattr(rr, "exception_code", None) != 3:
        failures.append(f"illegal quantity: {rr}")

    client.close()
    for f in failures:
        print(f)
    print("done", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    logging.disable(logging.CRITICAL)
    mode, port, slave = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "server":
        try:
            asyncio.run(serve(port, slave))
        except KeyboardInterrupt:
            pass
    else:
        sys.exit(master(port, slave))
