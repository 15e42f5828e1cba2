#!/usr/bin/env bash
# Prints the path of a CMake toolchain file that compiles with zig (clang and libc++) for Linux
# on the given architecture against glibc 2.17, the oldest glibc that manylinux tags name. zig
# is the compiler of every shipped wheel: one compiler for both architectures, with its own C
# library stubs for the glibc version asked for, so the module's symbol versions never exceed it.
#
#   bash tools/zig-toolchain.sh x86_64|aarch64 [ROOT]
#   bash tools/zig-toolchain.sh x86_64-musl|aarch64-musl
#   bash tools/zig-toolchain.sh --zig        (installs zig and prints its path, for other targets)
#
# The C++ runtime (libc++, libc++abi) and LLVM's unwinder are linked into the module. glibc ends
# a thread (pthread_exit, and the interpreter's ending of daemon threads at exit) by unwinding it
# with libgcc_s, which it loads on demand, and the module's personality cannot read that
# unwinder's frames: the toolchain asks for KESTRUM_OWN_UNWINDER, with which the module wraps
# its personality to park such a thread first (binding/platform.cpp). ROOT is the target
# system: the host (/) for x86_64; for aarch64 an arm64 root (tools/arm64-root.sh), which must be
# given, and whose Python headers the toolchain then finds.
#
# For musl (x86_64-musl, aarch64-musl) the target is zig's musl, linked dynamically: musl ends a
# thread without unwinding it, so nothing is wrapped, and no ROOT is needed.
#
# zig (the `ziglang` package, pinned below) lives under $KESTRUM_ZIG (default
# /var/cache/kestrum/zig) with its compilation cache, so later runs reuse both; the toolchain
# file and the compiler wrappers it names are written there too, one set per architecture and
# root.
set -euo pipefail

ZIG_VERSION=0.17.1
GLIBC=2.17

arch="${1:?usage: zig-toolchain.sh x86_64|aarch64 [ROOT], x86_64-musl|aarch64-musl, or --zig}"
fail() { echo "zig-toolchain.sh: $*" >&2; exit 1; }
libc=gnu
case "$arch" in
    x86_64) root="${2:-/}" ;;
    aarch64) root="${2:?aarch64 needs an arm64 root}" ;;
    x86_64-musl | aarch64-musl) arch="${arch%-musl}" libc=musl root=/ ;;
    --zig) ;;
    *) fail "unknown architecture $arch (x86_64, aarch64, x86_64-musl or aarch64-musl)" ;;
esac
home="${KESTRUM_ZIG:-/var/cache/kestrum/zig}"
package="$home/ziglang-$ZIG_VERSION"
zig="$package/ziglang/zig"
if [ ! -x "$zig" ]; then
    echo "zig-toolchain.sh: installing ziglang==$ZIG_VERSION into $package" >&2
    mkdir -p "$home"
    rm -rf "$package.partial"
    python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
        --no-deps --target "$package.partial" "ziglang==$ZIG_VERSION" >&2 ||
        fail "could not install ziglang==$ZIG_VERSION with pip"
    rm -rf "$package"
    mv "$package.partial" "$package"
fi
[ "$("$zig" version)" = "$ZIG_VERSION" ] || fail "$zig is not zig $ZIG_VERSION"
if [ "$arch" = --zig ]; then
    echo "$zig"
    exit 0
fi
root="$(realpath "$root")"

# One folder per architecture and root, named by both, so that differing ones never meet.
key="$(printf '%s' "$root" | sha256sum | cut -c1-12)"
tools="$home/toolchains/$ZIG_VERSION-$arch-$key"
target="$arch-linux-gnu.$GLIBC"
flags=""
if [ "$libc" = musl ]; then
    # Without -dynamic, zig links a musl program statically, and such a program cannot dlopen.
    tools="$home/toolchains/$ZIG_VERSION-$arch-musl"
    target="$arch-linux-musl"
    flags=" -dynamic"
fi
mkdir -p "$tools" "$home/cache"
source "$(dirname "${BASH_SOURCE[0]}")/lib/write.sh"
# zig keeps frame pointers at every optimisation level; the system's compilers drop them when
# optimising, and so do these, which saves a few instructions in every call.
for tool in cc c++; do
    write_program "$tools/$tool" <<EOF
#!/bin/sh
# zig $ZIG_VERSION's $tool for $target, with its cache kept between runs.
export ZIG_GLOBAL_CACHE_DIR="\${ZIG_GLOBAL_CACHE_DIR:-$home/cache}"
exec "$zig" $tool -target $target$flags -fomit-frame-pointer "\$@"
EOF
done
for tool in ar ranlib; do
    write_program "$tools/$tool" <<EOF
#!/bin/sh
exec "$zig" $tool "\$@"
EOF
done
# Debian's pyconfig.h includes <ARCH-linux-gnu/python3.x/pyconfig.h>. For another root, that
# folder is found last, after the compiler's own C library headers, which the root's never
# replace.
headers=""
if [ "$root" != / ]; then
    mkdir -p "$tools/include"
    ln -sfn "$root/usr/include/$arch-linux-gnu" "$tools/include/$arch-linux-gnu"
    headers="set(CMAKE_CXX_FLAGS_INIT \"-idirafter $tools/include\")"
fi
# Naming the system makes CMake cross-compile, which only another architecture needs. The
# interpreter that CMake's FindPython then queries (with CMP0190 NEW) is a wrapper that starts
# qemu-user itself (tools/arm64-python.sh), so the "emulator" that runs it runs it as it is.
system=""
[ "$arch" = "$(uname -m)" ] || system="set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env)"
unwinder=""
[ "$libc" != gnu ] || unwinder='set(KESTRUM_OWN_UNWINDER ON CACHE BOOL "")'
write_program "$tools/toolchain.cmake" <<EOF
# zig $ZIG_VERSION for $target (made by tools/zig-toolchain.sh).
$system
$headers
set(CMAKE_C_COMPILER "$tools/cc")
set(CMAKE_CXX_COMPILER "$tools/c++")
set(CMAKE_AR "$tools/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$tools/ranlib" CACHE FILEPATH "")
$unwinder
EOF
echo "$tools/toolchain.cmake"
