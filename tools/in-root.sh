#!/usr/bin/env bash
# Runs a command inside a Debian root made by tools/debian-root.sh, as that system's own user
# would, and exits with its status.
#
#   bash tools/in-root.sh ROOT [--bind DIR]... COMMAND [ARG...]
#
# Each --bind DIR shows the host's DIR at the same path inside the root. The mounts (the device,
# process and system file systems and the binds) are made in a private mount namespace: the host
# never sees them, and they end with the command however it ends, so no mount outlives the run
# and a later `rm -r` of the root cannot reach through one.
set -euo pipefail

root="${1:?usage: in-root.sh ROOT [--bind DIR]... COMMAND [ARG...]}"
shift
binds=()
while [ "${1:-}" = "--bind" ]; do
    binds+=("$(realpath "${2:?--bind needs a directory}")")
    shift 2
done
[ "$#" -gt 0 ] || { echo "in-root.sh: no command given" >&2; exit 2; }
[ -x "$root/bin/sh" ] || { echo "in-root.sh: $root is not a Debian root" >&2; exit 2; }

# The host's environment stays outside, but for CI's flag and kestrum's own settings.
pass=()
while IFS= read -r name; do
    pass+=("$name=${!name}")
done < <(compgen -e | grep -E '^(CI|KESTRUM_[A-Z0-9_]+)$' || true)

# Inside the namespace: mount, then replace the shell by the chrooted command.
exec unshare --mount --propagation private --fork bash -euc '
    root="$1"; nbinds="$2"; npass="$3"; shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t sysfs sysfs "$root/sys"
    mount -t tmpfs tmpfs "$root/tmp"
    for _ in $(seq "$nbinds"); do
        mkdir -p "$root$1"  # after the tmpfs, so that a folder under /tmp can be shown too
        mount --bind "$1" "$root$1"
        shift
    done
    pass=("${@:1:$npass}")
    shift "$npass"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        "${pass[@]}" "$@"
' in-root "$root" "${#binds[@]}" "${#pass[@]}" "${binds[@]}" "${pass[@]}" "$@"
