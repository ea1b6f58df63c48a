#!/usr/bin/python3
"""A Modbus TCP server nobody on this project wrote: Debian's pymodbus, with
known register and coil values, for the interop tests.

    pymodbus_server.py [--port N]     (0, the default, picks a free port)

Serves 127.0.0.1 only, prints "PORT <n>" once it listens and stops on
SIGTERM. Addresses are on the wire as given (zero_mode). Input registers
0..255, holding registers 0..5255 (so 5000..5255 is the driver's area 2) and
coils 0..5255 exist; a request reaching past them is refused with exception 2
(illegal data address), as pymodbus refuses anything outside its blocks.
"""
import argparse
import asyncio
import signal

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncTcpServer

INPUT_REGISTERS = 256
HOLDING_REGISTERS = 5256
COILS = HOLDING_REGISTERS


def pattern(offset, count):
    # An odd step visits every 16-bit value once, so no two registers of a
    # table are equal and both bytes of each vary.
    return [(offset + 0x2F1B * i) & 0xFFFF for i in range(count)]


def context():
    store = ModbusSlaveContext(
        ir=ModbusSequentialDataBlock(0, pattern(0x1357, INPUT_REGISTERS)),
        hr=ModbusSequentialDataBlock(0, pattern(0x8642, HOLDING_REGISTERS)),
        co=ModbusSequentialDataBlock(0, [i % 3 == 0 for i in range(COILS)]),
        di=ModbusSequentialDataBlock(0, [False]),
        zero_mode=True)
    return ModbusServerContext(slaves=store, single=True)


async def serve(port):
    # Reusing the address lets a restarted server take the same port at once.
    server = await StartAsyncTcpServer(context=context(), address=("127.0.0.1", port),
                                       defer_start=True, allow_reuse_address=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    serving = asyncio.create_task(server.serve_forever())
    await server.serving
    print("PORT", server.server.sockets[0].getsockname()[1], flush=True)
    await stop.wait()
    await server.shutdown()
    serving.cancel()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    asyncio.run(serve(parser.parse_args().port))


if __name__ == "__main__":
    main()
