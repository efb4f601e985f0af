#!/usr/bin/python3
"""Scriptable fake Modbus/TCP device for behaviour real devices rarely show.

Every request is framed from its MBAP header (7 bytes, then length - 1 more),
logged to stderr as hex, and answered according to --mode. The correct reply
("normal") uses register value 1000 + address and bits that are on at even
addresses, for function codes 1, 2, 3, 4, 5, 6, 15, 16 and 23.

A mode is one coroutine taking (connection, request). It answers through the
connection and returns False when the connection is to end. Add a mode by
writing such a coroutine and listing it in MODES. The modes of
CONNECTION_MODES act on the next new connection before any request is
answered. --reply replaces the correct reply in every mode that sends one, and
--once makes options last for one answer (or one connection) only.

--second-port serves a second port the same way; the control port's line
"last-request" answers with the port and the bytes of the last request
received, and "restart SECONDS" makes the device go away as if it restarted:
its connections are reset and its ports refuse connections until it listens
again SECONDS later. --stalled-port listens on a port that never accepts: its accept
queue is full, so the kernel drops further connection requests and a connect
to it stays pending. --rtu-port and --rtu-line serve RTU frames in place of
MBAP ones, on a TCP port and on a serial line.
"""
import argparse
import os
import random
import shlex
import asyncio
import signal
import socket
import struct
import sys
import tty

MBAP_SIZE = 7
MAX_MBAP_LENGTH = 254  # unit id + largest PDU (253 bytes)
MAX_FRAME = MBAP_SIZE + MAX_MBAP_LENGTH
REGISTER_BASE = 1000
READ_LIMITS = {1: 2000, 2: 2000, 3: 125, 4: 125, 23: 125}
ECHOED_FUNCTIONS = (5, 6, 15, 16)
ILLEGAL_FUNCTION, ILLEGAL_ADDRESS, ILLEGAL_VALUE = 1, 2, 3
DEFAULT_DELAY = 2.0


class ModbusError(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


# ---------------------------------------------------------------- replies --

def pack_bits(address, count):
    data = bytearray((count + 7) // 8)
    for i in range(count):
        if (address + i) % 2 == 0:
            data[i // 8] |= 1 << (i % 8)
    return bytes(data)


def pack_registers(address, count):
    return b"".join(struct.pack(">H", (REGISTER_BASE + address + i) & 0xFFFF)
                    for i in range(count))


def checked_read_range(function, pdu):
    address, count = struct.unpack(">HH", pdu[1:5])
    if not 1 <= count <= READ_LIMITS[function]:
        raise ModbusError(ILLEGAL_VALUE)
    if address + count > 0x10000:
        raise ModbusError(ILLEGAL_ADDRESS)
    return address, count


def normal_pdu(pdu):
    """The reply PDU a well-behaved device gives to the request PDU."""
    function = pdu[0]
    if function in ECHOED_FUNCTIONS:
        if len(pdu) < 5:
            raise ModbusError(ILLEGAL_VALUE)
        return pdu[:5]
    if function not in READ_LIMITS:
        raise ModbusError(ILLEGAL_FUNCTION)
    if len(pdu) < 5:
        raise ModbusError(ILLEGAL_VALUE)
    address, count = checked_read_range(function, pdu)
    data = pack_bits(address, count) if function in (1, 2) else pack_registers(address, count)
    return bytes([function, len(data)]) + data


def exception_pdu(pdu, code):
    return bytes([pdu[0] | 0x80, code])


def crc16(data):
    """CRC-16/MODBUS, sent low byte first."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


class RtuRequest(bytes):
    """An RTU request as the MBAP request it stands for (ids 0); replies to
    it are framed as RTU."""

    @classmethod
    def of(cls, data):
        return cls(struct.pack(">HHH", 0, 0, len(data) - 2) + data[:-2])


def frame(request, pdu):
    """Wrap a reply PDU in an MBAP header echoing the request's ids, or in
    RTU framing for an RTU request."""
    if isinstance(request, RtuRequest):
        unit_and_pdu = request[6:7] + pdu
        return unit_and_pdu + crc16(unit_and_pdu)
    return request[:4] + struct.pack(">H", len(pdu) + 1) + request[6:7] + pdu


def normal_reply(request):
    pdu = request[MBAP_SIZE:]
    try:
        return frame(request, normal_pdu(pdu))
    except ModbusError as error:
        return frame(request, exception_pdu(pdu, error.code))


def exception_reply(request, code):
    return frame(request, exception_pdu(request[MBAP_SIZE:], code))


def reply_to(conn, request):
    """The --reply bytes when given, else the correct reply."""
    return conn.options.reply or normal_reply(request)


# ------------------------------------------------------------- connection --

class Connection:
    """One accepted client: framed reading and the ways of answering it."""

    def __init__(self, reader, writer, options):
        self.reader = reader
        self.writer = writer
        self.options = options
        sock = writer.get_extra_info("socket")  # none on a serial line
        if sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    async def read_request(self):
        """The next complete request, or None when the client is gone or talks nonsense."""
        try:
            header = await self.reader.readexactly(MBAP_SIZE)
            length = struct.unpack(">H", header[4:6])[0]
            if not 2 <= length <= MAX_MBAP_LENGTH:
                log(f"bad MBAP length {length} in {header.hex(' ')}, closing")
                return None
            return header + await self.reader.readexactly(length - 1)
        except (asyncio.IncompleteReadError, ConnectionError):
            return None

    async def send(self, data):
        self.writer.write(data)
        await self.writer.drain()

    async def send_pieces(self, data, offsets, pause):
        bounds = [0] + sorted(o for o in offsets if 0 < o < len(data)) + [len(data)]
        for start, end in zip(bounds, bounds[1:]):
            if start:
                await asyncio.sleep(pause)
            await self.send(data[start:end])

    async def flushed(self):
        """Wait until asyncio has handed every written byte to the kernel."""
        for _ in range(1000):
            if self.writer.transport.get_write_buffer_size() == 0:
                return
            await asyncio.sleep(0.001)

    async def reset(self):
        await self.flushed()
        self.writer.get_extra_info("socket").setsockopt(
            socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.writer.transport.abort()

    async def close(self):
        self.writer.close()
        try:
            await self.writer.wait_closed()
        except ConnectionError:
            pass


class RtuConnection(Connection):
    """A client that sends RTU frames over TCP: a request is what one read
    brings (the client sends each in one piece), its CRC checked."""

    async def read_request(self):
        try:
            data = await self.reader.read(MAX_FRAME)
        except ConnectionError:
            return None
        if not data:
            return None
        if len(data) < 4 or crc16(data[:-2]) != data[-2:]:
            log(f"bad RTU request {data.hex(' ')}, closing")
            return None
        return RtuRequest.of(data)


class UdpDevice(asyncio.DatagramProtocol):
    """MBAP requests in datagrams, answered in the modes that make sense
    there (normal, delay, raw, silent: a lost datagram, foreign: a reply
    from another address first)."""

    def __init__(self, settings):
        self.settings = settings
        self.transport = None
        self.stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.stranger.bind(("127.0.0.1", 0))

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        asyncio.get_running_loop().create_task(self.answer(data, addr))

    async def answer(self, request, addr):
        options = self.settings["options"]
        used_once(self.settings, options)
        self.settings["last_request"] = (options.udp_port, request)
        log(f"datagram {request.hex(' ')}")
        await asyncio.sleep(options.delay)
        if options.mode == "silent":
            return
        reply = options.reply or normal_reply(request)
        if options.mode == "foreign":
            self.stranger.sendto(reply[:-2] + b"\x11\x11", addr)
        self.transport.sendto(reply, addr)


# ------------------------------------------------------------------ modes --

async def mode_normal(conn, request):
    await conn.send(normal_reply(request))
    return True


async def mode_split(conn, request):
    await conn.send_pieces(reply_to(conn, request), conn.options.split_at, conn.options.pause)
    return True


async def mode_merged(conn, request):
    """The correct reply and an exception reply behind it, in one segment."""
    await conn.send(normal_reply(request) + exception_reply(request, conn.options.exception_code))
    return True


async def mode_stray(conn, request):
    """The correct reply and one byte that belongs to no reply, --pause s later
    (0: in the same segment)."""
    reply = reply_to(conn, request)
    await conn.send_pieces(reply + b"\x00", [len(reply)] if conn.options.pause else [], conn.options.pause)
    return True


async def mode_close_after_reply(conn, request):
    await conn.send(reply_to(conn, request))
    await conn.close()
    return False


async def mode_truncated(conn, request):
    await conn.send(reply_to(conn, request)[:conn.options.length])
    return True


async def mode_exception(conn, request):
    await conn.send(exception_reply(request, conn.options.exception_code))
    return True


async def mode_silent(conn, request):
    return True


async def mode_reset_mid_reply(conn, request):
    await conn.send(reply_to(conn, request)[:conn.options.length])
    await asyncio.sleep(conn.options.pause)
    await conn.reset()
    return False


async def mode_close_mid_reply(conn, request):
    await conn.send(reply_to(conn, request)[:conn.options.length])
    await asyncio.sleep(conn.options.pause)
    await conn.close()
    return False


async def mode_raw(conn, request):
    await conn.send(conn.options.reply)
    return True


async def mode_trickle(conn, request):
    """The reply one byte at a time, --pause s apart."""
    await conn.send_pieces(reply_to(conn, request), range(1, MAX_FRAME), conn.options.pause)
    return True


async def mode_flood(conn, request):
    """--length bytes of garbage (from --seed); the connection stays open."""
    await conn.send(random.Random(conn.options.seed).randbytes(conn.options.length))
    return True


async def mode_capped(conn, request):
    """Reads of more than --most items get exception 3, as from a device that
    caps its requests below what the protocol allows."""
    pdu = request[MBAP_SIZE:]
    count = struct.unpack(">H", pdu[3:5])[0] if pdu[0] in READ_LIMITS and len(pdu) >= 5 else 0
    await conn.send(exception_reply(request, ILLEGAL_VALUE) if count > conn.options.most else normal_reply(request))
    return True


async def mode_address_delay(conn, request):
    """The correct reply after as many milliseconds as the request's address:
    a later request for a lower address is answered first."""
    address = struct.unpack(">H", request[MBAP_SIZE + 1:MBAP_SIZE + 3])[0]
    await asyncio.sleep(address / 1000)
    await conn.send(normal_reply(request))
    return True


async def close_on_accept(conn):
    await conn.close()


async def reset_on_accept(conn):
    await conn.reset()


async def close_mid_request(conn):
    await conn.reader.read(3)
    await conn.close()


async def reset_mid_request(conn):
    await conn.reader.read(3)
    await conn.reset()


MODES = {
    "normal": mode_normal,
    "split": mode_split,
    "merged": mode_merged,
    "stray": mode_stray,
    "close-after-reply": mode_close_after_reply,
    "foreign": mode_normal,  # a reply from another address first, on the UDP port
    "truncated": mode_truncated,
    "exception": mode_exception,
    "delay": mode_normal,  # the wait before answering is applied to every mode
    "silent": mode_silent,
    "reset-mid-reply": mode_reset_mid_reply,
    "close-mid-reply": mode_close_mid_reply,
    "raw": mode_raw,
    "trickle": mode_trickle,
    "flood": mode_flood,
    "capped": mode_capped,
    "address-delay": mode_address_delay,
}

CONNECTION_MODES = {
    "close-on-accept": close_on_accept,
    "reset-on-accept": reset_on_accept,
    "close-mid-request": close_mid_request,
    "reset-mid-request": reset_mid_request,
}


# ----------------------------------------------------------------- server --

def log(text):
    print(text, file=sys.stderr, flush=True)


async def serve_client(reader, writer, settings):
    options = settings["options"]
    port = writer.get_extra_info("sockname")[1]
    conn = (RtuConnection if port == options.rtu_port else Connection)(reader, writer, options)
    peer = writer.get_extra_info("peername")
    name = f"client {peer[0]}:{peer[1]}"
    settings["connections"].add(conn)
    log(f"{name} connected")
    if options.mode in CONNECTION_MODES:
        used_once(settings, options)
        log(f"{name}: {options.mode}")
        try:
            await asyncio.sleep(options.delay)
            await CONNECTION_MODES[options.mode](conn)
        except ConnectionError:
            pass
        return
    await answer_requests(conn, settings, port, name)
    settings["connections"].discard(conn)


async def answer_requests(conn, settings, port, name):
    """Answers the requests of one connection (or serial line) until it ends."""
    keep_open = True
    while keep_open:
        request = await conn.read_request()
        if request is None:
            break
        # The behaviour may have been switched through the control port; a
        # connection mode waits for the next connection.
        options = conn.options = settings["options"]
        settings["last_request"] = (port, request)
        if options.mode in CONNECTION_MODES:
            answer = mode_normal
        else:
            used_once(settings, options)
            answer = MODES[options.mode]
        log(f"request {request.hex(' ')}")
        await asyncio.sleep(options.delay)
        try:
            keep_open = await answer(conn, request)
        except ConnectionError as error:
            log(f"{name} lost: {error}")
            break
    if keep_open:
        await conn.close()
    log(f"{name} done")


async def open_line(path, options):
    """A serial line (a pseudo-terminal's device end) as a connection that
    takes RTU requests, as the RTU port does. A line has no connection to
    end, so a restart leaves it alone."""
    loop = asyncio.get_running_loop()
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(fd, "rb", 0))
    transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin,
                                                        os.fdopen(os.dup(fd), "wb", 0))
    return RtuConnection(reader, asyncio.StreamWriter(transport, protocol, reader, loop), options)


def used_once(settings, options):
    """Options given with --once give way to the ones before them once used."""
    if options.once and settings["options"] is options:
        settings["options"] = settings["before_once"]


async def control_client(reader, writer, settings):
    """Takes one line of options (as on the command line) for the requests that
    follow, or answers "last-request" with the port and hex bytes of the last
    request received (port 0 and nothing before the first)."""
    line = (await reader.readline()).decode(errors="replace")
    base = settings["options"]
    if line.startswith("restart "):
        await restart(settings, float(line.split()[1]))
        writer.write(b"OK\n")
        await writer.drain()
        writer.close()
        return
    if line.strip() == "last-request":
        port, request = settings.get("last_request", (0, b""))
        writer.write(f"{port} {request.hex(' ')}\n".encode())
        await writer.drain()
        writer.close()
        return
    try:
        options = parse_options(shlex.split(line) + ["--host", base.host, "--port", str(base.port),
                                                      "--rtu-port", str(base.rtu_port),
                                                      "--udp-port", str(base.udp_port)])
        if options.once and not base.once:
            settings["before_once"] = base
        settings["options"] = options
        writer.write(b"OK\n")
        log(f"control: {line.strip()}")
    except SystemExit:
        writer.write(b"ERROR\n")
    await writer.drain()
    writer.close()


async def restart(settings, seconds):
    """The device goes away as if it restarted: its connections end (reset),
    its ports refuse connections until it listens again `seconds` later. The
    answer to the control line comes once it has gone."""
    servers = settings["servers"]
    for server in servers:
        server.close()
    for conn in list(settings["connections"]):
        try:
            await conn.reset()
        except (OSError, AttributeError):
            pass  # a connection that was ending already
    for server in servers:
        await server.wait_closed()

    async def come_back():
        await asyncio.sleep(seconds)
        servers[:] = await settings["listen"]()
        log("restarted")
    asyncio.create_task(come_back())


async def serve(options):
    clients = set()
    settings = {"options": options, "connections": set()}

    def on_task(coroutine):
        task = asyncio.create_task(coroutine)
        clients.add(task)
        task.add_done_callback(clients.discard)

    def on_connect(reader, writer):
        on_task(serve_client(reader, writer, settings))

    def on_control(reader, writer):
        on_task(control_client(reader, writer, settings))

    async def listen():
        return [await asyncio.start_server(on_connect, options.host, port, reuse_address=True)
                for port in (options.port, options.second_port, options.rtu_port) if port]
    servers = settings["servers"] = await listen()
    settings["listen"] = listen
    stalled = stalled_listener(options.host, options.stalled_port) if options.stalled_port else []
    if options.udp_port:
        await asyncio.get_running_loop().create_datagram_endpoint(lambda: UdpDevice(settings),
                                                                  local_addr=(options.host, options.udp_port))
    if options.rtu_line:
        # Its requests are reported with port 0.
        line = await open_line(options.rtu_line, options)
        on_task(answer_requests(line, settings, 0, options.rtu_line))
    control = None
    if options.control_port:
        control = await asyncio.start_server(on_control, options.host, options.control_port,
                                             reuse_address=True)
    print(f"fake device listening on {options.host}:{options.port}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    await stop.wait()
    for server in servers:
        server.close()
    for sock in stalled:
        sock.close()
    if control:
        control.close()
    for task in list(clients):
        task.cancel()
    await asyncio.gather(*clients, return_exceptions=True)
    for server in servers:
        await server.wait_closed()


def stalled_listener(host, port):
    """A listener with an accept queue of one, filled by a connection of its
    own that is never accepted: Linux then drops every further SYN, so a
    client's connect stays pending until it gives up."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    listener.listen(0)
    filler = socket.create_connection((host, port))
    return [listener, filler]


def offsets(text):
    return [int(part) for part in text.split(",") if part.strip()]


def parse_options(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=502)
    parser.add_argument("--control-port", type=int, default=0,
                        help="port on which one line of these options switches the behaviour")
    parser.add_argument("--second-port", type=int, default=0, help="another port served the same way")
    parser.add_argument("--rtu-port", type=int, default=0,
                        help="a port served the same way, with RTU frames in place of MBAP ones")
    parser.add_argument("--udp-port", type=int, default=0, help="a UDP port taking MBAP datagrams")
    parser.add_argument("--rtu-line", help="a serial device (a pseudo-terminal) served as the RTU port is")
    parser.add_argument("--stalled-port", type=int, default=0,
                        help="a port whose connects stay pending: it never accepts")
    parser.add_argument("--mode", choices=sorted([*MODES, *CONNECTION_MODES]), default="normal")
    parser.add_argument("--delay", type=float,
                        help=f"seconds to wait before answering, or before a connection mode acts "
                             f"(default {DEFAULT_DELAY} in delay mode, 0 otherwise)")
    parser.add_argument("--split-at", type=offsets, default=[1, 8, 9],
                        help="split mode: byte offsets where the reply is cut, e.g. 1,8,9")
    parser.add_argument("--pause", type=float, default=0.1,
                        help="seconds between pieces (split), or before the reset/close")
    parser.add_argument("--length", type=int, default=8,
                        help="bytes of the reply sent in truncated/*-mid-reply modes, of garbage in flood")
    parser.add_argument("--exception-code", type=int, default=ILLEGAL_ADDRESS)
    parser.add_argument("--reply", type=bytes.fromhex, default=b"",
                        help="the reply bytes in hex, e.g. '0b00 0000 0005 0103 02 03e8': all of it in "
                             "raw mode, in place of the correct reply in the others")
    parser.add_argument("--most", type=int, default=50, help="capped mode: the most items a read may ask for")
    parser.add_argument("--seed", type=int, default=0, help="flood mode: seed of the garbage")
    parser.add_argument("--once", action="store_true",
                        help="(control port) these options serve one request or connection, then the "
                             "previous ones return")
    options = parser.parse_args(argv)
    if options.delay is None:
        options.delay = DEFAULT_DELAY if options.mode == "delay" else 0.0
    return options


def main():
    options = parse_options()
    try:
        asyncio.run(serve(options))
    except OSError as error:
        log(f"fake device: {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
