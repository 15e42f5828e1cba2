#!/usr/bin/env bash
# Prints the path of a free-threaded CPython (built with --disable-gil) of the given version,
# building it once per machine from Debian's source package.
#
#   bash tools/freethreaded-python.sh 3.13t
#
# Debian packages no free-threaded interpreter, so this takes the upstream source tarball that
# Debian's unstable suite serves (asked through apt's own client, with a private list folder, and
# checked against the index's SHA-256) and builds it without PGO or LTO. The result lives outside
# the clone in $KESTRUM_FREETHREADED/VERSION (default /var/cache/kestrum/freethreaded/3.13t):
# 265 MB for 3.13.15. The bundled test suite is left out; the C test modules (_testcapi) stay for
# kestrum's tests. Building 3.13.15 took 4 min 8 s of processor time on 2026-12-09 (bookworm's
# gcc 12, two cores; 5 min wall when the machine was quiet, 36 min under load from other work);
# later runs reuse the result. Needs the host's C compiler and curl; root only if the cache
# folder is not writable.
set -euo pipefail

version="${1:?usage: freethreaded-python.sh MAJOR.MINORt}"
case "$version" in
3.[0-9]*t) minor="${version%t}" ;;
*) echo "freethreaded-python.sh: expected a version such as 3.13t, got $version" >&2; exit 1 ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib/debian-roots.sh"
source "$here/lib/debian-source.sh"
fail() { echo "freethreaded-python.sh: $*" >&2; exit 1; }

cache="${KESTRUM_FREETHREADED:-/var/cache/kestrum/freethreaded}"
prefix="$cache/$version"
python="$prefix/bin/python$version"
mkdir -p "$cache"
# One run per version at a time builds; others wait, then find its result.
exec 9>"$cache/.lock-$version"
flock 9
# The prefix appears only by the rename at the very end, so its presence means finished.
if [ -x "$python" ]; then
    echo "$python"
    exit 0
fi

# Everything of an unfinished run lives here, removed on exit; a run killed outright leaves only
# this, which the next run removes (it holds no mounts).
work="$cache/.build-$version"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"

{
    tarball="$(debian_source sid "python$minor" "$work")" ||
        fail "no source of python$minor to build from (above)"
    echo "freethreaded-python.sh: building $(basename "$tarball") with --disable-gil into $prefix"

    mkdir "$work/src"
    tar -xJf "$tarball" -C "$work/src" --strip-components=1
    cd "$work/src"
    nice ./configure --disable-gil --prefix="$prefix" --without-ensurepip >configure.log 2>&1 ||
        { tail -n 30 configure.log; fail "configure failed (log above)"; }
    nice make -j"$(nproc)" >make.log 2>&1 ||
        { tail -n 30 make.log; fail "make failed (log above)"; }
    # Installed under the staging folder, the files already name their final prefix.
    nice make altinstall DESTDIR="$work/stage" >install.log 2>&1 ||
        { tail -n 30 install.log; fail "make altinstall failed (log above)"; }
    rm -rf "$work/stage$prefix/lib/python$version/test"
    "$work/stage$prefix/bin/python$version" -c 'import sys; assert not sys._is_gil_enabled()' ||
        fail "the interpreter built has the GIL enabled"
} >&2

mv "$work/stage$prefix" "$prefix"
echo "$python"
