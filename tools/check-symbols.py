"""Fails when a wheel's module asks the C library for a symbol without naming its version.

    python tools/check-symbols.py [--root ROOT] WHEEL...

A versioned reference (`memcpy@GLIBC_2.14`) is what auditwheel reads to choose the manylinux
tag. A reference without a version binds to whatever the loading system's C library defines, so
auditwheel counts it as no requirement at all, and the tag can promise a glibc older than the one
the module needs: a module linked against a sysroot that lacks `__libc_single_threaded` (glibc
2.32) keeps an unversioned reference to it and is tagged for glibc 2.17, yet fails to load below
2.32. This check names every such reference to a symbol that the C library and its companions
(libm, libpthread, libdl, librt, the dynamic loader, libgcc_s) define, as found under ROOT (the
target system's root, default /) for the module's architecture. The interpreter's own API is
unversioned and is not the C library's, so it passes.

Needs pyelftools (which auditwheel brings).
"""

from __future__ import annotations

import argparse
import sys
import zipfile
from io import BytesIO
from pathlib import Path

from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

MULTIARCH = {"EM_X86_64": "x86_64-linux-gnu", "EM_AARCH64": "aarch64-linux-gnu"}
SYSTEM_LIBRARIES = (
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
    "libgcc_s.so.1",
)


def unversioned_undefined(elf: ELFFile) -> set[str]:
    """Names of the undefined dynamic symbols that carry no version."""
    dynsym = elf.get_section_by_name(".dynsym")
    versions = elf.get_section_by_name(".gnu.version")
    names = set()
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if index == 0 or symbol["st_shndx"] != "SHN_UNDEF":
            continue
        # 0 and 1 are VER_NDX_LOCAL and VER_NDX_GLOBAL: no version asked for.
        version = versions.get_symbol(index)["ndx"] if versions is not None else 1
        if version in (0, 1, "VER_NDX_LOCAL", "VER_NDX_GLOBAL"):
            names.add(symbol.name)
    return names


def defined_by_system(root: Path, machine: str) -> set[str]:
    """The dynamic symbols that the target's C library and its companions define."""
    multiarch = MULTIARCH.get(machine)
    if multiarch is None:
        sys.exit(f"check-symbols: no known library folder for machine {machine}")
    folders = [root / "lib" / multiarch, root / "usr" / "lib" / multiarch]
    found, names = [], set()
    for library in SYSTEM_LIBRARIES:
        for folder in folders:
            path = folder / library
            if path.is_file():
                found.append(path)
                break
    if not any(path.name == "libc.so.6" for path in found):
        sys.exit(f"check-symbols: no libc.so.6 for {multiarch} under {root}")
    for path in found:
        with open(path, "rb") as stream:
            elf = ELFFile(stream)
            section = elf.get_section_by_name(".dynsym")
            if isinstance(section, SymbolTableSection):
                names.update(s.name for s in section.iter_symbols() if s["st_shndx"] != "SHN_UNDEF")
    return names


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=Path("/"))
    parser.add_argument("wheels", nargs="+", type=Path)
    args = parser.parse_args()

    failed = False
    system: dict[str, set[str]] = {}
    for wheel in args.wheels:
        with zipfile.ZipFile(wheel) as archive:
            modules = [name for name in archive.namelist() if name.endswith(".so")]
            if not modules:
                print(f"check-symbols: {wheel.name} holds no shared object")
                failed = True
            for name in modules:
                elf = ELFFile(BytesIO(archive.read(name)))
                machine = elf["e_machine"]
                if machine not in system:
                    system[machine] = defined_by_system(args.root, machine)
                unversioned = sorted(unversioned_undefined(elf) & system[machine])
                if unversioned:
                    failed = True
                    print(
                        f"check-symbols: {wheel.name}: {name} needs system symbols without a "
                        f"version, so its tag cannot be trusted: {', '.join(unversioned)}"
                    )
                else:
                    print(
                        f"check-symbols: {wheel.name}: {name} names a version for every "
                        "system symbol it needs"
                    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
