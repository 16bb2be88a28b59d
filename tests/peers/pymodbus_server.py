#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Modbus TCP slave for the interop tests, built on pymodbus only.

Listens on 127.0.0.1 on the port given as the first argument (0, the
default, lets the system choose), prints the port it listens on as one line
on standard output once it accepts connections, and serves until it is
killed. With --rtu as the second argument it frames as Modbus RTU over TCP
(slave address, PDU and CRC on the stream), as a serial device server does.

Table contents, 100 entries each starting at address 0, so that a test can
check what it reads without asking the slave first:
  coils            1 where the address is a multiple of 3, else 0
  discrete inputs  1 where the address is odd, else 0
  holding regs     1000 + address
  input regs       2000 + address
"""
import asyncio
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

SIZE = 100


def make_context():
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [1 if a % 3 == 0 else 0 for a in range(SIZE)]),
        di=ModbusSequentialDataBlock(0, [a % 2 for a in range(SIZE)]),
        hr=ModbusSequentialDataBlock(0, [1000 + a for a in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [2000 + a for a in range(SIZE)]),
        zero_mode=True)
    return ModbusServerContext(slaves=slave, single=True)


async def main(port, rtu):
    server = ModbusTcpServer(make_context(), address=("127.0.0.1", port),
                             framer=ModbusRtuFramer if rtu else ModbusSocketFramer,
                             allow_reuse_address=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print(server.server.sockets[0].getsockname()[1], flush=True)
    await task


if __name__ == "__main__":
    logging.disable(logging.CRITICAL)  # the tests read only the port line
    try:
        asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 0,
                         len(sys.argv) > 2 and sys.argv[2] == "--rtu"))
    except KeyboardInterrupt:
        pass
