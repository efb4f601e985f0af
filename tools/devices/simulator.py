#!/usr/bin/python3
"""Modbus/TCP device simulator with a recognisable register map.

Addresses are zero-based on the wire. Every table is 200 entries long, so a
read or write touching address 200 or above gets exception 2.

  holding registers 0..99   1000 + address
  input registers   0..99   2000 + address
  coils             0..99   on when address % 3 == 0
  discrete inputs   0..99   on when address % 2 == 0
  holding register  100     seconds since start
  input register    100     counter incremented once a second
"""
import argparse
import asyncio
import logging
import signal
import sys
import time

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncTcpServer

TABLE_SIZE = 200
MAPPED = 100
CLOCK_ADDRESS = 100
HOLDING_FC = 3
INPUT_FC = 4


def padded(values):
    return values + [values[0].__class__()] * (TABLE_SIZE - len(values))


def build_context():
    slave = ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(0, padded([1000 + i for i in range(MAPPED)])),
        ir=ModbusSequentialDataBlock(0, padded([2000 + i for i in range(MAPPED)])),
        co=ModbusSequentialDataBlock(0, padded([i % 3 == 0 for i in range(MAPPED)])),
        di=ModbusSequentialDataBlock(0, padded([i % 2 == 0 for i in range(MAPPED)])),
        zero_mode=True,
    )
    return ModbusServerContext(slaves=slave, single=True)


async def tick(context):
    """Advance the two time-varying registers once a second."""
    slave = context[0]
    started = time.monotonic()
    counter = 0
    while True:
        await asyncio.sleep(1)
        counter = (counter + 1) & 0xFFFF
        elapsed = int(time.monotonic() - started) & 0xFFFF
        slave.setValues(HOLDING_FC, CLOCK_ADDRESS, [elapsed])
        slave.setValues(INPUT_FC, CLOCK_ADDRESS, [counter])


async def serve(host, port):
    context = build_context()
    server = await StartAsyncTcpServer(context=context, address=(host, port),
                                       defer_start=True, allow_reuse_address=True)
    serving = asyncio.create_task(server.serve_forever())
    await asyncio.wait([serving, server.serving], return_when=asyncio.FIRST_COMPLETED)
    if serving.done():
        serving.result()  # raises the bind error
        return
    print(f"simulator listening on {host}:{port}", flush=True)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    ticker = asyncio.create_task(tick(context))
    await stop.wait()
    ticker.cancel()
    await server.server_close()
    serving.cancel()
    await asyncio.gather(serving, ticker, return_exceptions=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=502)
    parser.add_argument("--log", action="store_true",
                        help="show pymodbus' own log (exception replies, dropped clients)")
    args = parser.parse_args()
    logging.getLogger("pymodbus").setLevel(logging.INFO if args.log else logging.CRITICAL)
    try:
        asyncio.run(serve(args.host, args.port))
    except OSError as error:
        print(f"simulator: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
