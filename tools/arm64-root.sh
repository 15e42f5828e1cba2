#!/usr/bin/env bash
# Makes (once per machine) an arm64 Debian root holding the given packages, and prints its path.
#
#   bash tools/arm64-root.sh SUITE PACKAGE...        (for example: bookworm libpython3.11-dev)
#
# The root is never entered: qemu-aarch64 runs its programs with `-L ROOT`, and the cross
# compiler reads its headers and libraries. So debootstrap only downloads and unpacks (its
# second stage would need the kernel to run arm64 programs, a binfmt registration that would
# outlive the run), and the packages' maintainer scripts never run; what the root is used for
# needs none of them. It lives outside the clone, under $KESTRUM_ROOTS (default
# /var/cache/kestrum/roots), so later runs and other clones reuse it. A root that lacks a
# package asked for is made again. No mount, binfmt registration or apt source is made.
set -euo pipefail

suite="${1:?usage: arm64-root.sh SUITE PACKAGE...}"
shift
source "$(dirname "${BASH_SOURCE[0]}")/lib/debian-roots.sh"
root="$roots/$suite-arm64"
fail() { echo "arm64-root.sh: $*" >&2; exit 1; }

# The root was complete when its stamp was written; a run cut short leaves no stamp.
stamp="$root/.kestrum-packages"
if root_has_packages "$stamp" "$@"; then
    echo "$root"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || fail "making a Debian root needs root privileges"
command -v debootstrap >/dev/null || fail "debootstrap is missing (apt-get install debootstrap)"
command -v dpkg-deb >/dev/null || fail "dpkg-deb is missing"

mirror="$(debian_mirror)"

# Everything asked for so far, the earlier root's packages included.
wanted=("$@")
[ -f "$stamp" ] && mapfile -t -O "${#wanted[@]}" wanted <"$stamp"
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -u)
include="$(IFS=,; echo "${wanted[*]}")"

{
    # Nothing is ever mounted in these roots, so a partial or outgrown one can simply go.
    rm -rf --one-file-system "$root"
    mkdir -p "$roots"
    echo "arm64-root.sh: downloading Debian $suite (arm64) with $include from $mirror"
    debootstrap --arch=arm64 --foreign --variant=minbase --include="$include" \
        "$suite" "$root" "$mirror" || fail "debootstrap of $suite (arm64) from $mirror failed"
    # The first stage unpacked only the essential packages; everything it fetched is unpacked
    # here instead of by the second stage.
    debs=("$root"/var/cache/apt/archives/*.deb)
    [ -f "${debs[0]}" ] || fail "debootstrap fetched no packages into $root"
    echo "arm64-root.sh: unpacking ${#debs[@]} packages"
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$deb" "$root" || fail "could not unpack $deb"
    done
    rm -f "${debs[@]}"
} >&2

printf '%s\n' "${wanted[@]}" >"$stamp.new"
mv "$stamp.new" "$stamp"
echo "$root"
