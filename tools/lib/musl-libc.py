"""Renames the C library a musl wheel's modules ask for from zig's `libc.so` to the name musl
systems give it, `libc.musl-ARCH.so.1`, which is what auditwheel's musllinux policy allows.
Rewrites the wheel in place, with its RECORD. Run by tools/build-wheel.sh with patchelf on PATH.

    python tools/lib/musl-libc.py WHEEL
"""

from __future__ import annotations

import base64
import hashlib
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

MACHINES = {b"\x3e\x00": "x86_64", b"\xb7\x00": "aarch64"}


def main(wheel: Path) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        with zipfile.ZipFile(wheel) as source:
            infos = source.infolist()
            data = {info.filename: source.read(info) for info in infos}
        renamed = 0
        for name, content in data.items():
            if not name.endswith(".so") or content[:4] != b"\x7fELF":
                continue
            path = Path(scratch) / Path(name).name
            path.write_bytes(content)
            needed = subprocess.run(
                ["patchelf", "--print-needed", path], check=True, capture_output=True, text=True
            ).stdout.split()
            if "libc.so" not in needed:
                continue
            libc = f"libc.musl-{MACHINES[content[18:20]]}.so.1"
            subprocess.run(["patchelf", "--replace-needed", "libc.so", libc, path], check=True)
            data[name] = path.read_bytes()
            renamed += 1
        if not renamed:
            sys.exit(f"musl-libc.py: no module of {wheel} asks for libc.so")
        record = next(name for name in data if name.endswith(".dist-info/RECORD"))
        lines = []
        for line in data[record].decode().splitlines():
            name = line.rsplit(",", 2)[0]
            if name in data and name != record:
                digest = base64.urlsafe_b64encode(hashlib.sha256(data[name]).digest())
                line = f"{name},sha256={digest.rstrip(b'=').decode()},{len(data[name])}"
            lines.append(line)
        data[record] = ("\n".join(lines) + "\n").encode()
        rewritten = wheel.with_suffix(".new")
        with zipfile.ZipFile(rewritten, "w", zipfile.ZIP_DEFLATED) as target:
            for info in infos:
                target.writestr(info, data[info.filename])
        rewritten.replace(wheel)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
