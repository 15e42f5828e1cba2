#!/usr/bin/env bash
# Prints the path of a free-threaded CPython (built with --disable-gil) of the given version,
# building it once per machine from Debian's source package.
#
#   bash tools/freethreaded-python.sh 3.13t
#   bash tools/freethreaded-python.sh 3.13t-tsan    (the same, built --with-thread-sanitizer)
#
# Debian packages no free-threaded interpreter, so this takes the upstream source tarball that
# Debian's unstable suite serves (tools/lib/debian-source.sh, kept in the cache) and builds it
# without PGO or LTO. The result lives outside the clone in $KESTRUM_FREETHREADED/VERSION
# (default /var/cache/kestrum/freethreaded/3.13t): 265 MB for 3.13.15. The bundled test suite
# is left out; the C test modules (_testcapi) stay for kestrum's tests. Building 3.13.15 took 4 min 8 s of processor time on 2026-12-09 (bookworm's
# gcc 12, two cores; 5 min wall when the machine was quiet, 36 min under load from other work);
# later runs reuse the result. The instrumented 3.13t-tsan (296 MB) took 5 min 51 s of processor
# time and 19 min 49 s wall on 2026-12-09, on the same machine under load from other work (load 7
# to 20). Needs the host's C compiler and curl; root only if the cache folder is not writable.
set -euo pipefail

version="${1:?usage: freethreaded-python.sh MAJOR.MINORt[-tsan]}"
# The -tsan flavour is instrumented by ThreadSanitizer (gcc's, the runtime g++ links kestrum's
# instrumented build with: one runtime per process), for tools/tsan.sh. Its prefix also keeps
# the interpreter's own suppressions (Tools/tsan/) in share/tsan/.
configure_flags=(--disable-gil)
case "$version" in
3.[0-9]*t) minor="${version%t}" ;;
3.[0-9]*t-tsan) minor="${version%t-tsan}"; configure_flags+=(--with-thread-sanitizer) ;;
*)
    echo "freethreaded-python.sh: expected a version such as 3.13t or 3.13t-tsan, got $version" >&2
    exit 1
    ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib/debian-roots.sh"
source "$here/lib/debian-source.sh"
source "$here/lib/built-once.sh"
fail() { echo "freethreaded-python.sh: $*" >&2; exit 1; }

cache="${KESTRUM_FREETHREADED:-/var/cache/kestrum/freethreaded}"
prefix="$cache/$version"
python="$prefix/bin/python${minor}t"
mkdir -p "$cache"
built_once "$cache/.lock-$version" "$python"

# Everything of an unfinished run lives here, removed on exit; a run killed outright leaves only
# this, which the next run removes (it holds no mounts).
work="$cache/.build-$version"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"

{
    tarball="$(python_source "$minor")" || fail "no source of python$minor to build from (above)"
    echo "freethreaded-python.sh: building $(basename "$tarball") with ${configure_flags[*]} into $prefix"

    mkdir "$work/src"
    tar -xJf "$tarball" -C "$work/src" --strip-components=1
    cd "$work/src"
    # The build runs what it builds. An instrumented program needs the fixed memory layout
    # (setarch -R: its shadow memory sits at fixed places) and must not fail on what its
    # runtime reports about the interpreter's own races, which are not this build's concern.
    run=(nice)
    if [[ "$version" == *-tsan ]]; then
        run=(nice setarch "$(uname -m)" -R)
        export TSAN_OPTIONS="report_bugs=0:exitcode=0"
    fi
    "${run[@]}" ./configure "${configure_flags[@]}" --prefix="$prefix" --without-ensurepip \
        >configure.log 2>&1 || { tail -n 30 configure.log; fail "configure failed (log above)"; }
    "${run[@]}" make -j"$(nproc)" >make.log 2>&1 ||
        { tail -n 30 make.log; fail "make failed (log above)"; }
    # Installed under the staging folder, the files already name their final prefix. The
    # bundled test suites (Lib/test, IDLE's) are neither installed nor compiled: TESTSUBDIRS
    # names them in the Makefile.
    "${run[@]}" make altinstall DESTDIR="$work/stage" TESTSUBDIRS= >install.log 2>&1 ||
        { tail -n 30 install.log; fail "make altinstall failed (log above)"; }
    if [[ "$version" == *-tsan ]]; then
        mkdir -p "$work/stage$prefix/share/tsan"
        cp Tools/tsan/*.txt "$work/stage$prefix/share/tsan/"
    fi
    "${run[@]}" "$work/stage$python" -c 'import sys; assert not sys._is_gil_enabled()' ||
        fail "the interpreter built has the GIL enabled"
} >&2

mv "$work/stage$prefix" "$prefix"
echo "$python"
