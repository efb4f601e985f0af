#!/usr/bin/python3
"""Where a bench client's CPU goes per transaction (on demand, not CI); run
by breakdown.sh inside the bench's network namespace (see in-netns.sh), with
the bench's cases, devices and placement (bench.py).

Three passes over the chosen cases:
  cpu       perf samples of the measured core (software cpu-clock, one every
            --period ns of CPU) between the client's "ready" and "done". The
            client's samples are split by image and function: Wine's PE
            images and ours are named from their load addresses (+loaddll)
            and symbol tables (mingw nm, addr2line for inlined code), the
            unix side and the kernel by perf. Each sample is also charged to
            the first frame in VelkoMB.dll (else in the client program) on
            its frame-pointer call chain: that function plus the platform
            code it calls.
  calls     Wine's relay trace of two short runs: the difference over the
            difference of their transaction counts gives the calls per
            transaction across DLL boundaries, and the heap allocations,
            each charged to the last caller in VelkoMB.dll (else in the
            client program) and the API it entered.
  requests  a wineserver started with -d1 traces every request; again two
            short runs, the difference per transaction by request name.
"""
import argparse
import bisect
import collections
import contextlib
import functools
import json
import os
import re
import signal
import statistics
import struct
import subprocess
import sys
import time

import bench

WINE_PE = "/usr/lib/i386-linux-gnu/wine/i386-windows"
MINGW = "i686-w64-mingw32-"
OURS = "velkomb.dll"
CASES = "Execute IDispatch,script-shaped IDispatch,Execute vtable,Win32 WSAAsyncSelect"
HEAP_ALLOCATIONS = ("ntdll.RtlAllocateHeap", "ntdll.RtlReAllocateHeap")

LOADED = re.compile(r'^([0-9a-f]{4}):trace:loaddll:\w+ Loaded L"(.+)" at ([0-9A-F]+): ')
RELAY_CALL = re.compile(r"^([0-9a-f]{4}):Call ([\w.]+)\(.*\) ret=([0-9a-f]{8})$")
RELAY_RETURN = re.compile(r"^([0-9a-f]{4}):Ret  ([\w.]+)\(\) retval=[0-9a-f]+ ret=([0-9a-f]{8})$")
REQUEST = re.compile(r"^([0-9a-f]{4}): (\w+)\((?!\) = )")


# --- names ---

def without_templates(name):
    while True:
        shorter = re.sub(r"<[^<>]*>", "", name)
        if shorter == name:
            return name
        name = shorter


def short_name(name):
    """A function's name without parameters, template arguments, calling
    convention decoration or the project's namespace."""
    name = re.sub(r"@\d+$", "", name).replace("(anonymous namespace)::", "")
    if name.startswith("_") and "::" not in name:
        name = name[1:]
    name = without_templates(name)
    depth = 0
    for i, c in enumerate(name):
        depth += c == "("
        if c == "(" and depth == 1 and i > 0 and not name[:i].endswith("operator"):
            name = name[:i]
            break
    return name.replace("velkomb::", "")


# --- PE images ---

def windows_path(text):
    """The Linux file of a module path as +loaddll prints it."""
    path = text.replace("\\\\", "\\")
    if path[:2].upper() == "Z:":
        return path[2:].replace("\\", "/")
    return os.path.join(WINE_PE, path.rsplit("\\", 1)[-1].lower())


@functools.lru_cache(None)
def pe_layout(path):
    """Preferred image base and size of the image in memory."""
    with open(path, "rb") as f:
        head = f.read(4096)
    optional = struct.unpack_from("<I", head, 0x3C)[0] + 24  # PE32: the bench runs the 32-bit build
    return struct.unpack_from("<I", head, optional + 28)[0], struct.unpack_from("<I", head, optional + 56)[0]


@functools.lru_cache(None)
def pe_symbols(path):
    """The image's functions as sorted (RVA, name) pairs."""
    base, _ = pe_layout(path)
    out = subprocess.run([MINGW + "nm", "-C", "--defined-only", path], capture_output=True, text=True).stdout
    table = []
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tT" and not parts[2].startswith("."):
            table.append((int(parts[0], 16) - base, short_name(parts[2])))
    table.sort()
    return [rva for rva, _ in table], [name for _, name in table]


def inlined_chains(path, addresses):
    """For each address (a VMA at the preferred base) its functions from the
    innermost inlined one outwards, from the image's debug information."""
    if not addresses:
        return {}
    out = subprocess.run([MINGW + "addr2line", "-a", "-f", "-i", "-e", path],
                         input="\n".join(f"{a:x}" for a in addresses), capture_output=True, text=True).stdout
    # The debug information names functions by their linkage names, without
    # the target's leading underscore.
    out = subprocess.run(["c++filt"], input=re.sub(r"(?m)^_?(Z\w+)$", r"_\1", out), capture_output=True,
                         text=True).stdout
    chains, current, position = {}, None, 0
    for line in out.splitlines():
        if line.startswith("0x"):
            current, position = chains.setdefault(int(line, 16), []), 0
        elif current is not None:
            if position % 2 == 0:  # function and source line alternate
                current.append(short_name(line))
            position += 1
    return chains


class Module:
    def __init__(self, path, start):
        self.path, self.start = path, start
        self.name = os.path.basename(path).lower()
        self.found = os.path.exists(path)
        self.base, self.size = pe_layout(path) if self.found else (start, 1 << 16)

    def function(self, address):
        if not self.found:
            return "?"
        rvas, names = pe_symbols(self.path)
        i = bisect.bisect_right(rvas, address - self.start) - 1
        return names[i] if i >= 0 else "?"

    def vma(self, address):
        """The address at the image's preferred base (for addr2line)."""
        return address - self.start + self.base


class Modules:
    """The PE modules of the client process, from its +loaddll lines."""

    def __init__(self, stderr_path, exe):
        self.thread, loaded = None, collections.defaultdict(list)
        with open(stderr_path, errors="replace") as f:
            for line in f:
                match = LOADED.match(line)
                if match:
                    loaded[match[1]].append(Module(windows_path(match[2]), int(match[3], 16)))
        for thread, modules in loaded.items():
            if any(m.name == exe for m in modules):
                self.thread = thread
                self.modules = sorted(modules, key=lambda m: m.start)
        if not self.thread:
            sys.exit(f"no +loaddll lines of {exe} in {stderr_path}")
        self.starts = [m.start for m in self.modules]

    def find(self, address):
        i = bisect.bisect_right(self.starts, address) - 1
        if i >= 0 and address < self.modules[i].start + self.modules[i].size:
            return self.modules[i]
        return None


# --- perf samples ---

def perf_samples(data):
    """(pid, comm, [(ip, symbol, dso), ...] leaf first) for every sample."""
    out = subprocess.run(["perf", "script", "-i", data, "-F", "comm,pid,ip,sym,dso"], capture_output=True,
                         text=True, errors="replace").stdout
    sample = None
    for line in out.splitlines():
        if not line.strip():
            continue
        if not line[0].isspace():
            if sample:
                yield sample
            comm, pid = line.rsplit(None, 1)
            sample = (int(pid), comm.strip(), [])
            continue
        match = re.match(r"\s*([0-9a-f]+) (.*) \((.*)\)$", line)
        if match and sample:
            sample[2].append((int(match[1], 16), match[2], match[3]))
    if sample:
        yield sample


class Frame:
    def __init__(self, image, function, address=0):
        self.image, self.function, self.address = image, function, address


@functools.lru_cache(None)
def mapped_image(path):
    """A PE image that Wine mapped from its file: perf gives addresses in it
    relative to the file, which for Wine's own images are their RVAs."""
    return Module(path, 0) if path.endswith((".dll", ".exe", ".drv")) and os.path.isfile(path) else None


def frames(chain, modules):
    for depth, (ip, symbol, dso) in enumerate(chain):
        module = mapped_image(dso) or modules.find(ip)
        if module:
            # A return address points past its call: look up the call itself.
            address = ip if depth == 0 else ip - 1
            yield Frame(module.name, module.function(address), address)
        else:
            image = "[kernel]" if dso.startswith("[kernel") else os.path.basename(dso)
            yield Frame(image, symbol.split("+")[0])


class CpuProfile:
    """One case over the rounds: the client's samples by image, by platform
    function and by the first frame in our code, in us per transaction."""

    def __init__(self):
        self.rounds = []

    def add(self, result, samples, modules, exe, period_ns):
        unit = period_ns / 1000 / result["n"]
        tally = collections.defaultdict(collections.Counter)
        leaf_in_ours = []
        for pid, comm, chain in samples:
            if comm != exe[:15] or not chain:
                continue
            trace = list(frames(chain, modules))
            leaf = trace[0]
            if leaf.image in ("[kernel]", "[vdso32]"):
                # Entered from the unix side of a Wine DLL, where the chain ends.
                entry = next((f.image for f in trace if f.image.endswith(".so")), "entry not seen")
                leaf = Frame(f"{leaf.image} < {entry}", leaf.function)
            owner = next((f for f in trace if f.image == OURS), None) or \
                next((f for f in trace if f.image == exe), None)
            tally["image"][leaf.image] += unit
            owner_name = f"{owner.image.split('.')[0]}!{owner.function}" if owner else \
                f"(not reached; leaf in {leaf.image})"
            tally["owner"][owner_name] += unit
            tally["owner platform"][owner_name] += unit * (leaf.image not in (OURS, exe))
            if leaf.image not in (OURS, exe):
                tally["platform"][f"{leaf.image}!{leaf.function}  <  {owner_name}"] += unit
            if owner and owner.image == OURS:
                leaf_in_ours.append((owner, unit))
            tally["total"]["sampled"] += unit
        ours = next((m for m in modules.modules if m.name == OURS), None)
        if ours:
            chains = inlined_chains(ours.path, sorted({ours.vma(f.address) for f, _ in leaf_in_ours}))
            for owner, unit in leaf_in_ours:
                chain = [name for name in chains.get(ours.vma(owner.address), []) if name != "??"] or [owner.function]
                tally["inlined"][" < ".join(chain[:3])] += unit
        tally["total"]["measured"] = result["client_cpu_us"]
        self.rounds.append(tally)

    def table(self, view):
        keys = {k for r in self.rounds for k in r[view]}
        rows = []
        for key in keys:
            values = [r[view][key] for r in self.rounds]
            rows.append((statistics.median(values), min(values), max(values), key))
        return sorted(rows, reverse=True)


# --- relay and request traces ---

def relay_counts(stderr_path, modules, exe):
    """Calls of the client's main thread across DLL boundaries: by function
    with the caller's image, and heap allocations by their last caller in
    our code (else in the client program) and the API entered there."""
    calls, allocations = collections.Counter(), collections.Counter()
    stack = []
    with open(stderr_path, errors="replace") as f:
        for line in f:
            if not line.startswith(modules.thread):
                continue
            match = RELAY_CALL.match(line)
            if match:
                function, caller = match[2], modules.find(int(match[3], 16))
                stack.append((function, int(match[3], 16), caller))
                calls[f"{function}  <  {caller.name if caller else '?'}"] += 1
                if function in HEAP_ALLOCATIONS:
                    allocations[allocation_owner(stack, (OURS, exe))] += 1
                continue
            match = RELAY_RETURN.match(line)
            if match:
                entry = (match[2], int(match[3], 16))
                while stack and stack.pop()[:2] != entry:
                    pass
    return calls, allocations


def allocation_owner(stack, ours):
    """The caller to charge an allocation to: down the relayed calls from
    the allocation itself, as long as each was made from inside the one below
    it, until a caller in our code; where the chain breaks (a call made
    through a COM interface, which relay does not see) the caller there."""
    for i in range(len(stack) - 1, -1, -1):
        function, ret, caller = stack[i]
        if not caller:
            return f"?  via {function}"
        below = stack[i - 1][0].split(".")[0].lower() + ".dll" if i else None
        if caller.name in ours or caller.name != below:
            return f"{caller.name.split('.')[0]}!{caller.function(ret - 1)}  via {function}"
    return "?"


def request_counts(trace_path, offset, thread):
    counts = collections.Counter()
    with open(trace_path, errors="replace") as f:
        f.seek(offset)
        for line in f:
            match = REQUEST.match(line)
            if match and match[1] == thread:
                counts[match[2]] += 1
    return counts


def per_transaction(runs):
    """From a short and a long run, (transactions, counts) each: the counts'
    difference over the difference of their transactions, by key."""
    (n1, c1), (n2, c2) = runs
    keys = set(c1) | set(c2)
    return {k: (c2[k] - c1[k]) / (n2 - n1) for k in keys}


# --- the driver ---

class Profiler(bench.Bench):
    def __init__(self, args):
        super().__init__(args)
        self.sampling = False
        self.program = None

    def run(self, server, command, script_handshake=None):
        self.program = next(os.path.basename(a).lower() for a in command if a.endswith(".exe"))
        return super().run(server, command, script_handshake)

    def observe(self, watched):
        return self.recording() if self.sampling else contextlib.nullcontext()

    @contextlib.contextmanager
    def recording(self):
        data = os.path.join(self.logs, "perf.data")
        with open(os.path.join(self.logs, "perf.log"), "w") as log:
            perf = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-c", str(self.args.period), "-g",
                                     "-C", str(self.core), "-o", data], stdout=log, stderr=log)
        time.sleep(1)  # until perf has opened its events
        try:
            yield
        finally:
            perf.send_signal(signal.SIGINT)
            perf.wait(60)

    def case(self, name, count):
        self.args.count = count
        return self.cases()[name]()

    def client_stderr(self):
        return os.path.join(self.logs, "client.err")

    def cpu_pass(self, names):
        os.environ["WINEDEBUG"] = "+loaddll"
        profiles = {name: CpuProfile() for name in names}
        self.sampling = True
        for i in range(self.args.rounds):
            for name in names:
                result = self.case(name, self.args.count)
                modules = Modules(self.client_stderr(), self.program)
                samples = perf_samples(os.path.join(self.logs, "perf.data"))
                profiles[name].add(result, samples, modules, self.program, self.args.period)
                print(f"cpu round {i + 1}/{self.args.rounds} {name:<24} {result['tx_per_s']:>8.0f} tx/s  client "
                      f"{result['client_cpu_us']:.1f} + wineserver {result['wineserver_cpu_us']:.1f} us/tx", flush=True)
        self.sampling = False
        return profiles

    def calls_pass(self, names):
        os.environ["WINEDEBUG"] = "+relay,+loaddll"
        found = {}
        for name in names:
            runs = []
            for count in self.args.trace_counts:
                self.case(name, count)
                modules = Modules(self.client_stderr(), self.program)
                runs.append((count, relay_counts(self.client_stderr(), modules, self.program)))
            found[name] = {kind: per_transaction([(n, counts[i]) for n, counts in runs])
                           for i, kind in enumerate(("calls", "allocations"))}
            print(f"calls traced: {name}", flush=True)
        return found

    def requests_pass(self, names):
        os.environ["WINEDEBUG"] = "+loaddll"
        trace = os.path.join(self.logs, "wineserver.trace")
        self.restart_wineserver(["-d1"], trace)
        found = {}
        try:
            for name in names:
                runs = []
                for count in self.args.trace_counts:
                    offset = os.path.getsize(trace)
                    self.case(name, count)
                    thread = Modules(self.client_stderr(), self.program).thread
                    runs.append((count, request_counts(trace, offset, thread)))
                found[name] = per_transaction(runs)
                print(f"requests traced: {name}", flush=True)
        finally:
            self.restart_wineserver([], os.devnull)
        return found

    def restart_wineserver(self, options, output):
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)
        with open(output, "a") as out:
            subprocess.run(["taskset", "-c", str(self.core), "wineserver", "-p"] + options, stdin=subprocess.DEVNULL,
                           stdout=out, stderr=out, check=True)
        self.wineserver = bench.wineserver_pid(self.args.prefix)


# --- report ---

def fmt(row):
    median, low, high, key = row
    return f"  {median:8.2f}  [{low:6.2f} .. {high:6.2f}]  {key}"


def report_cpu(name, profile, top):
    total = profile.table("total")
    measured = next(r for r in total if r[3] == "measured")
    sampled = next(r for r in total if r[3] == "sampled")
    print(f"\n== {name}: client CPU, us per transaction, median [min .. max] over {len(profile.rounds)} rounds")
    print(f"  measured (schedstat) {measured[0]:.2f} [{measured[1]:.2f} .. {measured[2]:.2f}], "
          f"sampled {sampled[0]:.2f} [{sampled[1]:.2f} .. {sampled[2]:.2f}]")
    print("\n  by image (self):")
    for row in profile.table("image"):
        print(fmt(row) + f"  ({row[0] / sampled[0]:.0%})")
    platform = {r[3]: r[0] for r in profile.table("owner platform")}
    print("\n  by the first frame in our code, else in the client program (that function plus the platform code"
          " it calls; [in platform code])")
    for row in profile.table("owner")[:top]:
        print(fmt(row) + f"  [{platform.get(row[3], 0):.2f}]")
    rows = profile.table("inlined")
    if rows:
        print("\n  the same for VelkoMB.dll, by inlined function (innermost < outer < ...):")
        for row in rows[:top]:
            print(fmt(row))
    print("\n  platform functions (self)  <  the first frame in our code:")
    for row in profile.table("platform")[:top]:
        print(fmt(row))


def report_counts(title, counts, top, minimum=0.05):
    print(f"\n  {title}")
    rows = sorted(((v, k) for k, v in counts.items() if abs(v) >= minimum), reverse=True)
    for value, key in rows[:top]:
        print(f"  {value:8.2f}  {key}")
    print(f"  {sum(counts.values()):8.2f}  in all")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--core", type=int, default=os.cpu_count() - 1)
    parser.add_argument("--cases", default=CASES, help=f"comma-separated case names of bench.py (default: {CASES})")
    parser.add_argument("--passes", default="cpu,calls,requests")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the cpu pass")
    parser.add_argument("--count", type=int, default=20000, help="transactions per run of the cpu pass")
    parser.add_argument("--period", type=int, default=250000, help="ns of CPU between samples")
    parser.add_argument("--trace-counts", default="100,400", help="transactions of the two traced runs")
    parser.add_argument("--top", type=int, default=25, help="rows per table")
    parser.add_argument("--script-count", type=int, default=5000)
    parser.add_argument("--serial-count", type=int, default=2000)
    parser.add_argument("--scan-count", type=int, default=50)
    parser.add_argument("--memory-count", type=int, default=100000)
    args = parser.parse_args()
    args.trace_counts = [int(n) for n in args.trace_counts.split(",")]
    names = args.cases.split(",")
    passes = args.passes.split(",")

    others = set(range(os.cpu_count())) - {args.core}
    if others:
        os.sched_setaffinity(0, others)
    profiler = Profiler(args)
    unknown = set(names) - set(profiler.cases())
    if unknown:
        sys.exit(f"no such case: {', '.join(sorted(unknown))}")
    found = {}
    if "cpu" in passes:
        found["cpu"] = profiler.cpu_pass(names)
    if "calls" in passes:
        found["calls"] = profiler.calls_pass(names)
    if "requests" in passes:
        found["requests"] = profiler.requests_pass(names)

    for name in names:
        if "cpu" in found:
            report_cpu(name, found["cpu"][name], args.top)
        if "calls" in found:
            report_counts(f"{name}: calls across DLL boundaries per transaction  <  calling image",
                          found["calls"][name]["calls"], args.top * 2)
            report_counts(f"{name}: heap allocations per transaction, by caller", found["calls"][name]["allocations"],
                          args.top)
        if "requests" in found:
            report_counts(f"{name}: wineserver requests per transaction", found["requests"][name], args.top)
    summary = {name: {"cpu": {view: {r[3]: r[0] for r in found["cpu"][name].table(view)}
                              for view in ("total", "image", "owner")} if "cpu" in found else None,
                      "calls": found.get("calls", {}).get(name),
                      "requests": found.get("requests", {}).get(name)} for name in names}
    print("PROFILE_JSON " + json.dumps(summary, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
