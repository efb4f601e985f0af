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

Both ports identify themselves (function 43/14, and 17) with the texts of
IDENTITY, whose regular category is too long for one reply.

A second port (--gateway-port, default 1502) answers like a gateway with one
serial device behind it, unit id --unit (default 17); requests for any other
unit get exception 11 (gateway target device failed to respond). The unit's
200 holding registers hold typed values written by pymodbus' payload
builder, the value of type t in word order o at address 16 * t + 4 * o:

  t  type     value                 o  order
  0  Int16    -12345                0  ABCD  most significant register first
  1  UInt16   54321                 1  CDAB  registers swapped
  2  Int32    -123456789            2  BADC  bytes swapped in each register
  3  UInt32   3000000000            3  DCBA  both
  4  Float32  12345.678
  5  Float64  -2.718281828459045

Word orders apply to values wider than one register: the one-register values
stand the same in every order. Everything else is 0 and writable.

With --rtu DEVICE the simulator serves Modbus RTU on that serial device (a
pseudo-terminal end, 8 data bits, no parity, 1 stop bit) instead of TCP:
units 1 and 2 each have the register map above (their own tables), unit 17
has the value table. Like devices on a serial line, requests for other units
get no answer at all, and unit 0 is a broadcast: writes reach every unit and
nothing answers.
"""
import argparse
import asyncio
import logging
import signal
import sys
import time

from pymodbus.constants import Endian
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.device import ModbusDeviceIdentification
from pymodbus.payload import BinaryPayloadBuilder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer, StartAsyncUdpServer

TABLE_SIZE = 200
MAPPED = 100
CLOCK_ADDRESS = 100
HOLDING_FC = 3
INPUT_FC = 4

# (name, builder method, value), in the order of the value table.
DATA_TYPES = [
    ("Int16", "add_16bit_int", -12345),
    ("UInt16", "add_16bit_uint", 54321),
    ("Int32", "add_32bit_int", -123456789),
    ("UInt32", "add_32bit_uint", 3000000000),
    ("Float32", "add_32bit_float", 12345.678),
    ("Float64", "add_64bit_float", -2.718281828459045),
]
# (byte order within a register, register order) of each word order.
WORD_ORDERS = [
    ("ABCD", Endian.Big, Endian.Big),
    ("CDAB", Endian.Big, Endian.Little),
    ("BADC", Endian.Little, Endian.Big),
    ("DCBA", Endian.Little, Endian.Little),
]
SLOT = 4  # registers per entry of the value table
# The identification (function 43/14, and 17) of every port: long enough
# that the regular category takes two replies.
IDENTITY = {
    "VendorName": "Loopback Devices",
    "ProductCode": "SIM-200",
    "MajorMinorRevision": "3.0",
    "VendorUrl": "http://127.0.0.1/devices/simulator/register-map/" + "x" * 20,
    "ProductName": "Register map simulator for client tests " + "y" * 20,
    "ModelName": "Two hundred registers in every table " + "z" * 20,
    "UserApplicationName": "Tests that need a device they can predict " + "w" * 20,
}
RTU_MAP_UNITS = (1, 2)  # units with the register map on a serial line
RTU_VALUE_UNIT = 17  # the unit with the value table there


def padded(values):
    return values + [values[0].__class__()] * (TABLE_SIZE - len(values))


def register_map_slave():
    return ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(0, padded([1000 + i for i in range(MAPPED)])),
        ir=ModbusSequentialDataBlock(0, padded([2000 + i for i in range(MAPPED)])),
        co=ModbusSequentialDataBlock(0, padded([i % 3 == 0 for i in range(MAPPED)])),
        di=ModbusSequentialDataBlock(0, padded([i % 2 == 0 for i in range(MAPPED)])),
        zero_mode=True,
    )


def build_context():
    return ModbusServerContext(slaves=register_map_slave(), single=True)


def value_table():
    """The registers of the value table, from address 0."""
    registers = []
    for _, add, value in DATA_TYPES:
        for _, byteorder, wordorder in WORD_ORDERS:
            one_register = add.startswith("add_16bit")
            builder = BinaryPayloadBuilder(byteorder=Endian.Big if one_register else byteorder,
                                           wordorder=wordorder)
            getattr(builder, add)(value)
            words = builder.to_registers()
            registers += words + [0] * (SLOT - len(words))
    return registers


class GatewayContext(ModbusServerContext):
    """Takes requests for every unit id, so that those for a unit it does not
    have reach the server's lookup and get exception 11 (pymodbus' framer
    would drop them unanswered)."""

    def slaves(self):
        return [0] + super().slaves()  # unit 0 in the list lets every request through


def value_table_slave():
    return ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(0, padded(value_table())),
        ir=ModbusSequentialDataBlock(0, [0] * TABLE_SIZE),
        co=ModbusSequentialDataBlock(0, [False] * TABLE_SIZE),
        di=ModbusSequentialDataBlock(0, [False] * TABLE_SIZE),
        zero_mode=True,
    )


def build_gateway_context(unit):
    """One unit behind the gateway; other unit ids are missing (exception 11)."""
    return GatewayContext(slaves={unit: value_table_slave()}, single=False)


def build_rtu_context():
    """The units of the serial line; the framer drops requests for others."""
    slaves = {unit: register_map_slave() for unit in RTU_MAP_UNITS}
    slaves[RTU_VALUE_UNIT] = value_table_slave()
    return ModbusServerContext(slaves=slaves, single=False)


async def tick(slaves):
    """Advance the two time-varying registers of each slave once a second."""
    started = time.monotonic()
    counter = 0
    while True:
        await asyncio.sleep(1)
        counter = (counter + 1) & 0xFFFF
        elapsed = int(time.monotonic() - started) & 0xFFFF
        for slave in slaves:
            slave.setValues(HOLDING_FC, CLOCK_ADDRESS, [elapsed])
            slave.setValues(INPUT_FC, CLOCK_ADDRESS, [counter])


async def start(context, host, port, start_server=StartAsyncTcpServer, **options):
    """A server on host:port (TCP unless another `start_server`, MBAP unless
    another framer is among `options`): its close coroutine and its task."""
    server = await start_server(context=context, address=(host, port),
                                identity=ModbusDeviceIdentification(info_name=IDENTITY),
                                defer_start=True, allow_reuse_address=True, **options)
    serving = asyncio.create_task(server.serve_forever())
    await asyncio.wait([serving, server.serving], return_when=asyncio.FIRST_COMPLETED)
    if serving.done():
        serving.result()  # raises the bind error
    return server.server_close, serving


async def start_rtu(context, device):
    """An RTU server on the serial device: its close coroutine and its task."""
    server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer, port=device,
                                          baudrate=19200, bytesize=8, parity="N", stopbits=1,
                                          ignore_missing_slaves=True, broadcast_enable=True,
                                          identity=ModbusDeviceIdentification(info_name=IDENTITY),
                                          defer_start=True)
    await server.start()
    if server.transport is None:  # pymodbus logs the failure only at debug level
        raise OSError(f"cannot open serial device {device}")
    return server.shutdown, asyncio.create_task(server.serve_forever())


async def run_until_stopped(started, slaves, ready_line):
    """Serves, advancing the slaves' clocks, until SIGTERM or SIGINT."""
    print(ready_line, flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    ticker = asyncio.create_task(tick(slaves))
    await stop.wait()
    ticker.cancel()
    for close, serving in started:
        await close()
        serving.cancel()
    await asyncio.gather(ticker, *(serving for _, serving in started), return_exceptions=True)


async def serve(host, port, gateway_port, unit, rtu_tcp_port, udp_port):
    context = build_context()
    started = [await start(context, host, port)]
    if gateway_port:
        started.append(await start(build_gateway_context(unit), host, gateway_port))
    if rtu_tcp_port:
        started.append(await start(context, host, rtu_tcp_port, framer=ModbusRtuFramer))
    if udp_port:
        started.append(await start(context, host, udp_port, start_server=StartAsyncUdpServer))
    gateway = f", unit {unit} on {host}:{gateway_port}" if gateway_port else ""
    others = "".join(f", {name} on {host}:{number}" for name, number in
                     (("RTU over TCP", rtu_tcp_port), ("UDP", udp_port)) if number)
    await run_until_stopped(started, [context[0]], f"simulator listening on {host}:{port}{gateway}{others}")


async def serve_rtu(device):
    context = build_rtu_context()
    started = [await start_rtu(context, device)]
    units = ", ".join(str(unit) for unit in (*RTU_MAP_UNITS, RTU_VALUE_UNIT))
    await run_until_stopped(started, [context[unit] for unit in RTU_MAP_UNITS],
                            f"simulator serving RTU on {device}, units {units}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=502)
    parser.add_argument("--gateway-port", type=int, default=1502,
                        help="port of the gateway with one unit and the value table (0: none)")
    parser.add_argument("--unit", type=int, default=17, help="unit id behind the gateway")
    parser.add_argument("--rtu-tcp-port", type=int, default=1503,
                        help="port with the register map in RTU frames over TCP (0: none)")
    parser.add_argument("--udp-port", type=int, default=0,
                        help="UDP port with the register map in MBAP datagrams (0: none)")
    parser.add_argument("--rtu", metavar="DEVICE",
                        help="serve Modbus RTU on this serial device instead of TCP")
    parser.add_argument("--log", action="store_true",
                        help="show pymodbus' own log (exception replies, dropped clients)")
    args = parser.parse_args()
    logging.getLogger("pymodbus").setLevel(logging.INFO if args.log else logging.CRITICAL)
    try:
        if args.rtu:
            asyncio.run(serve_rtu(args.rtu))
        else:
            asyncio.run(serve(args.host, args.port, args.gateway_port, args.unit, args.rtu_tcp_port,
                              args.udp_port))
    except OSError as error:
        print(f"simulator: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
