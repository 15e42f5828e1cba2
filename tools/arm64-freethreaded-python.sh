#!/usr/bin/env bash
# Prints the path of a free-threaded arm64 CPython (built with --disable-gil) that the host runs
# under qemu-user, cross-building it once per machine from the source Debian's unstable suite
# serves.
#
#   bash tools/arm64-freethreaded-python.sh 3.13t
#
# Debian packages no free-threaded interpreter for any architecture. CPython's cross build needs
# an interpreter of the same version that runs on the host: the free-threaded one of
# tools/freethreaded-python.sh. zig compiles for aarch64 (its own glibc stubs, so no arm64 C
# library is needed at build time), with the headers and libraries of libffi (for ctypes) and
# zlib (which writing a wheel needs) taken from the trixie root of tools/arm64-python.sh 3.13,
# whose C library the interpreter then runs with. The result lives
# in $KESTRUM_FREETHREADED/VERSION-aarch64 (default /var/cache/kestrum/freethreaded); the printed
# path is a wrapper next to the interpreter, like tools/arm64-python.sh's, and `root` beside it
# names the root. Modules whose libraries have no headers in the root (ssl, sqlite3, bz2 and
# the like) are left out; the suite needs none of them under emulation.
set -euo pipefail

version="${1:?usage: arm64-freethreaded-python.sh MAJOR.MINORt}"
case "$version" in
3.13t) minor="${version%t}" ;;
*) echo "arm64-freethreaded-python.sh: only 3.13t is built here, not $version" >&2; exit 1 ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib/built-once.sh"
fail() { echo "arm64-freethreaded-python.sh: $*" >&2; exit 1; }

cache="${KESTRUM_FREETHREADED:-/var/cache/kestrum/freethreaded}"
prefix="$cache/$version-aarch64"
wrapper="$prefix/bin/python$version-qemu"
mkdir -p "$cache"
built_once "$cache/.lock-$version-aarch64" "$wrapper"

build_python="$(bash "$here/freethreaded-python.sh" "$version")"
root="$(cd "$(dirname "$(bash "$here/arm64-python.sh" "$minor")")/../.." && pwd)"
source "$here/lib/arm64-qemu.sh"
source "$here/lib/debian-roots.sh"
source "$here/lib/debian-source.sh"
qemu="$(arm64_qemu)"
# zig itself, as the toolchain's compiler names it.
zig="$(sed -n 's/^exec "\([^"]*\)" cc .*/\1/p' \
    "$(dirname "$(bash "$here/zig-toolchain.sh" aarch64 "$root")")/cc")"
[ -x "$zig" ] || fail "zig not found"
export ZIG_GLOBAL_CACHE_DIR="${KESTRUM_ZIG:-/var/cache/kestrum/zig}/cache"

work="$cache/.build-$version-aarch64"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
{
    tarball="$(python_source "$minor")" || fail "no source for python$minor"
    echo "arm64-freethreaded-python.sh: cross-building $(basename "$tarball") with --disable-gil into $prefix"
    # The configure checks name the tools by the host triplet. A glibc newer than the wheels'
    # 2.17: the interpreter only ever runs with the root's.
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" %s -target aarch64-linux-gnu.2.36 -Wno-date-time "$@"\n' \
            "$zig" "$tool" >"$work/bin/aarch64-linux-gnu-$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$work/bin/aarch64-linux-gnu-$tool"
    done
    chmod +x "$work/bin"/*
    export PATH="$work/bin:$PATH"

    mkdir "$work/src"
    tar -xJf "$tarball" -C "$work/src" --strip-components=1
    cd "$work/src"
    # What configure cannot run for another architecture is stated: Linux's answers. No
    # pkg-config of the host's: its libraries are x86-64 ones.
    nice ./configure --host=aarch64-linux-gnu --build=x86_64-linux-gnu \
        --with-build-python="$build_python" --disable-gil --prefix="$prefix" --without-ensurepip \
        CC=aarch64-linux-gnu-cc CXX=aarch64-linux-gnu-c++ AR=aarch64-linux-gnu-ar \
        RANLIB=aarch64-linux-gnu-ranlib PKG_CONFIG_LIBDIR=/nonexistent \
        LIBFFI_CFLAGS="-idirafter $root/usr/include/aarch64-linux-gnu" \
        LIBFFI_LIBS="-L$root/usr/lib/aarch64-linux-gnu -lffi" \
        ZLIB_CFLAGS="-idirafter $root/usr/include" ZLIB_LIBS="-L$root/usr/lib/aarch64-linux-gnu -lz" \
        ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
        >configure.log 2>&1 || { tail -n 30 configure.log; fail "configure failed (log above)"; }
    nice make -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log; fail "make failed (log above)"; }
    nice make altinstall DESTDIR="$work/stage" >install.log 2>&1 ||
        { tail -n 30 install.log; fail "make altinstall failed (log above)"; }
    rm -rf "$work/stage$prefix/lib/python$version/test"

    source "$here/lib/write.sh"
    write_program "$work/stage$wrapper" <<WRAPPER
#!/bin/sh
# Free-threaded arm64 CPython $version under qemu-user, with the C library of $root
# (made by tools/arm64-freethreaded-python.sh). \$0 names a venv's interpreter, so it is found.
exec "$qemu" -L "$root" -0 "\$0" "$prefix/bin/python$version" "\$@"
WRAPPER
    echo "$root" >"$work/stage$prefix/bin/root"
    staged="$work/stage$prefix/bin/python$version"
    reported="$("$qemu" -L "$root" -0 "$staged" "$staged" -c \
        'import ctypes, platform, sys, zlib; print(platform.machine(), sys._is_gil_enabled())')" ||
        fail "the interpreter built does not run"
    [ "$reported" = "aarch64 False" ] || fail "the interpreter built reports $reported, not aarch64 False"
} >&2

mv "$work/stage$prefix" "$prefix"
echo "$wrapper"
