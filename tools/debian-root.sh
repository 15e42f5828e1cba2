#!/usr/bin/env bash
# Makes (once per machine) a Debian root holding the given packages, and prints its path.
#
#   bash tools/debian-root.sh SUITE PACKAGE...        (for example: sid python3.14-dev)
#
# The root lives outside the clone, under $KESTRUM_ROOTS (default /var/cache/kestrum/roots), so
# later runs and other clones reuse it; a run that asks for packages the root lacks installs them.
# It needs root privileges, debootstrap (installed from the host's apt when missing) and
# Debian's mirror. Every mount a run makes lives in a private mount namespace that ends with the
# run, so none is ever left behind, even when the run is killed.
set -euo pipefail

suite="${1:?usage: debian-root.sh SUITE PACKAGE...}"
shift
source "$(dirname "${BASH_SOURCE[0]}")/lib/debian-roots.sh"
root="$roots/$suite-amd64"
fail() { echo "debian-root.sh: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "making a Debian root needs root privileges"
[ "$(uname -m)" = x86_64 ] || fail "the $suite root is made for x86-64 hosts only"

# The root was complete when its stamp was written; a run cut short leaves no stamp.
stamp="$root/.kestrum-packages"
if root_has_packages "$stamp" "$@"; then
    echo "$root"
    exit 0
fi

mirror="$(debian_mirror)"

{
    if ! command -v debootstrap >/dev/null; then
        echo "debian-root.sh: installing debootstrap on the host"
        apt-get install -y --no-install-recommends debootstrap ||
            fail "could not install debootstrap with the host's apt"
    fi

    mkdir -p "$roots"
    if [ ! -f "$root/.kestrum-bootstrapped" ]; then
        # A partial root from a run cut short holds no mount (they lived in that run's
        # namespace), so it can go.
        rm -rf --one-file-system "$root"
        echo "debian-root.sh: bootstrapping Debian $suite into $root from $mirror"
        unshare --mount --propagation private \
            debootstrap --variant=minbase "$suite" "$root" "$mirror" ||
            fail "debootstrap of $suite from $mirror failed"
        touch "$root/.kestrum-bootstrapped"
    fi

    # The root resolves names and trusts certificates as the host does, so that apt and pip
    # inside it reach what the host reaches.
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    if [ -d /usr/local/share/ca-certificates ]; then
        mkdir -p "$root/usr/local/share/ca-certificates"
        cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
    fi
    # The unstable suite's Release files are often past their validity date.
    printf 'Acquire::Check-Valid-Until "false";\n' >"$root/etc/apt/apt.conf.d/99kestrum"

    echo "debian-root.sh: installing into the $suite root: $*"
    bash "$(dirname "$0")/in-root.sh" "$root" sh -c '
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q &&
        apt-get install -y -q --no-install-recommends ca-certificates "$@" &&
        update-ca-certificates' sh "$@" ||
        fail "installing $* into the $suite root failed"
} >&2

{ printf '%s\n' "$@"; cat "$stamp" 2>/dev/null || true; } | sort -u >"$stamp.new"
mv "$stamp.new" "$stamp"
echo "$root"
