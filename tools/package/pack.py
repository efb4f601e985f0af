#!/usr/bin/env python3
"""Packs the Windows distribution from a 32-bit and a 64-bit build.

    pack.py BUILD32 BUILD64 OUTPUT.zip

Checks that each folder holds binaries of its own architecture before it
packs them: a 64-bit DLL in x86/ would give "Class not registered".
"""
import struct
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
MACHINES = {"x86": 0x014C, "x64": 0x8664}
BINARIES = ["VelkoMB.dll", "VelkoMBReg.exe"]
SCRIPTS = ["register-for-me.cmd", "unregister-for-me.cmd"]
EXAMPLES = ["poll.vbs", "poll.js", "gateway.vbs", "word_order.vbs", "trace.vbs", "robust_poll.vbs", "sockets.vbs", "VelkoMB.bas"]
DOCS = ["reference.md", "troubleshooting.md"]


def machine_of(path):
    data = path.read_bytes()
    (offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[:2] != b"MZ" or data[offset:offset + 4] != b"PE\0\0":
        raise SystemExit(f"{path} is not a Windows executable")
    (machine,) = struct.unpack_from("<H", data, offset + 4)
    return machine


def windows_text(path):
    """Text files with CRLF line ends, as Windows editors and cmd expect."""
    return path.read_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    builds = {"x86": Path(sys.argv[1]), "x64": Path(sys.argv[2])}
    output = Path(sys.argv[3])
    top = "VelkoMB"
    output.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(f"{top}/INSTALL.txt", windows_text(HERE / "INSTALL.txt"))
        for folder, build in builds.items():
            for name in BINARIES:
                path = build / name
                if machine_of(path) != MACHINES[folder]:
                    raise SystemExit(f"{path} is not a {folder} binary")
                archive.write(path, f"{top}/{folder}/{name}")
            for name in SCRIPTS:
                archive.writestr(f"{top}/{folder}/{name}", windows_text(HERE / name))
        for name in EXAMPLES:
            archive.writestr(f"{top}/examples/{name}", windows_text(ROOT / "examples" / name))
        for name in DOCS:
            archive.writestr(f"{top}/docs/{name}", windows_text(ROOT / "docs" / name))
    with zipfile.ZipFile(output) as archive:
        for info in archive.infolist():
            print(f"{info.file_size:10d}  {info.filename}")
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
