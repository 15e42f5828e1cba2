# Sourced by tools/build-arm64-wheel.sh and tools/test-arm64-wheel.sh, with $version set and the
# clone as the working folder: Debian's arm64 CPython $version under qemu-user
# (tools/arm64-python.sh), or for 3.13t the one cross-built by tools/arm64-freethreaded-python.sh,
# zig for aarch64 against its root (tools/zig-toolchain.sh), and emulated environments whose
# packages the host's pip installs, much faster than an emulated pip.
#
# Sets python, root, toolchain, tag, tags, PLAT, work (a folder removed on exit) and cmake_args, and
# exports CMAKE_TOOLCHAIN_FILE: cross-compiling is decided by the toolchain, and CMP0190 NEW
# lets FindPython still ask the interpreter for its module suffix and headers.
source tools/lib/pins.sh

PLAT=manylinux_2_17_aarch64
minor="${version%t}"
if [ "$version" != "$minor" ]; then
    # Free-threaded: cross-built here, run with the C library of the root named beside it.
    python="$(bash tools/arm64-freethreaded-python.sh "$version")"
    root="$(cat "$(dirname "$python")/root")"
else
    python="$(bash tools/arm64-python.sh "$version")"
    root="$(cd "$(dirname "$python")/../.." && pwd)"
fi
toolchain="$(bash tools/zig-toolchain.sh aarch64 "$root")"
tag="cp${version/./}"
# A wheel's tags: cp313-cp313, cp313-cp313t.
tags="cp${minor/./}-$tag"
# pip assumes the GIL's ABI for the version it is told.
abi=()
[ "$version" = "$minor" ] || abi=(--abi "$tag")
quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)
export CMAKE_TOOLCHAIN_FILE="$toolchain"
cmake_args=(-DCMAKE_POLICY_DEFAULT_CMP0190=NEW)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The host's interpreter of the same version, when there is one: the bytecode its pip compiles
# on installing is then the emulated interpreter's too, which would otherwise compile every
# module it imports itself, under emulation, in every process.
host_python="$(bash tools/find-python.sh "$version" 2>/dev/null || command -v python3)"
"$host_python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install "${quiet[@]}" "$PIN_PIP" "${PIN_REPAIR[@]}"

# An emulated environment, with packages for its interpreter installed by the host's pip.
environment() { # folder, requirements...
    local folder="$1"
    shift
    "$python" -m venv --without-pip "$folder"
    "$work/tools/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: --implementation cp \
        --python-version "$minor" "${abi[@]}" --platform "$PLAT" --platform manylinux2014_aarch64 \
        --platform manylinux_2_28_aarch64 \
        --target "$folder/lib/python$version/site-packages" "$@"
}
