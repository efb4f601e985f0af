#!/usr/bin/python3
"""Loopback test peer for the socket tests: one process, one behaviour per port.

  base+0  TCP echo          echoes everything received
  base+1  TCP record        collects bytes until the client closes or shuts down
                            its sending side, then sends "GOT " + lowercase hex of
                            them (no newline) and closes
  base+2  TCP send-and-close sends "0123456789" on accept and closes gracefully
  base+3  TCP reset         reads one chunk (or waits 0.2 s), then resets
  base+4  UDP echo          sends each datagram back to its sender
  base+5  TCP connect-back  reads "CONNECT <port>\\n", connects to 127.0.0.1:<port>,
                            sends "hello server", collects what comes back until
                            that side closes or is quiet for 1 s, then answers
                            "REPLY <hex>\\n" (or "ERROR <reason>\\n") and closes
  base+6  UDP send-to       on "SEND <port> <text>" sends <text> from a fresh
                            socket to 127.0.0.1:<port> and answers the requester
                            "SENT <source port>" (or "ERROR <reason>")
  base+7  TCP slow reader   small receive buffer; reads nothing for 0.3 s, then
                            small chunks with pauses until the client closes or
                            shuts down its sending side, then sends
                            "GOT <count> <crc32 hex>" of the bytes and closes
  base+9  nothing listens there: connections to it are refused

Every connection has an idle limit and a byte limit, and the process ends by
itself after --lifetime seconds, so a forgotten peer cannot linger.
"""
import argparse
import asyncio
import ipaddress
import signal
import socket
import struct
import sys
import zlib

ECHO, RECORD, SEND_AND_CLOSE, RESET, UDP_ECHO, CONNECT_BACK, UDP_SEND_TO, SLOW_READER = range(8)
LOOPBACK = "127.0.0.1"
CHUNK = 65536
MAX_BYTES = 16 * 1024 * 1024
IDLE_LIMIT = 30.0
RESET_WAIT = 0.2
REPLY_QUIET = 1.0
REPLY_LIMIT = 5.0
SEND_AND_CLOSE_DATA = b"0123456789"
HELLO = b"hello server"
SLOW_RECEIVE_BUFFER = 16384
SLOW_START = 0.3
SLOW_CHUNK = 16384
SLOW_PAUSE = 0.001


def log(text):
    print(f"socket peer: {text}", file=sys.stderr, flush=True)


async def read_chunk(reader, timeout=IDLE_LIMIT, size=CHUNK):
    """The next chunk, b"" at end of stream, or None when nothing came in time."""
    try:
        return await asyncio.wait_for(reader.read(size), timeout)
    except asyncio.TimeoutError:
        return None


async def read_until_end(reader, quiet, limit):
    """Everything until the other side closes, goes quiet, or the time runs out."""
    data = bytearray()
    loop = asyncio.get_running_loop()
    deadline = loop.time() + limit
    while len(data) < MAX_BYTES:
        remaining = deadline - loop.time()
        if remaining <= 0:
            break
        chunk = await read_chunk(reader, min(quiet, remaining))
        if not chunk:
            break
        data += chunk
    return bytes(data)


async def close(writer):
    writer.close()
    try:
        await writer.wait_closed()
    except ConnectionError:
        pass


def reset(writer):
    writer.get_extra_info("socket").setsockopt(
        socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


# ---------------------------------------------------------- TCP behaviours --

async def tcp_echo(reader, writer):
    total = 0
    while total < MAX_BYTES:
        chunk = await read_chunk(reader)
        if not chunk:
            break
        total += len(chunk)
        writer.write(chunk)
        await writer.drain()
    await close(writer)


async def tcp_record(reader, writer):
    data = await read_until_end(reader, IDLE_LIMIT, IDLE_LIMIT)
    writer.write(b"GOT " + data.hex().encode())
    await writer.drain()
    await close(writer)


async def tcp_send_and_close(reader, writer):
    writer.write(SEND_AND_CLOSE_DATA)
    await writer.drain()
    await close(writer)


async def tcp_reset(reader, writer):
    await read_chunk(reader, RESET_WAIT)
    reset(writer)


def parse_port(text):
    port = int(text)
    if not 1 <= port <= 65535:
        raise ValueError(f"port {port} out of range")
    return port


async def connect_back(port):
    reader, writer = await asyncio.wait_for(asyncio.open_connection(LOOPBACK, port), 5)
    writer.write(HELLO)
    await writer.drain()
    received = await read_until_end(reader, REPLY_QUIET, REPLY_LIMIT)
    await close(writer)
    return received


async def tcp_connect_back(reader, writer):
    try:
        line = await asyncio.wait_for(reader.readline(), IDLE_LIMIT)
        command, port = line.decode("ascii").split()
        if command != "CONNECT":
            raise ValueError(f"unknown command {command!r}")
        answer = b"REPLY " + (await connect_back(parse_port(port))).hex().encode()
    except (ValueError, UnicodeDecodeError, OSError, asyncio.TimeoutError) as error:
        answer = f"ERROR {error or type(error).__name__}".encode()
    writer.write(answer + b"\n")
    await writer.drain()
    await close(writer)


async def tcp_slow_reader(reader, writer):
    await asyncio.sleep(SLOW_START)
    crc = 0
    total = 0
    while total < MAX_BYTES:
        chunk = await read_chunk(reader, size=SLOW_CHUNK)
        if not chunk:
            break
        crc = zlib.crc32(chunk, crc)
        total += len(chunk)
        await asyncio.sleep(SLOW_PAUSE)
    writer.write(f"GOT {total} {crc:08x}".encode())
    await writer.drain()
    await close(writer)


TCP_BEHAVIOURS = {
    ECHO: tcp_echo,
    RECORD: tcp_record,
    SEND_AND_CLOSE: tcp_send_and_close,
    RESET: tcp_reset,
    CONNECT_BACK: tcp_connect_back,
    SLOW_READER: tcp_slow_reader,
}

# Socket options of a behaviour's listening socket, inherited by the
# connections it accepts.
LISTEN_OPTIONS = {SLOW_READER: [(socket.SOL_SOCKET, socket.SO_RCVBUF, SLOW_RECEIVE_BUFFER)]}


def listening_socket(host, port, options):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    for level, name, value in options:
        sock.setsockopt(level, name, value)
    sock.bind((host, port))
    return sock


def guarded(behaviour):
    """Run a behaviour so that one client's misfortune never ends the peer."""
    async def run(reader, writer):
        try:
            await behaviour(reader, writer)
        except (ConnectionError, OSError) as error:
            log(f"{behaviour.__name__}: {error}")
            writer.transport.abort()
    return run


# ---------------------------------------------------------- UDP behaviours --

class UdpBehaviour(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport


class UdpEcho(UdpBehaviour):
    def datagram_received(self, data, address):
        self.transport.sendto(data, address)


def send_from_fresh_socket(text, port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.bind((LOOPBACK, 0))
        sender.sendto(text, (LOOPBACK, port))
        return sender.getsockname()[1]


class UdpSendTo(UdpBehaviour):
    def datagram_received(self, data, address):
        try:
            command, port, text = data.split(b" ", 2)
            if command != b"SEND":
                raise ValueError(f"unknown command {command!r}")
            source = send_from_fresh_socket(text, parse_port(port))
            answer = f"SENT {source}".encode()
        except (ValueError, OSError) as error:
            answer = f"ERROR {error}".encode()
        self.transport.sendto(answer, address)


UDP_BEHAVIOURS = {UDP_ECHO: UdpEcho, UDP_SEND_TO: UdpSendTo}


# ------------------------------------------------------------------- main --

async def start_all(host, base):
    loop = asyncio.get_running_loop()
    servers, transports = [], []
    for offset, behaviour in TCP_BEHAVIOURS.items():
        sock = listening_socket(host, base + offset, LISTEN_OPTIONS.get(offset, []))
        servers.append(await asyncio.start_server(guarded(behaviour), sock=sock))
    for offset, protocol in UDP_BEHAVIOURS.items():
        transport, _ = await loop.create_datagram_endpoint(protocol,
                                                           local_addr=(host, base + offset))
        transports.append(transport)
    return servers, transports


async def run(host, base, lifetime):
    servers, transports = await start_all(host, base)
    print("socket peer ready", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), lifetime)
    except asyncio.TimeoutError:
        log(f"lifetime of {lifetime} s over, stopping")
    for transport in transports:
        transport.close()
    for server in servers:
        server.close()


def loopback_host(text):
    if not ipaddress.ip_address(text).is_loopback:
        raise argparse.ArgumentTypeError(f"{text} is not a loopback address")
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", type=loopback_host, default=LOOPBACK)
    parser.add_argument("--base", type=int, default=47000)
    parser.add_argument("--lifetime", type=float, default=900.0,
                        help="seconds after which the peer stops by itself")
    args = parser.parse_args()
    try:
        asyncio.run(run(args.host, args.base, args.lifetime))
    except OSError as error:
        log(str(error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
