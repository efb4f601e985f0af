#!/usr/bin/python3
"""Self-test of the device tools and the socket peer.

Starts every tool on free high ports of 127.0.0.1, talks to it with raw
sockets (and pymodbus' client for the two register-map servers), stops every
process it started, and ends with the line "N passed, N failed".
"""
import contextlib
import os
import random
import select
import selectors
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import tty

from pymodbus.client import ModbusTcpClient
from pymodbus.constants import Endian

from fake_device import crc16  # the test device's own, beside this file

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(os.path.dirname(HERE), "peers")
PYTHON = "/usr/bin/python3"
LOOPBACK = "127.0.0.1"
TIMEOUT = 2.0
results = {"passed": 0, "failed": 0}


def check(name, condition, detail=""):
    results["passed" if condition else "failed"] += 1
    print(f"{'ok  ' if condition else 'FAIL'} {name}" + ("" if condition else f": {detail}"),
          flush=True)


# ---------------------------------------------------------------- processes --

def port_is_free(port):
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        with socket.socket(socket.AF_INET, kind) as probe:
            try:
                probe.bind((LOOPBACK, port))
            except OSError:
                return False
    return True


def free_ports(count):
    """The first of `count` consecutive free ports (TCP and UDP) above 20000."""
    for _ in range(50):
        base = random.randrange(20000, 60000)
        if all(port_is_free(base + i) for i in range(count)):
            return base
    raise RuntimeError("no free port range found")


class Tool:
    """A started tool: waits for its ready line, stops it, keeps its stderr."""

    def __init__(self, args, ready_text):
        self.stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.stderr,
                                        stdin=subprocess.DEVNULL)
        self.ready_line = self._read_line(5.0)
        if ready_text not in self.ready_line:
            self.stop()
            raise RuntimeError(f"{args[1]} did not start: {self.ready_line!r} {self.log()}")

    def _read_line(self, timeout):
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(timeout):
                return ""
        return self.process.stdout.readline().decode(errors="replace")

    def log(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def stop(self):
        """SIGTERM, then SIGKILL if need be; the exit code (None if killed)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return None
        self.process.stdout.close()
        return self.process.returncode


@contextlib.contextmanager
def running(args, ready_text):
    tool = Tool(args, ready_text)
    try:
        yield tool
    finally:
        tool.stop()


def check_clean_exit(name, tool):
    code = tool.stop()
    check(f"{name} exits with 0 on SIGTERM", code == 0, f"exit code {code}")


# ---------------------------------------------------------------- sockets --

def tcp(port):
    return socket.create_connection((LOOPBACK, port), timeout=TIMEOUT)


def udp():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((LOOPBACK, 0))
    sock.settimeout(TIMEOUT)
    return sock


def recv_exact(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_all(sock):
    """Everything until the other side closes."""
    data = b""
    while chunk := sock.recv(4096):
        data += chunk
    return data


def read_reply(sock):
    header = recv_exact(sock, 7)
    if len(header) < 7:
        return header
    return header + recv_exact(sock, struct.unpack(">H", header[4:6])[0] - 1)


def adu(tid, pdu_hex, unit=1):
    pdu = bytes.fromhex(pdu_hex)
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def transact(sock, request):
    sock.sendall(request)
    return read_reply(sock)


def nothing_arrives(sock, seconds):
    """True when the connection stays open and silent for `seconds`."""
    sock.settimeout(seconds)
    try:
        sock.recv(1)
        return False
    except socket.timeout:
        return True
    finally:
        sock.settimeout(TIMEOUT)


# ----------------------------------------------------- register-map servers --

def check_register_map(name, port):
    client = ModbusTcpClient(LOOPBACK, port=port, timeout=TIMEOUT)
    check(f"{name} accepts a pymodbus client", client.connect())
    try:
        check(f"{name} holding registers are 1000+address",
              client.read_holding_registers(0, 5).registers == [1000, 1001, 1002, 1003, 1004])
        check(f"{name} input registers are 2000+address up to 99",
              client.read_input_registers(98, 2).registers == [2098, 2099])
        check(f"{name} coils are on at multiples of 3",
              client.read_coils(0, 7).bits[:7] == [i % 3 == 0 for i in range(7)])
        check(f"{name} discrete inputs are on at even addresses",
              client.read_discrete_inputs(0, 7).bits[:7] == [i % 2 == 0 for i in range(7)])
        check(f"{name} address 199 is readable",
              not client.read_holding_registers(199, 1).isError())
        for table, read in (("holding", client.read_holding_registers),
                            ("coil", client.read_coils)):
            reply = read(195, 10)
            check(f"{name} {table} read across 200 is illegal address",
                  reply.isError() and reply.exception_code == 2, str(reply))
        check_writes(name, client)
    finally:
        client.close()


def check_writes(name, client):
    client.write_register(5, 0x1234)
    client.write_registers(10, [7, 8, 9])
    client.write_coil(1, True)
    client.write_coils(20, [True, True, False])
    check(f"{name} FC6/FC16 writes read back",
          client.read_holding_registers(5, 1).registers == [0x1234]
          and client.read_holding_registers(10, 3).registers == [7, 8, 9])
    check(f"{name} FC5/FC15 writes read back",
          client.read_coils(1, 1).bits[0] and client.read_coils(20, 3).bits[:3] == [True, True, False])
    reply = client.readwrite_registers(read_address=30, read_count=2,
                                       write_address=31, write_registers=[55])
    check(f"{name} FC23 writes, then reads", reply.registers == [1030, 55], str(reply))


def test_simulator():
    port = free_ports(2)
    gateway = port + 1
    with running([PYTHON, os.path.join(HERE, "simulator.py"), "--port", str(port),
                  "--gateway-port", str(gateway)], "simulator listening on") as tool:
        check("simulator prints its addresses", tool.ready_line.startswith(
              f"simulator listening on {LOOPBACK}:{port}, unit 17 on {LOOPBACK}:{gateway}, RTU over TCP on "),
              tool.ready_line)
        check_register_map("simulator", port)
        check_value_table(gateway)
        with tcp(port) as sock:
            reply = transact(sock, adu(0x0B00, "03 0000 0002"))
            check("simulator answers a raw request with its transaction id",
                  reply == bytes.fromhex("0b00 0000 0007 01 03 04 03e8 03e9"), reply.hex())
            reply = transact(sock, adu(0x0B00, "03 00c8 0001"))
            check("simulator read at 200 is exception 2",
                  reply[7:] == bytes.fromhex("83 02"), reply.hex())
        check_clock(port)
        check_clean_exit("simulator", tool)


def check_value_table(port):
    """Every value of the gateway's unit, read back with pymodbus' own decoder."""
    from pymodbus.payload import BinaryPayloadDecoder
    sys.path.insert(0, HERE)
    import simulator
    client = ModbusTcpClient(LOOPBACK, port=port, timeout=TIMEOUT)
    client.connect()
    try:
        wrong = []
        for t, (name, add, value) in enumerate(simulator.DATA_TYPES):
            for o, (order, byteorder, wordorder) in enumerate(simulator.WORD_ORDERS):
                registers = client.read_holding_registers(16 * t + 4 * o, 4, slave=17).registers
                if not add.startswith("add_16bit"):
                    decoder = BinaryPayloadDecoder.fromRegisters(registers, byteorder=byteorder,
                                                                 wordorder=wordorder)
                else:
                    decoder = BinaryPayloadDecoder.fromRegisters(registers, byteorder=Endian.Big)
                read = getattr(decoder, add.replace("add_", "decode_"))()
                if abs(read - value) > abs(value) * 1e-6:
                    wrong.append(f"{name} {order}: {read}")
        check("simulator gateway unit holds the value table", not wrong, ", ".join(wrong))
        other = client.read_holding_registers(0, 1, slave=5)
        check("simulator gateway answers another unit with exception 11",
              getattr(other, "exception_code", None) == 11, str(other))
    finally:
        client.close()


def check_clock(port):
    client = ModbusTcpClient(LOOPBACK, port=port, timeout=TIMEOUT)
    client.connect()
    try:
        before = client.read_input_registers(100, 1).registers[0]
        time.sleep(1.2)
        after = client.read_input_registers(100, 1).registers[0]
        seconds = client.read_holding_registers(100, 1).registers[0]
        check("simulator input register 100 counts up each second", after > before,
              f"{before} then {after}")
        check("simulator holding register 100 counts seconds", 1 <= seconds <= 30, str(seconds))
    finally:
        client.close()


def test_libmodbus_server():
    with tempfile.TemporaryDirectory(prefix="libmodbus-server-") as outdir:
        build_and_check_libmodbus_server(outdir)


def build_and_check_libmodbus_server(outdir):
    built = subprocess.run(["sh", os.path.join(HERE, "build.sh"), outdir],
                           capture_output=True, text=True, timeout=60)
    check("libmodbus server builds", built.returncode == 0, built.stderr)
    if built.returncode != 0:
        return
    server = os.path.join(outdir, "libmodbus_server")
    port = free_ports(1)
    with running([server, "--port", str(port)], "libmodbus server listening on") as tool:
        check_register_map("libmodbus server", port)
        with tcp(port) as first, tcp(port) as second:
            second.sendall(adu(1, "03 0000 0001"))
            check("libmodbus server keeps the second client waiting", nothing_arrives(second, 0.3))
            first.close()
            check("libmodbus server serves the next client when one leaves",
                  read_reply(second)[9:] == bytes.fromhex("03e8"))
        check_clean_exit("libmodbus server", tool)
    port = free_ports(1)
    with running([server, "--port", str(port), "--multi"], "listening") as tool:
        sockets = [tcp(port) for _ in range(20)]
        replies = [transact(sock, adu(i, "04 0000 0001")) for i, sock in enumerate(sockets)]
        for sock in sockets:
            sock.close()
        check("libmodbus server --multi serves 20 clients at once",
              all(reply[:2] == struct.pack(">H", i) and reply[9:] == bytes.fromhex("07d0")
                  for i, reply in enumerate(replies)), replies[0].hex())
        check_clean_exit("libmodbus server --multi", tool)
    with serial_line() as (line, device):
        with running([server, "--rtu", device], "libmodbus server serving RTU on") as tool:
            check_rtu_unit("libmodbus server", line, 1, "03 0000 0002", "03 04 03e8 03e9")
            check_clean_exit("libmodbus server --rtu", tool)


# ------------------------------------------------------------ serial lines --

@contextlib.contextmanager
def serial_line():
    """A serial line into a scratch Wine prefix: the COM end's path and the
    device end's link."""
    with tempfile.TemporaryDirectory(prefix="serial-line-") as prefix:
        os.mkdir(os.path.join(prefix, "dosdevices"))
        device = os.path.join(prefix, "device")
        with running(["bash", os.path.join(HERE, "serial_line.sh"), prefix, "COM12", device],
                     "serial line COM12 ready") as tool:
            yield os.path.join(prefix, "dosdevices", "com12"), device
            check_clean_exit("serial line", tool)
        check("serial line removes the COM port", not os.path.lexists(os.path.join(prefix, "dosdevices", "com12")))


def rtu_transact(line, unit, pdu_hex, wait=0.3):
    """What arrives within `wait` s after the request on a raw line."""
    fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        frame = bytes([unit]) + bytes.fromhex(pdu_hex)
        os.write(fd, frame + crc16(frame))
        reply, deadline = b"", time.monotonic() + wait
        while (left := deadline - time.monotonic()) > 0:
            if select.select([fd], [], [], left)[0]:
                reply += os.read(fd, 256)
        return reply
    finally:
        os.close(fd)


def check_rtu_unit(name, line, unit, request_hex, reply_hex):
    frame = bytes([unit]) + bytes.fromhex(reply_hex)
    reply = rtu_transact(line, unit, request_hex)
    check(f"{name} answers unit {unit} over RTU", reply == frame + crc16(frame), reply.hex())
    check(f"{name} does not answer unit 5", rtu_transact(line, 5, request_hex) == b"")
    time.sleep(0.2)  # libmodbus takes the next frame for unit 5's reply


def test_simulator_rtu():
    with serial_line() as (line, device):
        with running([PYTHON, os.path.join(HERE, "simulator.py"), "--rtu", device],
                     "simulator serving RTU on") as tool:
            check_rtu_unit("simulator", line, 2, "04 0000 0001", "04 02 07d0")
            check_rtu_unit("simulator", line, 17, "03 0000 0001", "03 02 cfc7")
            check_clean_exit("simulator --rtu", tool)


# ----------------------------------------------------------------- fake device --

NORMAL_EXCHANGES = [  # request PDU, reply PDU
    ("01 0001 0005", "01 01 0a"),
    ("02 0000 000a", "02 02 55 01"),
    ("03 000a 0003", "03 06 03f2 03f3 03f4"),
    ("04 0000 0001", "04 02 03e8"),
    ("05 0003 ff00", "05 0003 ff00"),
    ("06 0004 abcd", "06 0004 abcd"),
    ("0f 0001 000a 02 ff03", "0f 0001 000a"),
    ("10 0002 0002 04 0001 0002", "10 0002 0002"),
    ("17 0000 0002 0005 0001 02 0007", "17 04 03e8 03e9"),
    ("2b 0e01 00", "ab 01"),
    ("03 0000 0000", "83 03"),
]


def fake_device(port, *options):
    return running([PYTHON, os.path.join(HERE, "fake_device.py"), "--port", str(port), *options],
                   "fake device listening on")


def test_fake_normal(port):
    with fake_device(port) as tool, tcp(port) as sock:
        for tid, (request, expected) in enumerate(NORMAL_EXCHANGES, start=0x1230):
            reply = transact(sock, adu(tid, request, unit=0x11))
            check(f"fake device normal reply to {request}",
                  reply == adu(tid, expected, unit=0x11), reply.hex())
        sock.sendall(adu(1, "03 0000 0001") + adu(2, "03 0001 0001"))
        check("fake device frames two requests sent together",
              read_reply(sock) == adu(1, "03 02 03e8") and read_reply(sock) == adu(2, "03 02 03e9"))
        request = adu(3, "04 0002 0001")
        for piece in (request[:3], request[3:8], request[8:]):
            sock.sendall(piece)
            time.sleep(0.05)
        check("fake device frames a request sent in pieces", read_reply(sock) == adu(3, "04 02 03ea"))
        check("fake device logs requests as hex", "request 00 01 00 00 00 06 01 03" in tool.log(),
              tool.log()[-300:])
        check_clean_exit("fake device with a client connected", tool)


def received_pieces(sock, total):
    pieces, size = [], 0
    while size < total:
        chunk = sock.recv(total)
        if not chunk:
            break
        pieces.append(len(chunk))
        size += len(chunk)
    return pieces


def test_fake_split(port):
    with fake_device(port, "--mode", "split", "--split-at", "1,8,9", "--pause", "0.15"), \
            tcp(port) as sock:
        sock.sendall(adu(7, "03 0000 0002"))
        started = time.monotonic()
        pieces = received_pieces(sock, 13)
        elapsed = time.monotonic() - started
        check("fake device split sends the pieces one by one", pieces == [1, 7, 1, 4], str(pieces))
        check("fake device split pauses between pieces", elapsed >= 0.4, f"{elapsed:.2f} s")


def test_fake_merged(port):
    with fake_device(port, "--mode", "merged"), tcp(port) as sock:
        sock.sendall(adu(8, "03 0000 0001"))
        time.sleep(0.2)
        data = sock.recv(100)
        check("fake device merged sends reply and exception reply in one segment",
              data == adu(8, "03 02 03e8") + adu(8, "83 02"), data.hex())


def test_fake_cut_short(port):
    with fake_device(port, "--mode", "truncated", "--length", "5"), tcp(port) as sock:
        for attempt in (1, 2):
            sock.sendall(adu(9, "03 0000 0001"))
            data = recv_exact(sock, 5)
            check(f"fake device truncated sends 5 bytes and keeps the line open ({attempt})",
                  data == adu(9, "03 02 03e8")[:5] and nothing_arrives(sock, 0.3), data.hex())
    for mode, expected_end in (("reset-mid-reply", "reset"), ("close-mid-reply", "eof")):
        with fake_device(port, "--mode", mode, "--length", "8"), tcp(port) as sock:
            sock.sendall(adu(10, "03 0000 0001"))
            data = recv_exact(sock, 8)
            try:
                end = "eof" if sock.recv(100) == b"" else "data"
            except ConnectionResetError:
                end = "reset"
            check(f"fake device {mode} sends 8 bytes, then {expected_end}",
                  data == adu(10, "03 02 03e8")[:8] and end == expected_end, f"{data.hex()} {end}")


def test_fake_answers(port):
    with fake_device(port, "--mode", "exception", "--exception-code", "4"), tcp(port) as sock:
        reply = transact(sock, adu(11, "10 0000 0001 02 0001"))
        check("fake device exception answers FC+128 with the code", reply == adu(11, "90 04"),
              reply.hex())
    with fake_device(port, "--mode", "delay", "--delay", "0.5"), tcp(port) as sock:
        started = time.monotonic()
        reply = transact(sock, adu(12, "04 0000 0001"))
        elapsed = time.monotonic() - started
        check("fake device delay answers correctly after the delay",
              reply == adu(12, "04 02 03e8") and 0.45 <= elapsed < 1.5, f"{elapsed:.2f} s")
    with fake_device(port, "--mode", "silent"), tcp(port) as sock:
        sock.sendall(adu(13, "03 0000 0001"))
        check("fake device silent never answers and keeps the line open",
              nothing_arrives(sock, 0.5))
    with fake_device(port, "--mode", "raw", "--reply", "0b00 0000 0003 01 8302 ff") as tool, \
            tcp(port) as sock:
        for attempt in (1, 2):
            sock.sendall(adu(14, "03 0000 0001"))
            data = recv_exact(sock, 10)
            check(f"fake device raw sends the given bytes ({attempt})",
                  data == bytes.fromhex("0b00000000030183 02ff"), data.hex())
        check_clean_exit("fake device", tool)


def control(port, line):
    with tcp(port) as sock:
        sock.sendall(line.encode() + b"\n")
        return recv_all(sock).decode()


def test_fake_ports(port):
    second, stalled, control_port = port + 1, port + 2, port + 3
    with fake_device(port, "--second-port", str(second), "--stalled-port", str(stalled),
                     "--control-port", str(control_port)):
        check("fake device reports no request before the first",
              control(control_port, "last-request") == "0 \n")
        with tcp(second) as sock:
            reply = transact(sock, adu(15, "03 0000 0001", unit=0xF7))
        check("fake device serves its second port", reply == adu(15, "03 02 03e8", unit=0xF7),
              reply.hex())
        report = control(control_port, "last-request")
        check("fake device reports the last request and its port",
              report == f"{second} 00 0f 00 00 00 06 f7 03 00 00 00 01\n", report)
        with socket.socket() as sock:
            sock.setblocking(False)
            sock.connect_ex((LOOPBACK, stalled))
            with selectors.DefaultSelector() as selector:
                selector.register(sock, selectors.EVENT_WRITE)
                pending = not selector.select(1.2)
        check("fake device stalled port leaves a connect pending", pending)


def test_fake_rtu_line(port):
    with serial_line() as (line, device), fake_device(port, "--rtu-line", device) as tool:
        frame = bytes.fromhex("07 03 02 03e8")
        reply = rtu_transact(line, 7, "03 0000 0001")
        check("fake device answers RTU on its serial line", reply == frame + crc16(frame), reply.hex())
        check_clean_exit("fake device --rtu-line", tool)


def test_fake_device():
    port = free_ports(4)
    for test in (test_fake_normal, test_fake_split, test_fake_merged, test_fake_cut_short,
                 test_fake_answers, test_fake_ports, test_fake_rtu_line):
        test(port)


# ----------------------------------------------------------------- socket peer --

def test_socket_peer():
    base = free_ports(10)
    with running([PYTHON, os.path.join(PEERS, "socket_peer.py"), "--base", str(base)],
                 "socket peer ready") as tool:
        check_peer_tcp(base)
        check_peer_connect_back(base)
        check_peer_udp(base)
        check_clean_exit("socket peer", tool)


def check_peer_tcp(base):
    with tcp(base) as sock:
        sock.sendall(b"ping \x00\xff")
        check("peer echo echoes bytes", recv_exact(sock, 7) == b"ping \x00\xff")
    with tcp(base + 1) as sock:
        sock.sendall(struct.pack("<H", 258))
        sock.sendall(b"AB")
        sock.shutdown(socket.SHUT_WR)
        check("peer record answers GOT hex after the client shuts down, then closes",
              recv_all(sock) == b"GOT 02014142")
    with tcp(base + 2) as sock:
        check("peer send-and-close sends 10 bytes, then closes", recv_all(sock) == b"0123456789")
    with tcp(base + 3) as sock:
        sock.sendall(b"x")
        try:
            outcome = sock.recv(10)
        except ConnectionResetError:
            outcome = "reset"
        check("peer reset resets the connection", outcome == "reset", repr(outcome))
    try:
        tcp(base + 9).close()
        refused = False
    except ConnectionRefusedError:
        refused = True
    check("base+9 refuses connections", refused)


def check_peer_connect_back(base):
    with socket.create_server((LOOPBACK, 0)) as listener, tcp(base + 5) as control:
        listener.settimeout(TIMEOUT)
        control.sendall(f"CONNECT {listener.getsockname()[1]}\n".encode())
        accepted, _ = listener.accept()
        with accepted:
            accepted.settimeout(TIMEOUT)
            greeting = recv_exact(accepted, 12)
            accepted.sendall(b"hi")
        check("peer connect-back connects and says hello server", greeting == b"hello server")
        check("peer connect-back reports what came back", recv_all(control) == b"REPLY 6869\n")
    with tcp(base + 5) as control:
        control.sendall(f"CONNECT {base + 9}\n".encode())
        check("peer connect-back reports a refused connection",
              recv_all(control).startswith(b"ERROR"))


def check_peer_udp(base):
    with udp() as sock:
        sock.sendto(b"datagram", (LOOPBACK, base + 4))
        check("peer UDP echo returns the datagram to its sender",
              sock.recvfrom(100) == (b"datagram", (LOOPBACK, base + 4)))
    with udp() as control, udp() as target:
        control.sendto(f"SEND {target.getsockname()[1]} hello udp".encode(), (LOOPBACK, base + 6))
        answer, _ = control.recvfrom(100)
        data, sender = target.recvfrom(100)
        check("peer send-to sends the text from a fresh socket and names its port",
              data == b"hello udp" and sender[1] != base + 6
              and answer == f"SENT {sender[1]}".encode(), f"{answer} {data} {sender}")


def main():
    started = time.monotonic()
    for test in (test_simulator, test_simulator_rtu, test_fake_device, test_socket_peer, test_libmodbus_server):
        try:
            test()
        except Exception as error:  # one broken tool must not hide the others' results
            check(f"{test.__name__} ran to the end", False, f"{type(error).__name__}: {error}")
    print(f"({time.monotonic() - started:.1f} s)")
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
