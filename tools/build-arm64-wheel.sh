#!/usr/bin/env bash
# Builds the arm64 wheel for one CPython version on this x86-64 host, repairs it to its
# manylinux tag and checks its symbols, puts it in build/wheels/ (or $KESTRUM_DIST; dist/ is the
# release's) and prints its path as the last line.
#
#   bash tools/build-arm64-wheel.sh 3.11|3.13|3.14|3.15|3.13t
#
# The interpreter is Debian's arm64 one (tools/arm64-python.sh), for 3.13t the free-threaded one
# cross-built here (tools/arm64-freethreaded-python.sh); the compiler is zig for
# aarch64 against glibc 2.17 (tools/zig-toolchain.sh), run natively, as is CMake. Only the build
# backend runs emulated, so that the wheel is named and tagged by the interpreter it is for. The
# repaired wheel must carry the tag manylinux_2_17_aarch64, and tools/check-symbols.py must pass.
set -euo pipefail
cd "$(dirname "$0")/.."

version="${1:?usage: build-arm64-wheel.sh 3.11|3.13|3.14|3.15|3.13t}"
fail() { echo "build-arm64-wheel.sh: $*" >&2; exit 1; }
source tools/lib/arm64.sh
dist="${KESTRUM_DIST:-build/wheels}"

{
    echo "== building the $tag arm64 wheel with $(basename "$(dirname "$toolchain")")"
    environment "$work/build-env" "$PIN_BACKEND" "$PIN_BUILD"
    CMAKE_ARGS="${cmake_args[*]}" CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-Werror" \
        "$work/build-env/bin/python" -m build --wheel --no-isolation --outdir "$work/built" .
} >&2
built=("$work"/built/kestrum-*-"$tags"-*.whl)
[ -f "${built[0]}" ] || fail "no $tag wheel was built"

{
    echo "== repairing it to $PLAT and checking its symbols"
    mkdir -p "$dist"
    rm -f "$dist"/kestrum-*-"$tags"-*aarch64*.whl
    # auditwheel takes an explicit tag only for the host's architecture; `auto` picks the oldest
    # that holds, and the name must then carry the one promised.
    PATH="$work/tools/bin:$PATH" auditwheel repair --plat auto --wheel-dir "$dist" "${built[0]}"
} >&2
repaired=("$dist"/kestrum-*-"$tags"-*"$PLAT"*.whl)
[ -f "${repaired[0]}" ] || fail "the repaired $tag wheel is not tagged $PLAT: $(ls "$dist")"
PATH="$work/tools/bin:$PATH" auditwheel show "${repaired[0]}" >&2
"$work/tools/bin/python" tools/check-symbols.py --root "$root" "${repaired[0]}" >&2
echo "${repaired[0]}"
