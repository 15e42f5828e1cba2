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
# the wrapper's folder's grandparent. qemu-user (pinned
# below) is installed from the host's Debian when missing; it registers nothing with the kernel.
set -euo pipefail

QEMU_VERSION="1:7.2+dfsg-7+deb12u18+b3"

version="${1:?usage: arm64-python.sh 3.11|3.13|3.14|3.15}"
fail() { echo "arm64-python.sh: $*" >&2; exit 1; }
case "$version" in
    3.11) suite=bookworm ;;
    3.13) suite=trixie ;;
    3.14 | 3.15) suite=sid ;;
    *) fail "Debian has no arm64 CPython $version" ;;
esac

if ! command -v qemu-aarch64 >/dev/null; then
    echo "arm64-python.sh: installing qemu-user $QEMU_VERSION on the host" >&2
    # Without recommends: qemu-user-binfmt would register arm64 programs with the kernel.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "qemu-user=$QEMU_VERSION" >&2 || fail "could not install qemu-user=$QEMU_VERSION"
fi

root="$(bash "$(dirname "$0")/arm64-root.sh" "$suite" "python$version" \
    "libpython$version-dev" "python$version-venv")"
real="$root/usr/bin/python$version"
[ -f "$real" ] || fail "$root has no python$version"

source "$(dirname "${BASH_SOURCE[0]}")/lib/write.sh"
wrapper="$root/usr/bin/python$version-qemu"
write_program "$wrapper" <<WRAPPER
#!/bin/sh
# arm64 CPython $version of $root under qemu-user (made by tools/arm64-python.sh).
# Invoked through a venv's link, \$0 names the venv's interpreter, so the venv is found.
exec qemu-aarch64 -L "$root" -0 "\$0" "$real" "\$@"
WRAPPER
reported="$("$wrapper" -c 'import platform, sys; print("%d.%d" % sys.version_info[:2], platform.machine())')" ||
    fail "$wrapper does not run"
[ "$reported" = "$version aarch64" ] || fail "$wrapper reports $reported, not $version aarch64"
echo "$wrapper"
