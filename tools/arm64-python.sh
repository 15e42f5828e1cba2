#!/usr/bin/env bash
# Prints the path of an arm64 CPython of the given version that the host runs under qemu-user
# emulation, with the headers a cross build needs.
#
#   bash tools/arm64-python.sh 3.11|3.13|3.14|3.15
#
# The interpreter comes from an arm64 Debian root made by tools/arm64-root.sh (bookworm for 3.11,
# trixie for 3.13, unstable for 3.14 and 3.15; Debian has no 3.12). The printed path is a wrapper
# inside the root, next to the real interpreter, that runs it with `qemu-aarch64 -L ROOT`; the
# interpreter sees the wrapper as its own executable, so `sys.executable`, the venvs made from it
# and the interpreters that tests start are all programs the host can run. The root's path is
# the wrapper's folder's grandparent.
#
# qemu-user is Debian unstable's (pinned in tools/lib/arm64-qemu.sh: its static programs, unpacked from the package
# into $KESTRUM_QEMU, default /var/cache/kestrum/qemu, never installed; it registers nothing with
# the kernel). It runs Python about four times faster than bookworm's 7.2. The root's standard
# library is compiled to bytecode once, by the emulated interpreter itself: Debian compiles it in
# a maintainer script, which never runs in these roots, so every emulated process would otherwise
# compile each module it imports, and write nothing.
set -euo pipefail

version="${1:?usage: arm64-python.sh 3.11|3.13|3.14|3.15}"
fail() { echo "arm64-python.sh: $*" >&2; exit 1; }
extra=()
case "$version" in
    3.11) suite=bookworm pythons=(3.11) ;;
    # libffi's headers for the free-threaded 3.13t cross-built against this root
    # (tools/arm64-freethreaded-python.sh), asked for here so the root is made once.
    3.13) suite=trixie pythons=(3.13) extra=(libffi-dev) ;;
    # One root holds both: asked for one after the other, it would be downloaded twice.
    3.14 | 3.15) suite=sid pythons=(3.14 3.15) ;;
    *) fail "Debian has no arm64 CPython $version" ;;
esac
packages=("${extra[@]}")
for each in "${pythons[@]}"; do
    packages+=("python$each" "libpython$each-dev" "python$each-venv")
done

source "$(dirname "${BASH_SOURCE[0]}")/lib/arm64-qemu.sh"
qemu="$(arm64_qemu)"

# One run at a time makes or remakes a suite's root and its wrappers; others wait for it.
roots="${KESTRUM_ROOTS:-/var/cache/kestrum/roots}"
mkdir -p "$roots"
exec 9>"$roots/.lock-$suite-arm64"
flock 9
root="$(bash "$(dirname "$0")/arm64-root.sh" "$suite" "${packages[@]}")"
real="$root/usr/bin/python$version"
[ -f "$real" ] || fail "$root has no python$version"

source "$(dirname "${BASH_SOURCE[0]}")/lib/write.sh"
wrapper="$root/usr/bin/python$version-qemu"
write_program "$wrapper" <<WRAPPER
#!/bin/sh
# arm64 CPython $version of $root under qemu-user (made by tools/arm64-python.sh).
# Invoked through a venv's link, \$0 names the venv's interpreter, so the venv is found.
exec "$qemu" -L "$root" -0 "\$0" "$real" "\$@"
WRAPPER
reported="$("$wrapper" -c 'import platform, sys; print("%d.%d" % sys.version_info[:2], platform.machine())')" ||
    fail "$wrapper does not run"
[ "$reported" = "$version aarch64" ] || fail "$wrapper reports $reported, not $version aarch64"
compiled="$root/usr/lib/python$version/.kestrum-compiled"
if [ ! -f "$compiled" ]; then
    echo "arm64-python.sh: compiling the standard library of $version in $root, under emulation" >&2
    # The path names the root itself, which qemu does not redirect: the bytecode lands there.
    "$wrapper" -m compileall -q -x '/(test|tests|idlelib|turtledemo)/' \
        "$root/usr/lib/python$version" >&2 || fail "compiling $root/usr/lib/python$version failed"
    touch "$compiled"
fi
echo "$wrapper"
