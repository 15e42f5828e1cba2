# Sourced by tools/debian-root.sh and tools/arm64-root.sh: what their Debian roots share.

# Where the roots live: outside the clone, so that later runs and other clones reuse them.
roots="${KESTRUM_ROOTS:-/var/cache/kestrum/roots}"

# True when the root's stamp (written once the root was complete) lists every package given.
root_has_packages() {
    local stamp="$1" package
    shift
    [ -f "$stamp" ] || return 1
    for package in "$@"; do
        grep -qxF "$package" "$stamp" || return 1
    done
}

# The Debian mirror the host's apt uses.
debian_mirror() {
    local mirror
    mirror="$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources \
        2>/dev/null | head -n 1)"
    echo "${mirror:-http://deb.debian.org/debian}"
}
