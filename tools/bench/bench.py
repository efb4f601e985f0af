#!/usr/bin/python3
"""The benchmark's driver, run by in-netns.sh inside a private network
namespace: starts each case's device server and client pinned to one core,
reads the CPU counters of the client, the wineserver and the device around
the client's measured loop, runs every case interleaved over several rounds
and prints a table of medians and ratios plus one JSON line.

Besides the floors and the one-outstanding loops: the scan of 100 clients
against a device that answers each request 20 ms late, every client's
ExecuteAsync then WaitForReply on each ("async scan 20 ms", its scan time
against 1.5 x the delay), beside the same 100 clients' sequential Execute
scan ("Execute scan 20 ms"); the same async scan against the device that
answers at once, against "scale 100 clients" (transactions per second); and
a read of 10,000 registers split by MaxPerRequest "125" into 80 requests,
against the same 80 reads of 125 made as separate Execute calls by the host
(registers per second). In the table, a scan's or a block's latency columns
are those of the whole scan or block, tx/s counts every request.

The clients print "ready" before and "done" after their measured loop and
wait for a line on stdin (the script waits for a file) after each, so start-up
and connection set-up stay out of the figures."""
import argparse
import contextlib
import json
import os
import signal
import statistics
import subprocess
import sys
import time

PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DEVICES = os.path.join(REPO, "tools", "devices")
SCRIPT = os.path.join(HERE, "bench_loop.vbs")
CSCRIPT_PROBE = os.path.join(HERE, "cscript_probe.vbs")
CLIENT_TIMEOUT = 120
SCAN_DELAY_MS = 20
SCAN_CLIENTS = 100
BLOCK_REGISTERS, BLOCK_PART = 10000, 125


def cpu_ns(pid):
    """CPU time of all threads of a process in ns (scheduler statistics,
    finer than the clock ticks of /proc/PID/stat); 0 once it is gone."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return total


def session_members(session):
    """The processes of a session: a client started in a session of its own
    is its Wine loader process plus whatever that starts."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == session:
            found.append(int(entry))
    return found


def wineserver_pid(prefix):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            pass
    sys.exit(f"no wineserver running for {prefix}")


def wait_for_line(path, word, process, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            for line in f:
                if line.strip().startswith(word):
                    return line.strip()
        if process.poll() is not None:
            break
        time.sleep(0.002)
    return None


class Device:
    """A device server on 127.0.0.1:502 (or on a serial line) for the length
    of one case: its commands started in turn, each once it printed its ready
    line; the last is the device whose CPU is counted."""

    def __init__(self, commands, core, logs):
        self.started = []
        for i, command in enumerate(commands):
            out = os.path.join(logs, f"device{i}.out")
            with open(out, "w") as stdout, open(os.path.join(logs, f"device{i}.err"), "w") as err:
                self.started.append(subprocess.Popen(["taskset", "-c", str(core)] + command, stdout=stdout,
                                                     stderr=err, stdin=subprocess.DEVNULL))
            if not wait_for_line(out, "", self.started[-1], 10) or self.started[-1].poll() is not None:
                self.stop()
                sys.exit(f"device did not start: {' '.join(command)}")
        self.process = self.started[-1]

    def stop(self):
        for process in reversed(self.started):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


class Bench:
    def __init__(self, args):
        self.args = args
        self.core = args.core
        self.logs = os.path.join(args.build, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.wineserver = wineserver_pid(args.prefix)
        self.wine = ["taskset", "-c", str(self.core), "wine"]
        native = os.path.join(args.build, "native")
        line = os.path.join(args.build, "serial", "com5")
        serial_line = ["bash", os.path.join(DEVICES, "serial_line.sh"), args.prefix, "COM5", line]
        rtu_server = [os.path.join(native, "libmodbus_server"), "--rtu", line]
        self.servers = {
            "libmodbus": [[os.path.join(native, "libmodbus_server")]],
            "epoll": [[os.path.join(native, "epoll_device")]],
            "epoll RTU over TCP": [[os.path.join(native, "epoll_device"), "--rtu-over-tcp"]],
            "epoll delay": [[os.path.join(native, "epoll_device"), "--delay-ms", str(SCAN_DELAY_MS)]],
            "delay": [[PYTHON, os.path.join(DEVICES, "fake_device.py"), "--port", "502", "--mode", "delay",
                       "--delay", "0.2"]],
            "serial": [serial_line, rtu_server],
            "serial delay": [serial_line, rtu_server + ["--delay-ms", "200"]],
        }
        self.native_client = os.path.join(native, "native_bench")
        self.scripthost = os.path.join(args.build, "main", "tools", "scripthost", "scripthost.exe")

    def exe(self, name):
        return os.path.join(self.args.build, "bench", name)

    # --- one client run ---

    def run(self, server, command, script_handshake=None):
        """Runs one client against a fresh device; returns its result with
        the CPU microseconds of client, wineserver and device per transaction."""
        device = Device(self.servers[server], self.core, self.logs)
        out = os.path.join(self.logs, "client.out")
        try:
            with open(out, "w") as stdout, open(os.path.join(self.logs, "client.err"), "w") as stderr:
                client = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=stdout, stderr=stderr,
                                          start_new_session=True)
            try:
                return self.measure(client, out, device, script_handshake)
            finally:
                self.end(client)
        finally:
            device.stop()

    def measure(self, client, out, device, script_handshake):
        if not wait_for_line(out, "ready", client, 60):
            self.fail(client, out)
        watched = {"client": session_members(client.pid), "wineserver": [self.wineserver], "device": [device.process.pid]}
        with self.observe(watched):
            before = {k: sum(map(cpu_ns, v)) for k, v in watched.items()}
            self.proceed(client, script_handshake, 1)
            if not wait_for_line(out, "done", client, CLIENT_TIMEOUT):
                self.fail(client, out)
            after = {k: sum(map(cpu_ns, v)) for k, v in watched.items()}
        self.proceed(client, script_handshake, 2)
        line = wait_for_line(out, "result", client, 30)
        if not line:
            self.fail(client, out)
        result = json.loads(line.split(" ", 1)[1])
        for k in watched:
            result[f"{k}_cpu_us"] = (after[k] - before[k]) / 1000 / result["n"]
        return result

    def observe(self, watched):
        """Wraps the measured loop of every run; breakdown.py records it. The
        processes whose CPU is counted are in `watched`."""
        return contextlib.nullcontext()

    @staticmethod
    def proceed(client, script_handshake, step):
        if script_handshake:
            open(f"{script_handshake}.{step}", "w").close()
        else:
            client.stdin.write(b"go\n")
            client.stdin.flush()

    @staticmethod
    def end(client):
        try:
            client.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(client.pid, signal.SIGKILL)
            client.wait()

    @staticmethod
    def fail(client, out):
        os.killpg(client.pid, signal.SIGKILL)
        client.wait()
        with open(out, errors="replace") as f:
            sys.exit(f"client failed: {' '.join(map(str, client.args))}\n{f.read()}")

    # --- the cases ---

    def client(self, server, program, *options):
        """A case: the program (on the core, under Wine for a .exe) against a
        fresh device of kind `server`."""
        launcher = self.wine if program.endswith(".exe") else ["taskset", "-c", str(self.core)]
        return lambda: self.run(server, launcher + [program] + list(options))

    def script(self, count):
        handshake = os.path.join(self.logs, "script-go")
        for step in (1, 2):
            if os.path.exists(f"{handshake}.{step}"):
                os.remove(f"{handshake}.{step}")
        command = self.wine + [self.scripthost, "//nologo", f"Z:{SCRIPT}", str(count), f"Z:{handshake}"]
        return self.run("libmodbus", command, handshake)

    def cases(self):
        n = str(self.args.count)
        velkomb, floor = self.exe("velkomb_bench.exe"), self.exe("floor_bench.exe")
        clients = str(SCAN_CLIENTS)
        # Scans and blocks at 0 ms make --count transactions as the loops do;
        # the Execute scan at 20 ms is two scans of 2 s.
        scans, blocks = str(self.args.count // SCAN_CLIENTS), str(self.args.count * BLOCK_PART // BLOCK_REGISTERS)
        block = ["--registers", str(BLOCK_REGISTERS), "--max-per-request", str(BLOCK_PART), "--count", blocks,
                 "--warmup", "5"]
        return {
            "native libmodbus": self.client("libmodbus", self.native_client, "--count", n),
            "Win32 blocking": self.client("libmodbus", floor, "--mode", "blocking", "--count", n),
            "Win32 WSAAsyncSelect": self.client("libmodbus", floor, "--mode", "async", "--count", n),
            "Execute IDispatch": self.client("libmodbus", velkomb, "--binding", "dispatch", "--count", n),
            "script-shaped IDispatch": self.client("libmodbus", velkomb, "--binding", "dispatch", "--shape", "script",
                                                   "--count", n),
            "script-shaped strict": self.client("libmodbus", velkomb, "--binding", "dispatch", "--shape", "script",
                                                "--policy", "strict", "--count", n),
            "script-shaped fresh texts": self.client("libmodbus", velkomb, "--binding", "dispatch", "--shape",
                                                     "script", "--texts", "fresh", "--count", n),
            "Execute vtable": self.client("libmodbus", velkomb, "--binding", "vtable", "--count", n),
            "scale 1 client": self.client("epoll", velkomb, "--clients", "1", "--count", n),
            "RTU over TCP 1 client": self.client("epoll RTU over TCP", velkomb, "--transport", "RTU over TCP",
                                                 "--count", n),
            "serial RTU (pty)": self.client("serial", velkomb, "--transport", "RTU",
                                            "--count", str(self.args.serial_count)),
            "serial slow 200 ms": self.client("serial delay", velkomb, "--transport", "RTU", "--count", "20",
                                              "--warmup", "2"),
            "scale 100 clients": self.client("epoll", velkomb, "--clients", clients, "--count", n),
            "async scan 0 ms": self.client("epoll", velkomb, "--clients", clients, "--shape", "async", "--count", scans,
                                           "--warmup", "2"),
            "async scan 20 ms": self.client("epoll delay", velkomb, "--clients", clients, "--shape", "async",
                                            "--count", str(self.args.scan_count), "--warmup", "2"),
            "Execute scan 20 ms": self.client("epoll delay", velkomb, "--clients", clients,
                                              "--count", str(2 * SCAN_CLIENTS), "--warmup", clients),
            "block by MaxPerRequest": self.client("epoll", velkomb, *block),
            "block by host Execute": self.client("epoll", velkomb, *block, "--split", "host"),
            "slow device 200 ms": self.client("delay", velkomb, "--count", "20", "--warmup", "2"),
            "VBScript (scripthost)": lambda: self.script(self.args.script_count),
        }

    def footprint(self):
        """100 clients over many transactions, private bytes and handles
        sampled every 10000."""
        return self.client("epoll", self.exe("velkomb_bench.exe"), "--clients", "100",
                           "--count", str(self.args.memory_count), "--warmup", "2000", "--sample-every", "10000")()

    def cscript_check(self):
        """What the loop meets under Wine's own cscript (no Sleep, no message pump)."""
        device = Device(self.servers["libmodbus"], self.core, self.logs)
        out = os.path.join(self.logs, "cscript.out")
        try:
            with open(out, "w") as stdout:
                subprocess.run(self.wine + ["cscript.exe", "//nologo", f"Z:{CSCRIPT_PROBE}"], stdin=subprocess.DEVNULL,
                               stdout=stdout, stderr=subprocess.STDOUT, timeout=60)
        finally:
            device.stop()
        with open(out, errors="replace") as f:
            return f.read().replace("\r", "").strip().splitlines()[-1:] or ["no output"]


# --- summary ---

def median(results, key):
    values = [r[key] for r in results if key in r]
    return statistics.median(values) if values else None


def paired_ratios(rounds, numerator, denominator, key):
    """numerator/denominator of every round, each pair from one round."""
    return [r[numerator][key] / r[denominator][key] for r in rounds if r[denominator][key]]


class Ratio:
    """A ratio over the rounds: its median, its spread, and, against a target
    (at least `low` or at most `high`), how many rounds agree with the
    verdict of the median."""

    def __init__(self, label, values, low=None, high=None):
        self.label, self.values, self.low, self.high = label, values, low, high
        self.median = statistics.median(values)

    def meets(self, value=None):
        value = self.median if value is None else value
        return (self.low is None or value >= self.low) and (self.high is None or value <= self.high)

    def agreeing(self):
        return sum(self.meets(v) == self.meets() for v in self.values)

    def target(self):
        if self.low is not None:
            return f">= {self.low:g}"
        return f"<= {self.high:g}" if self.high is not None else None

    def json(self):
        result = {"median": self.median, "min": min(self.values), "max": max(self.values), "rounds": self.values}
        if self.target():
            result.update(target=self.target(), met=self.meets(), agreeing=self.agreeing())
        return result


def cpu_total(result):
    return result["client_cpu_us"] + result["wineserver_cpu_us"]


def summarize(rounds, footprint, cscript, placement):
    names = list(rounds[0])
    for r in rounds:
        for res in r.values():
            res["cpu_us"] = cpu_total(res)
            res["wall_us"] = res["seconds"] / res["n"] * 1e6
            res["cpu_share"] = res["cpu_us"] / res["wall_us"]
    medians = {}
    for name in names:
        results = [r[name] for r in rounds]
        medians[name] = {k: median(results, k) for k in
                         ("tx_per_s", "registers_per_s", "mean_us", "median_us", "p99_us", "client_cpu_us",
                          "wineserver_cpu_us", "device_cpu_us", "cpu_us", "wall_us", "cpu_share", "failures")}
    samples = footprint["footprint"]
    first, last = samples[0], samples[-1]
    floor = "Win32 WSAAsyncSelect"

    def ratio(label, numerator, denominator, key="tx_per_s", **target):
        return Ratio(label, paired_ratios(rounds, numerator, denominator, key), **target)

    script, dispatch = "script-shaped IDispatch", "Execute IDispatch"

    def scan_ms(case, key, factor=1):
        return Ratio(case, [r[case][key] * factor / 1000 for r in rounds])

    scans = {"async scan 20 ms": scan_ms("async scan 20 ms", "median_us"),
             "async scan 20 ms: sending": scan_ms("async scan 20 ms", "send_us"),
             "async scan 0 ms": scan_ms("async scan 0 ms", "median_us"),
             "async scan 0 ms: sending": scan_ms("async scan 0 ms", "send_us"),
             "Execute scan 20 ms": scan_ms("Execute scan 20 ms", "wall_us", SCAN_CLIENTS)}
    ratios = {
        "script_shaped_vs_async_floor": ratio(f"{script} / WSAAsyncSelect floor", script, floor, low=0.8),
        "strict_vs_script_shaped": ratio(f"script-shaped strict / {script}", "script-shaped strict", script,
                                         low=0.98),
        "fresh_texts_vs_async_floor": ratio("script-shaped fresh texts / WSAAsyncSelect floor",
                                            "script-shaped fresh texts", floor, low=0.9),
        "dispatch_vs_async_floor": ratio(f"{dispatch} / WSAAsyncSelect floor", dispatch, floor, low=0.9),
        "vtable_vs_async_floor": ratio("Execute vtable / WSAAsyncSelect floor", "Execute vtable", floor),
        "script_shaped_wineserver_cpu_vs_floor": ratio(f"wineserver CPU: {script} / floor", script, floor,
                                                       "wineserver_cpu_us", high=1.1),
        "dispatch_wineserver_cpu_vs_floor": ratio(f"wineserver CPU: {dispatch} / floor", dispatch, floor,
                                                  "wineserver_cpu_us", high=1.1),
        "dispatch_vs_blocking_floor": ratio(f"{dispatch} / blocking floor", dispatch, "Win32 blocking"),
        "dispatch_vs_native": ratio(f"{dispatch} / native libmodbus", dispatch, "native libmodbus"),
        "slow_cpu_share": Ratio("slow device: CPU / wall per transaction",
                                [r["slow device 200 ms"]["cpu_share"] for r in rounds], high=0.01),
        "rtu_over_tcp_vs_tcp": ratio("RTU over TCP / Modbus/TCP, same device", "RTU over TCP 1 client",
                                     "scale 1 client", low=0.95),
        "serial_slow_cpu_share": Ratio("slow serial device: CPU / wall per transaction",
                                       [r["serial slow 200 ms"]["cpu_share"] for r in rounds], high=0.01),
        "scale_wall_100_vs_1": ratio("100 clients / 1 client, wall per tx", "scale 100 clients", "scale 1 client",
                                     "wall_us", high=1.2),
        "scale_cpu_100_vs_1": ratio("100 clients / 1 client, CPU per tx", "scale 100 clients", "scale 1 client",
                                    "cpu_us", high=1.2),
        "script_vs_dispatch": ratio(f"VBScript (scripthost) / {dispatch}", "VBScript (scripthost)", dispatch),
        "async_scan_vs_delay": Ratio(f"async scan of {SCAN_CLIENTS} / device delay {SCAN_DELAY_MS} ms",
                                     [v / SCAN_DELAY_MS for v in scans["async scan 20 ms"].values], high=1.5),
        "execute_scan_vs_delay": Ratio(f"Execute scan of {SCAN_CLIENTS} / device delay {SCAN_DELAY_MS} ms",
                                       [v / SCAN_DELAY_MS for v in scans["Execute scan 20 ms"].values]),
        "async_scan_vs_execute_0ms": ratio("async scan 0 ms / scale 100 clients, tx/s", "async scan 0 ms",
                                           "scale 100 clients"),
        "block_vs_host_execute": ratio("block by MaxPerRequest / by host Execute, reg/s", "block by MaxPerRequest",
                                       "block by host Execute", "registers_per_s"),
    }
    memory = {
        "samples": samples,
        "private_growth_bytes": last[1] - first[1],
        "handle_growth": last[2] - first[2],
    }
    targets = {f"{r.label} {r.target()}": r.meets() for r in ratios.values() if r.target()}
    # One step of heap growth (64 KiB) is the noise of private bytes.
    targets["memory and handles flat over 100000 tx"] = \
        memory["handle_growth"] <= 0 and memory["private_growth_bytes"] <= 64 * 1024
    print_table(medians, ratios, memory, targets, cscript, placement, len(rounds))
    print_scans(scans, {name: [r[name]["registers_per_s"] for r in rounds]
                        for name in ("block by MaxPerRequest", "block by host Execute")})
    print("BENCH_JSON " + json.dumps({"placement": placement, "rounds": len(rounds), "medians": medians,
                                      "scan_ms": {k: r.json() for k, r in scans.items()},
                                      "ratios": {k: r.json() for k, r in ratios.items()}, "memory": memory,
                                      "targets": targets,
                                      "cscript": cscript}, sort_keys=True))


def fmt(value, digits=1):
    return "-" if value is None else f"{value:,.{digits}f}"


def print_table(medians, ratios, memory, targets, cscript, placement, rounds):
    print(f"\nVelkoMB benchmark: medians of {rounds} interleaved rounds; {placement}")
    print("FC3 reads of 10 registers, one outstanding, on 127.0.0.1; CPU in us per transaction\n")
    header = f"{'case':<26}{'tx/s':>10}{'mean us':>10}{'p99 us':>10}{'client':>9}{'wineserv':>10}" \
             f"{'cl+ws':>9}{'device':>9}{'CPU/wall':>10}"
    print(header)
    print("-" * len(header))
    for name, m in medians.items():
        print(f"{name:<26}{fmt(m['tx_per_s'], 0):>10}{fmt(m['mean_us']):>10}{fmt(m['p99_us']):>10}"
              f"{fmt(m['client_cpu_us']):>9}{fmt(m['wineserver_cpu_us']):>10}{fmt(m['cpu_us']):>9}"
              f"{fmt(m['device_cpu_us']):>9}{m['cpu_share'] * 100:>9.2f}%")
    print(f"\nratios: median of the per-round pairs [min .. max over {rounds} rounds]; against a target, "
          "the rounds that agree with the median's verdict")
    for r in ratios.values():
        line = f"  {r.label:<52}{r.median:7.3f}  [{min(r.values):.3f} .. {max(r.values):.3f}]"
        if r.target():
            line += f"  target {r.target()}: {'met' if r.meets() else 'MISSED'}, {r.agreeing()}/{len(r.values)} agree"
        print(line)
    print("\nfootprint of 100 clients after N transactions: private bytes / handles")
    print("  " + ", ".join(f"{t}: {p:,} / {h}" for t, p, h in memory["samples"][::2]))
    print(f"  growth over {memory['samples'][-1][0]} tx: private {memory['private_growth_bytes']:+,} B, "
          f"handles {memory['handle_growth']:+d}  (target: flat)")
    print(f"\nthe loop under Wine's own cscript (no WScript.Sleep, no message pump): {cscript[0]}")
    print("\ntargets: " + "; ".join(f"{name}: {'met' if ok else 'MISSED'}" for name, ok in targets.items()))


def print_scans(scans, registers):
    """Scan times (per round the median scan, and the mean time of an async
    scan's ExecuteAsync calls; an Execute scan is the sum of its 100
    transactions) and the blocks' registers per second."""
    print(f"\nscans of {SCAN_CLIENTS} clients, ms: median of the rounds' median scans [min .. max]")
    for name, r in scans.items():
        print(f"  {name:<26}{r.median:9.2f}  [{min(r.values):.2f} .. {max(r.values):.2f}]")
    print(f"blocks of {BLOCK_REGISTERS:,} registers in parts of {BLOCK_PART}, registers/s: median [min .. max]")
    for name, values in registers.items():
        print(f"  {name:<26}{statistics.median(values):11,.0f}  [{min(values):,.0f} .. {max(values):,.0f}]")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the bench's build directory")
    parser.add_argument("--prefix", required=True, help="the Wine prefix (its wineserver is measured)")
    parser.add_argument("--core", type=int, default=os.cpu_count() - 1)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--script-count", type=int, default=5000)
    parser.add_argument("--serial-count", type=int, default=2000)
    parser.add_argument("--scan-count", type=int, default=50, help="scans of the async scan at 20 ms")
    parser.add_argument("--memory-count", type=int, default=100000)
    parser.add_argument("--only", help="run only the cases whose names contain one of these comma-separated texts; no summary")
    args = parser.parse_args()

    others = set(range(os.cpu_count())) - {args.core}
    if others:
        os.sched_setaffinity(0, others)  # the driver keeps off the measured core
    bench = Bench(args)
    placement = (f"client, device and wineserver pinned to CPU {args.core}, driver on CPU "
                 f"{','.join(map(str, sorted(others))) or args.core}; wineserver affinity "
                 f"{sorted(os.sched_getaffinity(bench.wineserver))}")
    cases = bench.cases()
    if args.only:
        cases = {k: v for k, v in cases.items() if any(text in k for text in args.only.split(","))}
    rounds = []
    for i in range(args.rounds):
        rounds.append({})
        # Every other round takes the cases in reverse, so that a load on the
        # machine that grows or fades within a round weighs on both sides of
        # a ratio alike.
        for name, case in list(cases.items())[::1 if i % 2 == 0 else -1]:
            rounds[-1][name] = result = case()
            print(f"round {i + 1}/{args.rounds} {name:<24} {result['tx_per_s']:>9.0f} tx/s  "
                  f"client {result['client_cpu_us']:.1f} + wineserver {result['wineserver_cpu_us']:.1f} us/tx",
                  flush=True)
    if args.only:
        return 0
    footprint = bench.footprint()
    cscript = bench.cscript_check()
    summarize(rounds, footprint, cscript, placement)
    return 0


if __name__ == "__main__":
    sys.exit(main())
