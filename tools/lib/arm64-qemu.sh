# Sourced by tools/arm64-python.sh and tools/arm64-freethreaded-python.sh: the pinned qemu-user
# that runs arm64 programs on this host. Its programs are static, so Debian unstable's run on the
# host's older Debian; they are unpacked from the package, never installed.
source "$(dirname "${BASH_SOURCE[0]}")/debian-roots.sh"

# Unstable keeps only its newest build: when the mirror no longer serves this one, pin the one
# it serves (version, file and SHA-256 from the suite's Packages index).
QEMU_VERSION="1:11.1.3+ds-1"
QEMU_FILE="pool/main/q/qemu/qemu-user_11.1.3+ds-1_amd64.deb"
QEMU_SHA256="5fa915e759f314400cf7d64a2745747e6baa50a180c938b3e8d281ce57ede452"

# arm64_qemu: prints the path of qemu-aarch64, downloading it into the cache on first use.
arm64_qemu() {
    local qemu_home="${KESTRUM_QEMU:-/var/cache/kestrum/qemu}" qemu
    qemu="$qemu_home/${QEMU_VERSION#*:}/qemu-aarch64"
    mkdir -p "$qemu_home"
    (
        flock 8
        [ -x "$qemu" ] && exit 0
        unpacked="$qemu_home/.unpacking.$$"
        trap 'rm -rf "$unpacked"' EXIT
        mkdir -p "$unpacked"
        echo "arm64-qemu: downloading qemu-user $QEMU_VERSION from $(debian_mirror)" >&2
        curl -fsSL --retry 2 -o "$unpacked/qemu.deb" "$(debian_mirror)/$QEMU_FILE" &&
            echo "$QEMU_SHA256  $unpacked/qemu.deb" | sha256sum -c --quiet ||
            qemu_fail "could not download $QEMU_FILE intact (a newer one may have replaced it)"
        dpkg-deb -x "$unpacked/qemu.deb" "$unpacked/tree"
        mkdir -p "$(dirname "$qemu")"
        mv "$unpacked/tree/usr/bin/qemu-aarch64" "$qemu"
    ) 8>"$qemu_home/.lock"
    [[ "$("$qemu" --version)" == *"(Debian $QEMU_VERSION)"* ]] ||
        qemu_fail "$qemu is not qemu-user $QEMU_VERSION"
    echo "$qemu"
}

qemu_fail() { echo "arm64-qemu: $*" >&2; exit 1; }
